// Transition matrix of one orientation: for each electronic state an 8x8 block of the
// 57Fe gamma transitions (energies on the diagonal, mixing of nuclear sublevels by
// transverse fields and the non-axial field gradient off it), all multiplied by i so
// that relaxation rates can be added as real parts.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Fills trans_mat for orientation k and returns its order: 8 n_levels, or 8 in
// fast-relaxation mode (relax_rate > 1000, one block from the averaged spin).
int build_nuclear_matrix(const ParlModel &model, const ParlOrient &orient, const ParlElec &elec, int k,
                         ParlMat &mat);

}  // namespace mosslib::relax
