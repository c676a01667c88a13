#include <cmath>

#include "relax/complex_eigen.h"
#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

constexpr float kEps = 1e-12f;
constexpr int kSweepLimit = 21;
constexpr float kThresholdFactor = 0.01f;
constexpr float kStagnation = 1.001f;
constexpr int kStagnationFromSweep = 10;

// |Re a| + |Im a| + |Re b| + |Im b|, summed left to right.
float pair_size(complex_f a, complex_f b) {
    return std::fabs(a.r) + std::fabs(a.i) + std::fabs(b.r) + std::fabs(b.i);
}

// The 2x2 transformation of one pair: rows k, m become (C1 a + S1 b, S2 a + C2 b),
// columns k, m become (C2 a - S2 b, -S1 a + C1 b).
struct PairTransform {
    complex_f c1, c2, s1, s2;
};

// Chooses the rotation and shear of the pair (k, m) from the matrix as it stands and
// the squared moduli of the sweep start. Returns false if the pair is left alone.
bool pair_transform(int n, const complex_f *a, const float *mod_sq, int k, int m, PairTransform &tr) {
    complex_f h = {0.0f, 0.0f};
    float g = 0.0f;
    float hj = 0.0f;
    for (int i = 0; i < n; ++i) {
        if (i == k || i == m) continue;
        const complex_f x = cmul(a[at(k, i)], numeric::r_cnjg(a[at(m, i)]));
        const complex_f y = cmul(numeric::r_cnjg(a[at(i, k)]), a[at(i, m)]);
        h = csub(cadd(h, x), y);
        const float te = mod_sq[at(i, k)] + mod_sq[at(m, i)];
        const float tee = mod_sq[at(i, m)] + mod_sq[at(k, i)];
        g = g + te + tee;
        hj = hj - te + tee;
    }
    float hr = h.r;
    float hi = h.i;

    const complex_f akm = a[at(k, m)];
    const complex_f amk = a[at(m, k)];
    const complex_f akk = a[at(k, k)];
    const complex_f amm = a[at(m, m)];
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
    return numeric::c_abs(tr.s1) > kEps || numeric::c_abs(tr.s2) > kEps;
}

void transform_rows(int n, complex_f *x, int k, int m, const PairTransform &tr) {
    for (int i = 0; i < n; ++i) {
        const complex_f a = x[at(k, i)];
        const complex_f b = x[at(m, i)];
        x[at(k, i)] = cadd(cmul(tr.c1, a), cmul(tr.s1, b));
        x[at(m, i)] = cadd(cmul(tr.s2, a), cmul(tr.c2, b));
    }
}

void transform_columns(int n, complex_f *x, int k, int m, const PairTransform &tr) {
    for (int i = 0; i < n; ++i) {
        const complex_f a = x[at(i, k)];
        const complex_f b = x[at(i, m)];
        x[at(i, k)] = csub(cmul(tr.c2, a), cmul(tr.s2, b));
        x[at(i, m)] = cadd(cmul(cneg(tr.s1), a), cmul(tr.c1, b));
    }
}

}  // namespace

int eberlein_decompose_plain(int n, ParlMat &mat, float *mod_sq) {
    complex_f *a = mat.trans_mat;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const complex_f one = {i == j ? 1.0f : 0.0f, 0.0f};
            mat.eig_right[at(i, j)] = one;
            mat.eig_left[at(i, j)] = one;
        }

    bool more = true;
    int sweep = 1;
    float tau = 0.0f;
    while (sweep <= kSweepLimit && more) {
        const float tau_prev = tau;
        tau = 0.0f;
        float delta = 0.0f;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const complex_f z = a[at(i, j)];
                mod_sq[at(i, j)] = z.r * z.r + z.i * z.i;
                if (i == j)
                    delta = delta + std::fabs(z.r) + std::fabs(z.i);
                else
                    tau = tau + std::fabs(z.r) + std::fabs(z.i);
            }
        const float tol = kThresholdFactor * tau / static_cast<float>(n * n);
        if (sweep >= kStagnationFromSweep && tau_prev / tau < kStagnation) break;
        if (tau < kEps * delta) break;
        more = false;
        for (int k = 0; k < n - 1; ++k)
            for (int m = k + 1; m < n; ++m) {
                if (!(pair_size(a[at(k, m)], a[at(m, k)]) >= tol)) continue;
                PairTransform tr;
                if (!pair_transform(n, a, mod_sq, k, m, tr)) continue;
                more = true;
                transform_rows(n, a, k, m, tr);
                transform_rows(n, mat.eig_left, k, m, tr);
                transform_columns(n, a, k, m, tr);
                transform_columns(n, mat.eig_right, k, m, tr);
            }
        ++sweep;
    }
    return sweep;
}

}  // namespace mosslib::relax
