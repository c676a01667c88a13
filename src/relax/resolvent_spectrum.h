// Absorption of one orientation without the eigen-decomposition: the resolvent of the
// transition matrix, (z - A)^-1 with z = h + i v, solved channel by channel in double
// precision. It does not depend on the decomposition converging; the engine uses it
// for the orientations where the decomposition stops short of a diagonal matrix, no
// longer reproduces the matrix, or gives negative absorption (decomposition_acceptance.h).
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Whether the decomposed matrix of order n (eig_left A0 eig_right in trans_mat) is
// diagonal enough for its diagonal to stand for the eigenvalues. The off-diagonal
// remainder E perturbs every resolvent term 1/(z - lambda) by a relative amount of at
// most |E| / (h - Re lambda) <= |E| / h (h the half line width, Re lambda <= 0 for a
// relaxing system); the sum of the moduli of the off-diagonal elements bounds |E|. The
// decomposition counts as converged when that bound is below kResolventSwitch h. A
// remainder small only against the diagonal is not enough: with relaxation rates far
// above the line width, single precision leaves a remainder that still moves lines.
bool decomposition_converged(int n, const ParlMat &mat, float line_width);

inline constexpr double kResolventSwitch = 1e-3;

// Absorption of orientation k into chan_vel and spec_one from the undecomposed
// transition matrix of order n in mat.trans_mat, with the weights and angular factors
// of the decomposition route: spec_one(v) = Re sum_ij w_j K(i,j) h (z - A)^-1_ij,
// z = h + i (v - shift). Rounds the result to float. Returns false when a system is
// singular or a value is not finite.
bool resolvent_absorption(int n, const ParlModel &model, const ParlOrient &orient, const ParlElec &elec,
                          const ParlMat &mat, int k, ParlSpec &spectra, RelaxScratch &scratch,
                          ResolventScratch &work);

}  // namespace mosslib::relax
