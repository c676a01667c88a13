// Whether the spectrum of an orientation may come from its decomposition, and whether a
// computed spectrum is physically possible.
//
// The decomposition works on the transition matrix in place. In a near-singular shear
// (slow relaxation between nearly degenerate modes) the accumulated transformation can
// lose its similarity to the original matrix: the iterated matrix ends diagonal to the
// tolerance, yet its diagonal is no longer the spectrum of the original one and the
// eigenvector matrices are no longer inverse to each other. The remainder test of
// decomposition_converged sees only the iterated matrix and cannot tell. The true
// remainder E = eig_left A0 eig_right - diag(lambda) is taken from the original matrix
// A0 instead: each mode's resolvent term h / (z - lambda_m) moves by a relative amount of
// about sum_k |E(m,k)| h / ((h - Re lambda_m)(h - Re lambda_k)), which must stay below
// kRemainderLimit for the modes to stand for the matrix.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Largest accepted relative move of a mode's resolvent term by the true remainder. A
// converged decomposition in single precision reaches about 1e-2 where relaxation rates
// are large against the line width (the spectrum is then right to about 1e-3 of its
// deepest channel); a decomposition that lost its similarity gives 0.03 to 1e5.
inline constexpr double kRemainderLimit = 0.02;

// Absorption that is negative by more than this fraction of the deepest channel is not
// physical (an absorption cross-section is never negative); below it, rounding.
inline constexpr double kNegativeAbsorption = 1e-5;

// The true remainder of the decomposition in mat (order n; eigenvalues on the diagonal
// of trans_mat, eig_left and eig_right beside it) of the original matrix `original`
// (leading dimension kMaxDim), estimated through one probe vector with unit-modulus
// entries of fixed phases, in double precision, O(n^2). False also when a mode grows or
// barely decays (Re lambda >= h / 2: no relaxing system has it) or a value is not finite.
bool remainder_acceptable(int n, const complex_f *original, const ParlMat &mat, float line_width);

// Whether an orientation's absorption[0 .. n_chan-1] is nowhere below -kNegativeAbsorption times its
// largest value, and finite.
bool absorption_possible(int n_chan, const float *absorption);

}  // namespace mosslib::relax
