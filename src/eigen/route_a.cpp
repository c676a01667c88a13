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

void chdesc_lanes(int count, int n, double *const *ar, double *const *ai, double *const *w, double *const *zr,
                  double *const *zi, Status *status, int iteration_limit) {
    static_assert(kRouteALanes == detail::kChLanes);
    if (count < 1 || count > kRouteALanes) return;
    detail::ch_lanes(count, n, ar, ai, w, zr, zi, iteration_limit, status);
    for (int m = 0; m < count; ++m)
        if (status[m] == Status::ok) reverse_order(n, w[m], zr[m], zi[m]);
}

}  // namespace mosslib::eigen
