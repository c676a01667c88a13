// The 2x2 step of the complex Jacobi decomposition shared by its plain and fast forms:
// from the coupling sums of a pair and its four elements, the rotation and shear that
// reduce the departure from normality.
#pragma once

#include <cmath>

#include "relax/complex_eigen/complex_eigen.h"
#include "relax/single_precision.h"

namespace mosslib::relax::detail {

inline constexpr float kEps = 1e-12f;
inline constexpr int kSweepLimit = 21;
inline constexpr float kThresholdFactor = 0.01f;
inline constexpr float kStagnation = 1.001f;
inline constexpr int kStagnationFromSweep = 10;

// The transformation of one pair: rows k, m become (C1 a + S1 b, S2 a + C2 b),
// columns k, m become (C2 a - S2 b, -S1 a + C1 b).
struct PairTransform {
    complex_f c1, c2, s1, s2;
};

// The square root of a float rounded to float. Rounding the double-precision root of
// a float to float gives the same bits (double carries more than twice the float
// precision plus two bits), so the single-precision root can take its place.
inline float root_f(float x) { return std::sqrt(x); }

// c_abs(z) > kEps. The modulus lies between the larger part and 1.5 times it, so only
// parts near kEps need the modulus itself.
inline bool exceeds_eps(complex_f z) {
    if (std::isnan(z.r) || std::isnan(z.i)) return numeric::c_abs(z) > kEps;
    const double re = std::fabs(static_cast<double>(z.r));
    const double im = std::fabs(static_cast<double>(z.i));
    const double big = re > im ? re : im;
    const double eps = kEps;
    if (big > eps) return true;
    if (!(big * 1.5 > eps)) return false;
    return numeric::c_abs(z) > eps;
}

// What the transformation of a pair takes from its four elements A(k,m), A(m,k),
// A(k,k), A(m,m) alone: the rotation that diagonalises the pair's 2x2 block. It does
// not need the coupling sums, so it can be formed while they run.
struct PairRotation {
    float sig, root2;
    float ca, sa, cx, sx;
    float cos2a, sin2a;
    float e, b, nd;
    bool rotates;  // root1 >= eps: the coupling h enters the shear
};

inline PairRotation pair_rotation(complex_f akm, complex_f amk, complex_f akk, complex_f amm) {
    const float br = akm.r + amk.r;
    const float bi = akm.i + amk.i;
    const float er = akm.r - amk.r;
    const float ei = akm.i - amk.i;
    const float dr = akk.r - amm.r;
    const float di = akk.i - amm.i;

    float te = dr * dr + ei * ei + br * br;
    float tee = di * di + er * er + bi * bi;
    int isw;
    float c, s, d, de, root2;
    if (tee <= te) {
        isw = 1;
        c = br;
        s = ei;
        d = dr;
        de = di;
        root2 = root_f(te);
    } else {
        isw = -1;
        c = bi;
        s = -er;
        d = di;
        de = dr;
        root2 = root_f(tee);
    }
    const float root1 = root_f(c * c + s * s);
    PairRotation p;
    p.sig = d >= 0.0f ? 1.0f : -1.0f;
    p.root2 = root2;
    p.sa = 0.0f;
    p.ca = c >= 0.0f ? 1.0f : -1.0f;
    p.cos2a = p.sin2a = 0.0f;
    if (root1 < kEps) {
        p.rotates = false;
        p.sx = 0.0f;
        p.sa = 0.0f;
        p.cx = 1.0f;
        p.ca = 1.0f;
        p.e = isw == 1 ? er : ei;
        p.b = isw == 1 ? bi : -br;
        p.nd = d * d + de * de;
    } else {
        p.rotates = true;
        const float sig = p.sig;
        if (std::fabs(s) > kEps) {
            p.ca = c / root1;
            p.sa = s / root1;
        }
        const float ca = p.ca;
        const float sa = p.sa;
        const float cot2x = d / root1;
        const float cotx = static_cast<float>(cot2x + sig * dsqrt(1.0f + cot2x * cot2x));
        p.sx = static_cast<float>(sig / dsqrt(1.0f + cotx * cotx));
        p.cx = p.sx * cotx;
        const float eta = (er * br + bi * ei) / root1;
        const float tse = (br * bi - er * ei) / root1;
        te = sig * (tse * d - root1 * de) / root2;
        tee = (d * de + root1 * tse) / root2;
        p.nd = root2 * root2 + tee * tee;
        p.cos2a = ca * ca - sa * sa;
        p.sin2a = 2.0f * ca * sa;
        p.b = static_cast<float>(isw) * te * ca + eta * sa;
        p.e = ca * eta - static_cast<float>(isw) * te * sa;
    }
    return p;
}

// Coupling of the pair (k, m) to the other rows and columns: h = sum of
// A(k,i) conj(A(m,i)) - conj(A(i,k)) A(i,m); g and hj from the squared moduli of the
// sweep start. Completes the transformation from them and the rotation; returns false
// when it would leave the matrix unchanged.
inline bool pair_coefficients(const PairRotation &p, complex_f h, float g, float hj, PairTransform &tr) {
    float hr = h.r;
    float hi = h.i;
    const float sig = p.sig, root2 = p.root2, ca = p.ca, sa = p.sa, cx = p.cx, sx = p.sx;
    const float e = p.e, b = p.b, nd = p.nd;
    if (p.rotates) {
        const float tee = hj * cx * sx;
        const float tem = hr * p.cos2a + hi * p.sin2a;
        const float tep = hi * p.cos2a - hr * p.sin2a;
        hr = cx * cx * hr - sx * sx * tem - ca * tee;
        hi = cx * cx * hi + sx * sx * tep - sa * tee;
    }

    // Shear.
    const float s = hr - sig * root2 * e;
    const float c = hi - sig * root2 * b;
    const float root = root_f(c * c + s * s);
    float cb, sb, ch, sh;
    if (root < kEps) {
        cb = 1.0f;
        ch = 1.0f;
        sb = 0.0f;
        sh = 0.0f;
    } else {
        cb = -c / root;
        sb = s / root;
        const float t = cb * b - e * sb;
        const float nc = t * t;
        float tanh = root / (g + 2.0f * (nc + nd));
        if (tanh >= 1.0f) tanh = 0.0f;
        ch = static_cast<float>(1.0f / dsqrt(1.0f - tanh * tanh));
        sh = ch * tanh;
    }

    float tem = sx * sh * (sa * cb - sb * ca);
    const float c1r = cx * ch - tem;
    const float c2r = cx * ch + tem;
    const float c1i = -sx * sh * (ca * cb + sa * sb);
    const float c2i = c1i;
    float tep = sx * ch * ca;
    tem = cx * sh * sb;
    const float s1r = tep - tem;
    const float s2r = -tep - tem;
    tep = sx * ch * sa;
    tem = cx * sh * cb;
    const float s1i = tep + tem;
    const float s2i = tep - tem;
    tr.c1 = {c1r, c1i};
    tr.c2 = {c2r, c2i};
    tr.s1 = {s1r, s1i};
    tr.s2 = {s2r, s2i};
    return exceeds_eps(tr.s1) || exceeds_eps(tr.s2);
}

}  // namespace mosslib::relax::detail
