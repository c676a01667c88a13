// Vector lanes of the eigen-solvers: four doubles side by side, one matrix per lane,
// as GCC/clang vector types. A kernel is a class template over the operations whose
// best form depends on the width (square roots, the test for any set lane) and runs
// through run_kernel: compiled for AVX2 (one register per vector) and for the baseline
// instruction set, both giving the same bits. Every lane operation is an IEEE
// operation of that lane alone; masks select between values, bit for bit.
#pragma once

#include <cmath>

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

}  // namespace mosslib::eigen::detail::lanes

#pragma GCC diagnostic pop
