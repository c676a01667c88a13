#include "distribution/voigt_distribution.h"

#include <cmath>

#include "hamiltonian/nuclear_scale.h"
#include "lineshape/sextet_constants.h"

namespace mosslib::distribution {

namespace {

using hamiltonian::kGaussFwhmPerSigma;
using hamiltonian::kMaxChannels;

common::Fault check(const std::int32_t *ints, const double *reals, int first_component) {
    const std::int32_t n = ints[dist_slot::channels];
    if (n < 1 || n > kMaxChannels)
        return common::Fault::formatted(kMaxChannels, "channels %d outside 1..%d", static_cast<int>(n), kMaxChannels);
    const std::int32_t k = ints[dist_slot::components];
    if (k < 1 || k > kMaxComponents)
        return common::Fault::formatted(kMaxChannels, "components %d outside 1..%d", static_cast<int>(k),
                                        kMaxComponents);
    for (int c = 0; c < k; ++c) {
        const double sd = reals[first_component + 3 * c + 1], weight = reals[first_component + 3 * c + 2];
        if (sd < 0.0)
            return common::Fault::formatted(kMaxChannels, "component %d: negative standard deviation %g", c + 1, sd);
        if (weight < 0.0)
            return common::Fault::formatted(kMaxChannels, "component %d: negative weight %g", c + 1, weight);
    }
    return {};
}

double weight_sum(const double *reals, int first_component, int components) {
    double s = 0.0;
    for (int c = 0; c < components; ++c) s += reals[first_component + 3 * c + 2];
    return s;
}

}  // namespace

common::Fault field_distribution_lines(const std::int32_t *ints, const double *reals, ProfileLine *lines, int &count) {
    using namespace field_slot;
    count = 0;
    if (common::Fault f = check(ints, reals, first_component)) return f;
    const int components = ints[dist_slot::components];
    const double reference = reals[first_component];  // the shifts are given at the first mean
    const double intensity_sum = reals[intensity1] + reals[intensity1 + 1] + reals[intensity1 + 2] +
                                 reals[intensity1 + 3] + reals[intensity1 + 4] + reals[intensity1 + 5];
    const double area_per_weight = reals[area] / weight_sum(reals, first_component, components);
    for (int c = 0; c < components; ++c) {
        const double mean = reals[first_component + 3 * c], sd = reals[first_component + 3 * c + 1];
        const double share = reals[first_component + 3 * c + 2] * area_per_weight;
        for (int k = 0; k < 6; ++k) {
            // position(B) = cs(B) + s_k eps(B) + c_k B, every term linear in B
            const double slope = reals[centre_shift_per_T] +
                                 lineshape::kQuadrupoleSigns[k] * reals[quadrupole_shift_per_T] +
                                 hamiltonian::kSextetPerTesla[k];
            const double centre = reals[centre_shift] + lineshape::kQuadrupoleSigns[k] * reals[quadrupole_shift] +
                                  slope * (mean - reference) + hamiltonian::kSextetPerTesla[k] * reference;
            lines[count++] = {centre, share * (reals[intensity1 + k] / intensity_sum), reals[width],
                              kGaussFwhmPerSigma * std::fabs(slope) * sd};
        }
    }
    return {};
}

common::Fault splitting_distribution_lines(const std::int32_t *ints, const double *reals, ProfileLine *lines,
                                           int &count) {
    using namespace splitting_slot;
    count = 0;
    if (common::Fault f = check(ints, reals, first_component)) return f;
    const int components = ints[dist_slot::components];
    const double reference = reals[first_component];
    const double area_per_weight = reals[area] / weight_sum(reals, first_component, components);
    for (int c = 0; c < components; ++c) {
        const double mean = reals[first_component + 3 * c], sd = reals[first_component + 3 * c + 1];
        const double half = reals[first_component + 3 * c + 2] * area_per_weight / 2.0;
        for (const double side : {-0.5, 0.5}) {
            // position(QS) = cs(QS) -+ QS/2
            const double slope = reals[centre_shift_per_QS] + side;
            const double centre = reals[centre_shift] + reals[centre_shift_per_QS] * (mean - reference) + side * mean;
            lines[count++] = {centre, half, reals[width], kGaussFwhmPerSigma * std::fabs(slope) * sd};
        }
    }
    return {};
}

common::Fault field_distribution_spectrum(const std::int32_t *ints, const double *reals, double *spectrum) {
    ProfileLine lines[kFieldMaxLines];
    int count = 0;
    if (common::Fault f = field_distribution_lines(ints, reals, lines, count)) return f;
    hamiltonian::sum_profiles(lines, count, reals[field_slot::zero_channel], reals[field_slot::velocity_step],
                              ints[dist_slot::channels], spectrum);
    return {};
}

common::Fault splitting_distribution_spectrum(const std::int32_t *ints, const double *reals, double *spectrum) {
    ProfileLine lines[kSplittingMaxLines];
    int count = 0;
    if (common::Fault f = splitting_distribution_lines(ints, reals, lines, count)) return f;
    hamiltonian::sum_profiles(lines, count, reals[splitting_slot::zero_channel], reals[splitting_slot::velocity_step],
                              ints[dist_slot::channels], spectrum);
    return {};
}

}  // namespace mosslib::distribution
