// What the three routes share: status texts, the reversal to descending order, and
// the checks and markings around a solver call.
#include <cmath>
#include <limits>

#include "eigen/eispack.h"
#include "eigen/hermitian.h"

namespace mosslib::eigen {

const char *status_text(Status s) {
    switch (s) {
    case Status::ok: return "ok";
    case Status::not_converged: return "eigen-solver: QL iteration did not converge within the iteration limit";
    case Status::non_finite: return "eigen-solver: non-finite matrix element or non-finite intermediate value";
    case Status::bad_order: return "eigen-solver: matrix order outside 1..36";
    }
    return "eigen-solver: unknown status";
}

void reverse_order(int n, double *w, double *zr, double *zi) {
    if (n < 1 || n > kMaxOrder) return;
    for (int i = 0; i < n / 2; ++i) {
        const int k = n - 1 - i;
        const double t = w[i];
        w[i] = w[k];
        w[k] = t;
        double *ri = zr + i * n;
        double *rk = zr + k * n;
        double *ii = zi + i * n;
        double *ik = zi + k * n;
        for (int r = 0; r < n; ++r) {
            const double a = ri[r];
            ri[r] = rk[r];
            rk[r] = a;
            const double b = ii[r];
            ii[r] = ik[r];
            ik[r] = b;
        }
    }
}

namespace detail {

bool lower_triangle_finite(int n, const double *ar, const double *ai) {
    for (int j = 0; j < n; ++j) {
        const double *cr = ar + j * n;
        const double *ci = ai + j * n;
        if (!std::isfinite(cr[j])) return false;
        for (int i = j + 1; i < n; ++i)
            if (!std::isfinite(cr[i]) || !std::isfinite(ci[i])) return false;
    }
    return true;
}

bool all_finite(int count, const double *x) {
    bool ok = true;
    for (int i = 0; i < count; ++i) ok &= std::isfinite(x[i]);
    return ok;
}

void mark_no_result(int n, double *w, double *zr, double *zi) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < n; ++i) w[i] = nan;
    for (int i = 0; i < n * n; ++i) {
        zr[i] = nan;
        zi[i] = nan;
    }
}

void set_identity(int n, double *z) {
    for (int i = 0; i < n * n; ++i) z[i] = 0.0;
    for (int i = 0; i < n; ++i) z[i + i * n] = 1.0;
}

}  // namespace detail
}  // namespace mosslib::eigen
