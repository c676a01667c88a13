// Route H (hbisect.cpp) at order 4 on four matrices side by side: the reduction
// htridc<4>, the QL estimates of ql_estimates<4>, the bisection of
// bisect_eigenvalues<4>, the inverse iteration of tbisin_vectors<4> and the
// back-transformation hbackc<4>. Every lane performs that code's IEEE operations on its
// own matrix in the same order: the reflections, the QL's shifts, rotations, 2 x 2
// blocks and underflow deflation; the bisection's midpoints, the Sturm sequence with
// its zero and infinity cases, the count from the estimates; the pivoted factors and
// solves. Branches become masks: both arms are formed and the lane's own selected, and
// a lane whose loop has ended keeps its values while the others go on. Indices that
// differ between lanes (the QL's l and m, a cluster's length) are held as doubles and
// resolved by selects. The Sturm count is formed only when some running lane is near
// an estimate (or has none), as the one-matrix loop forms it only then.
#include "eigen/route_h_lanes.h"

#include <limits>

#include "eigen/lane_ops.h"

// The vector helpers are always inlined into the kernel of their width, so the
// warning about vector arguments across ISA boundaries does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::eigen::detail {
namespace {

using namespace lanes;
static_assert(kBisectLanes == kLanes);
constexpr int kOrder = 4;

// a[index] lane by lane, index a whole number 0..3 held as a double (else a[0]).
[[gnu::always_inline]] inline V element(const V *a, V index) {
    V r = a[0];
#pragma GCC unroll 4
    for (int k = 1; k < kOrder; ++k) r = index == static_cast<double>(k) ? a[k] : r;
    return r;
}

// a[index] = value in the lanes of mask.
[[gnu::always_inline]] inline void set_element(V *a, V index, V value, M mask) {
#pragma GCC unroll 4
    for (int k = 0; k < kOrder; ++k) a[k] = (mask & (index == static_cast<double>(k))) ? value : a[k];
}

template <class Ops>
struct QlKernel {
    [[gnu::always_inline]] static inline void run(int count, QlLane *lanes) {
        V d[kOrder], e[kOrder], norm = splat(0.0);
        M on = M{};
        for (int k = 0; k < kOrder; ++k) d[k] = e[k] = splat(0.0);
        for (int n = 0; n < count; ++n) {
            for (int k = 0; k < kOrder; ++k) d[k][n] = lanes[n].d[k];
            for (int k = 0; k + 1 < kOrder; ++k) e[k][n] = lanes[n].e[k];
            norm[n] = lanes[n].norm;
            on[n] = -1;
        }
        const V negligible = 0x1p-50 * norm;
        const V one = splat(1.0), zero = splat(0.0);
        V l = zero, iter = zero;
        M active = on, failed = M{};
        while (Ops::any(active)) {
            // m: the first k >= l with a negligible coupling, else 3.
            V m = splat(kOrder - 1);
#pragma GCC unroll 4
            for (int k = kOrder - 2; k >= 0; --k)
                m = ((l <= static_cast<double>(k)) & (vabs(e[k]) <= negligible)) ? splat(k) : m;
            const M settled = active & (m == l);
            const M block = active & (m == l + 1.0);
            M sweep = active & ~settled & ~block;
            const M fail = sweep & (iter == 60.0);
            failed |= fail;
            sweep &= ~fail;
            if (Ops::any(block)) {
                // A 2 x 2 block: its eigenvalues directly, mean +- radius.
                const V dl = element(d, l), dl1 = element(d, l + 1.0), el = element(e, l);
                const V half = 0.5 * (dl - dl1);
                const V mean = 0.5 * (dl + dl1);
                const V radius = vsqrt<Ops>(half * half + el * el);
                set_element(d, l, mean + radius, block);
                set_element(d, l + 1.0, mean - radius, block);
                set_element(e, l, zero, block);
            }
            if (Ops::any(sweep)) {
                const V dl = element(d, l), dl1 = element(d, l + 1.0), el = element(e, l), dm = element(d, m);
                V g = (dl1 - dl) / (2.0 * el);
                V r = vsqrt<Ops>(g * g + 1.0);
                g = dm - dl + el / (g + (g >= 0.0 ? r : -r));
                V s = one, c = one, p = zero;
                M going = sweep;  // not stopped by an underflow
#pragma GCC unroll 3
                for (int i = kOrder - 2; i >= 0; --i) {
                    M here = going & (l <= static_cast<double>(i)) & (static_cast<double>(i + 1) <= m);
                    if (!Ops::any(here)) continue;
                    const V f = s * e[i];
                    const V b = c * e[i];
                    r = vsqrt<Ops>(f * f + g * g);
                    e[i + 1] = here ? r : e[i + 1];
                    const M underflow = here & (r == 0.0);  // deflate here and repeat
                    d[i + 1] = underflow ? d[i + 1] - p : d[i + 1];
                    set_element(e, m, zero, underflow);
                    here &= ~underflow;
                    going &= ~underflow;
                    const V s_new = f / r;
                    const V c_new = g / r;
                    const V g_new = d[i + 1] - p;
                    const V r_new = (d[i] - g_new) * s_new + 2.0 * c_new * b;
                    const V p_new = s_new * r_new;
                    d[i + 1] = here ? g_new + p_new : d[i + 1];
                    g = here ? c_new * r_new - b : g;
                    s = here ? s_new : s;
                    c = here ? c_new : c;
                    p = here ? p_new : p;
                }
                set_element(d, l, element(d, l) - p, going);
                set_element(e, l, g, going);
                set_element(e, m, zero, going);
                iter = sweep ? iter + 1.0 : iter;
            }
            const M next = settled | block;
            l = next ? l + 1.0 : l;
            iter = next ? zero : iter;
            active &= ~fail & (l < static_cast<double>(kOrder));
        }
        for (int n = 0; n < count; ++n) {
            for (int k = 0; k < kOrder; ++k) lanes[n].lam[k] = d[k][n];
            lanes[n].converged = failed[n] == 0;
        }
    }
};

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

// The lanes' matrices and bounds; eps and margin of each lane; its lanes in use and
// those with estimates.
struct LaneState {
    V d[kOrder], e2[kOrder], w[kOrder], lower[kOrder], est[kOrder];
    V eps, margin;
    M on, estimated;
};

// Eigenvalue I of every lane (I a constant, so every index below is one). The point
// and bounds go on unmasked in lanes that have stopped, and each lane's bounds are
// taken at the step where its loop stops: the running mask stays out of the chain
// of points, which then waits only on a compare, an addition and a halving per step.
template <class Ops, int I>
[[gnu::always_inline]] inline void bisect_one(LaneState &s) {
    V wi = s.w[I];
    V li = s.lower[I];
    V x = (wi + li) / 2.0;
    V final_w = wi, final_l = li;  // bounds of the lanes that have stopped
    M running = s.on & (2.0 * (x - li) - s.eps > 0.0);
    while (Ops::any(running)) {
        const V x_up = (wi + x) / 2.0;
        const V x_down = (x + li) / 2.0;
        M near = ~s.estimated;
#pragma GCC unroll 4
        for (int k = 0; k < kOrder; ++k) near |= vabs(s.est[k] - x) <= s.margin;
        M is_above[kOrder];
#pragma GCC unroll 4
        for (int k = I; k < kOrder; ++k) is_above[k] = s.est[k] > x;
        if (Ops::any(near & running)) {
            const V above = sturm_lanes(s.d, s.e2, x);
#pragma GCC unroll 4
            for (int k = I; k < kOrder; ++k)
                is_above[k] = near ? (splat(static_cast<double>(k)) < above) : is_above[k];
        }
        const M i_above = is_above[I];
        // The one-matrix loop's break: the bounds stay as they are.
        const M breaking = running & ~i_above & (wi <= x);
        final_w = breaking ? wi : final_w;
        final_l = breaking ? li : final_l;
        running &= ~breaking;
#pragma GCC unroll 4
        for (int k = I + 1; k < kOrder; ++k) {
            s.lower[k] = (running & is_above[k]) ? x : s.lower[k];
            s.w[k] = (running & ~(is_above[k] | (s.w[k] <= x))) ? x : s.w[k];
        }
        const V x_now = x;
        x = i_above ? x_up : x_down;
        li = i_above ? x_now : li;
        wi = i_above ? wi : x_now;
        const M narrow = running & ~(2.0 * (x - li) - s.eps > 0.0);
        final_w = narrow ? wi : final_w;
        final_l = narrow ? li : final_l;
        running &= ~narrow;
    }
    s.w[I] = final_w;
    s.lower[I] = final_l;
}

template <class Ops>
struct BisectKernel {
    [[gnu::always_inline]] static inline void run(int count, const BisectLane *lanes) {
        LaneState s;
        s.eps = splat(1.0);
        s.margin = splat(0.0);
        s.on = M{};
        s.estimated = M{};
        for (int k = 0; k < kOrder; ++k) s.d[k] = s.e2[k] = s.w[k] = s.lower[k] = s.est[k] = splat(0.0);
        for (int l = 0; l < count; ++l) {
            const BisectLane &b = lanes[l];
            for (int k = 0; k < kOrder; ++k) {
                s.d[k][l] = b.d[k];
                s.e2[k][l] = b.e2[k];
                s.w[k][l] = b.w[k];
                s.lower[k][l] = b.lower[k];
                s.est[k][l] = b.estimates ? b.estimates[k] : 0.0;
            }
            s.eps[l] = b.eps;
            s.margin[l] = b.margin;
            s.on[l] = -1;
            s.estimated[l] = b.estimates ? -1 : 0;
        }
        static_assert(kOrder == 4);
        bisect_one<Ops, 0>(s);
        bisect_one<Ops, 1>(s);
        bisect_one<Ops, 2>(s);
        bisect_one<Ops, 3>(s);
        for (int l = 0; l < count; ++l) {
            for (int k = 0; k < kOrder; ++k) {
                lanes[l].w[k] = s.w[k][l];
                lanes[l].lower[k] = s.lower[k][l];
            }
        }
    }
};

// The complex Householder reduction of every lane, column 0 then column 1; a column
// whose norm is negligible is skipped in its lanes, and the first element of the
// reflector is formed by either branch as the lane's own element requires.
template <class Ops>
struct ReduceKernel {
    [[gnu::always_inline]] static inline void run(int count, const ReduceLane *lanes, double tol) {
        constexpr int n = kOrder;
        V ar[n * n], ai[n * n];
        for (int k = 0; k < n * n; ++k) ar[k] = ai[k] = splat(0.0);
        for (int l = 0; l < count; ++l)
            for (int k = 0; k < n * n; ++k) {
                ar[k][l] = lanes[l].a[2 * k];
                ai[k][l] = lanes[l].a[2 * k + 1];
            }
        auto AR = [&](int i, int j) __attribute__((always_inline)) -> V & { return ar[i + j * n]; };
        auto AI = [&](int i, int j) __attribute__((always_inline)) -> V & { return ai[i + j * n]; };
        const V zero = splat(0.0);

        for (int i = 0; i < n; ++i) AI(i, i) = zero;
        V anorm = zero;
        for (int j = 0; j < n; ++j) {
            for (int i = j; i < n; ++i) {
                const V tr = vabs(AR(i, j));
                anorm = tr > anorm ? tr : anorm;
                const V ti = vabs(AI(i, j));
                anorm = ti > anorm ? ti : anorm;
            }
        }
        const V skip = tol * (anorm * anorm);
        V tau[2 * n];
        for (int k = 0; k < 2 * n; ++k) tau[k] = zero;
        V vr[n], vi[n], pr[n], pi[n], qr[n], qi[n];

        for (int k = 1; k <= n - 2; ++k) {
            const int c = k - 1;
            tau[2 * k] = zero;
            tau[2 * k + 1] = zero;
            V sigma = zero;
            for (int i = k; i < n; ++i) sigma = sigma + (AR(i, c) * AR(i, c) + AI(i, c) * AI(i, c));
            const M go = ~(sigma <= skip);
            if (!Ops::any(go)) continue;

            const V a_r = AR(k, c);
            const V a_i = AI(k, c);
            const M flat = vabs(a_r) + vabs(a_i) == 0.0;
            const V root = vsqrt<Ops>(sigma);
            const V r = vsqrt<Ops>(sigma * (a_r * a_r + a_i * a_i));
            const V rho = sigma / r;
            const V hh = flat ? sigma : sigma + r;
            const V alpha_r = flat ? -root : -(rho * a_r);
            const V alpha_i = flat ? zero : rho * a_i;
            AR(k, c) = go ? (flat ? root : (1.0 + rho) * a_r) : AR(k, c);
            AI(k, c) = (go & ~flat) ? (1.0 + rho) * a_i : AI(k, c);

            for (int i = k; i < n; ++i) {
                vr[i] = AR(i, c) / hh;
                vi[i] = AI(i, c) / hh;
                pr[i] = zero;
                pi[i] = zero;
            }
            for (int j = k; j < n; ++j) {
                const V ujr = AR(j, c);
                const V uji = AI(j, c);
                pr[j] = pr[j] + AR(j, j) * ujr;
                pi[j] = pi[j] + AR(j, j) * uji;
                for (int i = j + 1; i < n; ++i) {
                    const V mr = AR(i, j);
                    const V mi = AI(i, j);
                    const V uir = AR(i, c);
                    const V uii = AI(i, c);
                    pr[i] = pr[i] + (mr * ujr - mi * uji);
                    pi[i] = pi[i] + (mr * uji + mi * ujr);
                    pr[j] = pr[j] + (mr * uir + mi * uii);
                    pi[j] = pi[j] + (mr * uii - mi * uir);
                }
            }
            V kk = zero;
            for (int i = k; i < n; ++i) kk = kk + (vr[i] * pr[i] + vi[i] * pi[i]);
            for (int i = k; i < n; ++i) {
                qr[i] = pr[i] - kk * AR(i, c);
                qi[i] = pi[i] - kk * AI(i, c);
            }
            for (int j = k; j < n; ++j) {
                const V pjr = pr[j], pji = pi[j], vjr = vr[j], vji = vi[j];
                const V diagonal = (AR(j, j) - (vr[j] * pjr + vi[j] * pji)) - (qr[j] * vjr + qi[j] * vji);
                AR(j, j) = go ? diagonal : AR(j, j);
                for (int i = j + 1; i < n; ++i) {
                    const V re = (AR(i, j) - (vr[i] * pjr + vi[i] * pji)) - (qr[i] * vjr + qi[i] * vji);
                    const V im = (AI(i, j) - (vi[i] * pjr - vr[i] * pji)) - (qi[i] * vjr - qr[i] * vji);
                    AR(i, j) = go ? re : AR(i, j);
                    AI(i, j) = go ? im : AI(i, j);
                }
            }
            tau[2 * k] = go ? alpha_r : tau[2 * k];
            tau[2 * k + 1] = go ? alpha_i : tau[2 * k + 1];
        }

        V d[n], e[n];
        for (int i = 0; i < n; ++i) d[i] = AR(i, i);
        tau[2 * (n - 1)] = AR(n - 1, n - 2);
        tau[2 * (n - 1) + 1] = -AI(n - 1, n - 2);
        tau[0] = splat(1.0);
        tau[1] = zero;
        e[n - 1] = zero;
        // Sub-diagonal moduli and the phases accumulated down the diagonal.
        const V small = std::sqrt(tol) * anorm;
        for (int i = 1; i < n; ++i) {
            V tr = tau[2 * i];
            V ti = tau[2 * i + 1];
            V r = vsqrt<Ops>(tr * tr + ti * ti);
            e[i - 1] = r;
            const M tiny = r <= small;
            tr = tiny ? splat(1.0) : tr;
            ti = tiny ? zero : ti;
            r = tiny ? splat(1.0) : r;
            const V br = tau[2 * (i - 1)];
            const V bi = tau[2 * (i - 1) + 1];
            tau[2 * i] = (tr * br - ti * bi) / r;
            tau[2 * i + 1] = (tr * bi + ti * br) / r;
        }

        for (int l = 0; l < count; ++l) {
            const ReduceLane &b = lanes[l];
            for (int k = 0; k < n * n; ++k) {
                b.a[2 * k] = ar[k][l];
                b.a[2 * k + 1] = ai[k][l];
            }
            for (int i = 0; i < n; ++i) {
                b.d[i] = d[i][l];
                b.e[i] = e[i][l];
            }
            for (int k = 0; k < 2 * n; ++k) b.tau[k] = tau[k][l];
            *b.anorm = anorm[l];
        }
    }
};

// The eigenvectors of every lane: the LU factors of T - w[j] I with the pivoting each
// lane's own magnitudes choose, the solves from x = eps, the re-orthogonalisation
// against the earlier vectors of a cluster (formed only when some lane has one, and
// selected in those lanes), the normalisation; then the phases and reflections of the
// back-transformation, skipped (masked) where a coupling is exactly zero.
template <class Ops>
struct VectorsKernel {
    struct Factors {
        V pivot[kOrder], u1[kOrder], u2[kOrder], mult[kOrder];
        M swapped[kOrder];
    };

