// The relaxation engine: the normalised transmission spectrum of a 57Fe nucleus in a
// paramagnetic ion whose electronic states relax among one another, for one
// orientation or averaged over a cube-symmetric orientation grid.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/parallel.h"
#include "relax/argument_defaults.h"
#include "relax/relax_workspace.h"

namespace mosslib::relax {


// Copies IB 1..4 unchanged and DB 1..28 rounded to float into the argument block.
void copy_arguments(const std::int32_t *ib, const double *db, ParlArgs &args);

// Why the arguments cannot be computed (n_levels outside 1..6, n_chan outside 0..256,
// negative grid_level), or an empty view when they can.
std::string_view structural_fault(const ParlArgs &args);

// Sets pi, deg2rad and the nuclear Zeeman factors.
void set_constants(ParlModel &model);

// Fills model, amplitude and the orientation table from the argument block; returns
// the number of orientations (0 for a single orientation).
int unpack_arguments(RelaxWorkspace &ws);

// Runs the engine on ws.parl_args (which must pass structural_fault) and leaves the
// transmission of channels 1..n_chan in spec_out; returns n_chan. Channels are NaN
// when an orientation could be computed by neither route, or the orientation sum has
// negative absorption (numerical_fault says so).
// The orientations of a grid run on control.threads threads with the same result for
// every count; a cancelled run (progress callback) leaves NaN and says so.
int run_relaxation(RelaxWorkspace &ws, const common::CallControl &control = {});

// Why the last run_relaxation gave no spectrum, or an empty view when it gave one.
std::string_view numerical_fault(const RelaxWorkspace &ws);

// Orientations k0 .. k0 + count - 1 of the grid (count <= kDecompositionLanes),
// decomposed side by side, their absorption spectra into spectra[0 .. count - 1] (n_chan
// channels each) in order, up to the first one neither route solves (then `unsolved`
// and it is the last one written). Returns the number written.
int orientation_batch(RelaxWorkspace &ws, int k0, int count, float (*spectra)[kChannels], bool &unsolved);

// Spectrum of orientation k into spec_one: electronic states, transition matrix,
// relaxation coupling, decomposition, absorption; where the decomposition is not
// accepted (decomposition_acceptance.h), the absorption from the resolvent. False when
// neither gives a possible spectrum.
bool orientation_absorption(RelaxWorkspace &ws, int k);

}  // namespace mosslib::relax
