// The bisection of bisect_eigenvalues<4> (hbisect.cpp) on four matrices side by side.
// Every lane performs that loop's IEEE operations on its own matrix in the same order:
// the midpoints, the Sturm sequence with its zero and infinity cases, the count from
// the estimates. Its branches become masks: both arms are formed and the lane's own
// selected, and a lane whose loop has ended keeps its values while the others go on.
// The Sturm count is formed only when some running lane is near an estimate (or has
// none), as the one-matrix loop forms it only then.
#include "eigen/bisect_lanes.h"

#include <limits>

#include "common/vector_lanes.h"

// The vector helpers below are always inlined into the kernel of their width, so the
// warning about vector arguments across ISA boundaries does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::eigen::detail {
namespace {

constexpr int L = kBisectLanes;
constexpr int kOrder = 4;

typedef double V __attribute__((vector_size(L * sizeof(double))));
using M = decltype(V{} < V{});  // lane masks: all bits set or clear

[[gnu::always_inline]] inline V splat(double x) { return V{} + x; }

[[gnu::always_inline]] inline bool any(M m) {
    bool a = false;
    for (int l = 0; l < L; ++l) a = a || m[l] != 0;
    return a;
}

// |x| lane by lane: the sign bit cleared, as fabs does.
[[gnu::always_inline]] inline V vabs(V x) {
    M bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    bits &= M{} + 0x7fffffffffffffffLL;
    V v;
    __builtin_memcpy(&v, &bits, sizeof v);
    return v;
}

// Number of eigenvalues above x, lane by lane, as sturm_count counts them (as a double).
[[gnu::always_inline]] inline V sturm_lanes(const V *d, const V *e2, V x) {
    const V inf = splat(std::numeric_limits<double>::infinity());
    const V one = splat(1.0), zero = splat(0.0);
    V count = zero;
    M nonnegative = M{} - 1;
    M after_zero = M{};
    V q = one;
    for (int i = 0; i < kOrder; ++i) {
        V t;
        if (i == 0) {
            t = d[0] - x;
        } else {
            const V plain = (d[i] - x) - e2[i] / q;
            const V uncoupled = d[i] - x;
            const V infinite = nonnegative ? -inf : inf;
            t = after_zero ? (e2[i] == 0.0 ? uncoupled : infinite) : plain;
        }
        const M is_zero = t == 0.0;
        nonnegative = is_zero ? nonnegative : (t > 0.0);
        count = nonnegative ? count + one : count;
        after_zero = is_zero;
        q = is_zero ? q : t;
    }
    return count;
}

struct BisectKernel {
    [[gnu::always_inline]] static inline void run(int count, const BisectLane *lanes) {
        V d[kOrder], e2[kOrder], w[kOrder], lower[kOrder], est[kOrder];
        V eps = splat(1.0), margin = splat(0.0);
        M on = M{}, estimated = M{};
        for (int k = 0; k < kOrder; ++k) d[k] = e2[k] = w[k] = lower[k] = est[k] = splat(0.0);
        for (int l = 0; l < count; ++l) {
            const BisectLane &b = lanes[l];
            for (int k = 0; k < kOrder; ++k) {
                d[k][l] = b.d[k];
                e2[k][l] = b.e2[k];
                w[k][l] = b.w[k];
                lower[k][l] = b.lower[k];
                est[k][l] = b.estimates ? b.estimates[k] : 0.0;
            }
            eps[l] = b.eps;
            margin[l] = b.margin;
            on[l] = -1;
            estimated[l] = b.estimates ? -1 : 0;
        }

        for (int i = 0; i < kOrder; ++i) {
            V wi = w[i];
            V li = lower[i];
            V x = (wi + li) / 2.0;
            M running = on & (2.0 * (x - li) - eps > 0.0);
            while (any(running)) {
                const V x_up = (wi + x) / 2.0;
                const V x_down = (x + li) / 2.0;
                M near = ~estimated;
                for (int k = 0; k < kOrder; ++k) near |= vabs(est[k] - x) <= margin;
                M is_above[kOrder];
                for (int k = i; k < kOrder; ++k) is_above[k] = est[k] > x;
                if (any(near & running)) {
                    const V above = sturm_lanes(d, e2, x);
                    for (int k = i; k < kOrder; ++k)
                        is_above[k] = near ? (splat(static_cast<double>(k)) < above) : is_above[k];
                }
                const M i_above = is_above[i];
                running &= i_above | ~(wi <= x);  // the one-matrix loop's break
                for (int k = i + 1; k < kOrder; ++k) {
                    lower[k] = (running & is_above[k]) ? x : lower[k];
                    w[k] = (running & ~(is_above[k] | (w[k] <= x))) ? x : w[k];
                }
                const V x_now = x;
                x = i_above ? x_up : x_down;
                li = (running & i_above) ? x_now : li;
                wi = (running & ~i_above) ? x_now : wi;
                running &= 2.0 * (x - li) - eps > 0.0;
            }
            w[i] = wi;
            lower[i] = li;
        }

        for (int l = 0; l < count; ++l) {
            for (int k = 0; k < kOrder; ++k) {
                lanes[l].w[k] = w[k][l];
                lanes[l].lower[k] = lower[k][l];
            }
        }
    }
};

}  // namespace

void bisect4_lanes(int count, const BisectLane *lanes) {
    if (count < 1 || count > L) return;
    common::run_in_lanes<BisectKernel>(count, lanes);
}

}  // namespace mosslib::eigen::detail
