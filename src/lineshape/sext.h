// Magnetic sextet with one common width on a linear velocity scale (export `sext`).
#pragma once

namespace mosslib::lineshape {

// Reads p[1..13]:
//   1 field, 2 shift, 3 quadrupole term (lines move by -/+ p3/2), 4 width (FWHM),
//   5 area, 6..11 intensities of lines 1..6, 12 velocity step, 13 zero channel.
// Writes spectrum[0..255]; element i is channel i + 1 at velocity (i + 1 - p13) * p12.
// Line k sits at p1 * c_k + s_k * p3 / 2 + p2 with height I_k / (N * p4),
// N = 3.1416 * S / (2 * p5), S the intensity sum.
void magnetic_sextet(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
