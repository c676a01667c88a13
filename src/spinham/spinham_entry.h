// Entries of the spin-Hamiltonian engine from the caller's raw arrays (exports ttt and
// tkv): decoding of the parameter layout, structural checks, the thread's work space,
// the run, and the fault the export reports.
#pragma once

#include <cstdint>

#include "common/fault.h"

namespace mosslib::spinham {

// Channels of the spectrum tkv compares (G must be this).
inline constexpr int kTkvChannels = 256;

// ttt: the spectrum of ints[0..9], reals[0..35] into spectrum[0..G-1], G = ints[5]
// (nothing written when the lines flag ints[9] is 1). A fault asks for the G channels
// to be NaN when G is a count the spectrum can hold and the lines flag is not 1, for
// none otherwise.
common::Fault ttt_spectrum(const std::int32_t *ints, const double *reals, double *spectrum);

// tkv: the sum over channels 2..256 of (measured - model)^2, the model as ttt with the
// level mode taken from ints[26]; element 0 of measured is not read. Sets sum only when
// there is no fault; a fault fills nothing (the export returns NaN).
common::Fault tkv_residual(const std::int32_t *ints, const double *reals, const double *measured, double &sum);

}  // namespace mosslib::spinham
