// The complex Jacobi decomposition of several matrices at once, one matrix per vector
// lane. Each lane carries out exactly the operations of the plain kernel on its own
// matrix, in the same order, so its results agree with it to the bit: the sweeps' sums
// and the row and column updates are the same IEEE operations lane by lane (real and
// imaginary parts in separate vectors, so no lane ever meets another), and the 2x2 step
// of a pair, which is a few dozen operations with branches, square roots and
// divisions, runs lane by lane through pair_step.h itself. Where the plain kernel skips
// a pair or stops sweeping, its lane keeps its values: the new values of a row or
// column are blended in under a mask of the lanes that transform (with AVX-512, written
// under a mask register by the last addition). A pair's coupling
// sums wait on one another in index order; with eight matrices in flight that chain of
// additions is shared by eight decompositions.
#include <cmath>
#include <initializer_list>

#include "common/vector_lanes.h"
#include "relax/complex_eigen/complex_eigen.h"
#include "relax/complex_eigen/pair_step.h"

// The vector helpers below are always inlined into the kernel of their width, so the
// warning about vector arguments across ISA boundaries does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::relax {

namespace {

using namespace detail;

constexpr int B = kDecompositionLanes;

// B floats, one per matrix; the masks of the same width.
typedef float V __attribute__((vector_size(B * sizeof(float))));
typedef int M __attribute__((vector_size(B * sizeof(int))));

// Offset of element (i, j) in a lane layout: the B matrices' elements side by side.
constexpr int el(int i, int j) { return (i * kLaneRow + j) * B; }

// A vector of lanes (or, W = Z below, a whole element of every lane) from memory, and back.
template <class W = V>
[[gnu::always_inline]] inline W load(const float *p) {
    W v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class W>
[[gnu::always_inline]] inline void store(float *p, W v) { __builtin_memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline M bits(V v) {
    M m;
    __builtin_memcpy(&m, &v, sizeof m);
    return m;
}

[[gnu::always_inline]] inline V floats(M m) {
    V v;
    __builtin_memcpy(&v, &m, sizeof v);
    return v;
}

// |x| lane by lane: the sign bit cleared, as fabs does.
[[gnu::always_inline]] inline V vabs(V x) { return floats(bits(x) & 0x7fffffff); }

// yes where the mask is set, no elsewhere, bit for bit.
[[gnu::always_inline]] inline V blend(M mask, V yes, V no) { return mask ? yes : no; }

// With AVX-512 the last addition of an update writes its lanes under a mask register
// and leaves the others as they were, in place of a separate blend. These forms are only
// instantiated in the kernel compiled for AVX-512 (run_in_avx512_lanes), which GCC alone
// builds: they are written as single instructions, since the intrinsics cannot be
// inlined into the always-inline helpers of a kernel shared with other widths.
#if defined(MOSSLIB_AVX2_LANES) && !defined(__clang__)
#define MOSSLIB_MERGE_LANES 1
#endif

// The lanes of a mask as bits of a mask register.
typedef unsigned char LaneBits;

[[gnu::always_inline]] inline LaneBits lane_bits(M mask) {
#ifdef MOSSLIB_MERGE_LANES
    LaneBits k;
    asm("vpmovd2m %1, %0" : "=Yk"(k) : "v"(mask));
    return k;
#else
    (void)mask;
    __builtin_unreachable();
#endif
}

// x + y (x - y when `minus`) in the lanes of k, old in the others; also on whole
// elements (Z, below), the mask then repeated for both halves.
template <bool minus, class W, class K>
[[gnu::always_inline]] inline W merge(W old, K k, W x, W y) {
#ifdef MOSSLIB_MERGE_LANES
    if (minus)
        asm("vsubps %2, %1, %0%{%3%}" : "+v"(old) : "v"(x), "v"(y), "Yk"(k));
    else
        asm("vaddps %2, %1, %0%{%3%}" : "+v"(old) : "v"(x), "v"(y), "Yk"(k));
    return old;
#else
    (void)old, (void)k, (void)x, (void)y;
    __builtin_unreachable();
#endif
}

// Two complex vectors (re, im) as one pair of lanes' elements.
struct CV {
    V r, i;
};

// The lanes' real and imaginary parts of the element at lane offset e (a multiple of B).
[[gnu::always_inline]] inline float *re(LaneMatrices &x, int e) { return x.z + 2 * e; }
[[gnu::always_inline]] inline float *im(LaneMatrices &x, int e) { return x.z + 2 * e + B; }
[[gnu::always_inline]] inline const float *re(const LaneMatrices &x, int e) { return x.z + 2 * e; }
[[gnu::always_inline]] inline const float *im(const LaneMatrices &x, int e) { return x.z + 2 * e + B; }

[[gnu::always_inline]] inline CV cload(const LaneMatrices &x, int e) { return {load(re(x, e)), load(im(x, e))}; }

#ifdef MOSSLIB_MERGE_LANES
// With AVX-512, one register holds an element of every lane whole: the lanes' real
// parts, then their imaginary parts, as they lie in memory. A complex product is then
// two products and a sum per register: c a = [cr | cr] a + [-ci | ci] (a with its
// halves exchanged), whose real half is cr ar + (-(ci ai)) = cr ar - ci ai and whose
// imaginary half is cr ai + ci ar, the same operations as times(). Only the sign of a
// NaN coefficient's NaN could differ; coefficients with NaN take the other form.
static_assert(B == 8, "a register of 16 floats holds one element of every lane");
typedef float Z __attribute__((vector_size(2 * B * sizeof(float))));

// (x | y)
[[gnu::always_inline]] inline Z join(V x, V y) {
    return __builtin_shufflevector(x, y, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// (re | im) -> (im | re)
[[gnu::always_inline]] inline Z exchange(Z z) {
    return __builtin_shufflevector(z, z, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
}

// A coefficient of every lane as the two registers of the product.
struct ZC {
    Z re, im;  // [cr | cr], [-ci | ci]
};

[[gnu::always_inline]] inline ZC zcoefficient(V cr, V ci) { return {join(cr, cr), join(-ci, ci)}; }

[[gnu::always_inline]] inline Z ztimes(ZC c, Z a, Z swapped) { return c.re * a + c.im * swapped; }
#endif

// cmul(c, a): (cr ar - ci ai, cr ai + ci ar), c one coefficient per lane.
[[gnu::always_inline]] inline CV times(V cr, V ci, CV a) { return {cr * a.r - ci * a.i, cr * a.i + ci * a.r}; }

// Square roots lane by lane, each rounded as std::sqrt rounds it (an IEEE square root,
// correctly rounded). Without errno handling the compiler packs them into the widest
// square-root instruction of the clone.
[[gnu::always_inline]] inline V vsqrt(V x) {
    V r;
    for (int l = 0; l < B; ++l) r[l] = std::sqrt(x[l]);
    return r;
}

// The lanes widened to double and rounded back to float.
typedef double D __attribute__((vector_size(B * sizeof(double))));

[[gnu::always_inline]] inline D widen(V v) { return __builtin_convertvector(v, D); }

[[gnu::always_inline]] inline V narrow(D d) { return __builtin_convertvector(d, V); }

// dsqrt of the widened lanes.
[[gnu::always_inline]] inline D dsqrt_lanes(V x) {
    const D d = widen(x);
    D r;
    for (int l = 0; l < B; ++l) r[l] = std::sqrt(d[l]);
    return r;
}

[[gnu::always_inline]] inline V splat(float x) { return V{} + x; }

// pair_rotation and pair_coefficients of pair_step.h in every lane at once: both arms of
// each branch are formed and the lane's own arm selected, every operation the one the
// scalar step makes, in its order and precision. Arms a lane does not take may divide
// by zero; their values are never selected.
struct LanePairStep {
    V c1r, c1i, c2r, c2i, s1r, s1i, s2r, s2i;
};

// pair_rotation: what the step takes from the pair's four elements alone. Formed before
// the coupling sums, so that its chain of roots and divisions runs beside theirs.
struct LaneRotation {
    M still;  // root1 < eps: no rotation
    V sig, root2, ca, sa, cx, sx, cos2a, sin2a, e, b, nd;
};

[[gnu::always_inline]] inline LaneRotation pair_rotation_lanes(CV akm, CV amk, CV akk, CV amm) {
    const V one = splat(1.0f), zero = splat(0.0f), eps = splat(kEps);
    // pair_rotation
    const V br = akm.r + amk.r, bi = akm.i + amk.i;
    const V er = akm.r - amk.r, ei = akm.i - amk.i;
    const V dr = akk.r - amm.r, di = akk.i - amm.i;
    const V te0 = dr * dr + ei * ei + br * br;
    const V tee0 = di * di + er * er + bi * bi;
    const M isw1 = tee0 <= te0;
    const V c = isw1 ? br : bi, s = isw1 ? ei : -er;
    const V d = isw1 ? dr : di, de = isw1 ? di : dr;
    const V root2 = vsqrt(isw1 ? te0 : tee0);
    const V root1 = vsqrt(c * c + s * s);
    const V sig = d >= zero ? one : -one;
    const M still = root1 < eps;  // no rotation
    const M s_big = vabs(s) > eps;
    const V ca_r = s_big ? c / root1 : (c >= zero ? one : -one);
    const V sa_r = s_big ? s / root1 : zero;
    const V cot2x = d / root1;
    const D root_cot = dsqrt_lanes(one + cot2x * cot2x);
    const D cot2x_d = widen(cot2x), sig_d = widen(sig);
    const V cotx = narrow(cot2x_d + sig_d * root_cot);
    const D root_x = dsqrt_lanes(one + cotx * cotx);
    const V sx_r = narrow(sig_d / root_x);
    const V cx_r = sx_r * cotx;
    const V eta = (er * br + bi * ei) / root1;
    const V tse = (br * bi - er * ei) / root1;
    const V te1 = sig * (tse * d - root1 * de) / root2;
    const V tee1 = (d * de + root1 * tse) / root2;
    const V isw = isw1 ? one : -one;
    const V ca = still ? one : ca_r, sa = still ? zero : sa_r;
    const V cx = still ? one : cx_r, sx = still ? zero : sx_r;
    const V nd = still ? d * d + de * de : root2 * root2 + tee1 * tee1;
    const V cos2a = still ? zero : ca * ca - sa * sa;
    const V sin2a = still ? zero : 2.0f * ca * sa;
    const V b = still ? (isw1 ? bi : -br) : isw * te1 * ca + eta * sa;
    const V e = still ? (isw1 ? er : ei) : ca * eta - isw * te1 * sa;
    return {still, sig, root2, ca, sa, cx, sx, cos2a, sin2a, e, b, nd};
}

// pair_coefficients: the rotation completed by the coupling sums.
[[gnu::always_inline]] inline LanePairStep pair_coefficients_lanes(const LaneRotation &r, V hr, V hi, V g, V hj) {
    const V one = splat(1.0f), zero = splat(0.0f), eps = splat(kEps);
    const M still = r.still;
    const V sig = r.sig, root2 = r.root2, ca = r.ca, sa = r.sa, cx = r.cx, sx = r.sx;
    const V cos2a = r.cos2a, sin2a = r.sin2a, e = r.e, b = r.b, nd = r.nd;
    const V tee = hj * cx * sx;
    const V tem0 = hr * cos2a + hi * sin2a;
    const V tep0 = hi * cos2a - hr * sin2a;
    const V hr1 = still ? hr : cx * cx * hr - sx * sx * tem0 - ca * tee;
    const V hi1 = still ? hi : cx * cx * hi + sx * sx * tep0 - sa * tee;
    const V sh_s = hr1 - sig * root2 * e;
    const V sh_c = hi1 - sig * root2 * b;
    const V root = vsqrt(sh_c * sh_c + sh_s * sh_s);
    const M no_shear = root < eps;
    const V cb_r = -sh_c / root;
    const V sb_r = sh_s / root;
    const V t = cb_r * b - e * sb_r;
    const V nc = t * t;
    V tanh = root / (g + 2.0f * (nc + nd));
    tanh = tanh >= one ? zero : tanh;
    const D root_h = dsqrt_lanes(one - tanh * tanh);
    const V ch_r = narrow(1.0 / root_h);
    const V cb = no_shear ? one : cb_r, sb = no_shear ? zero : sb_r;
    const V ch = no_shear ? one : ch_r, sh = no_shear ? zero : ch_r * tanh;

    LanePairStep out;
    V tem = sx * sh * (sa * cb - sb * ca);
    out.c1r = cx * ch - tem;
    out.c2r = cx * ch + tem;
    out.c1i = -sx * sh * (ca * cb + sa * sb);
    out.c2i = out.c1i;
    V tep = sx * ch * ca;
    tem = cx * sh * sb;
    out.s1r = tep - tem;
    out.s2r = -tep - tem;
    tep = sx * ch * sa;
    tem = cx * sh * cb;
    out.s1i = tep + tem;
    out.s2i = tep - tem;
    return out;
}

// exceeds_eps(z) in every lane of `wanted`: decided in the lanes where the larger part
// settles it, by exceeds_eps itself in the others (NaN parts, or parts near eps).
[[gnu::always_inline]] inline M exceeds_eps_lanes(V zr, V zi, M wanted) {
    const V ar = vabs(zr), ai = vabs(zi);
    const V big = ar > ai ? ar : ai;
    const M finite_parts = (zr == zr) & (zi == zi);
    const M above = finite_parts & (big > splat(kEps));
    const M below = finite_parts & (big < splat(0.6f * kEps));  // big * 1.5 < eps
    M out = above;
    const M unsettled = wanted & ~(above | below);
    for (int l = 0; l < B; ++l)
        if (unsettled[l]) out[l] = exceeds_eps({zr[l], zi[l]}) ? -1 : 0;
    return out;
}

// Whether any lane of the mask is set.
[[gnu::always_inline]] inline bool any_lane(M mask) {
    unsigned long long w[sizeof mask / 8];
    __builtin_memcpy(w, &mask, sizeof mask);
    unsigned long long all = 0;
    for (unsigned long long x : w) all |= x;
    return all != 0;
}

// Products that underflow to subnormals, or read one, cost microcode assists on some
// processors. Formed in double precision, a product of two floats is exact, and its
// rounding to float is the single-precision product's own, subnormal or not, without an
// assist: the same bits. A pair's update of two lines of A forms in double precision
// those of its products whose coefficient, times the smallest part of its line at the
// sweep's start in some lane, could fall below FLT_MIN (combine, below). The choice
// decides only the speed, never a bit.
[[gnu::always_inline]] inline V dtimes(D c, D x) { return narrow(c * x); }

// Magnitudes as unsigned keys: the bits of |x| less one, so that zero lies above every
// other magnitude and the least key is the least non-zero magnitude.
typedef unsigned U __attribute__((vector_size(B * sizeof(unsigned))));

[[gnu::always_inline]] inline U magnitude_key(V x) { return (U)(bits(vabs(x))) - (U{} + 1u); }

[[gnu::always_inline]] inline U least_key(U x, U y) { return x < y ? x : y; }

// Inputs below which a product with one of the coefficients may fall below FLT_MIN,
// as a key: 2^(2 - e) for the least non-zero coefficient 1.x 2^e, which is at most
// twice the exact bound 2^-125 / least, and never below FLT_MIN (a subnormal input is
// itself slow); every input where that coefficient is subnormal; FLT_MIN where every
// coefficient is zero.
[[gnu::always_inline]] inline M small_input_key(std::initializer_list<V> coefficients) {
    U least = U{} + ~0u;
    for (V c : coefficients) least = least_key(least, magnitude_key(c));
    const M exponent = (M)((least + 1u) >> 23);  // biased; 0 for a subnormal or where all are zero
    const M bound = 129 - exponent;               // biased exponent of 2^(2 - e)
    const M flt_min = M{} + 0x00800000, infinity = M{} + 0x7f800000;
    const M key = exponent > 0 ? (bound < 1 ? flt_min : bound << 23) : ((M)least == -1 ? flt_min : infinity);
    return key - 1;
}

// Lanes whose key is below the bound's.
[[gnu::always_inline]] inline M below(M key, M bound_key) { return (M)((U)key < (U)bound_key); }

// How an update forms its products: all in single precision; those of the imaginary
// parts of P and T (the near-unit coefficients, whose imaginary part is second order in
// the pair's rotation and shear, and so the one that underflows) in double precision;
// or all in double precision. The same bits each way.
enum class Products { single, outer_imaginary_in_double, all_in_double };

// The pair's update of two lines of x (rows or columns, each element at ek + step * t,
// em + step * t for t < n): (P a + Q b, R a + T b), or P a - Q b in the first line
// when `minus`, blended into the lanes of the mask; stored whole when `whole` (every lane
// that holds a matrix transforms); merged into the lanes of the mask when `merged`.
template <bool minus, bool whole, bool merged, Products products, bool wide>
[[gnu::always_inline]] inline void update_lines(int n, LaneMatrices &x, int ek, int em, int step, V pr, V pi, V qr,
                                                V qi, V rr, V ri, V tr, V ti, M mask) {
    LaneBits bits_of_mask = 0;
    if (merged) bits_of_mask = lane_bits(mask);
    constexpr bool outer_double = products == Products::outer_imaginary_in_double;
#ifdef MOSSLIB_MERGE_LANES
    if constexpr (wide && products != Products::all_in_double) {
        if (!any_lane((pi != pi) | (qi != qi) | (ri != ri) | (ti != ti))) {
            const ZC p = zcoefficient(pr, pi), q = zcoefficient(qr, qi);
            const ZC r = zcoefficient(rr, ri), t = zcoefficient(tr, ti);
            // [-pi | pi] and [-ti | ti] widened, for the products formed in double.
            const D pi_d = widen(pi), ti_d = widen(ti), npi_d = -pi_d, nti_d = -ti_d;
            const unsigned short both = static_cast<unsigned short>(bits_of_mask | bits_of_mask << 8);
            for (int j = 0; j < n; ++j) {
                float *const k = re(x, ek + step * j), *const m = re(x, em + step * j);
                const Z a = load<Z>(k), b = load<Z>(m);
                const Z sa = exchange(a), sb = exchange(b);
                Z pa, tb;
                if (outer_double) {
                    // [cr | cr] a + [-ci ai | ci ar], the second term's products exact in
                    // double and rounded once.
                    const D ar = widen(load(k)), ai = widen(load(k + B));
                    const D br = widen(load(m)), bi = widen(load(m + B));
                    pa = p.re * a + join(dtimes(npi_d, ai), dtimes(pi_d, ar));
                    tb = t.re * b + join(dtimes(nti_d, bi), dtimes(ti_d, br));
                } else {
                    pa = ztimes(p, a, sa);
                    tb = ztimes(t, b, sb);
                }
                const Z qb = ztimes(q, b, sb), ra = ztimes(r, a, sa);
                if (whole) {
                    store(k, minus ? pa - qb : pa + qb);
                    store(m, ra + tb);
                } else {
                    store(k, merge<minus>(a, both, pa, qb));
                    store(m, merge<false>(b, both, ra, tb));
                }
            }
            return;
        }
    }
#endif
    const D pr_d = widen(pr), pi_d = widen(pi), qr_d = widen(qr), qi_d = widen(qi);
    const D rr_d = widen(rr), ri_d = widen(ri), tr_d = widen(tr), ti_d = widen(ti);
    for (int t = 0; t < n; ++t) {
        const int k = ek + step * t, m = em + step * t;
        const CV a = cload(x, k), b = cload(x, m);
        CV pa, qb, ra, tb;
        if constexpr (products == Products::all_in_double) {
            const D ar = widen(a.r), ai = widen(a.i), br = widen(b.r), bi = widen(b.i);
            pa = {dtimes(pr_d, ar) - dtimes(pi_d, ai), dtimes(pr_d, ai) + dtimes(pi_d, ar)};
            qb = {dtimes(qr_d, br) - dtimes(qi_d, bi), dtimes(qr_d, bi) + dtimes(qi_d, br)};
            ra = {dtimes(rr_d, ar) - dtimes(ri_d, ai), dtimes(rr_d, ai) + dtimes(ri_d, ar)};
            tb = {dtimes(tr_d, br) - dtimes(ti_d, bi), dtimes(tr_d, bi) + dtimes(ti_d, br)};
        } else if constexpr (outer_double) {
            const D ar = widen(a.r), ai = widen(a.i), br = widen(b.r), bi = widen(b.i);
            pa = {pr * a.r - dtimes(pi_d, ai), pr * a.i + dtimes(pi_d, ar)};
            qb = times(qr, qi, b);
            ra = times(rr, ri, a);
            tb = {tr * b.r - dtimes(ti_d, bi), tr * b.i + dtimes(ti_d, br)};
        } else {
            pa = times(pr, pi, a);
            qb = times(qr, qi, b);
            ra = times(rr, ri, a);
            tb = times(tr, ti, b);
        }
        if (merged) {
            store(re(x, k), merge<minus>(a.r, bits_of_mask, pa.r, qb.r));
            store(im(x, k), merge<minus>(a.i, bits_of_mask, pa.i, qb.i));
            store(re(x, m), merge<false>(b.r, bits_of_mask, ra.r, tb.r));
            store(im(x, m), merge<false>(b.i, bits_of_mask, ra.i, tb.i));
            continue;
        }
        const CV first = minus ? CV{pa.r - qb.r, pa.i - qb.i} : CV{pa.r + qb.r, pa.i + qb.i};
        const CV second = {ra.r + tb.r, ra.i + tb.i};
        if (whole) {
            store(re(x, k), first.r);
            store(im(x, k), first.i);
            store(re(x, m), second.r);
            store(im(x, m), second.i);
        } else {
            store(re(x, k), blend(mask, first.r, a.r));
            store(im(x, k), blend(mask, first.i, a.i));
            store(re(x, m), blend(mask, second.r, b.r));
            store(im(x, m), blend(mask, second.i, b.i));
        }
    }
}

// update_lines with its products chosen. `guarded` (lines of A, whose smallest parts at
// the sweep start are least_a and least_b, as keys): on processors where subnormals are
// slow (`avoid`), the products that may fall below FLT_MIN in some lane are formed in
// double precision: only those of P's and T's imaginary parts where the others are safe.
template <bool minus, bool whole, bool merged, bool guarded, bool wide = false>
[[gnu::always_inline]] inline void combine(int n, LaneMatrices &x, int ek, int em, int step, V pr, V pi, V qr, V qi,
                                           V rr, V ri, V tr, V ti, M mask, bool avoid = false, M least_a = M{},
                                           M least_b = M{}) {
    if (guarded && avoid) {
        if (any_lane(below(least_a, small_input_key({pr, rr, ri})) | below(least_b, small_input_key({qr, qi, tr}))))
            return update_lines<minus, whole, merged, Products::all_in_double, wide>(n, x, ek, em, step, pr, pi, qr,
                                                                                    qi, rr, ri, tr, ti, mask);
        if (any_lane(below(least_a, small_input_key({pi})) | below(least_b, small_input_key({ti}))))
            return update_lines<minus, whole, merged, Products::outer_imaginary_in_double, wide>(
                n, x, ek, em, step, pr, pi, qr, qi, rr, ri, tr, ti, mask);
    }
    update_lines<minus, whole, merged, Products::single, wide>(n, x, ek, em, step, pr, pi, qr, qi, rr, ri, tr, ti,
                                                               mask);
}

struct LaneState {
    bool active[B];
    int sweep[B];
    float tau[B];
    M on;   // the active lanes, as a mask
    M empty;  // the lanes that hold no matrix
    V tol;  // their thresholds
    M more;
    bool avoid_subnormals;  // products that may be subnormal formed in double precision
};

// Squared moduli of the sweep start; tau and delta of every lane summed row by row.
// Also the least non-zero magnitude of a part in every row and column, as keys: where
// they are large enough, a pair's updates of A skip the test for small inputs.
void sweep_start(int n, LaneScratch &s, V &tau, V &delta) {
    tau = V{} + 0.0f;
    delta = V{} + 0.0f;
    const U none = U{} + ~0u;
    for (int i = 0; i < n; ++i) store(s.column_least + i * B, floats((M)none));
    for (int i = 0; i < n; ++i) {
        U row = none;
        for (int j = 0; j < n; ++j) {
            const int e = el(i, j);
            const V zr = load(re(s.a, e)), zi = load(im(s.a, e));
            const U key = least_key(magnitude_key(zr), magnitude_key(zi));
            row = least_key(row, key);
            float *column = s.column_least + j * B;
            store(column, floats((M)least_key((U)bits(load(column)), key)));
            const V sq = zr * zr + zi * zi;
            store(s.msq + e, sq);
            store(s.msq_t + el(j, i), sq);
            if (i == j)
                delta = delta + vabs(zr) + vabs(zi);
            else
                tau = tau + vabs(zr) + vabs(zi);
        }
        store(s.row_least + i * B, floats((M)row));
    }
}

// The coupling sums of the pair (k, m) in every lane, over i in index order.
struct CouplingSums {
    V hr, hi, g, hj;
};

// Adds the terms of i = lo .. hi-1, walking rows k and m and columns k and m of A and of
// the squared moduli. Lanes outside `keep` read zeros (their sums are never used), so
// they form no products that may underflow; `masked` false: every lane is kept.
template <bool masked>
[[gnu::always_inline]] inline void add_coupling(int lo, int hi, int k, int m, const LaneScratch &s, M keep,
                                                CouplingSums &c) {
    if (lo >= hi) return;  // an empty range (m = n - 1): no pointer formed past the arrays
    const float *row_k = re(s.a, el(k, lo)), *row_m = re(s.a, el(m, lo));
    const float *col_k = re(s.a, el(lo, k)), *col_m = re(s.a, el(lo, m));
    const float *sq_row_k = s.msq + el(k, lo), *sq_row_m = s.msq + el(m, lo);
    const float *sq_col_k = s.msq_t + el(k, lo), *sq_col_m = s.msq_t + el(m, lo);
    constexpr int line = 2 * B, column = 2 * B * kLaneRow;  // complex elements
    for (int i = lo; i < hi; ++i) {
        // x = A(k,i) conj(A(m,i)), y = conj(A(i,k)) A(i,m), as cmul forms them.
        auto kept = [keep](const float *p) __attribute__((always_inline)) {
            return masked ? floats(bits(load(p)) & keep) : load(p);
        };
        const V kr = kept(row_k), ki = kept(row_k + B);
        const V mr = kept(row_m), mi = -kept(row_m + B);
        const V ar = kept(col_k), ai = -kept(col_k + B);
        const V br = kept(col_m), bi = kept(col_m + B);
        const V xr = kr * mr - ki * mi, xi = kr * mi + ki * mr;
        const V yr = ar * br - ai * bi, yi = ar * bi + ai * br;
        c.hr = c.hr + xr - yr;
        c.hi = c.hi + xi - yi;
        // Sums of squared moduli, which are never negative, do not fall to subnormals.
        const V te = load(sq_col_k) + load(sq_row_m);
        const V tee = load(sq_col_m) + load(sq_row_k);
        c.g = c.g + te + tee;
        c.hj = c.hj - te + tee;
        row_k += line;
        row_m += line;
        col_k += column;
        col_m += column;
        sq_row_k += B;
        sq_row_m += B;
        sq_col_k += B;
        sq_col_m += B;
    }
}

// All i but k and m (k < m).
template <bool masked>
[[gnu::always_inline]] inline CouplingSums coupling_sums(int n, int k, int m, const LaneScratch &s, M keep) {
    CouplingSums c;
    c.hr = c.hi = c.g = c.hj = V{} + 0.0f;
    add_coupling<masked>(0, k, k, m, s, keep, c);
    add_coupling<masked>(k + 1, m, k, m, s, keep, c);
    add_coupling<masked>(m + 1, n, k, m, s, keep, c);
    return c;
}

complex_f element(const LaneMatrices &x, int i, int j, int lane) {
    return {re(x, el(i, j))[lane], im(x, el(i, j))[lane]};
}

void load_lanes(int n, ParlMat *const *mats, int count, LaneScratch &s) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int l = 0; l < B; ++l) {
                const int e = el(i, j);
                const complex_f z = l < count ? mats[l]->trans_mat[at(i, j)] : complex_f{0.0f, 0.0f};
                re(s.a, e)[l] = z.r;
                im(s.a, e)[l] = z.i;
                re(s.left, e)[l] = re(s.right, e)[l] = i == j ? 1.0f : 0.0f;
                im(s.left, e)[l] = im(s.right, e)[l] = 0.0f;
            }
}

void store_lanes(int n, const LaneScratch &s, ParlMat *const *mats, int count) {
    for (int l = 0; l < count; ++l)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                mats[l]->trans_mat[at(i, j)] = element(s.a, i, j, l);
                mats[l]->eig_left[at(i, j)] = element(s.left, i, j, l);
                mats[l]->eig_right[at(i, j)] = element(s.right, j, i, l);  // held transposed
            }
}

// The transformation of the pair (k, m) in the lanes of the mask (in all when `whole`,
// merged under a mask register when `merged`).
template <bool whole, bool merged, bool wide>
[[gnu::always_inline]] inline void update_pair(int n, int k, int m, const LanePairStep &c, M mask, LaneScratch &s,
                                               bool avoid) {
    // Rows k, m of A and of the left eigenvectors: (C1 a + S1 b, S2 a + C2 b).
    combine<false, whole, merged, true, wide>(n, s.a, el(k, 0), el(m, 0), B, c.c1r, c.c1i, c.s1r, c.s1i, c.s2r, c.s2i,
                                        c.c2r, c.c2i, mask, avoid, bits(load(s.row_least + k * B)),
                                        bits(load(s.row_least + m * B)));
    combine<false, whole, merged, false, wide>(n, s.left, el(k, 0), el(m, 0), B, c.c1r, c.c1i, c.s1r, c.s1i, c.s2r, c.s2i,
                                         c.c2r, c.c2i, mask);
    // Columns k, m of A and of the right eigenvectors: (C2 a - S2 b, -S1 a + C1 b).
    const V n1r = -c.s1r, n1i = -c.s1i;
    combine<true, whole, merged, true, wide>(n, s.a, el(0, k), el(0, m), kLaneRow * B, c.c2r, c.c2i, c.s2r, c.s2i, n1r, n1i,
                                       c.c1r, c.c1i, mask, avoid, bits(load(s.column_least + k * B)),
                                       bits(load(s.column_least + m * B)));
    combine<true, whole, merged, false, wide>(n, s.right, el(k, 0), el(m, 0), B, c.c2r, c.c2i, c.s2r, c.s2i, n1r, n1i,
                                        c.c1r, c.c1i, mask);
}

// The pair (k, m) in every active lane: sums, 2x2 step, blended updates.
template <bool merged, bool wide>
[[gnu::always_inline]] inline void treat_pair(int n, int k, int m, LaneState &st, LaneScratch &s) {
    const CV akm = cload(s.a, el(k, m)), amk = cload(s.a, el(m, k));
    const V size = vabs(akm.r) + vabs(akm.i) + vabs(amk.r) + vabs(amk.i);
    const M wanted = st.on & (size >= st.tol);
    if (!any_lane(wanted)) return;
    // Lanes that do not treat the pair take the 2x2 step of a diagonal pair (1, 0), which
    // forms no product that may underflow; their step is never used.
    const V zero = splat(0.0f);
    const CV none = {zero, zero};
    const CV one = {splat(1.0f), zero};
    auto own = [wanted](CV x, CV other) __attribute__((always_inline)) {
        return CV{blend(wanted, x.r, other.r), blend(wanted, x.i, other.i)};
    };
    const LaneRotation rot = pair_rotation_lanes(own(akm, none), own(amk, none), own(cload(s.a, el(k, k)), one),
                                                 own(cload(s.a, el(m, m)), none));
    // Masks are needed only where some lane holding a matrix does not treat the pair.
    const CouplingSums h = any_lane(~(wanted | st.empty)) ? coupling_sums<true>(n, k, m, s, wanted)
                                                          : coupling_sums<false>(n, k, m, s, wanted);
    LanePairStep c = pair_coefficients_lanes(rot, h.hr, h.hi, h.g, h.hj);
    const M mask = wanted & (exceeds_eps_lanes(c.s1r, c.s1i, wanted) | exceeds_eps_lanes(c.s2r, c.s2i, wanted));
    if (!any_lane(mask)) return;
    // Lanes that keep their values take zero coefficients: their products, discarded
    // under the mask, are then zeros rather than values that may underflow to
    // subnormals, which cost microcode assists on some processors.
    for (V *f : {&c.c1r, &c.c1i, &c.c2r, &c.c2i, &c.s1r, &c.s1i, &c.s2r, &c.s2i}) *f = blend(mask, *f, zero);
    st.more = st.more | mask;
    if (!any_lane(~(mask | st.empty)))  // every lane holding a matrix transforms
        update_pair<true, false, wide>(n, k, m, c, mask, s, st.avoid_subnormals);
    else
        update_pair<false, merged, wide>(n, k, m, c, mask, s, st.avoid_subnormals);
}

// The whole decomposition of a batch; the lanes' own loops end at their own sweeps.
// `merged`: updates merged under mask registers (AVX-512) rather than blended.
template <bool merged, bool wide>
struct DecomposeLanes {
    [[gnu::always_inline]] static inline void run(int n, ParlMat *const *mats, int count, LaneScratch *scratch,
                                                  int *sweeps) {
        LaneScratch &s = *scratch;
        load_lanes(n, mats, count, s);
        LaneState st{};
        st.avoid_subnormals = common::subnormals_are_slow();
        for (int l = 0; l < B; ++l) {
            st.active[l] = l < count;
            st.sweep[l] = 1;
            st.empty[l] = l < count ? 0 : -1;
            st.tau[l] = 0.0f;
        }
        for (;;) {
            bool any = false;
            for (int l = 0; l < B; ++l) any = any || st.active[l];
            if (!any) break;
            V tau, delta;
            sweep_start(n, s, tau, delta);
            for (int l = 0; l < B; ++l) {
                if (!st.active[l]) continue;
                const float tau_prev = st.tau[l];
                st.tau[l] = tau[l];
                st.tol[l] = kThresholdFactor * tau[l] / static_cast<float>(n * n);
                if ((st.sweep[l] >= kStagnationFromSweep && tau_prev / tau[l] < kStagnation) ||
                    tau[l] < kEps * delta[l])
                    st.active[l] = false;
                st.on[l] = st.active[l] ? -1 : 0;
                st.more[l] = 0;
            }
            for (int k = 0; k < n - 1; ++k)
                for (int m = k + 1; m < n; ++m) treat_pair<merged, wide>(n, k, m, st, s);
            for (int l = 0; l < B; ++l) {
                if (!st.active[l]) continue;
                ++st.sweep[l];
                st.active[l] = st.sweep[l] <= kSweepLimit && st.more[l] != 0;
            }
        }
        store_lanes(n, s, mats, count);
        for (int l = 0; l < count; ++l) sweeps[l] = st.sweep[l];
    }
};

}  // namespace

void eberlein_decompose_lanes(int n, ParlMat *const *mats, int count, LaneScratch &scratch, int *sweeps) {
#ifdef MOSSLIB_MERGE_LANES
    if (common::avx512_lanes())
        return common::avx512_full_width()
                   ? common::run_in_avx512_lanes<DecomposeLanes<true, true>>(n, mats, count, &scratch, sweeps)
                   : common::run_in_avx512_lanes<DecomposeLanes<true, false>>(n, mats, count, &scratch, sweeps);
#endif
    common::run_in_lanes<DecomposeLanes<false, false>>(n, mats, count, &scratch, sweeps);
}

}  // namespace mosslib::relax