    [[gnu::always_inline]] static inline void back_substitute(const Factors &f, V *x) {
#pragma GCC unroll 4
        for (int i = kOrder - 1; i >= 0; --i) x[i] = ((x[i] - f.u1[i] * x[i + 1]) - f.u2[i] * x[i + 2]) / f.pivot[i];
    }

    [[gnu::always_inline]] static inline void full_solve(const Factors &f, V *x) {
#pragma GCC unroll 4
        for (int i = 1; i < kOrder; ++i) {
            const V lo = f.swapped[i] ? x[i] : x[i - 1];
            const V hi = f.swapped[i] ? x[i - 1] : x[i];
            x[i - 1] = lo;
            x[i] = hi - f.mult[i] * lo;
        }
        back_substitute(f, x);
    }

    // x <- x - (z^T x) z against columns j-1, ..., j-cluster of z, in the lanes of `on`.
    [[gnu::always_inline]] static inline void orthogonalise(const V *z, int j, V cluster, M on, V *x) {
        for (int col = j - 1; col >= 0; --col) {
            const M act = on & (static_cast<double>(j - col) <= cluster);
            const V *zc = z + col * kOrder;
            V dot = splat(0.0);
#pragma GCC unroll 4
            for (int i = 0; i < kOrder; ++i) dot = dot + zc[i] * x[i];
#pragma GCC unroll 4
            for (int i = 0; i < kOrder; ++i) x[i] = act ? x[i] - dot * zc[i] : x[i];
        }
    }

