// Orientations whose decomposition does not converge: detected, and computed from the
// resolvent instead. Checked against the resolvent solved by LAPACK in the test, and
// by the physical bounds of a transmission spectrum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "relax/angular_factors.h"
#include "relax/nuclear_matrix.h"
#include "relax/relax_engine.h"
#include "relax/relaxation_coupling.h"
#include "relax/resolvent_spectrum.h"

extern "C" void zgesv_(const int *n, const int *nrhs, std::complex<double> *a, const int *lda, int *ipiv,
                       std::complex<double> *b, const int *ldb, int *info);

namespace mosslib::relax {
namespace {

using cd = std::complex<double>;

struct ParlRun {
    std::int32_t ib[5] = {0, 5, 0, 0, 0};
    double db[29] = {};
    std::unique_ptr<RelaxWorkspace> ws = std::make_unique<RelaxWorkspace>();
    int n_chan = 0;
    void run() {
        copy_arguments(ib, db, ws->parl_args);
        ASSERT_TRUE(structural_fault(ws->parl_args).empty());
        n_chan = run_relaxation(*ws);
    }
};

// The case of a slowly relaxing S = 2 ion in 68 kG whose decomposition diverges in its
// third sweep and ends at the sweep limit far from diagonal.
ParlRun diverging_case() {
    ParlRun r;
    const double v[] = {0, 0.8, 4e-4, 3, 0.1, 128.5, 0, 0.25, 0, 68000, 65, 2, 2, 2, -55000, -220000, -55000, 5};
    std::copy(std::begin(v), std::end(v), r.db);
    r.db[27] = 45;
    r.db[28] = 0;
    return r;
}

// Transmission of a single orientation from the transition matrix rebuilt from the
// run's electronic states: (z - A)^-1 for every channel by LAPACK, absorption
// Re h sum_ij w_j K(i,j) G(i,j), normalised to the deepest channel.
std::vector<double> lapack_resolvent_transmission(ParlRun &r) {
    RelaxWorkspace &ws = *r.ws;
    const ParlModel &m = ws.parl_model;
    const int n = build_nuclear_matrix(m, ws.parl_orient, ws.parl_elec, 0, ws.parl_mat);
    if (!(m.relax_rate > 1000.0f)) add_relaxation(m, ws.parl_elec, ws.parl_mat, ws.scratch);
    complex_f k[kNuclearLines * kNuclearLines];
    const ParlOrient &o = ws.parl_orient;
    angular_factors(o.cos_theta[0], o.sin_theta[0], o.cos_phi[0], o.sin_phi[0], m.beam_angle, k);
    const double h = m.line_width / 2.0;
    std::vector<double> absorption(m.n_chan);
    for (int ch = 0; ch < m.n_chan; ++ch) {
        const double v = (ch + 1 - static_cast<double>(m.zero_chan)) * m.vel_step - m.shift;
        std::vector<cd> a(n * n), g(n * n);
        for (int j = 0; j < n; ++j) {
            g[j + n * j] = 1.0;
            for (int i = 0; i < n; ++i) {
                const complex_f z = ws.parl_mat.trans_mat[at(i, j)];
                a[i + n * j] = (i == j ? cd(h, v) : cd(0.0)) - cd(z.r, z.i);
            }
        }
        std::vector<int> piv(n);
        int info = 0;
        zgesv_(&n, &n, a.data(), &n, piv.data(), g.data(), &n, &info);
        EXPECT_EQ(info, 0);
        double s = 0.0;
        for (int j = 0; j < n; ++j) {
            const double w = ws.parl_elec.level_pop[j / 8];
            if (w < 0.001) continue;
            for (int i = 0; i < n; ++i) {
                const complex_f kij = k[i % 8 + 8 * (j % 8)];
                s += w * (h * cd(kij.r, kij.i) * g[i + n * j]).real();
            }
        }
        absorption[ch] = s;
    }
    const double deepest = *std::max_element(absorption.begin(), absorption.end());
    std::vector<double> t(m.n_chan);
    for (int ch = 0; ch < m.n_chan; ++ch) t[ch] = 1.0 - ws.parl_spec.amplitude * absorption[ch] / deepest;
    return t;
}

TEST(ResolventRoute, DivergingDecompositionGivesThePhysicalSpectrum) {
    ParlRun r = diverging_case();
    r.run();
    EXPECT_EQ(r.ws->resolvent_orientations, 1);
    EXPECT_TRUE(numerical_fault(*r.ws).empty());
    const std::vector<double> expected = lapack_resolvent_transmission(r);
    double worst = 0.0;
    for (int ch = 0; ch < r.n_chan; ++ch) {
        const double t = r.ws->parl_spec.spec_out[ch];
        EXPECT_GE(t, 1.0 - 0.8 - 1e-6) << ch;
        EXPECT_LE(t, 1.0 + 1e-6) << ch;
        worst = std::max(worst, std::fabs(t - expected[ch]));
    }
    EXPECT_LT(worst, 2e-3);
}

TEST(ResolventRoute, ConvergedDecompositionKeepsItsRoute) {
    // The same ion relaxing a hundred times faster: the decomposition converges, and
    // the resolvent agrees with it to the accuracy of single precision.
    ParlRun r = diverging_case();
    r.db[2] = 0.04;
    r.run();
    EXPECT_EQ(r.ws->resolvent_orientations, 0);
    const std::vector<double> expected = lapack_resolvent_transmission(r);
    for (int ch = 0; ch < r.n_chan; ++ch) EXPECT_NEAR(r.ws->parl_spec.spec_out[ch], expected[ch], 1e-4) << ch;
}

TEST(ResolventRoute, UnsolvableOrientationGivesNaNAndAReason) {
    ParlRun r = diverging_case();
    r.db[9] = NAN;  // a field that is not a number makes every matrix element NaN
    r.run();
    EXPECT_FALSE(numerical_fault(*r.ws).empty());
    for (int ch = 0; ch < r.n_chan; ++ch) EXPECT_TRUE(std::isnan(r.ws->parl_spec.spec_out[ch])) << ch;
}

TEST(ResolventRoute, ConvergenceCriterionAgainstTheLineWidth) {
    auto mat = std::make_unique<ParlMat>();
    for (int i = 0; i < 3; ++i) mat->trans_mat[at(i, i)] = {-1.0f, 10.0f * i};
    EXPECT_TRUE(decomposition_converged(3, *mat, 0.2f));
    mat->trans_mat[at(0, 2)] = {0.6e-4f, -0.3e-4f};  // 0.9e-4 <= 1e-3 h
    EXPECT_TRUE(decomposition_converged(3, *mat, 0.2f));
    mat->trans_mat[at(2, 1)] = {0.2e-4f, 0.0f};  // 1.1e-4 > 1e-3 h
    EXPECT_FALSE(decomposition_converged(3, *mat, 0.2f));
    mat->trans_mat[at(2, 1)] = {NAN, 0.0f};
    EXPECT_FALSE(decomposition_converged(3, *mat, 0.2f));
}

// How often valid inputs take the resolvent route (a survey, not a check; run with
// --gtest_also_run_disabled_tests).
TEST(ResolventRoute, DISABLED_SurveyOfRandomInputs) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int calls = 0, calls_with_resolvent = 0, orientations = 0, resolvent_orientations = 0, unsolved = 0;
    for (int t = 0; t < 400; ++t) {
        ParlRun r;
        r.ib[1] = 1 + static_cast<int>(u(rng) * 6);
        r.ib[3] = 15;
        r.ib[4] = t % 10 == 0 ? 1 + t / 10 % 2 : 0;
        r.db[1] = 0.1 + 0.9 * u(rng);
        r.db[2] = std::pow(10.0, -6 + 9.5 * u(rng));  // 1e-6 .. 3e3, fast relaxation included
        r.db[3] = 4 * u(rng);
        r.db[4] = 0.03 + 0.2 * u(rng);
        r.db[5] = 100 + 56 * u(rng);
        r.db[6] = -1 + 2 * u(rng);
        r.db[7] = 0.1 + 0.6 * u(rng);
        r.db[8] = 180 * u(rng);
        r.db[9] = u(rng) < 0.2 ? 0 : 100000 * u(rng);
        r.db[10] = 1 + 300 * u(rng);
        for (int i = 11; i <= 13; ++i) r.db[i] = 1.8 + 0.5 * u(rng);
        for (int i = 14; i <= 16; ++i) r.db[i] = -300000 + 350000 * u(rng);
        r.db[17] = -20 + 40 * u(rng);
        r.db[18] = r.db[17] / 3 * u(rng);
        r.db[19] = -3 + 6 * u(rng);
        r.db[20] = u(rng);
        for (int i = 21; i <= 28; ++i) r.db[i] = 360 * u(rng) - 180;
        r.run();
        const int n_orient = r.ib[4] == 0 ? 1 : unpack_arguments(*r.ws);
        ++calls;
        orientations += n_orient;
        resolvent_orientations += r.ws->resolvent_orientations;
        calls_with_resolvent += r.ws->resolvent_orientations > 0;
        unsolved += !numerical_fault(*r.ws).empty();
        for (int ch = 0; ch < r.n_chan && numerical_fault(*r.ws).empty(); ++ch) {
            const float x = r.ws->parl_spec.spec_out[ch];
            EXPECT_TRUE(x >= 1.0f - r.ws->parl_spec.amplitude - 1e-4f && x <= 1.0f + 1e-4f) << t << " " << ch;
        }
    }
    std::printf("resolvent route: %d of %d calls, %d of %d orientations; %d calls unsolved\n", calls_with_resolvent,
                calls, resolvent_orientations, orientations, unsolved);
}

}  // namespace
}  // namespace mosslib::relax
