// Relaxation rates: detailed balance, the cap, zero-row sums, and the degenerate cases
// (populations that underflow to zero, equal energies).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "relax/relaxation_coupling.h"

namespace mosslib::relax {
namespace {

struct Rates {
    std::unique_ptr<RelaxWorkspace> ws = std::make_unique<RelaxWorkspace>();
    float r[36] = {};
    Rates(std::initializer_list<float> energies, float rate, float power, float temp) {
        ParlModel &m = ws->parl_model;
        m.n_levels = static_cast<int>(energies.size());
        m.relax_rate = rate;
        m.relax_pow = power;
        m.temp = temp;
        ParlElec &e = ws->parl_elec;
        int i = 0;
        double z = 0;
        for (float x : energies) e.level_energy[i++] = x;
        const float low = e.level_energy[m.n_levels - 1];
        for (i = 0; i < m.n_levels; ++i) z += std::exp(-(e.level_energy[i] - low) / temp);
        for (i = 0; i < m.n_levels; ++i)
            e.level_pop[i] = static_cast<float>(std::exp(-(e.level_energy[i] - low) / temp) / z);
        relaxation_rates(m, e, r);
    }
    float at(int i, int j) const { return r[i + 6 * j]; }
};

TEST(RelaxationRates, DetailedBalanceAndZeroRowSums) {
    Rates rt({3.0f, 1.2f, 0.5f, -4.7f}, 0.8f, 2.0f, 5.0f);
    const ParlElec &e = rt.ws->parl_elec;
    for (int i = 0; i < 4; ++i) {
        double row = 0;
        for (int j = 0; j < 4; ++j) {
            row += rt.at(i, j);
            if (i != j) {
                EXPECT_GT(rt.at(i, j), 0.0f);
                EXPECT_NEAR(e.level_pop[j] * rt.at(j, i), e.level_pop[i] * rt.at(i, j),
                            1e-6 * e.level_pop[i] * rt.at(i, j));
            }
        }
        EXPECT_NEAR(row, 0.0, 1e-5);
    }
    // Upward rate: relax_rate gap^n N; downward: relax_rate gap^n (N + 1).
    const double gap = 3.0 - 0.5;
    const double occ = 1 / (std::exp(gap / 5.0) - 1);
    EXPECT_NEAR(rt.at(2, 0), 0.8 * gap * gap * occ, 1e-5);
    EXPECT_NEAR(rt.at(0, 2), 0.8 * gap * gap * (occ + 1), 1e-5);
}

TEST(RelaxationRates, UpwardRateIsCappedButNotTheReverse) {
    Rates rt({1.0f, -1.0f}, 100.0f, 1.0f, 4.0f);
    EXPECT_EQ(rt.at(1, 0), 50.0f);
    EXPECT_GT(rt.at(0, 1), 50.0f);
    const ParlElec &e = rt.ws->parl_elec;
    EXPECT_NEAR(rt.at(0, 1), 50.0f * e.level_pop[1] / e.level_pop[0], 1e-3);
}

TEST(RelaxationRates, PowerZeroIsThePhononOccupation) {
    Rates rt({0.7f, 0.0f}, 2.0f, 0.0f, 1.5f);
    EXPECT_NEAR(rt.at(1, 0), 2.0 / (std::exp(0.7 / 1.5) - 1), 1e-5);
}

TEST(RelaxationRates, SingleStateHasNoRate) {
    Rates rt({0.0f}, 5.0f, 1.0f, 4.2f);
    EXPECT_EQ(rt.at(0, 0), 0.0f);
}

TEST(RelaxationRates, UnderflowedPopulationUsesTheClosedDownwardRate) {
    // At 0.1 K a state 20 K up has population exp(-200): zero in single precision. The
    // quotient would be 0/0; the downward rate is relax_rate gap^n (N + 1) = 0.3 * 20.
    Rates rt({20.0f, 0.0f}, 0.3f, 1.0f, 0.1f);
    ASSERT_EQ(rt.ws->parl_elec.level_pop[0], 0.0f);
    EXPECT_EQ(rt.at(1, 0), 0.0f);
    EXPECT_NEAR(rt.at(0, 1), 0.3 * 20.0, 1e-5);
    EXPECT_NEAR(rt.at(0, 0), -6.0, 1e-5);
}

TEST(RelaxationRates, EqualEnergiesTakeTheLimitOfTheRate) {
    // gap -> 0: relax_rate gap^n / (exp(gap/T) - 1) -> relax_rate T (n = 1), 0 (n > 1),
    // unbounded and so capped at 50 (n < 1).
    Rates one({0.5f, 0.5f}, 0.2f, 1.0f, 3.0f);
    EXPECT_NEAR(one.at(1, 0), 0.6, 1e-6);
    EXPECT_NEAR(one.at(0, 1), 0.6, 1e-6);
    Rates two({0.5f, 0.5f}, 0.2f, 2.0f, 3.0f);
    EXPECT_EQ(two.at(1, 0), 0.0f);
    EXPECT_EQ(two.at(0, 1), 0.0f);
    Rates zero({0.5f, 0.5f}, 0.2f, 0.0f, 3.0f);
    EXPECT_EQ(zero.at(1, 0), 50.0f);
    EXPECT_EQ(zero.at(0, 1), 50.0f);
    for (const Rates *r : {&one, &two, &zero})
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isfinite(r->r[(i % 2) + 6 * (i / 2)]));
}

TEST(RelaxationRates, EnterTheBlockDiagonalsTransposed) {
    Rates rt({2.0f, 0.0f}, 0.5f, 1.0f, 4.0f);
    ParlMat &mat = rt.ws->parl_mat;
    for (int j = 0; j < 16; ++j)
        for (int i = 0; i < 16; ++i) mat.trans_mat[at(i, j)] = {0.0f, 1.0f};
    add_relaxation(rt.ws->parl_model, rt.ws->parl_elec, mat, rt.ws->scratch);
    for (int t = 0; t < 8; ++t) {
        EXPECT_EQ(mat.trans_mat[at(t, 8 + t)].r, rt.at(1, 0));
        EXPECT_EQ(mat.trans_mat[at(8 + t, t)].r, rt.at(0, 1));
        EXPECT_EQ(mat.trans_mat[at(t, t)].r, rt.at(0, 0));
        EXPECT_EQ(mat.trans_mat[at(t, 8 + t)].i, 1.0f);
    }
    EXPECT_EQ(mat.trans_mat[at(0, 9)].r, 0.0f);
}

}  // namespace
}  // namespace mosslib::relax
