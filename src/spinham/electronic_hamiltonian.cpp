#include "spinham/electronic_hamiltonian.h"

#include <algorithm>
#include <cmath>

namespace mosslib::spinham {

namespace {

// Single-ion block of one spin into (re, im), leading dimension ld, lower triangle, with
// m = S - i for 0-based i: Zeeman along z and the D term on the diagonal, Zeeman along x
// and y on the first sub-diagonal, the E term on the second.
void single_spin_block(int mult, double d, double rhombicity, double gx, double gy, double gz, double bx, double by,
                       double bz, const double *c, double *re, double *im, int ld) {
    const double s = static_cast<double>(mult - 1) / 2.0;
    auto at = [ld](int i, int j) { return static_cast<long>(j) * ld + i; };
    for (int i = 0; i < mult; ++i) {
        const double m = s - static_cast<double>(i);
        re[at(i, i)] = kBohrMagneton * gz * bz * m + d * (m * m - s * (s + 1.0) / 3.0);
    }
    for (int i = 0; i + 1 < mult; ++i) {
        re[at(i + 1, i)] = kBohrMagneton * gx * bx * c[i] / 2.0;
        im[at(i + 1, i)] = kBohrMagneton * gy * by * c[i] / 2.0;
    }
    for (int i = 0; i + 2 < mult; ++i) re[at(i + 2, i)] = rhombicity * d * c[i] * c[i + 1] / 2.0;
}

// Two spins: spin-1 block times the identity of spin 2, plus the spin-2 block in every
// diagonal block, plus the exchange; the lower triangle ends in (ar, ai).
void couple_two_spins(const SpinSystem &sys, ElectronicWork &work) {
    const int mult1 = sys.mult1, mult2 = sys.mult2, n = mult1 * mult2;
    auto at = [n](int i, int j) { return static_cast<long>(j) * n + i; };
    auto at2 = [mult2](int i, int j) { return static_cast<long>(j) * mult2 + i; };
    auto state = [mult2](int i1, int i2) { return i1 * mult2 + i2; };

    for (int i1 = 0; i1 < mult1; ++i1)
        for (int i1p = 0; i1p < mult1; ++i1p)
            for (int i2 = 0; i2 < mult2; ++i2) {
                const long target = at(state(i1, i2), state(i1p, i2));
                const long source = static_cast<long>(i1p) * n + i1;  // AR(i1, i1'), leading dimension n
                work.zr[target] = work.ar[source];
                work.zi[target] = work.ai[source];
            }

    for (int i1 = 0; i1 < mult1; ++i1) {
        for (int j = 0; j < mult2; ++j) work.zr[at(state(i1, j), state(i1, j))] += work.f[at2(j, j)];
        for (int j = 0; j + 1 < mult2; ++j) {
            work.zr[at(state(i1, j + 1), state(i1, j))] += work.f[at2(j + 1, j)];
            work.zi[at(state(i1, j + 1), state(i1, j))] += work.g[at2(j + 1, j)];
        }
        for (int j = 0; j + 2 < mult2; ++j) work.zr[at(state(i1, j + 2), state(i1, j))] += work.f[at2(j + 2, j)];
    }

    // Exchange JX S1x S2x + JY S1y S2y + JZ S1z S2z, real; built above the diagonal.
    const double s1 = static_cast<double>(mult1 - 1) / 2.0, s2 = static_cast<double>(mult2 - 1) / 2.0;
    for (int i1 = 0; i1 < mult1; ++i1)
        for (int i2 = 0; i2 < mult2; ++i2) {
            const double m1 = s1 - static_cast<double>(i1), m2 = s2 - static_cast<double>(i2);
            work.x[at(state(i1, i2), state(i1, i2))] = sys.jz * m1 * m2;
        }
    for (int i1 = 0; i1 + 1 < mult1; ++i1)
        for (int j = 0; j + 1 < mult2; ++j) {
            const double c = sys.ladder1[i1], c2 = sys.ladder2[j];
            work.x[at(state(i1, j), state(i1 + 1, j + 1))] = (sys.jx - sys.jy) / 4.0 * c * c2;
            work.x[at(state(i1, j + 1), state(i1 + 1, j))] = (sys.jx + sys.jy) / 4.0 * c * c2;
        }
    for (int j = 0; j < n; ++j)
        for (int i = j + 1; i < n; ++i) work.x[at(i, j)] = work.x[at(j, i)];
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) work.zr[at(i, j)] += work.x[at(i, j)];

    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) {
            work.ar[at(i, j)] = work.zr[at(i, j)];
            work.ai[at(i, j)] = work.zi[at(i, j)];
        }
}

bool is_zero_matrix(int n, const ElectronicWork &work) {
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) {
            const long k = static_cast<long>(j) * n + i;
            if (work.ar[k] != 0.0 || (i != j && work.ai[k] != 0.0)) return false;
        }
    return true;
}

