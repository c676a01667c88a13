// General sextet on the sine velocity scale with the fixed phase step (export `sextgen_ss`).
#pragma once

namespace mosslib::lineshape {

// Parameter layout as general_sextet (general_sextet.h); p[12] is the velocity amplitude
// and channel n lies at p12 * sin((n - p13) * 0.01226563): 256 channels sample a little
// less than half a period of the drive. Writes spectrum[0..255].
void general_sextet_sine(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
