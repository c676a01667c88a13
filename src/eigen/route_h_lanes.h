// Route H on several matrices of order 4 at once, one matrix per vector lane (the
// nuclear Hamiltonians): reduction, QL estimates, bisection, eigenvectors. Each lane
// performs exactly the operations of the one-matrix code of hbisect.cpp on its own
// matrix; where that code stops for its matrix, the lane keeps its values. Every
// function here runs only where lanes::available() (lane_ops.h) and does nothing
// elsewhere.
#pragma once

namespace mosslib::eigen::detail {

inline constexpr int kBisectLanes = 4;

// One matrix: diagonal d[0..3], squared couplings e2[0..3] (e2[0] = 0), upper and
// lower bounds w and lower (narrowed in place), the bisection width eps, and the
// eigenvalue estimates (descending) with their margin, or estimates == nullptr.
struct BisectLane {
    const double *d;
    const double *e2;
    double *w;
    double *lower;
    double eps;
    const double *estimates;
    double margin;
};

// Bisects lanes[0..count-1], count in 1..kBisectLanes.
void bisect4_lanes(int count, const BisectLane *lanes);

// One matrix for the QL estimates: diagonal d[0..3], couplings e[0..2], the Frobenius
// norm; out: the QL's eigenvalues in lam (not yet checked or sorted) and whether every
// one of them converged within 60 iterations.
struct QlLane {
    const double *d;
    const double *e;
    double norm;
    double *lam;
    bool converged;
};

// The QL iteration of ql_estimates<4> on lanes[0..count-1], count in 1..kBisectLanes.
void ql4_lanes(int count, QlLane *lanes);

// One matrix for the eigenvectors: the tridiagonal matrix (d, e[0..2]), the bisection
// width eps and eigenvalues w (descending), the reduced input a (4 x 4 complex,
// interleaved, Householder vectors below the diagonal) with its phase factors tau;
// `bisected` false for the zero matrix (no vectors formed, zr already zero). Out:
// the complex eigenvectors in the columns of zr, zi.
struct VectorLane {
    const double *d;
    const double *e;
    double eps;
    const double *w;
    const double *a;
    const double *tau;
    bool bisected;
    double *zr;
    double *zi;
};

// One matrix for the reduction htridc<4>: a (4 x 4 complex, interleaved, lower triangle;
// reduced in place) into the tridiagonal d, e, the phases tau (8 values) and the
// largest component magnitude anorm.
struct ReduceLane {
    double *a;
    double *d;
    double *e;
    double *tau;
    double *anorm;
};

// The reduction htridc<4> on lanes[0..count-1], count in 1..kBisectLanes; kTol is the
// reduction's skip tolerance.
void reduce4_lanes(int count, const ReduceLane *lanes, double tol);

// Inverse iteration (tbisin_vectors<4>) and back-transformation (hbackc<4>) on
// lanes[0..count-1], count in 1..kBisectLanes.
void vectors4_lanes(int count, const VectorLane *lanes);

}  // namespace mosslib::eigen::detail
