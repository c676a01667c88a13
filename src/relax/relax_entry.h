// Entry of the relaxation engine from the caller's raw arrays (export parl): the
// thread's work space, decoding of IB and DB, structural checks, the run, and the
// copy of the channels into the caller's array.
#pragma once

#include <cstdint>

#include "common/fault.h"

namespace mosslib::relax {

// Writes the normalised transmission of channels 1..n_chan into out[0..n_chan-1]
// (n_chan = IB 2, 0 meaning 256); out[n_chan..255] keep what the caller passed. A
// fault (structurally impossible input, no memory) asks for all 256 to be NaN.
common::Fault parl_spectrum(const std::int32_t *ib, const double *db, double *out);

}  // namespace mosslib::relax
