// Route A: the 1983 EISPACK CH with eigenvectors (HTRIDI, TQL2, HTRIBK), then the
// reversal to descending order.
#include "eigen/eispack.h"
#include "eigen/hermitian.h"

namespace mosslib::eigen {

Status chdesc(int n, double *ar, double *ai, double *w, double *zr, double *zi, int iteration_limit) {
    const Status status = detail::ch(detail::kEdition1983, n, ar, ai, w, zr, zi, iteration_limit);
    if (status == Status::ok) reverse_order(n, w, zr, zi);
    return status;
}

}  // namespace mosslib::eigen
