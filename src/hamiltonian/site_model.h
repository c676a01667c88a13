// The full static site as an exported model: the layout of its arrays, its structural
// checks, its spectrum and its lines.
#pragma once

#include <cstdint>

#include "common/fault.h"
#include "hamiltonian/line_profiles.h"
#include "hamiltonian/static_site.h"

namespace mosslib::hamiltonian {

// ints[kSiteChannels]; reals[0 .. kSiteReals-1].
namespace site_slot {
inline constexpr int channels = 0;  // ints
inline constexpr int field = 0, quadrupole_coupling = 1, eta = 2, field_theta = 3, field_phi = 4, beam_theta = 5,
                     beam_phi = 6, texture_order = 7, centre_shift = 8, width = 9, gauss_fwhm = 10, area = 11,
                     velocity_step = 12, zero_channel = 13;
}  // namespace site_slot
inline constexpr int kSiteInts = 1;
inline constexpr int kSiteReals = 14;
inline constexpr double kMinTextureOrder = -0.5, kMaxTextureOrder = 1.0;

// The eight lines of the site (areas in the model's area unit).
common::Fault site_profile_lines(const std::int32_t *ints, const double *reals, ProfileLine (&lines)[kSiteLines]);

// The spectrum into spectrum[0 .. channels-1]. A refusal asks for every channel the
// array holds (kMaxChannels) to be NaN.
common::Fault site_spectrum(const std::int32_t *ints, const double *reals, double *spectrum);

}  // namespace mosslib::hamiltonian
