// Electronic states of one orientation: trace, order, populations, the closed forms of
// S = 0 and S = 1/2, zero-field splitting of S = 1, and the eigenstate step.
#include <gtest/gtest.h>

#include <cmath>

#include "relax/electronic_states.h"
#include "relax_test_support.h"

namespace mosslib::relax {
namespace {

using testing::ElectronicSetup;

const ParlElec &run(ElectronicSetup &s) {
    RelaxWorkspace &ws = *s.ws;
    electronic_states(ws.parl_model, ws.parl_orient, 0, ws.parl_model.n_levels, ws.parl_elec, ws.parl_mat,
                      ws.scratch);
    return ws.parl_elec;
}

TEST(ElectronicStates, EnergiesSumToZeroDescendAndPopulationsAreBoltzmann) {
    for (int n = 2; n <= 6; ++n)
        for (double theta : {0.0, 35.0, 90.0, 140.0}) {
            ElectronicSetup s(n, 0.7f, 0.9f, 1.4f, -0.8f, 0.15f, 3.0f, theta, 25.0);
            const ParlElec &e = run(s);
            double sum = 0, pop = 0, avg_z = 0;
            for (int i = 0; i < n; ++i) {
                sum += e.level_energy[i];
                pop += e.level_pop[i];
                avg_z += e.spin_z[i] * e.level_pop[i];
                if (i > 0) {
                    EXPECT_GE(e.level_energy[i - 1], e.level_energy[i]) << n << " " << theta;
                }
                const double boltzmann =
                    std::exp(-(e.level_energy[i] - e.level_energy[n - 1]) / 3.0) * e.level_pop[n - 1];
                EXPECT_NEAR(e.level_pop[i], boltzmann, 1e-6);
                const double s_len = e.spin_x[i] * e.spin_x[i] + e.spin_y[i] * e.spin_y[i] + e.spin_z[i] * e.spin_z[i];
                EXPECT_LE(std::sqrt(s_len), (n - 1) / 2.0 + 1e-5);
            }
            EXPECT_NEAR(sum, 0.0, 2e-5) << "n = " << n;
            EXPECT_NEAR(pop, 1.0, 2e-6);
            EXPECT_NEAR(e.spin_z[kFastRelaxationSlot], avg_z, 1e-5);
        }
}

TEST(ElectronicStates, HighSpinInFieldAlongZHasPureStates) {
    // No transverse field and E = 0: basis states, <Sz> = m, energies m hz + D(m^2 - 35/12).
    ElectronicSetup s(6, 0.2f, 0.2f, 0.4f, 1.0f, 0.0f, 4.2f, 0.0, 0.0);
    const ParlElec &e = run(s);
    const double m_by_energy[6] = {2.5, -2.5, 1.5, -1.5, 0.5, -0.5};  // descending energy for D = 1
    for (int i = 0; i < 6; ++i) {
        const double m = m_by_energy[i];
        EXPECT_NEAR(e.spin_z[i], m, 1e-6);
        EXPECT_NEAR(e.level_energy[i], m * 0.4 + (m * m - 35.0 / 12.0), 1e-5);
        EXPECT_NEAR(e.spin_x[i], 0.0, 1e-6);
    }
}

TEST(ElectronicStates, TripletZeroFieldSplitting) {
    // S = 1, no field: D/3 + E, D/3 - E, -2D/3.
    ElectronicSetup s(3, 0.0f, 0.0f, 0.0f, 1.2f, 0.25f, 4.2f, 0.0, 0.0);
    const ParlElec &e = run(s);
    EXPECT_NEAR(e.level_energy[0], 0.4 + 0.25, 1e-6);
    EXPECT_NEAR(e.level_energy[1], 0.4 - 0.25, 1e-6);
    EXPECT_NEAR(e.level_energy[2], -0.8, 1e-6);
}

TEST(ElectronicStates, SingletHasNoSpinAndFullPopulation) {
    ElectronicSetup s(1, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 4.2f, 30.0, 0.0);
    s.ws->parl_elec.level_energy[0] = NAN;  // whatever an earlier run left
    const ParlElec &e = run(s);
    EXPECT_EQ(e.spin_x[0], 0.0f);
    EXPECT_EQ(e.spin_z[0], 0.0f);
    EXPECT_EQ(e.level_pop[0], 1.0f);
}

TEST(ElectronicStates, DoubletClosedForm) {
    // S = 1/2: H = hz Sz + 2 hx Sx - 2 hy Sy, energies +-r with r = sqrt(hz^2/4 + hx^2 + hy^2);
    // the upper state's <S> is (hx, -hy, hz/2) / 2r.
    ElectronicSetup s(2, 0.3f, 0.5f, 0.8f, 0.0f, 0.0f, 2.0f, 40.0, 70.0);
    const ParlElec &e = run(s);
    const double st = std::sin(40 * M_PI / 180), ct = std::cos(40 * M_PI / 180);
    const double hx = -0.3 * st * std::cos(70 * M_PI / 180), hy = -0.5 * st * std::sin(70 * M_PI / 180);
    const double hz = 0.8 * ct;
    const double r = std::sqrt(hz * hz / 4 + hx * hx + hy * hy);
    EXPECT_NEAR(e.level_energy[0], r, 1e-6);
    EXPECT_NEAR(e.level_energy[1], -r, 1e-6);
    for (int j = 0; j < 2; ++j) {
        const double len = std::sqrt(e.spin_x[j] * e.spin_x[j] + e.spin_y[j] * e.spin_y[j] + e.spin_z[j] * e.spin_z[j]);
        EXPECT_NEAR(len, 0.5, 1e-5);
    }
    EXPECT_NEAR(e.spin_x[0], hx / (2 * r), 1e-6);
    EXPECT_NEAR(e.spin_y[0], -hy / (2 * r), 1e-6);
    EXPECT_NEAR(e.spin_z[0], hz / (4 * r), 1e-6);
    EXPECT_NEAR(e.spin_z[1], -e.spin_z[0], 1e-6);
    const double p_low = 1 / (1 + std::exp(-2 * r / 2.0));
    EXPECT_NEAR(e.level_pop[1], p_low, 1e-6);
}

TEST(ElectronicStates, DoubletAlongAxisFollowsTheSignOfTheField) {
    // Field along +z: upper state <Sz> = +1/2. Along -z (theta = 180) the general branch
    // tends to -1/2 for the upper state; the axial branch gives the same.
    ElectronicSetup up(2, 0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 4.2f, 0.0, 0.0);
    EXPECT_EQ(run(up).spin_z[0], 0.5f);
    EXPECT_EQ(run(up).spin_z[1], -0.5f);
    ElectronicSetup down(2, 0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 4.2f, 180.0, 0.0);
    const ParlElec &d = run(down);
    EXPECT_EQ(d.spin_z[0], -0.5f);
    EXPECT_EQ(d.spin_z[1], 0.5f);
    // Just off the axis, the general branch agrees.
    ElectronicSetup near(2, 0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 4.2f, 179.0, 0.0);
    const ParlElec &g = run(near);
    EXPECT_LT(g.spin_z[0], -0.49f);
    EXPECT_GT(g.spin_z[1], 0.49f);
}

TEST(ElectronicStates, DoubletInZeroFieldIsEquallyPopulated) {
    ElectronicSetup s(2, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 4.2f, 0.0, 0.0);
    const ParlElec &e = run(s);
    EXPECT_EQ(e.level_pop[0], 0.5f);
    EXPECT_EQ(e.level_pop[1], 0.5f);
    EXPECT_EQ(e.spin_z[kFastRelaxationSlot], 0.0f);
}

TEST(ElectronicStates, PopulationsFollowTemperature) {
    ElectronicSetup hot(6, 0.5f, 0.5f, 0.5f, -1.0f, 0.0f, 1e5f, 0.0, 0.0);
    const ParlElec &h = run(hot);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(h.level_pop[i], 1.0 / 6, 1e-4);
    ElectronicSetup cold(6, 0.5f, 0.5f, 0.5f, -1.0f, 0.0f, 0.05f, 0.0, 0.0);
    EXPECT_GT(run(cold).level_pop[5], 0.999f);
}

TEST(ElectronicEigenstates, DiagonalInputIsSortedWithUnitVectors) {
    auto mat = std::make_unique<ParlMat>();
    auto scratch = std::make_unique<DecompositionScratch>();
    complex_f h[36] = {};
    const float diag[4] = {-1.0f, 3.0f, 0.5f, 3.0f};
    for (int i = 0; i < 4; ++i) h[i + 6 * i] = {diag[i], 0.0f};
    float w[6], vr[36], vi[36];
    electronic_eigenstates(4, h, w, vr, vi, *mat, *scratch);
    EXPECT_EQ(w[0], 3.0f);
    EXPECT_EQ(w[1], 3.0f);
    EXPECT_EQ(w[2], 0.5f);
    EXPECT_EQ(w[3], -1.0f);
    // equal eigenvalues keep their diagonal order: basis 2 before basis 4
    EXPECT_EQ(vr[1 + 6 * 0], 1.0f);
    EXPECT_EQ(vr[3 + 6 * 1], 1.0f);
    EXPECT_EQ(vr[2 + 6 * 2], 1.0f);
    EXPECT_EQ(vr[0 + 6 * 3], 1.0f);
}

TEST(ElectronicEigenstates, ColumnsHaveUnitLength) {
    auto mat = std::make_unique<ParlMat>();
    auto scratch = std::make_unique<DecompositionScratch>();
    complex_f h[36] = {};
    for (int j = 0; j < 5; ++j)
        for (int i = j; i < 5; ++i) h[i + 6 * j] = {0.3f * (i + 1) - 0.2f * j, i == j ? 0.0f : 0.1f * (i - j)};
    float w[6], vr[36], vi[36];
    electronic_eigenstates(5, h, w, vr, vi, *mat, *scratch);
    for (int j = 0; j < 5; ++j) {
        double s = 0;
        for (int i = 0; i < 5; ++i) s += vr[i + 6 * j] * vr[i + 6 * j] + vi[i + 6 * j] * vi[i + 6 * j];
        EXPECT_NEAR(s, 1.0, 1e-6);
    }
}

}  // namespace
}  // namespace mosslib::relax
