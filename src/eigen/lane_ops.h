// Vector lanes of the eigen-solvers: four doubles side by side, one matrix per lane,
// as GCC/clang vector types. A kernel is a class template over the operations whose
// best form depends on the width (square roots, the test for any set lane) and runs
// through run_kernel: compiled for AVX2 (one register per vector) and for the baseline
// instruction set, both giving the same bits. Every lane operation is an IEEE
// operation of that lane alone; masks select between values, bit for bit.
#pragma once

#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/vector_lanes.h"

#ifdef MOSSLIB_AVX2_LANES
#include <immintrin.h>
#endif

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::eigen::detail::lanes {

inline constexpr int kLanes = 4;
constexpr int L = kLanes;

typedef double V __attribute__((vector_size(L * sizeof(double))));
using M = decltype(V{} < V{});  // lane masks: all bits set or clear

[[gnu::always_inline]] inline V splat(double x) { return V{} + x; }

// |x| lane by lane: the sign bit cleared, as fabs does.
[[gnu::always_inline]] inline V vabs(V x) {
    M bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    bits &= M{} + 0x7fffffffffffffffLL;
    V v;
    __builtin_memcpy(&v, &bits, sizeof v);
    return v;
}

// The two operations whose best form depends on the vector width: square roots lane
// by lane (IEEE square roots, each rounded as std::sqrt rounds it, in place) and the
// test whether any lane of a mask is set.
struct BaselineOps {
    [[gnu::always_inline]] static inline void square_root(V &x) {
#if defined(__SSE2__)
        __m128d lo, hi;
        __builtin_memcpy(&lo, &x, sizeof lo);
        __builtin_memcpy(&hi, reinterpret_cast<const char *>(&x) + sizeof lo, sizeof hi);
        lo = _mm_sqrt_pd(lo);
        hi = _mm_sqrt_pd(hi);
        __builtin_memcpy(&x, &lo, sizeof lo);
        __builtin_memcpy(reinterpret_cast<char *>(&x) + sizeof lo, &hi, sizeof hi);
#else
        for (int l = 0; l < L; ++l) x[l] = std::sqrt(x[l]);
#endif
    }
    [[gnu::always_inline]] static inline bool any(const M &m) {
#if defined(__SSE2__)
        // The two halves' sign bits, or-ed: one test instead of four lane extractions.
        __m128d lo, hi;
        __builtin_memcpy(&lo, &m, sizeof lo);
        __builtin_memcpy(&hi, reinterpret_cast<const char *>(&m) + sizeof lo, sizeof hi);
        return _mm_movemask_pd(_mm_or_pd(lo, hi)) != 0;
#else
        bool a = false;
        for (int l = 0; l < L; ++l) a = a || m[l] != 0;
        return a;
#endif
    }
};

#ifdef MOSSLIB_AVX2_LANES
// Inlined into the AVX2 clone of a kernel. The vectors go by reference: a 256-bit
// value argument to an AVX2 function from the (not yet inlined) generic kernel body
// would cross an ABI boundary.
struct Avx2Ops {
    __attribute__((target("avx2"))) static inline void square_root(V &x) {
        x = reinterpret_cast<V>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x)));
    }
    __attribute__((target("avx2"))) static inline bool any(const M &m) {
        return _mm256_movemask_pd(reinterpret_cast<__m256d>(m)) != 0;
    }
};
#endif

// Square roots lane by lane with the operations of Ops.
template <class Ops>
[[gnu::always_inline]] inline V vsqrt(V x) {
    Ops::square_root(x);
    return x;
}

// Kernel<Ops>::run(args...) on the widest lanes available.
template <template <class> class Kernel, class... Args>
inline void run_kernel(Args... args) {
#ifdef MOSSLIB_AVX2_LANES
    if (common::avx2_lanes()) return common::run_in_avx2_lanes<Kernel<Avx2Ops>>(args...);
#endif
    Kernel<BaselineOps>::run(args...);
}

// True in the lanes where x is finite.
[[gnu::always_inline]] inline M finite(V x) { return vabs(x) <= 1.7976931348623157e308; }

// pythag (pythag.h) of (a, b) in the lanes of `want` (others: any value).
template <class Ops>
[[gnu::always_inline]] inline V pythag_lanes(V a, V b, M want) {
    const V nan = splat(std::numeric_limits<double>::quiet_NaN());
    const M nan_in = (a != a) | (b != b);
    const V fa = vabs(a), fb = vabs(b);
    const M a_larger = fa >= fb;
    V p = a_larger ? fa : fb;
    const M zero = p == 0.0;
    const V q = (a_larger ? fb : fa) / p;
    V r = q * q;
    const M nan_r = r != r;  // inf / inf
    V result = nan_in ? nan : (zero ? p : nan);
    M going = want & ~nan_in & ~zero & ~nan_r;
    while (Ops::any(going)) {
        const V t = 4.0 + r;
        const M done = going & (t == 4.0);
        result = done ? p : result;
        going &= ~done;
        const V s = r / t;
        const V u = 1.0 + 2.0 * s;
        p = going ? u * p : p;
        const V w = s / u;
        r = going ? (w * w) * r : r;
    }
    return result;
}

// Fortran SIGN(a, b) lane by lane: |a| with the sign of b (b >= 0: plus).
[[gnu::always_inline]] inline V sign_of(V a, V b) {
    const V x = a >= 0.0 ? a : -a;
    return b >= 0.0 ? x : -x;
}

}  // namespace mosslib::eigen::detail::lanes

#pragma GCC diagnostic pop
