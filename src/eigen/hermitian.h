// Eigenvalues and eigenvectors of complex Hermitian matrices of order up to 36, by
// three routes with one result contract:
//  - eigenvalues w[0..n-1] in descending order (w[0] largest);
//  - eigenvector k (of w[k]) is column k of zr/zi (real and imaginary parts),
//    column-major with leading dimension n; unit length, arbitrary phase.
// Inputs are column-major with leading dimension n; only the lower triangle, diagonal
// included, is read; the imaginary part of the diagonal is taken as zero. Inputs are
// overwritten with Householder data. No allocation; work storage is per thread.
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
// descending order. On failure w, zr, zi hold no result.
Status chdesc(int n, double *ar, double *ai, double *w, double *zr, double *zi,
              int iteration_limit = kDefaultIterationLimit);

// Route B: the older-edition reduction and QL (fixed relative precision 1e-16f).
// Result in ASCENDING order; the caller reverses (reverse_order). On failure w, zr, zi
// hold no result.
Status chstop(int n, double *ar, double *ai, double *zr, double *zi, double *w,
              int iteration_limit = kDefaultIterationLimit);

// Route H: complex Householder tridiagonalisation, bisection on Sturm sequences,
// inverse iteration, back-transformation. `a` is n x n complex, lower triangle read.
Status hbisect(int n, std::complex<double> *a, double *w, double *zr, double *zi);

// Reverses eigenvalue order: swaps w[i] with w[n-1-i] and columns i, n-1-i of zr, zi.
void reverse_order(int n, double *w, double *zr, double *zi);

}  // namespace mosslib::eigen
