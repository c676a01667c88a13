// The EISPACK routines behind routes A and B: Householder reduction of a complex
// Hermitian matrix to real symmetric tridiagonal form (HTRIDI), implicit QL with
// eigenvectors (TQL2) and back-transformation (HTRIBK), each in the 1983 edition and,
// where they differ, in the older edition.
//
// Matrices are column-major with leading dimension n, 0-based pointers; the comments
// and the code use the routines' own 1-based indices through small accessors.
// tau holds the complex phase factors as pairs (real, imaginary), 2 x n.
#pragma once

#include <complex>

#include "eigen/hermitian.h"

namespace mosslib::eigen::detail {

// Reduction to tridiagonal form: diagonal d[1..n], sub-diagonal e[2..n] (e[1] = 0),
// squares e2, phases tau; ar/ai keep the Householder vectors below the diagonal, the
// original diagonal in ar and the Householder normalisers on the diagonal of ai.
// Reads the diagonal of ai: callers clear it first.
// htridi: modulus of the complex sub-diagonal element by pythag (1983);
// htridi_older: by the plain square root of the sum of squares (older edition).
void htridi(int n, double *ar, double *ai, double *d, double *e, double *e2, double *tau);
void htridi_older(int n, double *ar, double *ai, double *d, double *e, double *e2, double *tau);

// QL outcome: status ok, not_converged (error_index = l, the eigenvalue whose
// iteration hit the limit) or non_finite (a non-finite value arose; the published
// code would loop for ever or read past the end of d).
struct QlOutcome {
    Status status;
    int error_index;
};

// Eigenvalues (ascending, in d) and eigenvectors (accumulated into z, n x n) of the
// tridiagonal matrix d, e. tql2: 1983 edition, tolerance by the running norm tst1
// and shifts by pythag; tql2_older: fixed relative precision 1e-16f, plain square roots.
QlOutcome tql2(int n, double *d, double *e, double *z, int iteration_limit);
QlOutcome tql2_older(int n, double *d, double *e, double *z, int iteration_limit);

// TQL2 (1983) on `count` (1..4) matrices of order n (2..kMaxLaneOrder) side by side in
// vector lanes, each with the bits and outcome of tql2(n, d[m], e[m], z[m], limit).
// These lane forms run only where lanes::available() (lane_ops.h).
inline constexpr int kMaxLaneOrder = kRouteALanesMaxOrder;
void tql2_lanes(int count, int n, double *const *d, double *const *e, double *const *z, int iteration_limit,
                QlOutcome *outcome);
// HTRIDI (1983) and HTRIBK (with m = n) on `count` (1..4) matrices of order n
// (2..kMaxLaneOrder) side by side in vector lanes, each bit for bit as htridi and htribk
// on that matrix alone.
void htridi_lanes(int count, int n, double *const *ar, double *const *ai, double *const *d, double *const *e,
                  double *const *e2, double *const *tau);
void htribk_lanes(int count, int n, double *const *ar, double *const *ai, double *const *tau, double *const *zr,
                  double *const *zi);
// The first and last steps of TQL2, shared with tql2_lanes: e moved so that e[i] couples rows i and
// i+1 (e[n-1] = 0); eigenvalues sorted ascending with their columns of z.
void tql2_prepare(int n, double *e);
void tql2_sort(int n, double *d, double *z);

// Eigenvectors of the Hermitian matrix from the real ones in zr (m columns) and the
// reduction data of htridi; writes zr and zi.
void htribk(int n, const double *ar, const double *ai, const double *tau, int m, double *zr,
            double *zi);

// Work arrays of CH: sub-diagonal, its squares, the phase factors.
struct ChWork {
    double fv1[kMaxOrder];
    double fv2[kMaxOrder];
    double fm1[2 * kMaxOrder];
};

// The edition-specific steps of CH: reduction and QL.
struct ChEdition {
    void (*reduce)(int, double *, double *, double *, double *, double *, double *);
    QlOutcome (*ql)(int, double *, double *, double *, int);
};
inline constexpr ChEdition kEdition1983{htridi, tql2};
inline constexpr ChEdition kEditionOlder{htridi_older, tql2_older};

// CH with eigenvectors in the given edition: reduction (the imaginary part of the
// diagonal taken as zero), QL from the identity, back-transformation. Eigenvalues
// ascending. Any failure leaves NaN in w, zr, zi and is returned.
Status ch(const ChEdition &edition, int n, double *ar, double *ai, double *w, double *zr, double *zi,
          int iteration_limit);

// CH of the 1983 edition on `count` (1..kChLanes) matrices of order n, each with the
// bits and status of ch(kEdition1983, n, ar[m], ...); the QL iterations run side by
// side in vector lanes for n in 2..kMaxLaneOrder (one after another otherwise).
inline constexpr int kChLanes = 4;
void ch_lanes(int count, int n, double *const *ar, double *const *ai, double *const *w, double *const *zr,
              double *const *zi, int iteration_limit, Status *status);

// Route H with a Sturm count at every bisection step (hbisect takes most counts
// from eigenvalue estimates instead, with identical results); for tests.
Status hbisect_sturm_only(int n, std::complex<double> *a, double *w, double *zr, double *zi);

// hbisect4 with the estimates used for matrix m only where use_estimates[m] (the
// others counted by Sturm sequences at every step, as hbisect_sturm_only); for tests.
void hbisect4_choosing(int count, std::complex<double> *const *a, double *const *w, double *const *zr,
                       double *const *zi, Status *status, const bool *use_estimates);

// Route H's eigenvalue estimates (QL, sorted descending; false when the QL fails) of a
// tridiagonal matrix of order 4 (diagonal d, couplings e[0..2], Frobenius norm), alone
// and for `count` matrices side by side; for tests.
bool ql_estimates4(const double *d, const double *e, double norm, double *lam);
void ql_estimates4_lanes(int count, const double *const *d, const double *const *e, const double *norm,
                         double *const *lam, bool *ok);

// Shared helpers of the three routes.
// True when every element of the lower triangle (diagonal included) of ar and ai is
// finite; the diagonal of ai is not looked at (it is ignored).
bool lower_triangle_finite(int n, const double *ar, const double *ai);
bool all_finite(int count, const double *x);
// Marks a failed result: w[n], zr[n*n], zi[n*n] become NaN.
void mark_no_result(int n, double *w, double *zr, double *zi);
// zr = n x n identity.
void set_identity(int n, double *z);

}  // namespace mosslib::eigen::detail
