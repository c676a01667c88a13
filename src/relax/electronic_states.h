// Electronic states of the ion for one field orientation: spin S = (n - 1)/2 with axial
// and rhombic zero-field splitting and an anisotropic Zeeman term; energies (descending),
// spin expectation values and Boltzmann populations, plus their population averages.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Eigenstates of the Hermitian electronic Hamiltonian h (6x6, lower triangle and
// diagonal read) of order n (3..6): energies in descending order into w, unit-length
// eigenvectors into the columns of vr + i vi. Uses mat.trans_mat and mat.eig_right as
// work space.
void electronic_eigenstates(int n, const complex_f *h, float *w, float *vr, float *vi, ParlMat &mat,
                            DecompositionScratch &scratch);

// Fills elec for orientation k with n = n_levels states.
void electronic_states(const ParlModel &model, const ParlOrient &orient, int k, int n, ParlElec &elec,
                       ParlMat &mat, RelaxScratch &scratch);

}  // namespace mosslib::relax
