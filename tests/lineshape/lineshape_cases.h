// Parameter sets and independent tools for the analytic-spectrum tests: closed-form
// Lorentzian areas, a velocity probe, peak search.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace mosslib::testing {

using Params = std::array<double, 24>;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kAreaRatio = M_PI / 3.1416;  // area of a line per unit nominal area

// Metallic iron, 3:2:1:1:2:3, on a +-6.4 mm/s linear scale (magnetic sextet layout).
inline Params iron_sext() {
    Params p{};
    p[1] = 33.0;   // field, T (outer lines at +-5.379 mm/s)
    p[2] = -0.11;  // shift
    p[3] = 0.0;    // quadrupole
    p[4] = 0.25;   // width
    p[5] = 1.0;    // area
    const double I[6] = {3, 2, 1, 1, 2, 3};
    for (int k = 0; k < 6; ++k) p[6 + k] = I[k];
    p[12] = 0.05;   // velocity step
    p[13] = 128.5;  // zero channel
    return p;
}

// General-sextet layout (sextgen, sextgen_ss, sextgen_sl, VogGenVel_ss); linear scale.
inline Params iron_general() {
    Params p{};
    p[1] = 33.0;
    p[2] = -0.22;  // twice the centre shift
    p[3] = 0.0;
    p[5] = 1.0;
    const double I[6] = {3, 2, 1, 1, 2, 3};
    const double w[6] = {0.28, 0.26, 0.24, 0.24, 0.26, 0.28};
    for (int k = 0; k < 6; ++k) {
        p[6 + k] = I[k];
        p[14 + k] = w[k];
    }
    p[12] = 0.05;
    p[13] = 128.5;
    return p;
}

// The same on the sine scale: amplitude 7 mm/s.
inline Params iron_general_sine() {
    Params p = iron_general();
    p[12] = 7.0;
    return p;
}

// Two-component sextet layout.
inline Params iron_two_component() {
    Params p{};
    p[1] = 33.0;
    p[2] = -0.11;  // offset of the first component
    p[3] = 0.15;   // offset of the second
    p[4] = 0.2;    // a
    p[5] = 0.1;    // b
    const double I[6] = {3, 2, 1, 1, 2, 3};
    for (int k = 0; k < 6; ++k) {
        p[6 + k] = I[k];
        p[14 + k] = 0.25;
    }
    p[12] = 7.0;
    p[13] = 128.5;
    p[20] = 0.05;  // extra half width of the second component
    return p;
}

// Doublet layout: a ferric site.
inline Params ferric_doublet() {
    Params p{};
    p[1] = 0.35;   // shift
    p[2] = 0.70;   // splitting
    p[3] = 0.25;   // width
    p[4] = 1.0;    // area
    p[5] = 0.03;   // velocity step
    p[6] = 128.5;  // zero channel
    return p;
}

// Velocities of the fixed-step sine scale, written out independently.
inline double sine_scale(int n, double zero, double amplitude) {
    return amplitude * std::sin((n - zero) * 0.01226563);
}

// Area of the Lorentzian h / (1 + (2 (v - x) / w)^2) over [lo, hi], from its antiderivative.
inline double lorentzian_area(double h, double w, double x, double lo, double hi) {
    return h * w / 2.0 * (std::atan(2.0 * (hi - x) / w) - std::atan(2.0 * (lo - x) / w));
}

// Trapezoid rule over channels with spacing step.
inline double trapezoid(const double *y, std::size_t n, double step) {
    double s = 0.5 * (y[0] + y[n - 1]);
    for (std::size_t i = 1; i + 1 < n; ++i) s += y[i];
    return s * step;
}

// Indices of the local maxima of y (strictly above both neighbours).
inline std::vector<int> local_maxima(const double *y, int n) {
    std::vector<int> at;
    for (int i = 1; i + 1 < n; ++i)
        if (y[i] > y[i - 1] && y[i] > y[i + 1]) at.push_back(i);
    return at;
}

// Vertex of the parabola through (i-1, i, i+1): the peak position in fractional index.
inline double parabolic_peak(const double *y, int i) {
    const double a = y[i - 1], b = y[i], c = y[i + 1];
    return i + 0.5 * (a - c) / (a - 2.0 * b + c);
}

}  // namespace mosslib::testing
