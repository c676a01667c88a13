// General sextet: six Lorentzian lines with per-line widths. One kernel serves the
// linear scale (`sextgen`), the fixed-step sine scale (`sextgen_ss`) and the sine scale
// with the caller's channels per radian on 512 channels (`sextgen_sl`).
#pragma once

#include "lineshape/velocity_scale.h"

namespace mosslib::lineshape {

// Reads p[1..3], p[5..19] and, for sine_channels_per_radian only, p[20]:
//   1 field, 2 shift (half of it is added to every line), 3 quadrupole term (lines move
//   by -/+ p3, not halved), 5 area, 6..11 intensities, 12 velocity step (linear) or
//   amplitude (sine), 13 zero channel, 14..19 widths (FWHM) of lines 1..6,
//   20 channels per radian.
// Line k sits at p1 * c_k + s_k * p3 + p2 / 2 (general-sextet coefficients) with height
// I_k / (N * w_k), N = 3.1416 * S / (2 * p5), so its area does not depend on its width.
// channels is kChannels (256) or kLongChannels (512); writes spectrum[0 .. channels-1].
void general_sextet(const double *p, double *spectrum, VelocityScale scale, int channels);

}  // namespace mosslib::lineshape
