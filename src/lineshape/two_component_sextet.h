// Two-component sextet with an interference term on the sine scale (export `CSTfdll`).
//
// Every line of the general sextet appears at two positions, one per component, each a
// Lorentzian h / (d^2 + h^2) of its own half width h; the components are weighted by
// a / (a + b) and b / (a + b) and joined by a cross term in which both resonances
// multiply. The sum is divided by 3.1416 S / 2; there is no area parameter.
#pragma once

namespace mosslib::lineshape {

// Reads p[1..20]:
//   1 field, 2 offset of the first component, 3 offset of the second, 4 a, 5 b,
//   6..11 intensities, 12 velocity amplitude, 13 zero channel (fixed-step sine scale),
//   14..19 widths of lines 1..6, 20 extra half width of the second component.
// Line k: x1 = c_k p1 + p2, x2 = c_k p1 + p3, h1 = (a + w_k) / 2, h2 = h1 + b + p20.
// Writes spectrum[0..255].
void two_component_sextet(const double *p, double *spectrum);

}  // namespace mosslib::lineshape
