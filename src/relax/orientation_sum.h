// The orientation average of the relaxation engine on the thread pool: the weighted sum
// of the spectra of every orientation of the grid, added into each channel in
// orientation order, the same bits as on the calling thread alone.
#pragma once

#include "common/parallel.h"
#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Orientations per chunk: the unit a worker takes, the batch decomposed side by side.
inline constexpr int kOrientationsPerChunk = kDecompositionLanes;

enum class SumEnd { complete, unsolved, cancelled, no_memory };

// spec_sum[ch] += spec_one(k)[ch] * orient_weight for k = 0, 1, ... over the n_chan
// channels of ws (spec_sum zeroed before; ws holds the unpacked model and grid), up to
// n_orient - 1 or the first orientation neither route solves (`unsolved`; it is the
// last one added). ws.resolvent_orientations counts those added that took the
// resolvent route.
SumEnd sum_orientations(RelaxWorkspace &ws, int n_orient, const common::CallControl &control);

}  // namespace mosslib::relax
