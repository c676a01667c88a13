// Single-precision helpers of the relaxation engine: the complex product written out
// so that it rounds exactly as (ar*br - ai*bi, ar*bi + ai*br), and the double-precision
// mathematical functions taking a float argument widened to double, and the
// trigonometry of an Euler rotation.
#pragma once

#include <cmath>

#include "numeric/f2c_intrinsics.h"

namespace mosslib::relax {

using numeric::complex_f;

inline complex_f cmul(complex_f a, complex_f b) { return {a.r * b.r - a.i * b.i, a.r * b.i + a.i * b.r}; }
inline complex_f cadd(complex_f a, complex_f b) { return {a.r + b.r, a.i + b.i}; }
inline complex_f csub(complex_f a, complex_f b) { return {a.r - b.r, a.i - b.i}; }
inline complex_f cneg(complex_f a) { return {-a.r, -a.i}; }

// x*x in float: a square written as a power.
inline float sq(float x) { return x * x; }

// The double-precision library functions; a float argument is widened first.
inline double dsqrt(double x) { return std::sqrt(x); }
inline double dexp(double x) { return std::exp(x); }
inline double dcos(double x) { return std::cos(x); }
inline double dsin(double x) { return std::sin(x); }
inline double datan(double x) { return std::atan(x); }

// Cosines and sines of the Euler angles (alpha, beta, gamma), radians: the double
// functions of each float angle, rounded to float.
struct EulerTrig {
    float ca, sa, cb, sb, cg, sg;
};

inline EulerTrig euler_trig(const float angles[3]) {
    return {static_cast<float>(dcos(angles[0])), static_cast<float>(dsin(angles[0])),
            static_cast<float>(dcos(angles[1])), static_cast<float>(dsin(angles[1])),
            static_cast<float>(dcos(angles[2])), static_cast<float>(dsin(angles[2]))};
}

}  // namespace mosslib::relax
