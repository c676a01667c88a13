// Voigt sextet with a velocity spread on the sine scale (export `VogGenVel_ss`).
//
// Each line is a Lorentzian of its own width convolved with a Gaussian of one common
// scale g, in the four-term generalised-Lorentzian approximation of the Voigt function
//     V(X, Y) = sum_r [gamma_r (Y - alpha_r) + delta_r (X - beta_r)]
//                     / [(Y - alpha_r)^2 + (X - beta_r)^2],
// with X = (v - x) / (1.421 g) and Y = w / (1.421 g). A channel at velocity u does not see
// u alone: it averages the profile over the velocities from u (1 - e^2) to u, which the
// approximation integrates in closed form.
#pragma once

#include <array>

namespace mosslib::lineshape {

struct VoigtTerm {
    double alpha, beta, gamma, delta;
};

// The four terms of the approximation, in summation order.
inline constexpr std::array<VoigtTerm, 4> kVoigtTerms = {{
    {-1.215, 1.2359, -0.3085, 0.021},
    {-1.3509, 0.3786, 0.5906, -1.1858},
    {-1.215, -1.2359, -0.3085, -0.021},
    {-1.3509, -0.3786, 0.5906, 1.1858},
}};

// Profile coordinates are velocities divided by 1.421 g (1.421, not sqrt 2).
inline constexpr double kVoigtCoordinateScale = 1.421;

// V(X, Y): the four-term approximation itself, terms added in table order.
double voigt_profile(double X, double Y);

// Integral of V over X from X(u (1 - e^2)) to X(u), divided by u: the channel's
// profile value times e^2 / (1.421 g). u is the channel velocity, x the line position,
// g the Gaussian scale, w the Lorentzian width, e the spread.
// At u = 0 the quotient is 0/0; there it returns its limit e^2 / (1.421 g) V(-x / (1.421 g), Y).
double voigt_interval(double u, double x, double g, double w, double e);

// Reads p[1..3], p[5..19], p[21], p[22]: the general-sextet layout (general_sextet.h)
// with p[12] the velocity amplitude of the fixed-step sine scale, p[14..19] the
// Lorentzian widths, p[21] the Gaussian scale and p[22] the spread e.
// Line k (position x_k, width w_k and height I_k / (N * w_k) of general_sextet_lines)
// contributes I_k / (N * w_k) * voigt_interval(v, x_k, p21, w_k, p22).
// Writes spectrum[0..255].
void voigt_sextet(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
