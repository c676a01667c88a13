// Distributions of a hyperfine parameter as sums of Gaussian components: P(B) of a
// magnetic sextet, with the centre shift and the quadrupole shift linear in B, and
// P(QS) of a quadrupole doublet, with the centre shift linear in QS. Every line's
// position is then linear in the distributed parameter, so a Gaussian component gives
// each Lorentzian line an exact Voigt profile.
#pragma once

#include <cstdint>

#include "common/fault.h"
#include "hamiltonian/line_profiles.h"

namespace mosslib::distribution {

using hamiltonian::ProfileLine;

inline constexpr int kMaxComponents = 4;

// Both models: ints[0] channels, ints[1] components (1..kMaxComponents); each component
// k (from 0) reads its mean, standard deviation and weight at first_component + 3 k.
namespace dist_slot {
inline constexpr int channels = 0, components = 1;  // ints
}  // namespace dist_slot
inline constexpr int kDistributionInts = 2;

// Field distribution, reals.
namespace field_slot {
inline constexpr int centre_shift = 0, centre_shift_per_T = 1, quadrupole_shift = 2, quadrupole_shift_per_T = 3,
                     width = 4, area = 5, intensity1 = 6, velocity_step = 12, zero_channel = 13, first_component = 14;
}  // namespace field_slot
inline constexpr int kFieldReals = field_slot::first_component + 3 * kMaxComponents;
inline constexpr int kFieldMaxLines = 6 * kMaxComponents;

// Splitting distribution, reals.
namespace splitting_slot {
inline constexpr int centre_shift = 0, centre_shift_per_QS = 1, width = 2, area = 3, velocity_step = 4,
                     zero_channel = 5, first_component = 6;
}  // namespace splitting_slot
inline constexpr int kSplittingReals = splitting_slot::first_component + 3 * kMaxComponents;
inline constexpr int kSplittingMaxLines = 2 * kMaxComponents;

// Lines (6 per component for a field distribution, 2 for a splitting distribution) into
// lines[0 .. count-1]; areas in the model's area unit.
common::Fault field_distribution_lines(const std::int32_t *ints, const double *reals, ProfileLine *lines, int &count);
common::Fault splitting_distribution_lines(const std::int32_t *ints, const double *reals, ProfileLine *lines,
                                           int &count);

// Spectra into spectrum[0 .. channels-1]; a refusal asks for kMaxChannels NaN.
common::Fault field_distribution_spectrum(const std::int32_t *ints, const double *reals, double *spectrum);
common::Fault splitting_distribution_spectrum(const std::int32_t *ints, const double *reals, double *spectrum);

}  // namespace mosslib::distribution
