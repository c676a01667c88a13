// The elementary intrinsics of the Fortran run time that the models rely on, with the
// run time's exact semantics (same operations in the same precision), but never ending
// the process: a zero complex divisor gives non-finite values.
#pragma once

#include <cmath>
#include <cstdint>

namespace mosslib::numeric {

// Single-precision complex: a pair of floats, real part first.
struct complex_f {
    float r;
    float i;
};

// |a| when b >= 0 (a zero b of either sign counts as >= 0), -|a| otherwise.
// Not copysign: the sign bit of a zero b is ignored.
inline double d_sign(double a, double b) {
    const double x = (a >= 0 ? a : -a);
    return b >= 0 ? x : -x;
}

// Single-precision x to an integer power, by repeated squaring in double;
// n = 0 gives 1 for every x; n < 0 raises 1/x to -n.
double pow_ri(float x, std::int32_t n);

// Integer power with wrap-around on overflow. n < 0 gives 1 for x = 1, +-1 by
// parity for x = -1 and 0 otherwise; x = 0 with n < 0 (undefined) also gives 0.
std::int32_t pow_ii(std::int32_t x, std::int32_t n);

inline double pow_dd(double x, double y) { return std::pow(x, y); }

// Truncation toward zero of a single-precision value, as a double.
inline double r_int(float x) {
    return (x > 0) ? std::floor(static_cast<double>(x)) : -std::floor(-static_cast<double>(x));
}

inline double r_imag(complex_f z) { return z.i; }

inline complex_f r_cnjg(complex_f z) { return {z.r, -z.i}; }

// Modulus in double: the larger part times sqrt(1 + (smaller/larger)^2).
inline double c_abs(complex_f z) {
    double re = z.r;
    double im = z.i;
    if (re < 0) re = -re;
    if (im < 0) im = -im;
    if (im > re) {
        const double t = re;
        re = im;
        im = t;
    }
    if ((re + im) == re) return re;
    const double t = im / re;
    return re * std::sqrt(1.0 + t * t);
}

// a / b formed in double, scaled by the larger of |Re b| and |Im b|, rounded to
// single. A zero divisor gives inf (a != 0) or NaN (a == 0) in both parts.
inline complex_f c_div(complex_f a, complex_f b) {
    double abr = b.r;
    double abi = b.i;
    if (abr < 0.) abr = -abr;
    if (abi < 0.) abi = -abi;
    double cr;
    double ci;
    if (abr <= abi) {
        if (abi == 0) {
            float af = static_cast<float>(abr);
            const float bf = af;
            if (a.i != 0 || a.r != 0) af = 1.f;
            const float q = af / bf;
            return {q, q};
        }
        const double ratio = static_cast<double>(b.r) / b.i;
        const double den = b.i * (1 + ratio * ratio);
        cr = (a.r * ratio + a.i) / den;
        ci = (a.i * ratio - a.r) / den;
    } else {
        const double ratio = static_cast<double>(b.i) / b.r;
        const double den = b.r * (1 + ratio * ratio);
        cr = (a.r + a.i * ratio) / den;
        ci = (a.i - a.r * ratio) / den;
    }
    return {static_cast<float>(cr), static_cast<float>(ci)};
}

}  // namespace mosslib::numeric
