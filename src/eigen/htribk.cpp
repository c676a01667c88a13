// Back-transformation of the eigenvectors of the tridiagonal matrix into those of the
// Hermitian matrix (EISPACK HTRIBK): the diagonal phases first, then the Householder
// reflections in the order of the reduction's rows 2..n.
#include "eigen/eispack.h"

namespace mosslib::eigen::detail {

void htribk(int n, const double *ar, const double *ai, const double *tau, int m, double *zr,
            double *zi) {
    if (m == 0) return;
    auto AR = [=](int i, int k) { return ar[(i - 1) + (k - 1) * n]; };
    auto AI = [=](int i, int k) { return ai[(i - 1) + (k - 1) * n]; };

    for (int j = 0; j < m; ++j) {
        double *zrj = zr + j * n;
        double *zij = zi + j * n;
        for (int k = 0; k < n; ++k) {
            zij[k] = -(zrj[k] * tau[2 * k + 1]);
            zrj[k] = zrj[k] * tau[2 * k];
        }
    }
    if (n == 1) return;

    for (int i = 2; i <= n; ++i) {
        const int l = i - 1;
        const double h = AI(i, i);
        if (h == 0.0) continue;
        // Row i of the reduction's Householder vector, contiguous.
        double ur[kMaxOrder];
        double ui[kMaxOrder];
        for (int k = 1; k <= l; ++k) {
            ur[k - 1] = AR(i, k);
            ui[k - 1] = AI(i, k);
        }
        for (int j = 0; j < m; ++j) {
            double *zrj = zr + j * n;
            double *zij = zi + j * n;
            double s = 0.0;
            double si = 0.0;
            for (int k = 0; k < l; ++k) {
                s = (s + ur[k] * zrj[k]) - ui[k] * zij[k];
                si = (si + ur[k] * zij[k]) + ui[k] * zrj[k];
            }
            // Two divisions by h, as published (not one by h^2).
            s = (s / h) / h;
            si = (si / h) / h;
            for (int k = 0; k < l; ++k) {
                zrj[k] = (zrj[k] - s * ur[k]) - si * ui[k];
                zij[k] = (zij[k] - si * ur[k]) + s * ui[k];
            }
        }
    }
}

}  // namespace mosslib::eigen::detail
