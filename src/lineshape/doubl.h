// Quadrupole doublet on a linear velocity scale (export `doubl`).
#pragma once

namespace mosslib::lineshape {

// Reads p[1..6]: 1 shift (centre), 2 quadrupole splitting (line distance), 3 width
// (FWHM of both lines), 4 area of the pair, 5 velocity step, 6 zero channel.
// Writes spectrum[0..255]; channel n lies at (n - p6) * p5. Both lines have height
// p4 / (3.1416 * p3).
void quadrupole_doublet(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
