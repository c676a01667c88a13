#include "hamiltonian/site_model.h"

namespace mosslib::hamiltonian {

namespace {

common::Fault check(const std::int32_t *ints, const double *reals) {
    const std::int32_t n = ints[site_slot::channels];
    if (n < 1 || n > kMaxChannels)
        return common::Fault::formatted(kMaxChannels, "channels %d outside 1..%d", static_cast<int>(n), kMaxChannels);
    const double s = reals[site_slot::texture_order];
    if (s < kMinTextureOrder || s > kMaxTextureOrder)
        return common::Fault::formatted(kMaxChannels, "texture_order %g outside -0.5..1 (the mean of P2 over the beam)",
                                        s);
    return {};
}

}  // namespace

common::Fault site_profile_lines(const std::int32_t *ints, const double *reals, ProfileLine (&lines)[kSiteLines]) {
    if (common::Fault f = check(ints, reals)) return f;
    const PrincipalSite site{reals[site_slot::field],      reals[site_slot::quadrupole_coupling],
                             reals[site_slot::eta],        reals[site_slot::field_theta],
                             reals[site_slot::field_phi],  reals[site_slot::beam_theta],
                             reals[site_slot::beam_phi],   reals[site_slot::texture_order]};
    const SiteLines s = site_lines(principal_frame(site));
    for (int j = 0; j < kSiteLines; ++j)
        lines[j] = {reals[site_slot::centre_shift] + s.position[j], reals[site_slot::area] * s.weight[j],
                    reals[site_slot::width], reals[site_slot::gauss_fwhm]};
    return {};
}

common::Fault site_spectrum(const std::int32_t *ints, const double *reals, double *spectrum) {
    ProfileLine lines[kSiteLines];
    if (common::Fault f = site_profile_lines(ints, reals, lines)) return f;
    sum_profiles(lines, kSiteLines, reals[site_slot::zero_channel], reals[site_slot::velocity_step],
                 ints[site_slot::channels], spectrum);
    return {};
}

}  // namespace mosslib::hamiltonian
