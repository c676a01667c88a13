#include "relax/relaxation_coupling.h"

#include <cmath>

#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

constexpr float kRateCap = 50.0f;

// Upward rate relax_rate gap^n N with N = 1/(exp(gap/T) - 1), the thermal phonon
// occupation. For a zero gap the quotient is 0/0 or x/0; its limit is taken instead:
// 0 for n > 1, relax_rate T for n = 1 and unbounded (capped later) for n < 1.
double upward_rate(float relax_rate, float relax_pow, float temp, float gap) {
    if (gap != 0.0f) return relax_rate * numeric::pow_dd(gap, relax_pow) / (dexp(gap / temp) - 1.0);
    if (relax_rate == 0.0f || relax_pow > 1.0f) return 0.0;
    if (relax_pow == 1.0f) return static_cast<double>(relax_rate) * temp;
    return relax_rate * HUGE_VAL;
}

// Downward rate relax_rate gap^n (N + 1): the closed form of the detailed-balance
// quotient, used where a population has underflowed to zero.
double downward_rate(float relax_rate, float relax_pow, float temp, float gap) {
    return relax_rate * numeric::pow_dd(gap, relax_pow) * (1.0 / (dexp(gap / temp) - 1.0) + 1.0);
}

}  // namespace

void relaxation_rates(const ParlModel &model, const ParlElec &elec, float *rates) {
    const int n = model.n_levels;
    auto r = [rates](int i, int j) -> float & { return rates[i + kMaxLevels * j]; };
    for (int i = 0; i < n; ++i) {
        r(i, i) = 0.0f;
        for (int j = 0; j < i; ++j) {
            // State j lies above state i: R(i, j) is the upward rate.
            const float gap = std::fabs(elec.level_energy[j] - elec.level_energy[i]);
            float up = static_cast<float>(upward_rate(model.relax_rate, model.relax_pow, model.temp, gap));
            if (up > kRateCap) up = kRateCap;
            r(i, j) = up;
            float down = r(i, j) * elec.level_pop[i] / elec.level_pop[j];
            if (!std::isfinite(down) && std::isfinite(up)) {
                // Populations that underflowed to zero: equal states exchange at the
                // same rate both ways, otherwise the closed form holds.
                down = gap == 0.0f ? up
                                   : static_cast<float>(downward_rate(model.relax_rate, model.relax_pow,
                                                                      model.temp, gap));
            }
            r(j, i) = down;
        }
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            if (j != i) r(i, i) = r(i, i) - r(i, j);
}

void add_relaxation(const ParlModel &model, const ParlElec &elec, ParlMat &mat, RelaxScratch &scratch) {
    relaxation_rates(model, elec, scratch.rates);
    const int n = model.n_levels;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const float rate = scratch.rates[j + kMaxLevels * i];
            for (int t = 0; t < kNuclearLines; ++t) {
                complex_f &z = mat.trans_mat[at(kNuclearLines * i + t, kNuclearLines * j + t)];
                z.r = z.r + rate;
                z.i = z.i + 0.0f;
            }
        }
}

}  // namespace mosslib::relax
