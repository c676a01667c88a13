// Fast form of the complex Jacobi decomposition. The arithmetic is that of the plain
// form, operation for operation, so the results agree to the bit; what changes is the
// layout. The matrix is kept in split real/imaginary arrays twice, once with rows and
// once with columns contiguous, so that the row updates, the column updates and the
// coupling terms of a pair all run along contiguous memory in vector registers; after
// each update the two changed rows (columns) are copied into the other layout. The
// running sums over i of a pair stay sequential, in index order, as rounding requires.
// No fused multiply-add is used (and the build forbids contraction into one).
#include <cmath>

#include "relax/complex_eigen.h"
#include "relax/complex_eigen_pair.h"

// The vector helpers below are always inlined into the kernel of their width, so the
// warning about vector arguments across ISA boundaries does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::relax {

namespace {

using namespace detail;

constexpr int L = kMaxDim;  // leading dimension of the split arrays

template <int W>
struct Lanes {
    typedef float V __attribute__((vector_size(W * sizeof(float))));
};

template <class V>
[[gnu::always_inline]] inline V load(const float *p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline void store(float *p, V v) {
    __builtin_memcpy(p, &v, sizeof v);
}

template <class V>
[[gnu::always_inline]] inline V splat(float x) {
    return V{} + x;
}

float pair_size(complex_f a, complex_f b) {
    return std::fabs(a.r) + std::fabs(a.i) + std::fabs(b.r) + std::fabs(b.i);
}

// Copies the matrix into both split layouts and sets the eigenvector matrices to the
// identity; padding up to np is zero.
void load_split(int n, int np, const ParlMat &mat, DecompositionScratch &s) {
    for (int j = 0; j < np; ++j)
        for (int i = 0; i < np; ++i) {
            const complex_f z = (i < n && j < n) ? mat.trans_mat[at(i, j)] : complex_f{0.0f, 0.0f};
            const float one = (i == j && i < n) ? 1.0f : 0.0f;
            s.a_col_re[j * L + i] = z.r;
            s.a_col_im[j * L + i] = z.i;
            s.a_row_re[i * L + j] = z.r;
            s.a_row_im[i * L + j] = z.i;
            s.left_re[i * L + j] = one;
            s.left_im[i * L + j] = 0.0f;
            s.right_re[j * L + i] = one;
            s.right_im[j * L + i] = 0.0f;
            s.msq_row[i * L + j] = 0.0f;
            s.mod_sq[j * L + i] = 0.0f;
        }
}

void store_split(int n, const DecompositionScratch &s, ParlMat &mat) {
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            mat.trans_mat[at(i, j)] = {s.a_col_re[j * L + i], s.a_col_im[j * L + i]};
            mat.eig_left[at(i, j)] = {s.left_re[i * L + j], s.left_im[i * L + j]};
            mat.eig_right[at(i, j)] = {s.right_re[j * L + i], s.right_im[j * L + i]};
        }
}

// Squared moduli in both layouts; returns the off-diagonal measure tau and sets the
// diagonal measure delta, both summed row by row as in the plain form.
float sweep_start(int n, DecompositionScratch &s, float &delta) {
    float tau = 0.0f;
    delta = 0.0f;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const float re = s.a_row_re[i * L + j];
            const float im = s.a_row_im[i * L + j];
            s.msq_row[i * L + j] = re * re + im * im;
            if (i == j)
                delta = delta + std::fabs(re) + std::fabs(im);
            else
                tau = tau + std::fabs(re) + std::fabs(im);
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) s.mod_sq[j * L + i] = s.msq_row[i * L + j];
    return tau;
}

