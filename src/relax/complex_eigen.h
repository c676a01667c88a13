// Eigen-decomposition of a general complex matrix in single precision by Eberlein's
// norm-reducing Jacobi method: 2x2 similarity transformations, each a unitary rotation
// combined with a shear that reduces the departure from normality.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Decomposes the leading n x n block (1 <= n <= 48) of mat.trans_mat in place. On
// return eig_left * A0 * eig_right = trans_mat (to rounding), trans_mat is diagonal to
// the convergence tolerance with the eigenvalues on the diagonal, column j of
// eig_right is a right and row j of eig_left a left eigenvector, and eig_left is the
// inverse of eig_right. Returns the number of sweeps begun.
int eberlein_decompose(int n, ParlMat &mat, DecompositionScratch &scratch);

// The fast form at the baseline vector width (SSE2), which processors without AVX
// run; the same results.
int eberlein_decompose_baseline(int n, ParlMat &mat, DecompositionScratch &scratch);

// The same decomposition in its plain form, one complex element at a time. Kept as the
// definition that the fast form must reproduce bit for bit.
int eberlein_decompose_plain(int n, ParlMat &mat, DecompositionScratch &scratch);

}  // namespace mosslib::relax
