// The field scale of the hyperfine models: a field B in tesla puts the outer lines of a
// pure magnetic sextet B x 10.657/33.0 mm/s apart (metallic iron, 33.0 T, spans
// 10.657 mm/s), and the ratio of the excited to the ground nuclear g-factor is the one
// the general sextet's line coefficients carry.
#pragma once

#include <array>

#include "lineshape/sextet_constants.h"

namespace mosslib::hamiltonian {

inline constexpr double kAlphaIronField = 33.0;       // T
inline constexpr double kAlphaIronOuterSpan = 10.657;  // mm/s, line 1 to line 6

// |g_excited| / g_ground from the general sextet's coefficients: the middle lines over
// the outer ones are (1 + r) / (1 + 3 r).
inline constexpr double kGFactorRatio = [] {
    const double c = lineshape::kGeneralSextetCoefficients[4] / lineshape::kGeneralSextetCoefficients[5];
    return (1.0 - c) / (3.0 * c - 1.0);
}();

// Zeeman splitting of the ground doublet (m = +-1/2) per tesla, mm/s: its levels lie at
// -kGroundSplitting B m. The excited levels lie at +kExcitedSplitting B m (the excited
// g-factor is negative).
inline constexpr double kGroundSplitting = kAlphaIronOuterSpan / kAlphaIronField / (1.0 + 3.0 * kGFactorRatio);
inline constexpr double kExcitedSplitting = kGFactorRatio * kGroundSplitting;

// Pure magnetic sextet: line k (1..6, by velocity) at kSextetPerTesla[k-1] * B from the
// centre; powder intensities 3:2:1:1:2:3.
inline constexpr std::array<double, 6> kSextetPerTesla = {
    -(3.0 * kExcitedSplitting + kGroundSplitting) / 2.0, -(kExcitedSplitting + kGroundSplitting) / 2.0,
    -(kGroundSplitting - kExcitedSplitting) / 2.0,       (kGroundSplitting - kExcitedSplitting) / 2.0,
    (kExcitedSplitting + kGroundSplitting) / 2.0,        (3.0 * kExcitedSplitting + kGroundSplitting) / 2.0};

}  // namespace mosslib::hamiltonian
