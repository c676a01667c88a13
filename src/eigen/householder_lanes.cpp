// HTRIDI (1983 edition, htridi.cpp) and HTRIBK (htribk.cpp) on four matrices side by
// side, one per vector lane, each lane performing the published statements on its own
// matrix in the published order. The rows and columns advance in step for all lanes;
// the data-dependent branches (a zero row, a zero sub-diagonal element, a reflection
// that was not formed) become masks, under which a lane keeps its values.
#include "eigen/eispack.h"
#include "eigen/lane_ops.h"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace mosslib::eigen::detail {
namespace {

using namespace lanes;
constexpr int N = kMaxLaneOrder;

struct HouseholderArgs {
    int count, n;
    double *const *ar, *const *ai;
    double *const *d, *const *e, *const *e2, *const *tau;
    double *const *zr, *const *zi;
};

// The lanes' n x n matrices (column-major) or vectors of length k, loaded and stored.
[[gnu::always_inline]] inline void load(V *v, double *const *x, int count, int k) {
    for (int i = 0; i < k; ++i) v[i] = splat(0.0);
    for (int m = 0; m < count; ++m)
        for (int i = 0; i < k; ++i) v[i][m] = x[m][i];
}

[[gnu::always_inline]] inline void store(const V *v, double *const *x, int count, int k) {
    for (int m = 0; m < count; ++m)
        for (int i = 0; i < k; ++i) x[m][i] = v[i][m];
}

template <class Ops>
struct HtridiKernel {
    [[gnu::always_inline]] static inline void run(const HouseholderArgs *args) {
        const HouseholderArgs &a = *args;
        const int n = a.n;
        V ar_[N * N], ai_[N * N], d_[N], e_[N], e2_[N], tau_[2 * N];
        load(ar_, a.ar, a.count, n * n);
        load(ai_, a.ai, a.count, n * n);
        for (int k = 0; k < n; ++k) d_[k] = e_[k] = e2_[k] = splat(0.0);
        for (int k = 0; k < 2 * n; ++k) tau_[k] = splat(0.0);
        auto AR = [&](int i, int j) __attribute__((always_inline)) -> V & { return ar_[(i - 1) + (j - 1) * n]; };
        auto AI = [&](int i, int j) __attribute__((always_inline)) -> V & { return ai_[(i - 1) + (j - 1) * n]; };
        auto D = [&](int i) __attribute__((always_inline)) -> V & { return d_[i - 1]; };
        auto E = [&](int i) __attribute__((always_inline)) -> V & { return e_[i - 1]; };
        auto E2 = [&](int i) __attribute__((always_inline)) -> V & { return e2_[i - 1]; };
        auto TAU = [&](int r, int k) __attribute__((always_inline)) -> V & { return tau_[(r - 1) + 2 * (k - 1)]; };
        const V zero = splat(0.0), one = splat(1.0);

        TAU(1, n) = one;
        TAU(2, n) = zero;
        for (int i = 1; i <= n; ++i) D(i) = AR(i, i);

        for (int i = n; i >= 1; --i) {
            const int l = i - 1;
            V h = zero;
            V scale = zero;
            if (l >= 1) {
                for (int k = 1; k <= l; ++k) scale = (scale + vabs(AR(i, k))) + vabs(AI(i, k));
                const M empty = scale == 0.0;  // a zero row: nothing to reflect
                const M live = ~empty;
                TAU(1, l) = empty ? one : TAU(1, l);
                TAU(2, l) = empty ? zero : TAU(2, l);
                E(i) = empty ? zero : E(i);
                E2(i) = empty ? zero : E2(i);
                if (Ops::any(live)) {
                    V hs = zero;
                    for (int k = 1; k <= l; ++k) {
                        AR(i, k) = live ? AR(i, k) / scale : AR(i, k);
                        AI(i, k) = live ? AI(i, k) / scale : AI(i, k);
                        hs = (hs + AR(i, k) * AR(i, k)) + AI(i, k) * AI(i, k);
                    }
                    h = live ? hs : h;
                    E2(i) = live ? (scale * scale) * h : E2(i);
                    V g = vsqrt<Ops>(h);
                    E(i) = live ? scale * g : E(i);
                    V f = pythag_lanes<Ops>(AR(i, l), AI(i, l), live);
                    V si = zero;
                    const M phase = live & (f != 0.0);
                    const M no_phase = live & ~(f != 0.0);
                    // f != 0: the phase of the new sub-diagonal element.
                    TAU(1, l) = phase ? (AI(i, l) * TAU(2, i) - AR(i, l) * TAU(1, i)) / f : TAU(1, l);
                    si = phase ? (AR(i, l) * TAU(2, i) + AI(i, l) * TAU(1, i)) / f : si;
                    h = phase ? h + f * g : h;
                    g = phase ? 1.0 + g / f : g;
                    AR(i, l) = phase ? g * AR(i, l) : AR(i, l);
                    AI(i, l) = phase ? g * AI(i, l) : AI(i, l);
                    // f == 0.
                    TAU(1, l) = no_phase ? -TAU(1, i) : TAU(1, l);
                    si = no_phase ? TAU(2, i) : si;
                    AR(i, l) = no_phase ? g : AR(i, l);

                    const M reduce = l == 1 ? no_phase : live;
                    if (Ops::any(reduce)) {
                        // p = A u / h into e[1..l] and tau(2, 1..l); f = u^H p.
                        V fs = zero;
                        for (int j = 1; j <= l; ++j) {
                            V gr = zero;
                            V gi = zero;
                            for (int k = 1; k <= j; ++k) {
                                gr = (gr + AR(j, k) * AR(i, k)) + AI(j, k) * AI(i, k);
                                gi = (gi - AR(j, k) * AI(i, k)) + AI(j, k) * AR(i, k);
                            }
                            for (int k = j + 1; k <= l; ++k) {
                                gr = (gr + AR(k, j) * AR(i, k)) - AI(k, j) * AI(i, k);
                                gi = (gi - AR(k, j) * AI(i, k)) - AI(k, j) * AR(i, k);
                            }
                            E(j) = reduce ? gr / h : E(j);
                            TAU(2, j) = reduce ? gi / h : TAU(2, j);
                            fs = (fs + E(j) * AR(i, j)) - TAU(2, j) * AI(i, j);
                        }
                        const V hh = fs / (h + h);
                        for (int j = 1; j <= l; ++j) {
                            const V fr = AR(i, j);
                            const V gr = E(j) - hh * fr;
                            E(j) = reduce ? gr : E(j);
                            const V fi = -AI(i, j);
                            const V gi = TAU(2, j) - hh * fi;
                            TAU(2, j) = reduce ? -gi : TAU(2, j);
                            for (int k = 1; k <= j; ++k) {
                                const V r =
                                    (((AR(j, k) - fr * E(k)) - gr * AR(i, k)) + fi * TAU(2, k)) + gi * AI(i, k);
                                const V s =
                                    (((AI(j, k) - fr * TAU(2, k)) - gr * AI(i, k)) - fi * E(k)) - gi * AR(i, k);
                                AR(j, k) = reduce ? r : AR(j, k);
                                AI(j, k) = reduce ? s : AI(j, k);
                            }
                        }
                    }
                    // Unscale the row.
                    for (int k = 1; k <= l; ++k) {
                        AR(i, k) = live ? scale * AR(i, k) : AR(i, k);
                        AI(i, k) = live ? scale * AI(i, k) : AI(i, k);
                    }
                    TAU(2, l) = live ? -si : TAU(2, l);
                }
            } else {
                E(i) = zero;
                E2(i) = zero;
            }
            // Restore the diagonal.
            const V hh = D(i);
            D(i) = AR(i, i);
            AR(i, i) = hh;
            AI(i, i) = scale * vsqrt<Ops>(h);
        }
        store(ar_, a.ar, a.count, n * n);
        store(ai_, a.ai, a.count, n * n);
        store(d_, a.d, a.count, n);
        store(e_, a.e, a.count, n);
        store(e2_, a.e2, a.count, n);
        store(tau_, a.tau, a.count, 2 * n);
    }
};

template <class Ops>
struct HtribkKernel {
    [[gnu::always_inline]] static inline void run(const HouseholderArgs *args) {
        const HouseholderArgs &a = *args;
        const int n = a.n;
        V ar_[N * N], ai_[N * N], tau_[2 * N], zr[N * N], zi[N * N];
        load(ar_, a.ar, a.count, n * n);
        load(ai_, a.ai, a.count, n * n);
        load(tau_, a.tau, a.count, 2 * n);
        load(zr, a.zr, a.count, n * n);
        auto AR = [&](int i, int k) __attribute__((always_inline)) -> const V & { return ar_[(i - 1) + (k - 1) * n]; };
        auto AI = [&](int i, int k) __attribute__((always_inline)) -> const V & { return ai_[(i - 1) + (k - 1) * n]; };
        M on = M{};
        for (int m = 0; m < a.count; ++m) on[m] = -1;

        for (int j = 0; j < n; ++j) {
            V *zrj = zr + j * n;
            V *zij = zi + j * n;
            for (int k = 0; k < n; ++k) {
                zij[k] = -(zrj[k] * tau_[2 * k + 1]);
                zrj[k] = zrj[k] * tau_[2 * k];
            }
        }
        for (int i = 2; i <= n; ++i) {
            const int l = i - 1;
            const V h = AI(i, i);
            const M act = on & (h != 0.0);
            if (!Ops::any(act)) continue;
            for (int j = 0; j < n; ++j) {
                V *zrj = zr + j * n;
                V *zij = zi + j * n;
                V s = splat(0.0);
                V si = splat(0.0);
                for (int k = 0; k < l; ++k) {
                    const V ur = AR(i, k + 1), ui = AI(i, k + 1);
                    s = (s + ur * zrj[k]) - ui * zij[k];
                    si = (si + ur * zij[k]) + ui * zrj[k];
                }
                // Two divisions by h, as published.
                s = (s / h) / h;
                si = (si / h) / h;
                for (int k = 0; k < l; ++k) {
                    const V ur = AR(i, k + 1), ui = AI(i, k + 1);
                    const V r = (zrj[k] - s * ur) - si * ui;
                    const V t = (zij[k] - si * ur) + s * ui;
                    zrj[k] = act ? r : zrj[k];
                    zij[k] = act ? t : zij[k];
                }
            }
        }
        store(zr, a.zr, a.count, n * n);
        store(zi, a.zi, a.count, n * n);
    }
};

}  // namespace

void htridi_lanes(int count, int n, double *const *ar, double *const *ai, double *const *d, double *const *e,
                  double *const *e2, double *const *tau) {
    if (count < 1 || count > kLanes || n < 2 || n > kMaxLaneOrder) return;
    const HouseholderArgs args{count, n, ar, ai, d, e, e2, tau, nullptr, nullptr};
    run_kernel<HtridiKernel>(&args);
}

void htribk_lanes(int count, int n, double *const *ar, double *const *ai, double *const *tau, double *const *zr,
                  double *const *zi) {
    if (count < 1 || count > kLanes || n < 2 || n > kMaxLaneOrder) return;
    const HouseholderArgs args{count, n, ar, ai, nullptr, nullptr, nullptr, tau, zr, zi};
    run_kernel<HtribkKernel>(&args);
}

}  // namespace mosslib::eigen::detail
