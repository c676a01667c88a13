// Fluctuation of the ion among its electronic states: rates from the energy gaps, the
// temperature and a power law in the gap, in detailed balance with the populations,
// added (transposed) on the diagonals of the 8x8 blocks of the transition matrix.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Fills rates[i + 6 j] = R(i, j), the rate (mm/s) of the jump from state i to state j,
// with R(i, i) minus the total rate out of state i.
void relaxation_rates(const ParlModel &model, const ParlElec &elec, float *rates);

// Adds R(j, i) to the real part of trans_mat(8 i + t, 8 j + t) for every transition t.
void add_relaxation(const ParlModel &model, const ParlElec &elec, ParlMat &mat, RelaxScratch &scratch);

}  // namespace mosslib::relax
