#include "lineshape/sext.h"

#include "lineshape/lorentzian_lines.h"
#include "lineshape/sextet_constants.h"
#include "lineshape/velocity_scale.h"

namespace mosslib::lineshape {

namespace {

// The six lines: shift added whole, quadrupole term halved, one common width.
SextetLines sext_lines(const double *p) {
    const double field = p[1], shift = p[2], quadrupole = p[3], width = p[4];
    const double normaliser = intensity_normaliser(intensity_sum(p), p[5]);
    SextetLines lines{};
    for (int k = 0; k < 6; ++k) {
        lines[k].position = field * kSextCoefficients[k] + kQuadrupoleSigns[k] * quadrupole / 2.0 + shift;
        lines[k].height = p[6 + k] / (normaliser * width);
        lines[k].width = width;
    }
    return lines;
}

}  // namespace

void magnetic_sextet(const double *p, double *spectrum) {
    const SextetLines lines = sext_lines(p);
    double v[kChannels];
    channel_velocities(VelocityScale::linear, {p[12], p[13], 0.0}, kChannels, v);
    sum_lorentzian_lines(lines, v, kChannels, spectrum);
}

}  // namespace mosslib::lineshape
