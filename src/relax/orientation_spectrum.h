// Absorption of one orientation from the decomposed transition matrix: every eigenmode
// gives a complex Lorentzian whose strength combines the left and right eigenvectors,
// the state populations and the angular factors of the transitions.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Fills chan_vel and spec_one for channels 1..n_chan from the decomposed matrix of
// order n (eigenvalues on the diagonal of trans_mat) for orientation k.
void orientation_spectrum(int n, const ParlModel &model, const ParlOrient &orient, const ParlElec &elec,
                          const ParlMat &mat, int k, ParlSpec &spectra, RelaxScratch &scratch);

}  // namespace mosslib::relax
