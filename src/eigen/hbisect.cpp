// Route H: complex Householder reduction to a real symmetric tridiagonal matrix with
// non-negative couplings (htridc), eigenvalues by bisection on Sturm sequences and
// eigenvectors by inverse iteration (tbisin), back-transformation (hbackc).
// Eigenvalues come out in descending order. Complex products are written out in real
// arithmetic, (a + ib)(c + id) = (ac - bd) + i(ad + bc), sums left to right.
#include <cmath>
#include <complex>
#include <limits>

#include "eigen/route_h_lanes.h"
#include "eigen/eispack.h"
#include "eigen/lane_ops.h"
#include "eigen/hermitian.h"

namespace mosslib::eigen {
namespace {

// Reduction skip test (sigma <= kTol * anorm^2); sqrt(kTol) * anorm is the cut-off
// below which a sub-diagonal modulus counts as zero for the phase factors.
constexpr double kTol = 1.0e-22;
// Bisection width and inverse-iteration safeguard, relative to the Frobenius norm of
// the tridiagonal matrix: 1.0e-11 in single precision.
constexpr double kEpsFactor = static_cast<double>(1.0e-11f);

// Intermediate data of one call for matrices of order up to Cap (on the stack; nothing
// survives the call).
// Vectors are 0-based: row i of the tridiagonal matrix is d[i]; e[i] couples rows
// i and i+1 (e[n-1] = 0).
template <int Cap>
struct BisectWorkT {
    double d[Cap];
    double e[Cap];
    double tau[2 * Cap];    // phase factors (re, im)
    double anorm;                 // largest component magnitude of the input
    // reduction of one column: v = u / H, p = A u, q = p - K u
    double vr[Cap], vi[Cap];
    double pr[Cap], pi[Cap];
    double qr[Cap], qi[Cap];
    // bisection and inverse iteration
    double lower[Cap];      // lower bounds of the eigenvalues
    double e2[Cap];         // e2[i] = e[i-1]^2 couples row i to row i-1; e2[0] = 0
    double off[Cap];        // couplings with exact zeros replaced by eps
    double x[Cap + 2];      // iteration vector and two trailing zeros
    double pivot[Cap];      // diagonal of the upper factor
    double u1[Cap];         // its first super-diagonal
    double u2[Cap];         // its second super-diagonal (from interchanges)
    double mult[Cap];       // multiplier that reduced row i
    bool swapped[Cap];      // rows i-1 and i were interchanged
    // the bisection's width, its estimates of the eigenvalues and their margin
    double eps;
    double estimates[Cap];
    bool estimated;
    double margin;
    bool want_estimates;          // estimates are to be formed (norm in range)
    double norm;                  // Frobenius norm of the tridiagonal matrix
    int exponent;                 // the input was scaled by 2^-exponent
};
// Capacity Cap = the order of the loops of known length, else kMaxOrder.
template <int Order>
using BisectWork = BisectWorkT<(Order > 0 ? Order : kMaxOrder)>;

// ---------------------------------------------------------------------------------
// htridc: reduction column by column from the left. On return d, e (moduli of the
// sub-diagonal), the accumulated unit phase factors tau and anorm; the Householder
// vectors stay in the columns of a below the diagonal.

template <int Order, class Ws>
void htridc(int n_runtime, double *a, Ws &ws) {
    const int n = Order > 0 ? Order : n_runtime;
    auto AR = [=](int i, int j) -> double & { return a[2 * (i + j * n)]; };
    auto AI = [=](int i, int j) -> double & { return a[2 * (i + j * n) + 1]; };

    // The diagonal is real: its imaginary parts are ignored.
    for (int i = 0; i < n; ++i) AI(i, i) = 0.0;
    double anorm = 0.0;
    for (int j = 0; j < n; ++j) {
        for (int i = j; i < n; ++i) {
            const double tr = std::fabs(AR(i, j));
            if (tr > anorm) anorm = tr;
            const double ti = std::fabs(AI(i, j));
            if (ti > anorm) anorm = ti;
        }
    }
    ws.anorm = anorm;
    const double skip = kTol * (anorm * anorm);
    double *tau = ws.tau;
    double *vr = ws.vr, *vi = ws.vi, *pr = ws.pr, *pi = ws.pi, *qr = ws.qr, *qi = ws.qi;

    // Column c = k - 1 is reflected onto its sub-diagonal element (k, c).
    for (int k = 1; k <= n - 2; ++k) {
        const int c = k - 1;
        tau[2 * k] = 0.0;
        tau[2 * k + 1] = 0.0;
        double sigma = 0.0;
        for (int i = k; i < n; ++i) sigma = sigma + (AR(i, c) * AR(i, c) + AI(i, c) * AI(i, c));
        if (sigma <= skip) continue;

        const double ar = AR(k, c);
        const double ai = AI(k, c);
        double hh;
        double alpha_r;
        double alpha_i;
        if (std::fabs(ar) + std::fabs(ai) == 0.0) {
            const double root = std::sqrt(sigma);
            AR(k, c) = root;
            hh = sigma;
            alpha_r = -root;
            alpha_i = 0.0;
        } else {
            const double r = std::sqrt(sigma * (ar * ar + ai * ai));
            hh = sigma + r;
            const double rho = sigma / r;
            alpha_r = -(rho * ar);  // alpha = -rho conj(a)
            alpha_i = rho * ai;
            AR(k, c) = (1.0 + rho) * ar;
            AI(k, c) = (1.0 + rho) * ai;
        }

        // v = u / H and p = A' u over the trailing block, where A'(i, j) is the stored
        // A(i, j) for j <= i and conj(A(j, i)) above; the diagonal is real. Going
        // column by column adds the terms of each p(i) in ascending j.
        for (int i = k; i < n; ++i) {
            vr[i] = AR(i, c) / hh;
            vi[i] = AI(i, c) / hh;
            pr[i] = 0.0;
            pi[i] = 0.0;
        }
        for (int j = k; j < n; ++j) {
            const double ujr = AR(j, c);
            const double uji = AI(j, c);
            pr[j] = pr[j] + AR(j, j) * ujr;
            pi[j] = pi[j] + AR(j, j) * uji;
            for (int i = j + 1; i < n; ++i) {
                const double mr = AR(i, j);
                const double mi = AI(i, j);
                const double uir = AR(i, c);
                const double uii = AI(i, c);
                pr[i] = pr[i] + (mr * ujr - mi * uji);  // A(i, j) u(j)
                pi[i] = pi[i] + (mr * uji + mi * ujr);
                pr[j] = pr[j] + (mr * uir + mi * uii);  // conj(A(i, j)) u(i)
                pi[j] = pi[j] + (mr * uii - mi * uir);
            }
        }
        // K = Re(v^H p); q = p - K u.
        double kk = 0.0;
        for (int i = k; i < n; ++i) kk = kk + (vr[i] * pr[i] + vi[i] * pi[i]);
        for (int i = k; i < n; ++i) {
            qr[i] = pr[i] - kk * AR(i, c);
            qi[i] = pi[i] - kk * AI(i, c);
        }
        // A(i, j) <- (A(i, j) - v(i) conj(p(j))) - q(i) conj(v(j)), k <= j <= i;
        // on the diagonal only the real part (the diagonal stays real).
        for (int j = k; j < n; ++j) {
            const double pjr = pr[j], pji = pi[j], vjr = vr[j], vji = vi[j];
            AR(j, j) = (AR(j, j) - (vr[j] * pjr + vi[j] * pji)) - (qr[j] * vjr + qi[j] * vji);
            for (int i = j + 1; i < n; ++i) {
                AR(i, j) = (AR(i, j) - (vr[i] * pjr + vi[i] * pji)) - (qr[i] * vjr + qi[i] * vji);
                AI(i, j) = (AI(i, j) - (vi[i] * pjr - vr[i] * pji)) - (qi[i] * vjr - qr[i] * vji);
            }
        }
        tau[2 * k] = alpha_r;
        tau[2 * k + 1] = alpha_i;
    }

    for (int i = 0; i < n; ++i) ws.d[i] = AR(i, i);
    if (n > 1) {
        tau[2 * (n - 1)] = AR(n - 1, n - 2);
        tau[2 * (n - 1) + 1] = -AI(n - 1, n - 2);
    }
    tau[0] = 1.0;
    tau[1] = 0.0;
    ws.e[n - 1] = 0.0;

    // Sub-diagonal moduli, and the phases accumulated down the diagonal so that the
    // tridiagonal matrix becomes real: tau(i) <- tau(i) tau(i-1) / |tau(i)|.
    const double small = std::sqrt(kTol) * anorm;
    for (int i = 1; i < n; ++i) {
        double tr = tau[2 * i];
        double ti = tau[2 * i + 1];
        double r = std::sqrt(tr * tr + ti * ti);
        ws.e[i - 1] = r;
        if (r <= small) {
            tr = 1.0;
            ti = 0.0;
            r = 1.0;
        }
        const double br = tau[2 * (i - 1)];
        const double bi = tau[2 * (i - 1) + 1];
        tau[2 * i] = (tr * br - ti * bi) / r;
        tau[2 * i + 1] = (tr * bi + ti * br) / r;
    }
}

// ---------------------------------------------------------------------------------
// tbisin: eigenvalues by bisection, eigenvectors by inverse iteration.

// Number of eigenvalues of the tridiagonal matrix greater than x, from the signs of
// q(0) = d(0) - x, q(i) = (d(i) - x) - e2(i) / q(i-1). An exactly zero q stands for an
// infinitesimal with the sign of the q before it (positive at the start; a zero
// counts as non-negative) and is counted when that sign is non-negative; the next q is
// then infinite with the opposite sign, unless that row's e2 is 0 (then d - x).
int sturm_count(int n, const double *d, const double *e2, double x) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    int count = 0;
    bool nonnegative = true;  // sign of the latest q (an infinitesimal inherits it)
    bool after_zero = false;
    double q = 1.0;
    for (int i = 0; i < n; ++i) {
        double t;
        if (i == 0) {
            t = d[0] - x;
        } else if (!after_zero) {
            t = (d[i] - x) - e2[i] / q;
        } else if (e2[i] == 0.0) {
            t = d[i] - x;
        } else {
            t = nonnegative ? -inf : inf;
        }
        if (t == 0.0) {
            after_zero = true;
            if (nonnegative) ++count;
        } else {
            after_zero = false;
            nonnegative = t > 0.0;
            if (nonnegative) ++count;
            q = t;
        }
    }
    return count;
}

// The QL's eigenvalues as estimates: false if one is not finite, else sorted descending.
bool finish_estimates(int n, double *lam) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(lam[i])) return false;
    for (int i = 1; i < n; ++i) {
        const double v = lam[i];
        int k = i;
        for (; k > 0 && lam[k - 1] < v; --k) lam[k] = lam[k - 1];
        lam[k] = v;
    }
    return true;
}

