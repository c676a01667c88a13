#include "hamiltonian/line_profiles.h"

#include <cerf.h>

#include <algorithm>
#include <numbers>

#include "lineshape/velocity_scale.h"

namespace mosslib::hamiltonian {

double line_profile(const ProfileLine &line, double v) noexcept {
    const double x = v - line.centre;
    const double gamma = line.lorentz_fwhm / 2.0;
    if (line.gauss_fwhm == 0.0) return gamma / (std::numbers::pi * (x * x + gamma * gamma));
    return voigt(x, line.gauss_fwhm / kGaussFwhmPerSigma, gamma);
}

void sum_profiles(const ProfileLine *lines, int count, double zero_channel, double step, int channels,
                  double *out) noexcept {
    std::fill_n(out, channels, 0.0);
    for (int j = 0; j < count; ++j) {
        const ProfileLine &line = lines[j];
        if (line.area == 0.0) continue;
        for (int c = 1; c <= channels; ++c)
            out[c - 1] += line.area * line_profile(line, lineshape::linear_velocity(c, zero_channel, step));
    }
}

}  // namespace mosslib::hamiltonian