eigen::Status diagonalise(int n, double route, ElectronicWork &work) {
    switch (solver_route(route)) {
    case SolverRoute::A:
        return eigen::chdesc(n, work.ar, work.ai, work.w, work.zr, work.zi);
    case SolverRoute::H:
        if (is_zero_matrix(n, work)) {
            // The bisection route returns zero vectors for the zero matrix; give the
            // degenerate levels the product basis, as the QL routes do.
            std::fill_n(work.w, n, 0.0);
            for (int j = 0; j < n; ++j) work.zr[static_cast<long>(j) * n + j] = 1.0;
            return eigen::Status::ok;
        }
        for (int j = 0; j < n; ++j)
            for (int i = j; i < n; ++i) {
                const long k = static_cast<long>(j) * n + i;
                work.cm[k] = {work.ar[k], work.ai[k]};
            }
        return eigen::hbisect(n, work.cm, work.w, work.zr, work.zi);
    case SolverRoute::B:
        break;
    }
    const eigen::Status s = eigen::chstop(n, work.ar, work.ai, work.zr, work.zi, work.w);
    if (s == eigen::Status::ok) eigen::reverse_order(n, work.w, work.zr, work.zi);
    return s;
}

}  // namespace

void ladder(int n, double *c) {
    const double s = static_cast<double>(n - 1) / 2.0;
    for (int k = 1; k < n; ++k) {
        const double m = s - static_cast<double>(k);
        c[k - 1] = std::sqrt(s * (s + 1.0) - m * (m + 1.0));
    }
    if (n >= 1) c[n - 1] = 0.0;
}

SolverRoute solver_route(double route) {
    if (route == 1.0) return SolverRoute::A;
    if (route == -1.0) return SolverRoute::H;
    return SolverRoute::B;
}

namespace {

// The Hamiltonian of the field (bx, by, bz) into work.ar / work.ai (lower triangle).
void build(const SpinSystem &sys, double bx, double by, double bz, ElectronicWork &work) {
    const int n = sys.mult1 * sys.mult2;
    const long nn = static_cast<long>(n) * n;
    const long nn2 = static_cast<long>(sys.mult2) * sys.mult2;
    std::fill_n(work.ar, nn, 0.0);
    std::fill_n(work.ai, nn, 0.0);
    std::fill_n(work.zr, nn, 0.0);
    std::fill_n(work.zi, nn, 0.0);
    std::fill_n(work.x, nn, 0.0);
    std::fill_n(work.f, nn2, 0.0);
    std::fill_n(work.g, nn2, 0.0);

    single_spin_block(sys.mult1, sys.d1, sys.rhombicity1, sys.gx1, sys.gy1, sys.gz1, bx, by, bz, sys.ladder1, work.ar,
                      work.ai, n);
    if (sys.mult2 > 1) {
        single_spin_block(sys.mult2, sys.d2, sys.rhombicity2, sys.gx2, sys.gy2, sys.gz2, bx, by, bz, sys.ladder2,
                          work.f, work.g, sys.mult2);
        couple_two_spins(sys, work);
    }
}

}  // namespace

eigen::Status spinham(const SpinSystem &sys, double bx, double by, double bz, ElectronicWork &work, double *energy) {
    const int n = sys.mult1 * sys.mult2;
    const long nn = static_cast<long>(n) * n;
    build(sys, bx, by, bz, work);
    const eigen::Status s = diagonalise(n, sys.route, work);
    if (s != eigen::Status::ok) return s;
    std::copy_n(work.w, n, energy);
    std::copy_n(work.zr, nn, work.ar);
    std::copy_n(work.zi, nn, work.ai);
    return s;
}

bool lanes_apply(const SpinSystem &sys) {
    static_assert(kLaneLevels <= eigen::kRouteALanesMaxOrder && kElectronicLanes == eigen::kRouteALanes);
    const int n = sys.mult1 * sys.mult2;
    return solver_route(sys.route) == SolverRoute::A && n >= 2 && n <= kLaneLevels;
}

void spinham_lanes(const SpinSystem &sys, int count, const double (*b)[3], ElectronicWork &work,
                   ElectronicLanes &lanes) {
    if (count < 1 || count > kElectronicLanes || !lanes_apply(sys)) return;
    const int n = sys.mult1 * sys.mult2;
    double *ar[kElectronicLanes], *ai[kElectronicLanes], *w[kElectronicLanes], *zr[kElectronicLanes],
        *zi[kElectronicLanes];
    for (int m = 0; m < count; ++m) {
        build(sys, b[m][0], b[m][1], b[m][2], work);
        std::copy_n(work.ar, n * n, lanes.ar[m]);
        std::copy_n(work.ai, n * n, lanes.ai[m]);
        ar[m] = lanes.ar[m];
        ai[m] = lanes.ai[m];
        w[m] = lanes.w[m];
        zr[m] = lanes.zr[m];
        zi[m] = lanes.zi[m];
    }
    eigen::chdesc_lanes(count, n, ar, ai, w, zr, zi, lanes.status);
}

eigen::Status take_levels(const SpinSystem &sys, const ElectronicLanes &lanes, int m, ElectronicWork &work,
                          double *energy) {
    const int n = sys.mult1 * sys.mult2;
    const eigen::Status s = lanes.status[m];
    if (s != eigen::Status::ok) return s;
    std::copy_n(lanes.w[m], n, energy);
    std::copy_n(lanes.zr[m], n * n, work.ar);
    std::copy_n(lanes.zi[m], n * n, work.ai);
    return s;
}

}  // namespace mosslib::spinham