// Eigenvalue estimates for the bisection, in descending order: implicit QL with
// Wilkinson shifts, no vectors, on a copy of d and e (norm: the Frobenius norm of T).
// Backward stable: each estimate lies within a few n * 2^-52 * norm of its eigenvalue. Returns false if an eigenvalue needs more than
// 60 iterations or a value is not finite.
template <int Order>
bool ql_estimates(int n_runtime, const double *d_in, const double *e_in, double norm, double *lam) {
    const int n = Order > 0 ? Order : n_runtime;
    double e[kMaxOrder];
    for (int i = 0; i < n; ++i) {
        lam[i] = d_in[i];
        e[i] = e_in[i];
    }
    e[n - 1] = 0.0;
    double *d = lam;
    // Dropping couplings below this moves the eigenvalues by less than
    // sqrt(n) * 2^-50 * norm in all.
    const double negligible = 0x1p-50 * norm;
    for (int l = 0; l < n; ++l) {
        for (int iter = 0;; ++iter) {
            int m = l;
            for (; m < n - 1; ++m) {
                if (std::fabs(e[m]) <= negligible) break;
            }
            if (m == l) break;
            if (m == l + 1) {
                // A 2 x 2 block: its eigenvalues directly, mean +- radius.
                const double half = 0.5 * (d[l] - d[l + 1]);
                const double mean = 0.5 * (d[l] + d[l + 1]);
                const double radius = std::sqrt(half * half + e[l] * e[l]);
                d[l] = mean + radius;
                d[l + 1] = mean - radius;
                e[l] = 0.0;
                break;
            }
            if (iter == 60) return false;
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = std::sqrt(g * g + 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
            double s = 1.0, c = 1.0, p = 0.0;
            int i = m - 1;
            for (; i >= l; --i) {
                const double f = s * e[i];
                const double b = c * e[i];
                r = std::sqrt(f * f + g * g);
                e[i + 1] = r;
                if (r == 0.0) {  // underflow: deflate here and repeat
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
            }
            if (i >= l) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
    return finish_estimates(n, lam);
}

// Bisection: w[i] narrows from above and lower[i] from below until the interval is
// no wider than eps; every count also tightens the bounds of the later eigenvalues.
//
// With estimates of the eigenvalues (from ql_estimates, sorted descending), a point x
// farther than `margin` from every estimate takes its count from them: the count by
// the Sturm sequence in floating point is exactly the number of eigenvalues above x
// of a matrix whose couplings differ from T's by a few units of the last place
// (Kahan), whose eigenvalues therefore lie within about 1e-15 |T| of T's; the
// estimates are as close, and the margin is 1e-12 of the norm. Points nearer an
// estimate are counted by the Sturm sequence. The points, counts and bounds are
// exactly those of a Sturm count at every step, at a fraction of the divisions.
// Order is a compile-time constant for the orders the engine calls most (Order > 0),
// or taken from n_runtime (Order = 0).
template <int Order, class Ws>
void bisect_eigenvalues(int n_runtime, Ws &ws, double *w, double eps, const double *estimates,
                        double margin) {
    const int n = Order > 0 ? Order : n_runtime;
    double *lower = ws.lower;
    for (int i = 0; i < n; ++i) {
        // The bounds of eigenvalue i stay in registers; the steps form one chain.
        double wi = w[i];
        double li = lower[i];
        double x = (wi + li) / 2.0;
        while (2.0 * (x - li) - eps > 0.0) {
            // The two possible next points, formed while the count is decided.
            const double x_up = (wi + x) / 2.0;    // eigenvalue i above x: lower bound x
            const double x_down = (x + li) / 2.0;  // below or at x: upper bound x
            // Counts from the estimates, unless one of them lies within the margin.
            bool near = estimates == nullptr;
            if (!near) {
                for (int k = 0; k < n; ++k) near |= std::fabs(estimates[k] - x) <= margin;
            }
            int above = 0;
            bool i_above;
            if (near) {
                above = sturm_count(n, ws.d, ws.e2, x);
                i_above = i < above;
            } else {
                i_above = estimates[i] > x;  // i < (number of estimates above x)
            }
            // For k < above: lower[k] = x. From k = above on: w[k] = x, up to the first
            // k with w[k] <= x, where the update stops. The upper bounds never increase
            // with k (they start equal, and each step lowers a run k >= above to x), so
            // every w[k] > x from `above` on lies before that stop: the update is
            // w[k] = x wherever k >= above and w[k] > x, element by element.
            // x < wi always (eps is far above the spacing of doubles near the
            // bounds); were it not, the published loop would repeat x for ever.
            if (!i_above && wi <= x) break;
            for (int k = i + 1; k < n; ++k) {
                const bool is_above = near ? k < above : estimates[k] > x;
                lower[k] = is_above ? x : lower[k];
                w[k] = (is_above || w[k] <= x) ? w[k] : x;
            }
            const double x_now = x;
            x = i_above ? x_up : x_down;
            li = i_above ? x_now : li;
            wi = i_above ? wi : x_now;
        }
        w[i] = wi;
        lower[i] = li;
    }
}

// LU factorisation of T - shift I with partial pivoting, row by row.
template <int Order, class Ws>
void factor_shifted(int n_runtime, Ws &ws, double shift, double eps) {
    const int n = Order > 0 ? Order : n_runtime;
    const double *off = ws.off;
    double u = ws.d[0] - shift;  // diagonal and super-diagonal of the pending row
    double v = n > 1 ? off[0] : 0.0;
    for (int i = 0; i + 1 < n; ++i) {
        const double sub = off[i];
        const double dn = ws.d[i + 1] - shift;
        const double sup = (i + 2 < n) ? off[i + 1] : 0.0;
        if (std::fabs(sub) > std::fabs(u)) {
            ws.pivot[i] = sub;
            ws.u1[i] = dn;
            ws.u2[i] = sup;
            const double m = u / sub;
            ws.mult[i + 1] = m;
            ws.swapped[i + 1] = true;
            u = v - m * dn;
            v = 0.0 - m * sup;
        } else {
            ws.pivot[i] = u;
            ws.u1[i] = v;
            ws.u2[i] = 0.0;
            const double m = sub / u;
            ws.mult[i + 1] = m;
            ws.swapped[i + 1] = false;
            u = dn - m * v;
            v = sup;
        }
    }
    ws.pivot[n - 1] = (u == 0.0) ? eps : u;
    ws.u1[n - 1] = 0.0;
    ws.u2[n - 1] = 0.0;
}

template <int Order, class Ws>
void back_substitute(int n_runtime, Ws &ws) {
    const int n = Order > 0 ? Order : n_runtime;
    double *x = ws.x;
    for (int i = n - 1; i >= 0; --i)
        x[i] = ((x[i] - ws.u1[i] * x[i + 1]) - ws.u2[i] * x[i + 2]) / ws.pivot[i];
}

template <int Order, class Ws>
void full_solve(int n_runtime, Ws &ws) {
    const int n = Order > 0 ? Order : n_runtime;
    double *x = ws.x;
    for (int i = 1; i < n; ++i) {
        if (ws.swapped[i]) {
            const double t = x[i - 1];
            x[i - 1] = x[i];
            x[i] = t;
        }
        x[i] = x[i] - ws.mult[i] * x[i - 1];
    }
    back_substitute<Order>(n, ws);
}

// x <- x - (z^T x) z against columns j-1, ..., j-cluster of z, one after another.
template <int Order, class Ws>
void orthogonalise(int n_runtime, Ws &ws, const double *z, int j, int cluster) {
    const int n = Order > 0 ? Order : n_runtime;
    double *x = ws.x;
    for (int col = j - 1; col >= j - cluster; --col) {
        const double *zc = z + col * n;
        double dot = 0.0;
        for (int i = 0; i < n; ++i) dot = dot + zc[i] * x[i];
        for (int i = 0; i < n; ++i) x[i] = x[i] - dot * zc[i];
    }
}

// The bisection's starting bounds and width, and the estimates unless `later` (then
// ws.want_estimates says whether they are to be formed). False for the zero matrix:
// all eigenvalues 0 and no vectors are formed (z is zeroed).
template <int Order, class Ws>
bool tbisin_start(int n_runtime, Ws &ws, double *z, double *w, bool use_estimates, bool later = false) {
    const int n = Order > 0 ? Order : n_runtime;
    const double *d = ws.d;
    const double *e = ws.e;
    double sum = d[0] * d[0];
    for (int i = 1; i < n; ++i) sum = sum + (d[i] * d[i] + 2.0 * (e[i - 1] * e[i - 1]));
    const double norm = std::sqrt(sum);
    ws.e2[0] = 0.0;
    for (int i = 1; i < n; ++i) ws.e2[i] = e[i - 1] * e[i - 1];
    for (int i = 0; i < n; ++i) {
        w[i] = norm;
        ws.lower[i] = -norm;
    }
    const double eps = norm * kEpsFactor;
    ws.eps = eps;
    if (eps == 0.0) {
        // The zero matrix: all eigenvalues 0, and no vectors are formed.
        for (int i = 0; i < n * n; ++i) z[i] = 0.0;
        return false;
    }

    // Estimates are used only where neither e^2 nor the QL can under- or overflow.
    ws.norm = norm;
    ws.want_estimates = use_estimates && norm >= 1e-100 && norm <= 1e100;
    ws.estimated = !later && ws.want_estimates && ql_estimates<Order>(n, d, e, norm, ws.estimates);
    ws.margin = 1e-12 * norm;
    return true;
}

// Eigenvectors by inverse iteration at the bisected eigenvalues w.
template <int Order, class Ws>
void tbisin_vectors(int n_runtime, Ws &ws, double *z, const double *w) {
    const int n = Order > 0 ? Order : n_runtime;
    const double *e = ws.e;
    const double eps = ws.eps;
    for (int i = 0; i + 1 < n; ++i) ws.off[i] = (e[i] == 0.0) ? eps : e[i];
    double *x = ws.x;
    int cluster = 0;
    for (int j = 0; j < n; ++j) {
        if (j == 0 || w[j - 1] - w[j] >= eps)
            cluster = 0;
        else
            ++cluster;
        factor_shifted<Order>(n, ws, w[j], eps);
        for (int i = 0; i < n; ++i) x[i] = eps;
        x[n] = 0.0;
        x[n + 1] = 0.0;
        if (n == 1) {
            back_substitute<Order>(n, ws);
        } else if (cluster == 0) {
            back_substitute<Order>(n, ws);
            full_solve<Order>(n, ws);
        } else {
            orthogonalise<Order>(n, ws, z, j, cluster);
            full_solve<Order>(n, ws);
            full_solve<Order>(n, ws);
            orthogonalise<Order>(n, ws, z, j, cluster);
        }
        double ss = 0.0;
        for (int i = 0; i < n; ++i) ss = ss + x[i] * x[i];
        const double length = std::sqrt(ss);
        double *zj = z + j * n;
        for (int i = 0; i < n; ++i) zj[i] = x[i] / length;
    }
}

template <int Order, class Ws>
void tbisin(int n_runtime, Ws &ws, double *z, double *w, bool use_estimates) {
    if (!tbisin_start<Order>(n_runtime, ws, z, w, use_estimates)) return;
    bisect_eigenvalues<Order>(n_runtime, ws, w, ws.eps, ws.estimated ? ws.estimates : nullptr, ws.margin);
    tbisin_vectors<Order>(n_runtime, ws, z, w);
}

// ---------------------------------------------------------------------------------
// hbackc: complex eigenvectors z = Q D x from the real ones x in zr.

template <int Order, class Ws>
void hbackc(int n_runtime, const Ws &ws, const double *a, double *zr, double *zi) {
    const int n = Order > 0 ? Order : n_runtime;
    auto AR = [=](int i, int j) { return a[2 * (i + j * n)]; };
    auto AI = [=](int i, int j) { return a[2 * (i + j * n) + 1]; };
    const double *tau = ws.tau;

    // Diagonal phases: z(i) = x(i) conj(tau(i)); row 0 stays real (tau = 1).
    for (int j = 0; j < n; ++j) {
        double *zrj = zr + j * n;
        double *zij = zi + j * n;
        zij[0] = 0.0;
        for (int i = 1; i < n; ++i) {
            zij[i] = -(zrj[i] * tau[2 * i + 1]);
            zrj[i] = zrj[i] * tau[2 * i];
        }
    }

    // Reflections of columns n-3 down to 0, each acting on rows f..n-1, f = c + 1:
    // z <- z - u (u^H z) / h with h = |u(f)| e(f-1). A reflection was formed exactly
    // when its sub-diagonal modulus e(f-1) is not 0, and every one formed is undone.
    // (A skip test e(f-1) <= anorm^2 * 1.0e-22f agrees with this for anorm up to about
    // 1e11; above that it would skip reflections that were applied.)
    for (int f = n - 2; f >= 1; --f) {
        const int c = f - 1;
        const double ef = ws.e[f - 1];
        if (ef == 0.0) continue;
        const double ur0 = AR(f, c);
        const double ui0 = AI(f, c);
        const double h = std::sqrt(ur0 * ur0 + ui0 * ui0) * ef;
        for (int j = 0; j < n; ++j) {
            double *zrj = zr + j * n;
            double *zij = zi + j * n;
            double sr = 0.0;
            double si = 0.0;
            for (int i = f; i < n; ++i) {
                const double ur = AR(i, c);
                const double ui = AI(i, c);
                sr = sr + (ur * zrj[i] + ui * zij[i]);  // conj(u(i)) z(i)
                si = si + (ur * zij[i] - ui * zrj[i]);
            }
            sr = sr / h;
            si = si / h;
            for (int i = f; i < n; ++i) {
                const double ur = AR(i, c);
                const double ui = AI(i, c);
                zrj[i] = zrj[i] - (ur * sr - ui * si);  // u(i) s
                zij[i] = zij[i] - (ur * si + ui * sr);
            }
        }
    }
}

// Binary exponent of `largest` (the largest component magnitude) when that lies
// outside [2^-300, 2^300], else 0.
int order_of_magnitude(double largest) {
    if (largest == 0.0 || (largest >= 0x1p-300 && largest <= 0x1p300)) return 0;
    return std::ilogb(largest);
}

void scale_lower_triangle(int n, double *a, int exponent) {
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) {
            double *el = a + 2 * (i + j * n);
            el[0] = std::scalbn(el[0], exponent);
            el[1] = i == j ? 0.0 : std::scalbn(el[1], exponent);
        }
}

// Checks, scaling and reduction of route H up to the bisection. Returns ok when the
// matrix goes on (`bisect`: its eigenvalues are to be bisected; false for the zero
// matrix), otherwise the failure, with w, zr and zi marked.
// With reduce_later, only the checks and the scaling (the caller reduces the matrix
// and starts the bisection).
template <int Order, class Ws>
Status route_h_start(int n, double *ad, double *w, double *zr, double *zi, bool use_estimates, Ws &ws,
                     bool &bisect, bool reduce_later = false) {
    bisect = false;
    if (n < 1 || n > kMaxOrder) return Status::bad_order;
    double largest = 0.0;
    for (int j = 0; j < n; ++j) {
        for (int i = j; i < n; ++i) {
            const double *el = ad + 2 * (i + j * n);
            const double re = std::fabs(el[0]);
            const double im = i != j ? std::fabs(el[1]) : 0.0;
            if (!(re <= std::numeric_limits<double>::max()) || !(im <= std::numeric_limits<double>::max())) {
                detail::mark_no_result(n, w, zr, zi);
                return Status::non_finite;
            }
            largest = re > largest ? re : largest;
            largest = im > largest ? im : largest;
        }
    }
    // Far from 1 the squares of the bisection's norm and the growth of inverse
    // iteration (up to 1/eps^2) leave the range of doubles: below about 1e-162 every
    // eigenvalue would come out 0, below about 1e-140 the vectors NaN, above about
    // 1e154 everything. Such a matrix is scaled by a power of two (exact) to a
    // largest component in [1, 2), and the eigenvalues scaled back.
    ws.exponent = order_of_magnitude(largest);
    if (ws.exponent != 0) scale_lower_triangle(n, ad, -ws.exponent);
    if (reduce_later) return Status::ok;
    htridc<Order>(n, ad, ws);
    bisect = tbisin_start<Order>(n, ws, zr, w, use_estimates);
    return Status::ok;
}

template <class Ws>
Status route_h_end(int n, double *w, double *zr, double *zi, const Ws &ws);

// Route H after the bisection: vectors, back-transformation, scaling back.
template <int Order, class Ws>
Status route_h_finish(int n, const double *ad, double *w, double *zr, double *zi, Ws &ws, bool bisected) {
    if (bisected) tbisin_vectors<Order>(n, ws, zr, w);
    hbackc<Order>(n, ws, ad, zr, zi);
    return route_h_end(n, w, zr, zi, ws);
}

// The eigenvalues scaled back; a result that is not finite is a failure.
template <class Ws>
Status route_h_end(int n, double *w, double *zr, double *zi, const Ws &ws) {
    if (ws.exponent != 0)
        for (int i = 0; i < n; ++i) w[i] = std::scalbn(w[i], ws.exponent);
    if (!detail::all_finite(n, w) || !detail::all_finite(n * n, zr) || !detail::all_finite(n * n, zi)) {
        detail::mark_no_result(n, w, zr, zi);
        return Status::non_finite;
    }
    return Status::ok;
}

template <int Order>
Status route_h(int n, std::complex<double> *a, double *w, double *zr, double *zi, bool use_estimates) {
    double *ad = reinterpret_cast<double *>(a);
    BisectWork<Order> ws;
    bool bisect = false;
    const Status s = route_h_start<Order>(n, ad, w, zr, zi, use_estimates, ws, bisect);
    if (s != Status::ok) return s;
    if (bisect) bisect_eigenvalues<Order>(n, ws, w, ws.eps, ws.estimated ? ws.estimates : nullptr, ws.margin);
    return route_h_finish<Order>(n, ad, w, zr, zi, ws, bisect);
}

Status route_h(int n, std::complex<double> *a, double *w, double *zr, double *zi, bool use_estimates) {
    // The nuclear Hamiltonian (n = 4) with loops of known length.
    return n == 4 ? route_h<4>(n, a, w, zr, zi, use_estimates) : route_h<0>(n, a, w, zr, zi, use_estimates);
}

}  // namespace

Status hbisect(int n, std::complex<double> *a, double *w, double *zr, double *zi) {
    return route_h(n, a, w, zr, zi, true);
}

namespace {
// use_estimates[m]: bisect matrix m with the help of its QL estimates (all when nullptr).
void route_h4_lanes(int count, std::complex<double> *const *a, double *const *w, double *const *zr,
                    double *const *zi, Status *status, const bool *use_estimates) {
    static_assert(kHbisectLanes == detail::kBisectLanes);
    if (count < 1 || count > kHbisectLanes) return;
    if (!detail::lanes::available()) {
        for (int m = 0; m < count; ++m)
            status[m] = route_h(4, a[m], w[m], zr[m], zi[m], use_estimates == nullptr || use_estimates[m]);
        return;
    }
    BisectWork<4> ws[kHbisectLanes];
    bool bisect[kHbisectLanes];
    detail::BisectLane lanes[kHbisectLanes];
    int lane_of[kHbisectLanes];
    int bisected = 0;
    // Checks and scaling, then the reductions side by side.
    detail::ReduceLane reduce[kHbisectLanes];
    int reducing = 0;
    for (int m = 0; m < count; ++m) {
        const bool estimates = use_estimates == nullptr || use_estimates[m];
        status[m] = route_h_start<4>(4, reinterpret_cast<double *>(a[m]), w[m], zr[m], zi[m], estimates, ws[m],
                                     bisect[m], true);
        if (status[m] == Status::ok)
            reduce[reducing++] = {reinterpret_cast<double *>(a[m]), ws[m].d, ws[m].e, ws[m].tau, &ws[m].anorm};
    }
    if (reducing > 0) detail::reduce4_lanes(reducing, reduce, kTol);
    for (int m = 0; m < count; ++m) {
        lane_of[m] = -1;
        if (status[m] != Status::ok) continue;
        const bool estimates = use_estimates == nullptr || use_estimates[m];
        bisect[m] = tbisin_start<4>(4, ws[m], zr[m], w[m], estimates, true);
        if (bisect[m]) lane_of[m] = bisected++;
    }
    // The estimates of the matrices that want them, then the bisections.
    detail::QlLane ql[kHbisectLanes];
    int ql_of[kHbisectLanes];
    int estimating = 0;
    for (int m = 0; m < count; ++m) {
        ql_of[m] = -1;
        if (lane_of[m] < 0 || !ws[m].want_estimates) continue;
        ql_of[m] = estimating;
        ql[estimating++] = {ws[m].d, ws[m].e, ws[m].norm, ws[m].estimates, false};
    }
    if (estimating > 0) detail::ql4_lanes(estimating, ql);
    for (int m = 0; m < count; ++m) {
        if (lane_of[m] < 0) continue;
        if (ql_of[m] >= 0) ws[m].estimated = ql[ql_of[m]].converged && finish_estimates(4, ws[m].estimates);
        lanes[lane_of[m]] = {ws[m].d, ws[m].e2, w[m], ws[m].lower, ws[m].eps,
                             ws[m].estimated ? ws[m].estimates : nullptr, ws[m].margin};
    }
    if (bisected > 0) detail::bisect4_lanes(bisected, lanes);
    detail::VectorLane vectors[kHbisectLanes];
    int solved = 0;
    for (int m = 0; m < count; ++m) {
        if (status[m] != Status::ok) continue;
        vectors[solved++] = {ws[m].d, ws[m].e, ws[m].eps, w[m], reinterpret_cast<const double *>(a[m]), ws[m].tau,
                             lane_of[m] >= 0, zr[m], zi[m]};
    }
    if (solved > 0) detail::vectors4_lanes(solved, vectors);
    for (int m = 0; m < count; ++m)
        if (status[m] == Status::ok) status[m] = route_h_end(4, w[m], zr[m], zi[m], ws[m]);
}
}  // namespace

void hbisect4(int count, std::complex<double> *const *a, double *const *w, double *const *zr, double *const *zi,
              Status *status) {
    route_h4_lanes(count, a, w, zr, zi, status, nullptr);
}

namespace detail {
Status hbisect_sturm_only(int n, std::complex<double> *a, double *w, double *zr, double *zi) {
    return route_h(n, a, w, zr, zi, false);
}

bool ql_estimates4(const double *d, const double *e, double norm, double *lam) {
    return ql_estimates<4>(4, d, e, norm, lam);
}

void ql_estimates4_lanes(int count, const double *const *d, const double *const *e, const double *norm,
                         double *const *lam, bool *ok) {
    if (count < 1 || count > kHbisectLanes) return;
    if (!lanes::available()) {
        for (int m = 0; m < count; ++m) ok[m] = ql_estimates<4>(4, d[m], e[m], norm[m], lam[m]);
        return;
    }
    QlLane lanes[kHbisectLanes];
    for (int m = 0; m < count; ++m) lanes[m] = {d[m], e[m], norm[m], lam[m], false};
    ql4_lanes(count, lanes);
    for (int m = 0; m < count; ++m) ok[m] = lanes[m].converged && finish_estimates(4, lam[m]);
}

void hbisect4_choosing(int count, std::complex<double> *const *a, double *const *w, double *const *zr,
                       double *const *zi, Status *status, const bool *use_estimates) {
    route_h4_lanes(count, a, w, zr, zi, status, use_estimates);
}
}  // namespace detail

}  // namespace mosslib::eigen