// The coupling sums of the pair (k, m): products and moduli in vectors, then the four
// running sums in index order, skipping i = k and i = m.
template <int W>
[[gnu::always_inline]] inline void coupling_sums(int n, int np, int k, int m, DecompositionScratch &s,
                                                 complex_f &h, float &g, float &hj) {
    using V = typename Lanes<W>::V;
    const float *rk_re = s.a_row_re + k * L, *rk_im = s.a_row_im + k * L;
    const float *rm_re = s.a_row_re + m * L, *rm_im = s.a_row_im + m * L;
    const float *ck_re = s.a_col_re + k * L, *ck_im = s.a_col_im + k * L;
    const float *cm_re = s.a_col_re + m * L, *cm_im = s.a_col_im + m * L;
    const float *q_ik = s.mod_sq + k * L, *q_im = s.mod_sq + m * L;     // |A(i,k)|^2, |A(i,m)|^2
    const float *q_ki = s.msq_row + k * L, *q_mi = s.msq_row + m * L;   // |A(k,i)|^2, |A(m,i)|^2
    for (int i = 0; i < np; i += W) {
        // A(k,i) conj(A(m,i))
        const V ar = load<V>(rk_re + i), ai = load<V>(rk_im + i);
        const V br = load<V>(rm_re + i), bi = -load<V>(rm_im + i);
        store(s.x_re + i, ar * br - ai * bi);
        store(s.x_im + i, ar * bi + ai * br);
        // conj(A(i,k)) A(i,m)
        const V cr = load<V>(ck_re + i), ci = -load<V>(ck_im + i);
        const V dr = load<V>(cm_re + i), di = load<V>(cm_im + i);
        store(s.y_re + i, cr * dr - ci * di);
        store(s.y_im + i, cr * di + ci * dr);
        store(s.te + i, load<V>(q_ik + i) + load<V>(q_mi + i));
        store(s.tee + i, load<V>(q_im + i) + load<V>(q_ki + i));
    }
    float hr = 0.0f, hi = 0.0f, gg = 0.0f, hh = 0.0f;
    auto accumulate = [&](int lo, int hi_end) {
        for (int i = lo; i < hi_end; ++i) {
            hr = hr + s.x_re[i] - s.y_re[i];
            hi = hi + s.x_im[i] - s.y_im[i];
            gg = gg + s.te[i] + s.tee[i];
            hh = hh - s.te[i] + s.tee[i];
        }
    };
    accumulate(0, k);
    accumulate(k + 1, m);
    accumulate(m + 1, n);
    h = {hr, hi};
    g = gg;
    hj = hh;
}

// (x_k, x_m) <- (P a + Q b, R a + T b) over np contiguous elements, a = x_k, b = x_m.
template <int W>
[[gnu::always_inline]] inline void combine(int np, float *k_re, float *k_im, float *m_re, float *m_im,
                                           complex_f p, complex_f q, complex_f r, complex_f t) {
    using V = typename Lanes<W>::V;
    const V pr = splat<V>(p.r), pi = splat<V>(p.i), qr = splat<V>(q.r), qi = splat<V>(q.i);
    const V rr = splat<V>(r.r), ri = splat<V>(r.i), tr = splat<V>(t.r), ti = splat<V>(t.i);
    for (int i = 0; i < np; i += W) {
        const V ar = load<V>(k_re + i), ai = load<V>(k_im + i);
        const V br = load<V>(m_re + i), bi = load<V>(m_im + i);
        store(k_re + i, (pr * ar - pi * ai) + (qr * br - qi * bi));
        store(k_im + i, (pr * ai + pi * ar) + (qr * bi + qi * br));
        store(m_re + i, (rr * ar - ri * ai) + (tr * br - ti * bi));
        store(m_im + i, (rr * ai + ri * ar) + (tr * bi + ti * br));
    }
}

// Copies rows (or columns) k and m of one split layout into the other.
void copy_across(int np, int k, int m, const float *from_re, const float *from_im, float *to_re, float *to_im) {
    for (int i = 0; i < np; ++i) {
        to_re[i * L + k] = from_re[k * L + i];
        to_im[i * L + k] = from_im[k * L + i];
        to_re[i * L + m] = from_re[m * L + i];
        to_im[i * L + m] = from_im[m * L + i];
    }
}

