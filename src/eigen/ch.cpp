// CH with eigenvectors, shared by routes A and B; each edition brings its own
// reduction, tolerance and convergence test.
#include "eigen/eispack.h"
#include "eigen/lane_ops.h"

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

void ch_lanes(int count, int n, double *const *ar, double *const *ai, double *const *w, double *const *zr,
              double *const *zi, int iteration_limit, Status *status) {
    if (count < 1 || count > kChLanes) return;
    if (n < 2 || n > kMaxLaneOrder || !lanes::available()) {
        for (int m = 0; m < count; ++m) status[m] = ch(kEdition1983, n, ar[m], ai[m], w[m], zr[m], zi[m], iteration_limit);
        return;
    }
    // The finite matrices, packed into lanes 0..lanes-1.
    ChWork work[kChLanes];
    double *a_r[kChLanes], *a_i[kChLanes], *d[kChLanes], *e[kChLanes], *e2[kChLanes], *tau[kChLanes],
        *z_r[kChLanes], *z_i[kChLanes];
    int lane_of[kChLanes];
    int lanes = 0;
    for (int m = 0; m < count; ++m) {
        lane_of[m] = -1;
        if (!lower_triangle_finite(n, ar[m], ai[m])) {
            mark_no_result(n, w[m], zr[m], zi[m]);
            status[m] = Status::non_finite;
            continue;
        }
        for (int i = 0; i < n; ++i) ai[m][i + i * n] = 0.0;
        set_identity(n, zr[m]);
        const int k = lanes++;
        lane_of[m] = k;
        a_r[k] = ar[m];
        a_i[k] = ai[m];
        d[k] = w[m];
        e[k] = work[m].fv1;
        e2[k] = work[m].fv2;
        tau[k] = work[m].fm1;
        z_r[k] = zr[m];
        z_i[k] = zi[m];
    }
    if (lanes == 0) return;
    htridi_lanes(lanes, n, a_r, a_i, d, e, e2, tau);
    QlOutcome ql[kChLanes];
    tql2_lanes(lanes, n, d, e, z_r, iteration_limit, ql);
    // Back-transformation of the lanes that converged, packed again.
    int back = 0;
    for (int m = 0; m < count; ++m) {
        if (lane_of[m] < 0) continue;
        const int k = lane_of[m];
        status[m] = ql[k].status;
        if (status[m] != Status::ok) {
            mark_no_result(n, w[m], zr[m], zi[m]);
            continue;
        }
        a_r[back] = ar[m];
        a_i[back] = ai[m];
        tau[back] = work[m].fm1;
        z_r[back] = zr[m];
        z_i[back] = zi[m];
        ++back;
    }
    if (back > 0) htribk_lanes(back, n, a_r, a_i, tau, z_r, z_i);
    for (int m = 0; m < count; ++m) {
        if (lane_of[m] < 0 || status[m] != Status::ok) continue;
        if (!all_finite(n, w[m]) || !all_finite(n * n, zr[m]) || !all_finite(n * n, zi[m])) {
            mark_no_result(n, w[m], zr[m], zi[m]);
            status[m] = Status::non_finite;
        }
    }
}

}  // namespace mosslib::eigen::detail
