// Route B: the older-edition reduction and QL (fixed relative precision 1e-16f, plain
// square roots) with HTRIBK. Result in ascending order. Non-convergence is reported,
// never ends the process.
#include "eigen/eispack.h"
#include "eigen/hermitian.h"

namespace mosslib::eigen {

Status chstop(int n, double *ar, double *ai, double *zr, double *zi, double *w, int iteration_limit) {
    return detail::ch(detail::kEditionOlder, n, ar, ai, w, zr, zi, iteration_limit);
}

}  // namespace mosslib::eigen
