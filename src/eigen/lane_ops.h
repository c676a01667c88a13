// Vector lanes of the eigen-solvers: four doubles side by side, one matrix per lane,
// as GCC/clang vector types, one AVX2 register per vector. Every lane operation is an
// IEEE operation of that lane alone; masks select between values, bit for bit. A
// kernel is a class template over the operations written with AVX2 instructions
// (square roots, the test for any set lane) and runs through run_kernel, compiled for
// AVX2, only where available() (the processor and the operating system support AVX2).
// Elsewhere the callers take the one-matrix routines, which give the same bits: on
// 128-bit registers the four-wide vectors are split piece by piece and run several
// times slower than the scalar code.
//
// Everything a kernel calls, its lambdas included, is always_inline: flatten inlines
// only what the compiler agrees to (not always with sanitizer checks), and a call
// left in the AVX2 clone to a helper compiled for the baseline passes and returns a
// 256-bit vector in two 128-bit registers where the clone uses one 256-bit register,
// so lanes 2 and 3 would be lost.
#pragma once

#include <cmath>
#include <limits>

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
[[gnu::always_inline]] inline V vabs(const V &x) {
    M bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    bits &= M{} + 0x7fffffffffffffffLL;
    V v;
    __builtin_memcpy(&v, &bits, sizeof v);
    return v;
}

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
[[gnu::always_inline]] inline V vsqrt(const V &x) {
    V r = x;
    Ops::square_root(r);
    return r;
}

// True when the lane kernels can run here.
inline bool available() noexcept {
#ifdef MOSSLIB_AVX2_LANES
    return common::avx2_lanes();
#else
    return false;
#endif
}

// Kernel<Ops>::run(args...) in AVX2 lanes; only where available().
template <template <class> class Kernel, class... Args>
inline void run_kernel([[maybe_unused]] Args... args) {
#ifdef MOSSLIB_AVX2_LANES
    if (common::avx2_lanes()) common::run_in_avx2_lanes<Kernel<Avx2Ops>>(args...);
#endif
}

// True in the lanes where x is finite.
[[gnu::always_inline]] inline M finite(const V &x) { return vabs(x) <= 1.7976931348623157e308; }

// pythag (pythag.h) of (a, b) in the lanes of `want` (others: any value).
template <class Ops>
[[gnu::always_inline]] inline V pythag_lanes(const V &a, const V &b, const M &want) {
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
[[gnu::always_inline]] inline V sign_of(const V &a, const V &b) {
    const V x = a >= 0.0 ? a : -a;
    return b >= 0.0 ? x : -x;
}

}  // namespace mosslib::eigen::detail::lanes

#pragma GCC diagnostic pop
