// Eigenvalues and eigenvectors of complex Hermitian matrices of order up to 36, by
// three routes with one result contract:
//  - eigenvalues w[0..n-1] in descending order (w[0] largest);
//  - eigenvector k (of w[k]) is column k of zr/zi (real and imaginary parts),
//    column-major with leading dimension n; unit length, arbitrary phase.
// Inputs are column-major with leading dimension n; only the lower triangle, diagonal
// included, is read; the imaginary part of the diagonal is taken as zero. Inputs are
// overwritten with Householder data. No allocation; work storage lives on the stack of
// each call, so calls on different threads never interfere.
//
// Every route refuses an order outside 1..kMaxOrder (bad_order; nothing is read or
// written) and a non-finite element of the lower triangle (non_finite). Whenever the
// status is not ok, w, zr and zi hold NaN: never a partial or stale result.
#pragma once

#include <complex>

namespace mosslib::eigen {

inline constexpr int kMaxOrder = 36;
inline constexpr int kDefaultIterationLimit = 30;  // QL iterations per eigenvalue

enum class Status {
    ok,
    not_converged,     // the QL iteration hit its limit
    non_finite,        // non-finite input, or a non-finite value arose in the iteration
    bad_order,         // n outside 1..kMaxOrder
};

const char *status_text(Status s);

// Route A: Householder reduction, implicit QL with the published tolerance
// (hypotenuse by the overflow-safe iteration), back-transformation, then reversal to
// descending order. Bit for bit the published arithmetic wherever that completes.
// Fails with not_converged when an eigenvalue needs more than iteration_limit QL
// iterations, and with non_finite when the iteration overflows (off-diagonal entries
// beyond about 1.3e154) or the vectors do (entries below about 5.6e-309).
Status chdesc(int n, double *ar, double *ai, double *w, double *zr, double *zi,
              int iteration_limit = kDefaultIterationLimit);

// Route A on `count` (1..kRouteALanes) matrices of order n at once: matrix m is
// ar[m], ai[m], its results w[m], zr[m], zi[m] and status[m], each bit for bit what
// chdesc(n, ar[m], ...) gives; for orders 2 to kRouteALanesMaxOrder their QL iterations
// run side by side in vector lanes. Does nothing for another count.
inline constexpr int kRouteALanes = 4;
inline constexpr int kRouteALanesMaxOrder = 8;
void chdesc_lanes(int count, int n, double *const *ar, double *const *ai, double *const *w, double *const *zr,
                  double *const *zi, Status *status, int iteration_limit = kDefaultIterationLimit);

// Route B: the older-edition reduction and QL (fixed relative precision 1e-16f).
// Result in ASCENDING order; the caller reverses (reverse_order). Accurate for entries
// from about 1e-305 to 1e306. Failures as for chdesc, reported and never ending the
// process.
Status chstop(int n, double *ar, double *ai, double *zr, double *zi, double *w,
              int iteration_limit = kDefaultIterationLimit);

// Route H: complex Householder tridiagonalisation, bisection on Sturm sequences,
// inverse iteration, back-transformation. `a` is n x n complex, lower triangle read;
// on return its strict lower triangle holds the Householder vectors (of the matrix
// scaled by a power of two when its largest entry lies outside 2^-300..2^300, which
// keeps the route accurate from subnormal entries to about 1e300). Eigenvalues are
// within 1e-11 x (Frobenius norm) above the true values. The zero matrix gives all
// eigenvalues 0 and zero vectors (no eigenvectors are formed).
Status hbisect(int n, std::complex<double> *a, double *w, double *zr, double *zi);

// Route H on `count` (1..kHbisectLanes) matrices of order 4 at once: matrix m is a[m],
// its results w[m], zr[m], zi[m] and status[m], each bit for bit what
// hbisect(4, a[m], w[m], zr[m], zi[m]) gives; their bisections run side by side in
// vector lanes. Does nothing for another count.
inline constexpr int kHbisectLanes = 4;
void hbisect4(int count, std::complex<double> *const *a, double *const *w, double *const *zr, double *const *zi,
              Status *status);

// Reverses eigenvalue order: swaps w[i] with w[n-1-i] and columns i, n-1-i of zr, zi.
// Does nothing for n outside 1..kMaxOrder.
void reverse_order(int n, double *w, double *zr, double *zi);

}  // namespace mosslib::eigen
