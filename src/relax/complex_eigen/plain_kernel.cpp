#include <cmath>

#include "relax/complex_eigen/complex_eigen.h"
#include "relax/complex_eigen/pair_step.h"
#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

using detail::kEps;
using detail::kStagnation;
using detail::kStagnationFromSweep;
using detail::kSweepLimit;
using detail::kThresholdFactor;
using detail::pair_coefficients;
using detail::PairTransform;

// |Re a| + |Im a| + |Re b| + |Im b|, summed left to right.
float pair_size(complex_f a, complex_f b) {
    return std::fabs(a.r) + std::fabs(a.i) + std::fabs(b.r) + std::fabs(b.i);
}

// Sums the coupling of the pair (k, m) to the other rows and columns, in index order.
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
    return pair_coefficients(detail::pair_rotation(a[at(k, m)], a[at(m, k)], a[at(k, k)], a[at(m, m)]), h, g, hj, tr);
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

int eberlein_decompose_plain(int n, ParlMat &mat, DecompositionScratch &scratch) {
    float *mod_sq = scratch.mod_sq;
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
