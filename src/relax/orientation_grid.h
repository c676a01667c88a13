// Orientation grid: base directions in one forty-eighth of the sphere, each copied by a
// subset of the 24 proper cube rotations, optionally in the trigonal setting (cube
// [111] along z). Every orientation carries the same weight.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// Fills cos/sin of theta and phi for every orientation and orient_weight; returns the
// number of orientations. grid_level above 5 is lowered to 5 in the caller's variable;
// it must be at least 1. grid_sym: tens digit 2 selects the trigonal setting, the
// units digit the rotation subset.
int build_orientation_grid(int &grid_level, int grid_sym, ParlOrient &orient);

}  // namespace mosslib::relax