template <int W>
[[gnu::always_inline]] inline int decompose_split(int n, ParlMat &mat, DecompositionScratch &s) {
    const int np = (n + W - 1) / W * W;
    load_split(n, np, mat, s);
    bool more = true;
    int sweep = 1;
    float tau = 0.0f;
    while (sweep <= kSweepLimit && more) {
        const float tau_prev = tau;
        float delta;
        tau = sweep_start(n, s, delta);
        const float tol = kThresholdFactor * tau / static_cast<float>(n * n);
        if (sweep >= kStagnationFromSweep && tau_prev / tau < kStagnation) break;
        if (tau < kEps * delta) break;
        more = false;
        for (int k = 0; k < n - 1; ++k)
            for (int m = k + 1; m < n; ++m) {
                const complex_f akm = {s.a_row_re[k * L + m], s.a_row_im[k * L + m]};
                const complex_f amk = {s.a_row_re[m * L + k], s.a_row_im[m * L + k]};
                if (!(pair_size(akm, amk) >= tol)) continue;
                complex_f h;
                float g, hj;
                coupling_sums<W>(n, np, k, m, s, h, g, hj);
                const complex_f akk = {s.a_row_re[k * L + k], s.a_row_im[k * L + k]};
                const complex_f amm = {s.a_row_re[m * L + m], s.a_row_im[m * L + m]};
                PairTransform tr;
                if (!pair_coefficients(h, g, hj, akm, amk, akk, amm, tr)) continue;
                more = true;
                // rows k, m: (C1 a + S1 b, S2 a + C2 b)
                combine<W>(np, s.a_row_re + k * L, s.a_row_im + k * L, s.a_row_re + m * L, s.a_row_im + m * L,
                           tr.c1, tr.s1, tr.s2, tr.c2);
                copy_across(np, k, m, s.a_row_re, s.a_row_im, s.a_col_re, s.a_col_im);
                combine<W>(np, s.left_re + k * L, s.left_im + k * L, s.left_re + m * L, s.left_im + m * L, tr.c1,
                           tr.s1, tr.s2, tr.c2);
                // columns k, m: (C2 a - S2 b, -S1 a + C1 b)
                const complex_f neg_s2 = cneg(tr.s2);
                const complex_f neg_s1 = cneg(tr.s1);
                combine<W>(np, s.a_col_re + k * L, s.a_col_im + k * L, s.a_col_re + m * L, s.a_col_im + m * L,
                           tr.c2, neg_s2, neg_s1, tr.c1);
                copy_across(np, k, m, s.a_col_re, s.a_col_im, s.a_row_re, s.a_row_im);
                combine<W>(np, s.right_re + k * L, s.right_im + k * L, s.right_re + m * L, s.right_im + m * L,
                           tr.c2, neg_s2, neg_s1, tr.c1);
            }
        ++sweep;
    }
    store_split(n, s, mat);
    return sweep;
}

int decompose_sse(int n, ParlMat &mat, DecompositionScratch &s) { return decompose_split<4>(n, mat, s); }

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MOSSLIB_RELAX_WIDE_VECTORS 1
__attribute__((target("avx"), flatten)) int decompose_avx(int n, ParlMat &mat, DecompositionScratch &s) {
    return decompose_split<8>(n, mat, s);
}
#endif

using Kernel = int (*)(int, ParlMat &, DecompositionScratch &);

Kernel select_kernel() {
#ifdef MOSSLIB_RELAX_WIDE_VECTORS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) return decompose_avx;
#endif
    return decompose_sse;
}

}  // namespace

int eberlein_decompose(int n, ParlMat &mat, DecompositionScratch &scratch) {
    static const Kernel kernel = select_kernel();
    return kernel(n, mat, scratch);
}

}  // namespace mosslib::relax
