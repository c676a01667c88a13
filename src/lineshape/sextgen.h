// General sextet on the linear velocity scale (export `sextgen`).
#pragma once

namespace mosslib::lineshape {

// Parameter layout as general_sextet (general_sextet.h); p[12] is the velocity step and
// channel n lies at (n - p13) * p12. Writes spectrum[0..255].
void general_sextet_linear(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
