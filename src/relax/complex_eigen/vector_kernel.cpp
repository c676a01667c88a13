// Fast form of the complex Jacobi decomposition. The arithmetic is that of the plain
// form, operation for operation, so the results agree to the bit; what changes is the
// layout and the order of independent work. The matrix is kept with rows contiguous,
// so the row updates and the row products of a pair run along memory in vector
// registers (complex numbers interleaved, the product a*b formed as
// (ar*br - ai*bi, ai*br + ar*bi) with an add-subtract); columns k and m are gathered
// into vector registers one complex number per load, updated there, and stored back
// one complex number per store. The running sums over i of a pair stay sequential, in
// index order, as rounding requires. No fused multiply-add is used (and the build
// forbids contraction into one).
#include <cmath>
#include <utility>

#include "relax/complex_eigen/complex_eigen.h"
#include "relax/complex_eigen/pair_step.h"

// The vector helpers below are always inlined into the kernel of their width, so the
// warning about vector arguments across ISA boundaries does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::relax {

namespace {

using namespace detail;

constexpr int L = kMaxDim;  // leading dimension of both layouts

// W floats per vector, W/2 complex numbers (real, imaginary interleaved).
template <int W>
struct Lanes {
    typedef float V __attribute__((vector_size(W * sizeof(float))));
    typedef double D __attribute__((vector_size(W / 2 * sizeof(double))));  // one complex per lane
    static constexpr int kComplex = W / 2;
};

template <class V>
[[gnu::always_inline]] inline V load(const complex_f *p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline void store(complex_f *p, V v) {
    __builtin_memcpy(p, &v, sizeof v);
}

template <class V>
[[gnu::always_inline]] inline V load_floats(const float *p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// Lane permutations, as both GCC and clang spell them: lane l of the result is lane
// Pick::lane(l) of the concatenation (p, q). Permutations move bits and round nothing.
template <class V>
inline constexpr int kLanesOf = sizeof(V) / sizeof(float);

template <class Pick, class V, int... I>
[[gnu::always_inline]] inline V shuffle(V p, V q, std::integer_sequence<int, I...>) {
    return __builtin_shufflevector(p, q, Pick::lane(I)...);
}

template <class Pick, class V>
[[gnu::always_inline]] inline V permute(V p, V q) {
    return shuffle<Pick>(p, q, std::make_integer_sequence<int, kLanesOf<V>>{});
}

struct Swap {  // (re, im) -> (im, re)
    static constexpr int lane(int l) { return l ^ 1; }
};
struct Even {  // (re, im) -> (re, re)
    static constexpr int lane(int l) { return l & ~1; }
};
struct Odd {  // (re, im) -> (im, im)
    static constexpr int lane(int l) { return l | 1; }
};
struct Broadcast {  // lane 0 everywhere
    static constexpr int lane(int) { return 0; }
};
template <int W>
struct AddSub {  // even lanes from the first vector, odd lanes from the second
    static constexpr int lane(int l) { return (l & 1) ? W + l : l; }
};

// p - q in the real lanes, p + q in the imaginary lanes.
template <int W, class V>
[[gnu::always_inline]] inline V add_sub(V p, V q) {
    return permute<AddSub<W>>(p - q, p + q);
}

// Complex product of a by the complex number (cr, ci) broadcast: (ar*cr - ai*ci, ai*cr + ar*ci).
template <int W, class V>
[[gnu::always_inline]] inline V times(V a, V cr, V ci) {
    return add_sub<W>(a * cr, permute<Swap>(a, a) * ci);
}

// Element-wise complex product a*b of interleaved vectors.
template <int W, class V>
[[gnu::always_inline]] inline V product(V a, V b) {
    return times<W>(a, permute<Even>(b, b), permute<Odd>(b, b));
}

// x in every lane, bit for bit (a sum with a zero vector would turn -0 into +0).
template <class V>
[[gnu::always_inline]] inline V splat(float x) {
    V v{};
    v[0] = x;
    return permute<Broadcast>(v, v);
}

// Negates the imaginary lanes.
template <int W, class V>
[[gnu::always_inline]] inline V conj(V a) {
    V sign{};
    for (int l = 0; l < W; ++l) sign[l] = (l & 1) ? -1.0f : 1.0f;
    return a * sign;
}

float pair_size(complex_f a, complex_f b) {
    return std::fabs(a.r) + std::fabs(a.i) + std::fabs(b.r) + std::fabs(b.i);
}

// Copies the matrix into the row layout and sets the eigenvector matrices to the
// identity; padding up to np is zero.
void load_layouts(int n, int np, const ParlMat &mat, DecompositionScratch &s) {
    for (int j = 0; j < np; ++j)
        for (int i = 0; i < np; ++i) {
            const complex_f z = (i < n && j < n) ? mat.trans_mat[at(i, j)] : complex_f{0.0f, 0.0f};
            const complex_f one = {(i == j && i < n) ? 1.0f : 0.0f, 0.0f};
            s.a_row[i * L + j] = z;
            s.left[i * L + j] = one;
            s.right[j * L + i] = one;
            s.msq_row[i * L + j] = 0.0f;
            s.mod_sq[j * L + i] = 0.0f;
        }
}

void store_layouts(int n, const DecompositionScratch &s, ParlMat &mat) {
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            mat.trans_mat[at(i, j)] = s.a_row[i * L + j];
            mat.eig_left[at(i, j)] = s.left[i * L + j];
            mat.eig_right[at(i, j)] = s.right[j * L + i];
        }
}

// Squared moduli in both layouts; returns the off-diagonal measure tau and sets the
// diagonal measure delta, both summed row by row as in the plain form.
float sweep_start(int n, DecompositionScratch &s, float &delta) {
    float tau = 0.0f;
    delta = 0.0f;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const complex_f z = s.a_row[i * L + j];
            s.msq_row[i * L + j] = z.r * z.r + z.i * z.i;
            if (i == j)
                delta = delta + std::fabs(z.r) + std::fabs(z.i);
            else
                tau = tau + std::fabs(z.r) + std::fabs(z.i);
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) s.mod_sq[j * L + i] = s.msq_row[i * L + j];
    return tau;
}

// Column j of the row layout, elements i .. i + C - 1, in one vector.
template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::V gather_column(const complex_f *a_row, int i, int j) {
    using D = typename Lanes<W>::D;
    constexpr int C = Lanes<W>::kComplex;
    D d;
    for (int l = 0; l < C; ++l) {
        double bits;
        __builtin_memcpy(&bits, a_row + (i + l) * L + j, sizeof bits);
        d[l] = bits;
    }
    typename Lanes<W>::V v;
    __builtin_memcpy(&v, &d, sizeof v);
    return v;
}

template <int W>
[[gnu::always_inline]] inline void scatter_column(complex_f *a_row, int i, int j, typename Lanes<W>::V v) {
    using D = typename Lanes<W>::D;
    constexpr int C = Lanes<W>::kComplex;
    D d;
    __builtin_memcpy(&d, &v, sizeof d);
    for (int l = 0; l < C; ++l) {
        const double bits = d[l];
        __builtin_memcpy(a_row + (i + l) * L + j, &bits, sizeof bits);
    }
}

// Four floats of which the running sums use the low two.
typedef float Pair __attribute__((vector_size(4 * sizeof(float))));
typedef double PairBits __attribute__((vector_size(2 * sizeof(double))));

// One complex number into the low lanes, the upper lanes zero.
[[gnu::always_inline]] inline Pair load_complex(const complex_f *p) {
    double bits;
    __builtin_memcpy(&bits, p, sizeof bits);
    const PairBits d = {bits, 0.0};
    return (Pair)d;
}

// The update of the eigenvector matrices by a transformed pair. Nothing reads them while
// the sweep runs, so it is held back and carried out in the shadow of the next pair's
// running sums, whose additions wait on one another and leave the vector units idle.
struct DeferredUpdate {
    bool pending = false;
    int k = 0, m = 0;
    PairTransform tr{};
};

// How the first of the two new rows combines its terms: the rows of a pair take
// C1 a + S1 b, the columns C2 a - S2 b. The difference is formed as such: adding the
// negated product instead would give +0 where the difference gives -0.
enum class First { plus, minus };

template <First op, class V>
[[gnu::always_inline]] inline V first_row(V pa, V qb) {
    if constexpr (op == First::plus)
        return pa + qb;
    else
        return pa - qb;
}

// One vector of a deferred update: complex numbers j .. j + C - 1 of the rows xk, xm
// become (P a +- Q b, R a + T b).
template <int W, First op>
[[gnu::always_inline]] inline void combine_step(complex_f *xk, complex_f *xm, int j, complex_f p, complex_f q,
                                                complex_f r, complex_f t) {
    using V = typename Lanes<W>::V;
    const V a = load<V>(xk + j);
    const V b = load<V>(xm + j);
    store(xk + j, first_row<op>(times<W>(a, splat<V>(p.r), splat<V>(p.i)), times<W>(b, splat<V>(q.r), splat<V>(q.i))));
    store(xm + j, times<W>(a, splat<V>(r.r), splat<V>(r.i)) + times<W>(b, splat<V>(t.r), splat<V>(t.i)));
}

// The coupling sums of the pair (k, m): products and moduli in vectors, then the four
// running sums in index order, skipping i = k and i = m.
template <int W>
[[gnu::always_inline]] inline void coupling_sums(int n, int np, int k, int m, DecompositionScratch &s,
                                                 DeferredUpdate &deferred, complex_f &h, float &g, float &hj) {
    using V = typename Lanes<W>::V;
    constexpr int C = Lanes<W>::kComplex;
    const complex_f *row_k = s.a_row + k * L, *row_m = s.a_row + m * L;
    for (int i = 0; i < np; i += C) {
        store(s.x + i, product<W>(load<V>(row_k + i), conj<W>(load<V>(row_m + i))));  // A(k,i) conj(A(m,i))
        const V col_k = load<V>(s.pivot + i);
        const V col_m = gather_column<W>(s.a_row, i, m);
        store(s.partner + i, col_m);
        store(s.y + i, product<W>(conj<W>(col_k), col_m));  // conj(A(i,k)) A(i,m)
    }
    using VF = typename Lanes<W>::V;
    const float *q_ik = s.mod_sq + k * L, *q_im = s.mod_sq + m * L;    // |A(i,k)|^2, |A(i,m)|^2
    const float *q_ki = s.msq_row + k * L, *q_mi = s.msq_row + m * L;  // |A(k,i)|^2, |A(m,i)|^2
    for (int i = 0; i < np; i += W) {
        const VF te = load_floats<VF>(q_ik + i) + load_floats<VF>(q_mi + i);
        const VF tee = load_floats<VF>(q_im + i) + load_floats<VF>(q_ki + i);
        __builtin_memcpy(s.te + i, &te, sizeof te);
        __builtin_memcpy(s.tee + i, &tee, sizeof tee);
    }
    // Terms i = k and i = m are left out by neutral ones: (h + (-0)) - (+0) = h for every
    // h, and since the moduli sums start at +0 and take only non-negative terms they are
    // never -0, so adding and subtracting +0 leaves them as they are. The sums then run
    // over all i in one loop, and the held-back update of the eigenvector matrices runs
    // in its shadow.
    s.x[k] = s.x[m] = {-0.0f, -0.0f};
    s.y[k] = s.y[m] = {0.0f, 0.0f};
    s.te[k] = s.te[m] = s.tee[k] = s.tee[m] = 0.0f;
    // (hr, hi) and (hj, g) side by side, each in the low lanes of one register; the
    // subtraction of te from hj and its addition to g are one add-subtract.
    Pair hh{}, gg{};
    int i = 0;
    auto accumulate = [&](int end) {
        for (; i < end; ++i) {
            hh = hh + load_complex(s.x + i) - load_complex(s.y + i);
            gg = add_sub<4>(gg, splat<Pair>(s.te[i]));
            gg = gg + splat<Pair>(s.tee[i]);
        }
    };
    if (deferred.pending) {
        const int per_step = (n + 2 * np / C - 1) / (2 * np / C);
        const PairTransform &tr = deferred.tr;
        complex_f *left_k = s.left + deferred.k * L, *left_m = s.left + deferred.m * L;
        complex_f *right_k = s.right + deferred.k * L, *right_m = s.right + deferred.m * L;
        for (int j = 0; j < np; j += C) {
            accumulate(i + per_step < n ? i + per_step : n);
            combine_step<W, First::plus>(left_k, left_m, j, tr.c1, tr.s1, tr.s2, tr.c2);
        }
        const complex_f neg_s1 = cneg(tr.s1);
        for (int j = 0; j < np; j += C) {
            accumulate(i + per_step < n ? i + per_step : n);
            combine_step<W, First::minus>(right_k, right_m, j, tr.c2, tr.s2, neg_s1, tr.c1);
        }
        deferred.pending = false;
    }
    accumulate(n);
    h = {hh[0], hh[1]};
    g = gg[1];
    hj = gg[0];
}

// Carries out a held-back update of the eigenvector matrices.
template <int W>
inline void flush(int np, DecompositionScratch &s, DeferredUpdate &deferred) {
    if (!deferred.pending) return;
    constexpr int C = Lanes<W>::kComplex;
    const PairTransform &tr = deferred.tr;
    complex_f *left_k = s.left + deferred.k * L, *left_m = s.left + deferred.m * L;
    complex_f *right_k = s.right + deferred.k * L, *right_m = s.right + deferred.m * L;
    for (int j = 0; j < np; j += C) combine_step<W, First::plus>(left_k, left_m, j, tr.c1, tr.s1, tr.s2, tr.c2);
    const complex_f neg_s1 = cneg(tr.s1);
    for (int j = 0; j < np; j += C) combine_step<W, First::minus>(right_k, right_m, j, tr.c2, tr.s2, neg_s1, tr.c1);
    deferred.pending = false;
}

// (x_k, x_m) <- (P a + Q b, R a + T b) over np contiguous complex numbers, a = x_k, b = x_m.
template <int W>
[[gnu::always_inline]] inline void combine(int np, complex_f *xk, complex_f *xm, complex_f p, complex_f q,
                                           complex_f r, complex_f t) {
    using V = typename Lanes<W>::V;
    constexpr int C = Lanes<W>::kComplex;
    const V pr = splat<V>(p.r), pi = splat<V>(p.i), qr = splat<V>(q.r), qi = splat<V>(q.i);
    const V rr = splat<V>(r.r), ri = splat<V>(r.i), tr = splat<V>(t.r), ti = splat<V>(t.i);
    for (int i = 0; i < np; i += C) {
        const V a = load<V>(xk + i);
        const V b = load<V>(xm + i);
        store(xk + i, times<W>(a, pr, pi) + times<W>(b, qr, qi));
        store(xm + i, times<W>(a, rr, ri) + times<W>(b, tr, ti));
    }
}

// Columns k and m: (a, b) <- (P a - Q b, R a + T b), a = column k (the pivot column),
// b = column m (as gathered for the sums and brought up to date in rows k and m); the
// new column m is stored back into the row layout one complex number at a time.
template <int W>
[[gnu::always_inline]] inline void combine_columns(int np, complex_f *pivot, const complex_f *partner,
                                                   complex_f *a_row, int m, complex_f p, complex_f q, complex_f r,
                                                   complex_f t) {
    using V = typename Lanes<W>::V;
    constexpr int C = Lanes<W>::kComplex;
    const V pr = splat<V>(p.r), pi = splat<V>(p.i), qr = splat<V>(q.r), qi = splat<V>(q.i);
    const V rr = splat<V>(r.r), ri = splat<V>(r.i), tr = splat<V>(t.r), ti = splat<V>(t.i);
    for (int i = 0; i < np; i += C) {
        const V a = load<V>(pivot + i);
        const V b = load<V>(partner + i);
        store(pivot + i, times<W>(a, pr, pi) - times<W>(b, qr, qi));
        scatter_column<W>(a_row, i, m, times<W>(a, rr, ri) + times<W>(b, tr, ti));
    }
}

template <int W>
[[gnu::always_inline]] inline int decompose_layouts(int n, ParlMat &mat, DecompositionScratch &s) {
    constexpr int C = Lanes<W>::kComplex;
    const int np = (n + W - 1) / W * W;  // a multiple of both C and W
    static_assert(W % C == 0);
    load_layouts(n, np, mat, s);
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
        DeferredUpdate deferred;
        for (int k = 0; k < n - 1; ++k) {
            // Column k is the pivot of the pairs (k, m): it is kept contiguous in
            // s.pivot while they run, and the row layout's column k is stale (and its
            // lanes in the row updates unused) until it is stored back after them.
            for (int i = 0; i < np; ++i) s.pivot[i] = s.a_row[i * L + k];
            for (int m = k + 1; m < n; ++m) {
                const complex_f akm = s.a_row[k * L + m];
                const complex_f amk = s.pivot[m];
                if (!(pair_size(akm, amk) >= tol)) continue;
                // The rotation needs only the pair's own elements: it runs alongside the sums.
                const PairRotation rot = pair_rotation(akm, amk, s.pivot[k], s.a_row[m * L + m]);
                complex_f h;
                float g, hj;
                coupling_sums<W>(n, np, k, m, s, deferred, h, g, hj);
                PairTransform tr;
                if (!pair_coefficients(rot, h, g, hj, tr)) continue;
                more = true;
                // rows k, m: (C1 a + S1 b, S2 a + C2 b); in column k on the pivot itself
                // (and in column m on the copy gathered for the sums)
                const complex_f pk = s.pivot[k];
                const complex_f pm = s.pivot[m];
                s.pivot[k] = cadd(cmul(tr.c1, pk), cmul(tr.s1, pm));
                s.pivot[m] = cadd(cmul(tr.s2, pk), cmul(tr.c2, pm));
                const complex_f qk = s.partner[k];
                const complex_f qm = s.partner[m];
                s.partner[k] = cadd(cmul(tr.c1, qk), cmul(tr.s1, qm));
                s.partner[m] = cadd(cmul(tr.s2, qk), cmul(tr.c2, qm));
                combine<W>(np, s.a_row + k * L, s.a_row + m * L, tr.c1, tr.s1, tr.s2, tr.c2);
                // columns k, m: (C2 a - S2 b, -S1 a + C1 b)
                combine_columns<W>(np, s.pivot, s.partner, s.a_row, m, tr.c2, tr.s2, cneg(tr.s1), tr.c1);
                deferred = {true, k, m, tr};
            }
            for (int i = 0; i < np; ++i) s.a_row[i * L + k] = s.pivot[i];
        }
        flush<W>(np, s, deferred);
        ++sweep;
    }
    store_layouts(n, s, mat);
    return sweep;
}

int decompose_sse(int n, ParlMat &mat, DecompositionScratch &s) { return decompose_layouts<4>(n, mat, s); }

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MOSSLIB_RELAX_WIDE_VECTORS 1
__attribute__((target("avx"), flatten)) int decompose_avx(int n, ParlMat &mat, DecompositionScratch &s) {
    return decompose_layouts<8>(n, mat, s);
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

int eberlein_decompose_baseline(int n, ParlMat &mat, DecompositionScratch &scratch) {
    return decompose_sse(n, mat, scratch);
}

}  // namespace mosslib::relax
