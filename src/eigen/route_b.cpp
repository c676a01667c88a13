// Route B: the older-edition reduction and QL (fixed relative precision 1e-16f, plain
// square roots) with HTRIBK. Result in ascending order. Non-convergence is reported,
// never ends the process.
#include "eigen/eispack.h"
#include "eigen/hermitian.h"

namespace mosslib::eigen {

Status chstop(int n, double *ar, double *ai, double *zr, double *zi, double *w, int iteration_limit) {
    using namespace detail;
    if (n < 1 || n > kMaxOrder) return Status::bad_order;
    if (!lower_triangle_finite(n, ar, ai)) {
        mark_no_result(n, w, zr, zi);
        return Status::non_finite;
    }
    for (int i = 0; i < n; ++i) ai[i + i * n] = 0.0;

    ChWork work;
    htridi_older(n, ar, ai, w, work.fv1, work.fv2, work.fm1);
    set_identity(n, zr);
    const QlOutcome ql = tql2_older(n, w, work.fv1, zr, iteration_limit);
    if (ql.status != Status::ok) {
        mark_no_result(n, w, zr, zi);
        return ql.status;
    }
    htribk(n, ar, ai, work.fm1, n, zr, zi);
    if (!all_finite(n, w) || !all_finite(n * n, zr) || !all_finite(n * n, zi)) {
        mark_no_result(n, w, zr, zi);
        return Status::non_finite;
    }
    return Status::ok;
}

}  // namespace mosslib::eigen
