// Implicit QL iteration with eigenvectors for a real symmetric tridiagonal matrix
// (EISPACK TQL2), in the 1983 edition and in the older edition. Both take the same
// shift statements; they differ in the negligibility test, the hypotenuse and the
// form of the plane rotations. Order of operations as published.
//
// Guards beyond the published text, inert for every input it completes: the search
// for a negligible sub-diagonal element never runs past e[n] (a NaN there would let it),
// and an iteration whose result p is not finite stops with non_finite (the 1983 form
// would go on to feed NaN into pythag, whose loop never ends).
#include <cmath>

#include "eigen/eispack.h"
#include "eigen/pythag.h"
#include "numeric/f2c_intrinsics.h"

namespace mosslib::eigen::detail {
namespace {

using numeric::d_sign;

// Relative precision of the older edition: 1.0e-16 written in single precision.
constexpr double kOlderMachep = static_cast<double>(1.0e-16f);

struct View {
    int n;
    double *d_;
    double *e_;
    double *z_;
    double &D(int i) const { return d_[i - 1]; }
    double &E(int i) const { return e_[i - 1]; }
    double *column(int j) const { return z_ + (j - 1) * n; }
};

// Plane rotation of columns i and i+1 of z.
inline void rotate_columns(const View &v, int i, double c, double s) {
    double *zi = v.column(i);
    double *zi1 = v.column(i + 1);
    for (int k = 0; k < v.n; ++k) {
        const double t = zi1[k];
        zi1[k] = s * zi[k] + c * t;
        zi[k] = c * zi[k] - s * t;
    }
}

// Shift of the 1983 edition (both forms use these statements; only r differs):
// d[l] and d[l+1] from the 2 x 2 leading block, the rest of d moved by h; returns h.
template <class Root>
inline double apply_shift(const View &v, int l, double &dl1) {
    const int l1 = l + 1;
    const int l2 = l1 + 1;
    const double g = v.D(l);
    const double p = (v.D(l1) - g) / (2.0 * v.E(l));
    const double r = Root::of(p);
    const double sigma = p + d_sign(r, p);
    v.D(l) = v.E(l) / sigma;
    v.D(l1) = v.E(l) * sigma;
    dl1 = v.D(l1);
    const double h = g - v.D(l);
    for (int i = l2; i <= v.n; ++i) v.D(i) = v.D(i) - h;
    return h;
}

struct RootByPythag {
    static double of(double p) { return pythag(p, 1.0); }
};
struct RootBySquareRoot {
    static double of(double p) { return std::sqrt(p * p + 1.0); }
};

// Selection sort into ascending order with matching column swaps; equal values keep
// their order.
void sort_ascending(const View &v) {
    for (int i = 1; i <= v.n - 1; ++i) {
        int k = i;
        double p = v.D(i);
        for (int j = i + 1; j <= v.n; ++j) {
            if (!(v.D(j) >= p)) {
                k = j;
                p = v.D(j);
            }
        }
        if (k != i) {
            v.D(k) = v.D(i);
            v.D(i) = p;
            double *zi = v.column(i);
            double *zk = v.column(k);
            for (int r = 0; r < v.n; ++r) {
                const double t = zi[r];
                zi[r] = zk[r];
                zk[r] = t;
            }
        }
    }
}

// Moves e so that e[i] couples rows i and i+1; e[n] = 0.
void shift_subdiagonal(const View &v) {
    for (int i = 2; i <= v.n; ++i) v.E(i - 1) = v.E(i);
    v.E(v.n) = 0.0;
}

}  // namespace

void tql2_prepare(int n, double *e) { shift_subdiagonal(View{n, nullptr, e, nullptr}); }

void tql2_sort(int n, double *d, double *z) { sort_ascending(View{n, d, nullptr, z}); }

QlOutcome tql2(int n, double *d, double *e, double *z, int iteration_limit) {
    if (n == 1) return {Status::ok, 0};
    const View v{n, d, e, z};
    shift_subdiagonal(v);
    double f = 0.0;
    double tst1 = 0.0;

    for (int l = 1; l <= n; ++l) {
        int j = 0;
        const double h = std::fabs(v.D(l)) + std::fabs(v.E(l));
        if (tst1 < h) tst1 = h;
        // Look for a small sub-diagonal element.
        int m = l;
        for (; m <= n; ++m) {
            const double tst2 = tst1 + std::fabs(v.E(m));
            if (tst2 == tst1) break;
        }
        if (m > n) return {Status::non_finite, l};

        if (m != l) {
            double tst2;
            do {
                if (j >= iteration_limit) return {Status::not_converged, l};
                ++j;
                const int l1 = l + 1;
                double dl1;
                f = f + apply_shift<RootByPythag>(v, l, dl1);

                // QL transformation.
                double p = v.D(m);
                double c = 1.0;
                double c2 = c;
                const double el1 = v.E(l1);
                double s = 0.0;
                double c3 = 0.0;
                double s2 = 0.0;
                for (int i = m - 1; i >= l; --i) {
                    c3 = c2;
                    c2 = c;
                    s2 = s;
                    const double g = c * v.E(i);
                    const double hc = c * p;
                    const double r = pythag(p, v.E(i));
                    v.E(i + 1) = s * r;
                    s = v.E(i) / r;
                    c = p / r;
                    p = c * v.D(i) - s * g;
                    v.D(i + 1) = hc + s * (c * g + s * v.D(i));
                    rotate_columns(v, i, c, s);
                }
                p = -((((s * s2) * c3) * el1) * v.E(l)) / dl1;
                v.E(l) = s * p;
                v.D(l) = c * p;
                if (!std::isfinite(p)) return {Status::non_finite, l};
                tst2 = tst1 + std::fabs(v.E(l));
            } while (tst2 > tst1);
        }
        v.D(l) = v.D(l) + f;
    }
    sort_ascending(v);
    return {Status::ok, 0};
}

QlOutcome tql2_older(int n, double *d, double *e, double *z, int iteration_limit) {
    if (n == 1) return {Status::ok, 0};
    const View v{n, d, e, z};
    shift_subdiagonal(v);
    double f = 0.0;
    double b = 0.0;

    for (int l = 1; l <= n; ++l) {
        int j = 0;
        const double h = kOlderMachep * (std::fabs(v.D(l)) + std::fabs(v.E(l)));
        if (b < h) b = h;
        // Look for a small sub-diagonal element.
        int m = l;
        for (; m <= n; ++m) {
            if (std::fabs(v.E(m)) <= b) break;
        }
        if (m > n) return {Status::non_finite, l};

        if (m != l) {
            do {
                if (j >= iteration_limit) return {Status::not_converged, l};
                ++j;
                double dl1;
                f = f + apply_shift<RootBySquareRoot>(v, l, dl1);

                // QL transformation.
                double p = v.D(m);
                double c = 1.0;
                double s = 0.0;
                for (int i = m - 1; i >= l; --i) {
                    const double g = c * v.E(i);
                    const double hc = c * p;
                    if (!(std::fabs(p) < std::fabs(v.E(i)))) {
                        c = v.E(i) / p;
                        const double r = std::sqrt(c * c + 1.0);
                        v.E(i + 1) = (s * p) * r;
                        s = c / r;
                        c = 1.0 / r;
                    } else {
                        c = p / v.E(i);
                        const double r = std::sqrt(c * c + 1.0);
                        v.E(i + 1) = (s * v.E(i)) * r;
                        s = 1.0 / r;
                        c = c * s;
                    }
                    p = c * v.D(i) - s * g;
                    v.D(i + 1) = hc + s * (c * g + s * v.D(i));
                    rotate_columns(v, i, c, s);
                }
                v.E(l) = s * p;
                v.D(l) = c * p;
                if (!std::isfinite(p)) return {Status::non_finite, l};
            } while (std::fabs(v.E(l)) > b);
        }
        v.D(l) = v.D(l) + f;
    }
    sort_ascending(v);
    return {Status::ok, 0};
}

}  // namespace mosslib::eigen::detail
