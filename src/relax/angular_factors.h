// Angular intensity factors of the eight 57Fe gamma transitions (I = 1/2 -> 3/2) for a
// direction of the gamma beam: Wigner 3j symbols from the Racah formula, and the 8x8
// complex factors K(i, j) that weight the interference of transitions i and j.
#pragma once

#include "relax/relax_workspace.h"

namespace mosslib::relax {

// <j1 m1 j2 m2 | j3 m3> by the Racah formula, from a float factorial table F(0..25).
// Zero when a triangle or projection condition fails or j1 + j2 + j3 + 1 > 20.
float clebsch_gordan(float j1, float j2, float j3, float m1, float m2, float m3);

// Wigner 3j symbol (j1 j2 j3; m1 m2 m3).
float wigner_3j(float j1, float j2, float j3, float m1, float m2, float m3);

// Transition numbering t = 1..8: ground m_g = +1/2 for t = 1..4, -1/2 for 5..8; excited
// m_e = 3/2, 1/2, -1/2, -3/2 in turn; M(t) = m_e - m_g.
constexpr int excited_index(int t) { return (t - 1) % 4; }
constexpr int ground_index(int t) { return ((t - 1) % 8) / 4; }
constexpr int delta_m(int t) { return 1 - excited_index(t) + ground_index(t); }

// Angular factor K(i, j) for transitions i, j = 1..8 along the direction (theta, phi),
// with the beam-angle factor P2(cos beam_angle).
complex_f angular_factor(int i, int j, float cos_theta, float sin_theta, float cos_phi, float sin_phi,
                         float beam_angle);

// K(i, j) for i, j = 1..8 into k[(i-1) + 8 (j-1)].
void angular_factors(float cos_theta, float sin_theta, float cos_phi, float sin_phi, float beam_angle,
                     complex_f k[kNuclearLines * kNuclearLines]);

}  // namespace mosslib::relax
