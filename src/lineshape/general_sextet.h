// General sextet: six Lorentzian lines with per-line widths. One kernel serves the
// linear scale (`sextgen`), the fixed-step sine scale (`sextgen_ss`) and the sine scale
// with the caller's channels per radian on 512 channels (`sextgen_sl`); the Voigt
// sextet takes its lines from here too.
//
// Parameter layout, p[1..3], p[5..19] and, for the long sine scale only, p[20]:
//   1 field, 2 shift (half of it is added to every line), 3 quadrupole term (lines move
//   by -/+ p3, not halved), 5 area, 6..11 intensities, 12 velocity step (linear) or
//   amplitude (sine), 13 zero channel, 14..19 widths (FWHM) of lines 1..6,
//   20 channels per radian.
// Line k sits at p1 * c_k + s_k * p3 + p2 / 2 (general-sextet coefficients) with height
// I_k / (N * w_k), N = 3.1416 * S / (2 * p5), so its area does not depend on its width.
#pragma once

#include <array>

#include "lineshape/lorentzian_lines.h"
#include "lineshape/velocity_scale.h"

namespace mosslib::lineshape {

// The six lines of p: positions, heights and widths as above.
std::array<LorentzianLine, 6> general_sextet_lines(const double *p);

// The spectrum on `scale` over `channels` channels, kChannels (256) or kLongChannels
// (512); writes spectrum[0 .. channels-1].
void general_sextet(const double *p, double *spectrum, VelocityScale scale, int channels);

// sextgen: linear scale, channel n at (n - p13) * p12. Writes spectrum[0..255].
void general_sextet_linear(const double *p, double *spectrum);

// sextgen_ss: fixed-step sine scale, channel n at p12 * sin((n - p13) * 0.01226563):
// 256 channels sample a little less than half a period of the drive. Writes
// spectrum[0..255].
void general_sextet_sine(const double *p, double *spectrum);

// sextgen_sl: sine scale with the caller's phase step, channel n at
// p12 * sin((n - p13) / p20). Writes spectrum[0..511]: the array must hold 512 values.
void general_sextet_sine_long(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
