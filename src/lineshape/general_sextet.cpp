#include "lineshape/general_sextet.h"

#include <array>
#include <cassert>

#include "lineshape/sextet_constants.h"

namespace mosslib::lineshape {

// Shift halved, quadrupole term whole, width per line.
std::array<LorentzianLine, 6> general_sextet_lines(const double *p) {
    const double field = p[1], shift = p[2], quadrupole = p[3];
    const double normaliser = intensity_normaliser(intensity_sum(p), p[5]);
    std::array<LorentzianLine, 6> lines{};
    for (int k = 0; k < 6; ++k) {
        const double width = p[14 + k];
        lines[k].position = field * kGeneralSextetCoefficients[k] + kQuadrupoleSigns[k] * quadrupole + shift / 2.0;
        lines[k].height = p[6 + k] / (normaliser * width);
        lines[k].width = width;
    }
    return lines;
}

namespace {

template <int Channels>
void evaluate(const double *p, double *spectrum, VelocityScale scale) {
    const std::array<LorentzianLine, 6> lines = general_sextet_lines(p);
    const double channels_per_radian = scale == VelocityScale::sine_channels_per_radian ? p[20] : 0.0;
    double v[Channels];
    channel_velocities(scale, {p[12], p[13], channels_per_radian}, Channels, v);
    sum_lorentzian_lines<Channels>(lines, v, spectrum);
}

}  // namespace

void general_sextet(const double *p, double *spectrum, VelocityScale scale, int channels) {
    assert(channels == kChannels || channels == kLongChannels);
    if (channels == kLongChannels)
        evaluate<kLongChannels>(p, spectrum, scale);
    else
        evaluate<kChannels>(p, spectrum, scale);
}

void general_sextet_linear(const double *p, double *spectrum) {
    general_sextet(p, spectrum, VelocityScale::linear, kChannels);
}

void general_sextet_sine(const double *p, double *spectrum) {
    general_sextet(p, spectrum, VelocityScale::sine_fixed_step, kChannels);
}

void general_sextet_sine_long(const double *p, double *spectrum) {
    general_sextet(p, spectrum, VelocityScale::sine_channels_per_radian, kLongChannels);
}

}  // namespace mosslib::lineshape
