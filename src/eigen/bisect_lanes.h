// Bisection for the eigenvalues of several symmetric tridiagonal matrices of order 4 at
// once, one matrix per vector lane (route H's nuclear Hamiltonians). Each lane takes
// exactly the points, counts and bounds of the one-matrix bisection of hbisect.cpp;
// where that loop stops for its matrix, the lane keeps its values.
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

}  // namespace mosslib::eigen::detail
