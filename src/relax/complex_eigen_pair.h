// The 2x2 step of the complex Jacobi decomposition shared by its plain and fast forms:
// from the coupling sums of a pair and its four elements, the rotation and shear that
// reduce the departure from normality.
#pragma once

#include <cmath>

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

// Coupling of the pair (k, m) to the other rows and columns: h = sum of
// A(k,i) conj(A(m,i)) - conj(A(i,k)) A(i,m); g and hj from the squared moduli of the
// sweep start. Chooses the transformation from them and A(k,m), A(m,k), A(k,k), A(m,m);
// returns false when it would leave the matrix unchanged.
inline bool pair_coefficients(complex_f h, float g, float hj, complex_f akm, complex_f amk, complex_f akk,
                              complex_f amm, PairTransform &tr) {
    float hr = h.r;
    float hi = h.i;
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
        root2 = static_cast<float>(dsqrt(te));
    } else {
        isw = -1;
        c = bi;
        s = -er;
        d = di;
        de = dr;
        root2 = static_cast<float>(dsqrt(tee));
    }
    const float root1 = static_cast<float>(dsqrt(c * c + s * s));
    const float sig = d >= 0.0f ? 1.0f : -1.0f;
    float sa = 0.0f;
    float ca = c >= 0.0f ? 1.0f : -1.0f;
    float sx, cx, e, b, nd;
    if (root1 < kEps) {
        sx = 0.0f;
        sa = 0.0f;
        cx = 1.0f;
        ca = 1.0f;
        e = isw == 1 ? er : ei;
        b = isw == 1 ? bi : -br;
        nd = d * d + de * de;
    } else {
        if (std::fabs(s) > kEps) {
            ca = c / root1;
            sa = s / root1;
        }
        const float cot2x = d / root1;
        const float cotx = static_cast<float>(cot2x + sig * dsqrt(1.0f + cot2x * cot2x));
        sx = static_cast<float>(sig / dsqrt(1.0f + cotx * cotx));
        cx = sx * cotx;
        const float eta = (er * br + bi * ei) / root1;
        const float tse = (br * bi - er * ei) / root1;
        te = sig * (tse * d - root1 * de) / root2;
        tee = (d * de + root1 * tse) / root2;
        nd = root2 * root2 + tee * tee;
        tee = hj * cx * sx;
        const float cos2a = ca * ca - sa * sa;
        const float sin2a = 2.0f * ca * sa;
        const float tem = hr * cos2a + hi * sin2a;
        const float tep = hi * cos2a - hr * sin2a;
        hr = cx * cx * hr - sx * sx * tem - ca * tee;
        hi = cx * cx * hi + sx * sx * tep - sa * tee;
        b = static_cast<float>(isw) * te * ca + eta * sa;
        e = ca * eta - static_cast<float>(isw) * te * sa;
    }

    // Shear.
    s = hr - sig * root2 * e;
    c = hi - sig * root2 * b;
    const float root = static_cast<float>(dsqrt(c * c + s * s));
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
