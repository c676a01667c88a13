// Transmission of a thick absorber.
//
//   T(v) = (1 - f_s) + f_s * integral L_s(E - v) exp(-t_a sigma(E)) dE
//
// L_s: the source line, a Lorentzian of full width Gamma_s and area 1. sigma: the
// absorber's cross-section, normalised so that t_a is the effective thickness of a
// single Lorentzian line of full width Gamma_a (the absorber width): sigma is
// (pi Gamma_a / 2) times a sum of area-normalised profiles with weights summing to 1,
// so a single line of width Gamma_a has sigma = 1 at its centre. A line of another
// width (or a Voigt line) keeps its area: the amount of iron, not the depth, is what t_a
// measures. For a single line of width Gamma_a the area of 1 - T is the closed form
// f_s (pi Gamma_a / 2) t_a e^{-t_a/2} [I0(t_a/2) + I1(t_a/2)].
//
// Method. With x = t_a sigma and h = e^{-x} - 1 + x (>= 0, <= x^2/2):
//   1 - T = f_s [ t_a (L_s * sigma)(v) - (L_s * h)(v) ].
// The first term is exact: a Lorentzian source convolved with a Lorentzian line is a
// Lorentzian of the summed widths (a Voigt line: the Voigt of the summed Lorentzian
// widths). It is the thin absorber, so t_a -> 0 gives the thin model times t_a to the
// last bits. The second term decays as |E|^-4; it is integrated on a uniform grid that
// covers the lines and the velocities with a margin: the trapezoid rule (geometric
// convergence for integrands analytic in a strip about the real axis) with end
// corrections of order 8, plus both tails beyond the grid by a 64-node Gauss-Legendre
// rule on E = edge +- m t/(1 - t). The grid step follows from the strip bound of the
// trapezoid rule: the integrand is analytic for |Im E| < a = 0.6 min(Gamma_s/2,
// Gamma_k/2 + s_k) (s_k the Gaussian standard deviation of line k), where |h| <= |x| + 2
// and |x| <= 1.5625 t_a max(Gamma_a/Gamma_k); the step makes that bound 1e-9 of the
// baseline. The documented error bound of T is 1e-6 of the baseline (tests check it
// against brute-force adaptive quadrature for t_a from 0.01 to 100).
//
// A sampled cross-section (a spectrum such as ttt's or parl's, computed at the
// absorber's width) is taken as the Catmull-Rom cubic through the samples inside their
// range and 0 outside, scaled to the area pi Gamma_a / 2 of its samples (trapezoid
// rule). The integral then runs over the sampled range only, on the samples' grid
// refined to the same step rule, with the same end corrections.
//
// Everything runs on the calling thread in a fixed order: results are the same bits on
// every call. The work arrays live in a per-thread work space that grows to the largest
// grid a thread has needed and is then reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mosslib::thickness {

struct Line {
    double centre;       // mm/s
    double area;         // relative (>= 0); the weights are area / sum of areas
    double lorentz;      // Lorentzian full width at half maximum (> 0)
    double gauss;        // Gaussian full width at half maximum (>= 0; 0: a Lorentzian)
};

struct Absorber {
    double thickness;       // t_a >= 0
    double source_fraction; // f_s in [0, 1]
    double source_width;    // Gamma_s > 0, full width at half maximum
    double absorber_width;  // Gamma_a > 0: the width that defines t_a
};

// Limits of the input a call accepts.
inline constexpr std::int32_t kMaxLines = 65536;
inline constexpr std::int32_t kMaxVelocities = 1 << 20;
inline constexpr std::int32_t kMaxSamples = 1 << 20;
inline constexpr std::size_t kMaxGridNodes = std::size_t{1} << 22;

// The outcome of a call: empty reason on success; otherwise why the input was refused
// (out is then filled with NaN by the caller).
struct Outcome {
    std::string_view reason;
    bool ok() const noexcept { return reason.empty(); }
};

// T(v) for n velocities from a cross-section of n_lines lines, four doubles each in
// the order of Line.
Outcome transmission_of_lines(const Absorber &a, const double *lines, std::int32_t n_lines, const double *velocity,
                              std::int32_t n, double *out) noexcept;

// T(v) from a sampled cross-section: samples[i] at energy start + i step (mm/s).
Outcome transmission_of_samples(const Absorber &a, const double *samples, std::int32_t n_samples, double start,
                                double step, const double *velocity, std::int32_t n, double *out) noexcept;

// Area-normalised Voigt profile of Lorentzian half width gamma and Gaussian standard
// deviation s at x (s = 0: the Lorentzian), through the Faddeeva function.
double voigt(double x, double gamma, double s) noexcept;

}  // namespace mosslib::thickness
