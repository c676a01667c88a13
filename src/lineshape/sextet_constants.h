// Constants and small formulas shared by the sextet and doublet models.
#pragma once

#include <array>

namespace mosslib::lineshape {

// Channel counts of the analytic spectra: 256, and 512 for the long sine scale.
inline constexpr int kChannels = 256;
inline constexpr int kLongChannels = 512;

// The area-to-height conversion of every analytic model uses 3.1416, not pi, so each
// line's area comes out as (pi / 3.1416) times its nominal share.
inline constexpr double kPiApprox = 3.1416;

// Line positions in units of the field parameter, lines 1 to 6 (magnetic sextet).
inline constexpr std::array<double, 6> kSextCoefficients = {-0.163, -0.0934, -0.0255, 0.0255, 0.0934, 0.163};

// The finer set of the general sextet; it differs in the inner four lines.
inline constexpr std::array<double, 6> kGeneralSextetCoefficients = {-0.163,     -0.09438142, -0.02576284,
                                                                     0.02576284, 0.09438142,  0.163};

// First-order quadrupole shift: the outer lines move opposite to the inner four.
inline constexpr std::array<double, 6> kQuadrupoleSigns = {-1.0, 1.0, 1.0, 1.0, 1.0, -1.0};

// p[6] + ... + p[11], summed left to right.
inline double intensity_sum(const double *p) { return p[6] + p[7] + p[8] + p[9] + p[10] + p[11]; }

// N = 3.1416 * S / (2 * area): line k then has height I_k / (N * width_k).
inline double intensity_normaliser(double intensity_sum, double area) {
    return kPiApprox * intensity_sum / (2.0 * area);
}

}  // namespace mosslib::lineshape
