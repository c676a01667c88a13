// General sextet on 512 channels of a sine scale with the caller's phase step
// (export `sextgen_sl`).
#pragma once

namespace mosslib::lineshape {

// Parameter layout as general_sextet (general_sextet.h); p[12] is the velocity
// amplitude, p[20] the channels per radian, and channel n lies at
// p12 * sin((n - p13) / p20). Writes spectrum[0..511]: the array must hold 512 values.
void general_sextet_sine_long(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
