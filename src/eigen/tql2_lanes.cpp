// TQL2 of the 1983 edition (tql2.cpp) on four tridiagonal matrices side by side, one per
// vector lane, every lane performing the published operations on its own matrix in
// the published order: the shift with its hypotenuse, the plane rotations of the QL
// sweep and of the vectors, the convergence test. The eigenvalue index l advances in
// step for all lanes; each lane iterates on it until its own test is met, and a lane
// that has converged (or failed) keeps its values while the others go on. The end of
// the sweep, m, differs between lanes and masks the rotations beyond it. The hypotenuse
// iterates lane by lane until every lane's loop would have returned.
#include <limits>

#include "eigen/eispack.h"
#include "eigen/lane_ops.h"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::eigen::detail {
namespace {

using namespace lanes;
constexpr int N = kMaxLaneOrder;

struct Tql2Args {
    int count, n;
    double *const *d, *const *e, *const *z;
    int iteration_limit;
    QlOutcome *outcome;
};

template <class Ops>
struct Tql2Kernel {
    [[gnu::always_inline]] static inline void run(const Tql2Args *args) {
        const Tql2Args &a = *args;
        const int n = a.n;
        // 1-based as published: D(i) = d[i - 1], E(i) = e[i - 1], column j of z.
        V d[N], e[N], z[N * N];
        for (int i = 0; i < n; ++i) d[i] = e[i] = splat(0.0);
        for (int k = 0; k < n * n; ++k) z[k] = splat(0.0);
        M alive = M{};
        for (int m = 0; m < a.count; ++m) {
            for (int i = 0; i < n; ++i) {
                d[i][m] = a.d[m][i];
                e[i][m] = a.e[m][i];
            }
            for (int k = 0; k < n * n; ++k) z[k][m] = a.z[m][k];
            alive[m] = -1;
            a.outcome[m] = {Status::ok, 0};
        }
        auto D = [&](int i) __attribute__((always_inline)) -> V & { return d[i - 1]; };
        auto E = [&](int i) __attribute__((always_inline)) -> V & { return e[i - 1]; };
        auto fail = [&](const M &lanes_failing, Status s, int l) __attribute__((always_inline)) {
            for (int m = 0; m < a.count; ++m)
                if (lanes_failing[m]) a.outcome[m] = {s, l};
            alive &= ~lanes_failing;
        };

        // shift_subdiagonal was applied by the caller.
        V f = splat(0.0);
        V tst1 = splat(0.0);
        for (int l = 1; l <= n; ++l) {
            const V h = vabs(D(l)) + vabs(E(l));
            tst1 = tst1 < h ? h : tst1;
            // Look for a small sub-diagonal element: m, or n + 1 if there is none.
            V mv = splat(n + 1);
            M found = M{};
            for (int m = l; m <= n; ++m) {
                const V tst2 = tst1 + vabs(E(m));
                const M hit = ~found & (tst2 == tst1);
                mv = hit ? splat(m) : mv;
                found |= hit;
            }
            fail(alive & ~found, Status::non_finite, l);
            M iterating = alive & (mv != static_cast<double>(l));
            int j = 0;  // iterations so far, the same for every iterating lane
            while (Ops::any(iterating)) {
                if (j >= a.iteration_limit) {
                    fail(iterating, Status::not_converged, l);
                    break;
                }
                ++j;
                const int l1 = l + 1;
                const int l2 = l1 + 1;
                // Shift (apply_shift with the hypotenuse by pythag).
                const V g0 = D(l);
                const V p0 = (D(l1) - g0) / (2.0 * E(l));
                const V r0 = pythag_lanes<Ops>(p0, splat(1.0), iterating);
                const V sigma = p0 + sign_of(r0, p0);
                D(l) = iterating ? E(l) / sigma : D(l);
                D(l1) = iterating ? E(l) * sigma : D(l1);
                const V dl1 = D(l1);
                const V hh = g0 - D(l);
                for (int i = l2; i <= n; ++i) D(i) = iterating ? D(i) - hh : D(i);
                f = iterating ? f + hh : f;

                // QL transformation from row m - 1 of each lane down to l.
                V p = D(l);
                for (int i = l; i <= n; ++i) p = mv == static_cast<double>(i) ? D(i) : p;  // D(m)
                V c = splat(1.0);
                V c2 = c;
                const V el1 = E(l1);
                V s = splat(0.0);
                V c3 = splat(0.0);
                V s2 = splat(0.0);
                for (int i = n - 1; i >= l; --i) {
                    const M here = iterating & (static_cast<double>(i + 1) <= mv);
                    if (!Ops::any(here)) continue;
                    c3 = here ? c2 : c3;
                    c2 = here ? c : c2;
                    s2 = here ? s : s2;
                    const V g = c * E(i);
                    const V hc = c * p;
                    const V r = pythag_lanes<Ops>(p, E(i), here);
                    E(i + 1) = here ? s * r : E(i + 1);
                    const V s_new = E(i) / r;
                    const V c_new = p / r;
                    const V p_new = c_new * D(i) - s_new * g;
                    D(i + 1) = here ? hc + s_new * (c_new * g + s_new * D(i)) : D(i + 1);
                    s = here ? s_new : s;
                    c = here ? c_new : c;
                    p = here ? p_new : p;
                    // Plane rotation of columns i and i+1 of z.
                    V *zi = z + (i - 1) * n;
                    V *zi1 = z + i * n;
                    for (int k = 0; k < n; ++k) {
                        const V t = zi1[k];
                        zi1[k] = here ? s * zi[k] + c * t : t;
                        zi[k] = here ? c * zi[k] - s * t : zi[k];
                    }
                }
                p = -((((s * s2) * c3) * el1) * E(l)) / dl1;
                E(l) = iterating ? s * p : E(l);
                D(l) = iterating ? c * p : D(l);
                const M non_finite = iterating & ~finite(p);
                fail(non_finite, Status::non_finite, l);
                iterating &= ~non_finite;
                const V tst2 = tst1 + vabs(E(l));
                iterating &= tst2 > tst1;
            }
            D(l) = alive ? D(l) + f : D(l);
        }

        for (int m = 0; m < a.count; ++m) {
            for (int i = 0; i < n; ++i) {
                a.d[m][i] = d[i][m];
                a.e[m][i] = e[i][m];
            }
            for (int k = 0; k < n * n; ++k) a.z[m][k] = z[k][m];
        }
    }
};

}  // namespace

void tql2_lanes(int count, int n, double *const *d, double *const *e, double *const *z, int iteration_limit,
                QlOutcome *outcome) {
    if (count < 1 || count > kLanes || n < 2 || n > kMaxLaneOrder) return;
    for (int m = 0; m < count; ++m) tql2_prepare(n, e[m]);
    const Tql2Args args{count, n, d, e, z, iteration_limit, outcome};
    run_kernel<Tql2Kernel>(&args);
    for (int m = 0; m < count; ++m)
        if (outcome[m].status == Status::ok) tql2_sort(n, d[m], z[m]);
}

}  // namespace mosslib::eigen::detail
