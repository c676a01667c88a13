// CH with eigenvectors, shared by routes A and B; each edition brings its own
// reduction, tolerance and convergence test.
#include "eigen/eispack.h"

namespace mosslib::eigen::detail {

Status ch(const ChEdition &edition, int n, double *ar, double *ai, double *w, double *zr, double *zi,
          int iteration_limit) {
    if (n < 1 || n > kMaxOrder) return Status::bad_order;
    if (!lower_triangle_finite(n, ar, ai)) {
        mark_no_result(n, w, zr, zi);
        return Status::non_finite;
    }
    // The imaginary part of the diagonal is ignored: HTRIDI would read it.
    for (int i = 0; i < n; ++i) ai[i + i * n] = 0.0;

    ChWork work;
    edition.reduce(n, ar, ai, w, work.fv1, work.fv2, work.fm1);
    set_identity(n, zr);
    const QlOutcome ql = edition.ql(n, w, work.fv1, zr, iteration_limit);
    if (ql.status != Status::ok) {
        mark_no_result(n, w, zr, zi);
        return ql.status;
    }
    htribk(n, ar, ai, work.fm1, n, zr, zi);
    // Entries below about 5.6e-309 overflow in the back-transformation.
    if (!all_finite(n, w) || !all_finite(n * n, zr) || !all_finite(n * n, zi)) {
        mark_no_result(n, w, zr, zi);
        return Status::non_finite;
    }
    return Status::ok;
}

}  // namespace mosslib::eigen::detail
