#include "lineshape/two_component_sextet.h"

#include <array>

#include "common/vector_lanes.h"
#include "lineshape/sextet_constants.h"
#include "lineshape/velocity_scale.h"

namespace mosslib::lineshape {

namespace {

// Per-line constants, each formed by the same expression as in the channel formula.
struct InterferingLine {
    double x1, x2;        // positions of the first and second component
    double h1, h2;        // their half widths
    double h1_sq, h2_sq;  // h1 * h1, h2 * h2
    double h1h2;          // h1 * h2
    double second_weight; // I * (a / G), the weight of the second component's line
    double first_weight;  // I * (b / G)
    double cross_weight;  // I * (b / G) * a
};

std::array<InterferingLine, 6> interfering_lines(const double *p) {
    const double field = p[1], offset1 = p[2], offset2 = p[3], a = p[4], b = p[5], extra = p[20];
    const double G = a + b;
    std::array<InterferingLine, 6> lines{};
    for (int k = 0; k < 6; ++k) {
        InterferingLine &l = lines[k];
        const double intensity = p[6 + k], w = p[14 + k];
        l.x1 = kGeneralSextetCoefficients[k] * field + offset1;
        l.x2 = kGeneralSextetCoefficients[k] * field + offset2;
        l.h1 = (a + w) / 2.0;
        l.h2 = (a + w) / 2.0 + b + extra;
        l.h1_sq = l.h1 * l.h1;
        l.h2_sq = l.h2 * l.h2;
        l.h1h2 = l.h1 * l.h2;
        l.second_weight = intensity * (a / G);
        l.first_weight = intensity * (b / G);
        l.cross_weight = intensity * (b / G) * a;
    }
    return lines;
}

// Line by line over all channels: each channel still receives, for lines 1 to 6 in
// order, the second component, the first component, then the cross term. The channels
// run side by side in vector lanes.
struct InterferingChannels {
    [[gnu::always_inline]] static inline void run(const std::array<InterferingLine, 6> *lines, const double *v,
                                                  double M, double *spectrum) {
        double T[kChannels];
        for (int i = 0; i < kChannels; ++i) T[i] = 0.0;
        for (const InterferingLine &l : *lines) {
            for (int i = 0; i < kChannels; ++i) {
                const double d1 = v[i] - l.x1;
                const double d2 = v[i] - l.x2;
                const double D1 = d1 * d1 + l.h1_sq;
                const double D2 = d2 * d2 + l.h2_sq;
                T[i] += l.second_weight * l.h2 / D2;
                T[i] += l.first_weight * l.h1 / D1;
                T[i] -= l.cross_weight * (d1 * d2 - l.h1h2) / (D1 * D2);
            }
        }
        for (int i = 0; i < kChannels; ++i) spectrum[i] = T[i] / M;
    }
};

}  // namespace

void two_component_sextet(const double *p, double *spectrum) {
    const std::array<InterferingLine, 6> lines = interfering_lines(p);
    const double M = kPiApprox * intensity_sum(p) / 2.0;
    double v[kChannels];
    channel_velocities(VelocityScale::sine_fixed_step, {p[12], p[13], 0.0}, kChannels, v);

    common::run_in_lanes<InterferingChannels>(&lines, +v, M, spectrum);
}

}  // namespace mosslib::lineshape