    [[gnu::always_inline]] static inline void run(int count, const VectorLane *lanes) {
        V d[kOrder], e[kOrder], w[kOrder], tau_re[kOrder], tau_im[kOrder], ar[kOrder * kOrder],
            ai[kOrder * kOrder], zr[kOrder * kOrder], zi[kOrder * kOrder];
        V eps = splat(1.0);
        M on = M{}, bisected = M{};
        for (int k = 0; k < kOrder; ++k) d[k] = e[k] = w[k] = tau_re[k] = tau_im[k] = splat(0.0);
        for (int k = 0; k < kOrder * kOrder; ++k) ar[k] = ai[k] = zr[k] = zi[k] = splat(0.0);
        for (int l = 0; l < count; ++l) {
            const VectorLane &b = lanes[l];
            for (int k = 0; k < kOrder; ++k) {
                d[k][l] = b.d[k];
                e[k][l] = b.e[k];
                w[k][l] = b.w[k];
                tau_re[k][l] = b.tau[2 * k];
                tau_im[k][l] = b.tau[2 * k + 1];
            }
            for (int k = 0; k < kOrder * kOrder; ++k) {
                ar[k][l] = b.a[2 * k];
                ai[k][l] = b.a[2 * k + 1];
                zr[k][l] = b.zr[k];
            }
            eps[l] = b.eps;
            on[l] = -1;
            bisected[l] = b.bisected ? -1 : 0;
        }

        // Inverse iteration (tbisin_vectors).
        V off[kOrder];
        for (int i = 0; i + 1 < kOrder; ++i) off[i] = e[i] == 0.0 ? eps : e[i];
        V cluster = splat(0.0);
        for (int j = 0; j < kOrder; ++j) {
            if (j > 0) cluster = (w[j - 1] - w[j] >= eps) ? splat(0.0) : cluster + 1.0;
            // factor_shifted
            const V shift = w[j];
            Factors f;
            V u = d[0] - shift;
            V v = off[0];
#pragma GCC unroll 3
            for (int i = 0; i + 1 < kOrder; ++i) {
                const V sub = off[i];
                const V dn = d[i + 1] - shift;
                const V sup = i + 2 < kOrder ? off[i + 1] : splat(0.0);
                const M sw = vabs(sub) > vabs(u);
                f.pivot[i] = sw ? sub : u;
                f.u1[i] = sw ? dn : v;
                f.u2[i] = sw ? sup : splat(0.0);
                const V m = sw ? u / sub : sub / u;
                f.mult[i + 1] = m;
                f.swapped[i + 1] = sw;
                const V u_next = sw ? v - m * dn : dn - m * v;
                v = sw ? 0.0 - m * sup : sup;
                u = u_next;
            }
            f.pivot[kOrder - 1] = u == 0.0 ? eps : u;
            f.u1[kOrder - 1] = splat(0.0);
            f.u2[kOrder - 1] = splat(0.0);

            V x[kOrder + 2];
            for (int i = 0; i < kOrder; ++i) x[i] = eps;
            x[kOrder] = x[kOrder + 1] = splat(0.0);
            const M clustered = bisected & (cluster > 0.0);
            if (!Ops::any(clustered)) {
                back_substitute(f, x);
                full_solve(f, x);
            } else {
                V y[kOrder + 2];
                for (int i = 0; i < kOrder + 2; ++i) y[i] = x[i];
                back_substitute(f, x);
                full_solve(f, x);
                orthogonalise(zr, j, cluster, clustered, y);
                full_solve(f, y);
                full_solve(f, y);
                orthogonalise(zr, j, cluster, clustered, y);
                for (int i = 0; i < kOrder; ++i) x[i] = clustered ? y[i] : x[i];
            }
            V ss = splat(0.0);
            for (int i = 0; i < kOrder; ++i) ss = ss + x[i] * x[i];
            const V length = vsqrt<Ops>(ss);
            for (int i = 0; i < kOrder; ++i) zr[j * kOrder + i] = bisected ? x[i] / length : zr[j * kOrder + i];
        }

        // Back-transformation (hbackc): diagonal phases, z(i) = x(i) conj(tau(i)).
        for (int j = 0; j < kOrder; ++j) {
            V *zrj = zr + j * kOrder;
            V *zij = zi + j * kOrder;
            zij[0] = splat(0.0);
            for (int i = 1; i < kOrder; ++i) {
                zij[i] = -(zrj[i] * tau_im[i]);
                zrj[i] = zrj[i] * tau_re[i];
            }
        }
        // Reflections of columns 1 and 0, each on rows f..3.
        for (int f = kOrder - 2; f >= 1; --f) {
            const int c = f - 1;
            const M act = on & (e[f - 1] != 0.0);
            if (!Ops::any(act)) continue;
            const V ur0 = ar[f + c * kOrder], ui0 = ai[f + c * kOrder];
            const V h = vsqrt<Ops>(ur0 * ur0 + ui0 * ui0) * e[f - 1];
            for (int j = 0; j < kOrder; ++j) {
                V *zrj = zr + j * kOrder;
                V *zij = zi + j * kOrder;
                V sr = splat(0.0), si = splat(0.0);
                for (int i = f; i < kOrder; ++i) {
                    const V ur = ar[i + c * kOrder], ui = ai[i + c * kOrder];
                    sr = sr + (ur * zrj[i] + ui * zij[i]);
                    si = si + (ur * zij[i] - ui * zrj[i]);
                }
                sr = sr / h;
                si = si / h;
                for (int i = f; i < kOrder; ++i) {
                    const V ur = ar[i + c * kOrder], ui = ai[i + c * kOrder];
                    zrj[i] = act ? zrj[i] - (ur * sr - ui * si) : zrj[i];
                    zij[i] = act ? zij[i] - (ur * si + ui * sr) : zij[i];
                }
            }
        }

        for (int l = 0; l < count; ++l)
            for (int k = 0; k < kOrder * kOrder; ++k) {
                lanes[l].zr[k] = zr[k][l];
                lanes[l].zi[k] = zi[k][l];
            }
    }
};

}  // namespace

void reduce4_lanes(int count, const ReduceLane *lanes, double tol) {
    if (count < 1 || count > L) return;
    run_kernel<ReduceKernel>(count, lanes, tol);
}

void vectors4_lanes(int count, const VectorLane *lanes) {
    if (count < 1 || count > L) return;
    run_kernel<VectorsKernel>(count, lanes);
}

void bisect4_lanes(int count, const BisectLane *lanes) {
    if (count < 1 || count > L) return;
    run_kernel<BisectKernel>(count, lanes);
}

void ql4_lanes(int count, QlLane *lanes) {
    if (count < 1 || count > L) return;
    run_kernel<QlKernel>(count, lanes);
}

}  // namespace mosslib::eigen::detail
