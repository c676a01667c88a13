// Clebsch-Gordan coefficients and 3j symbols against closed forms; the angular factors
// of the eight transitions: forbidden lines, beam and powder limits.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "relax/angular_factors.h"

namespace mosslib::relax {
namespace {

TEST(ClebschGordan, StretchedAndSelectionRules) {
    EXPECT_FLOAT_EQ(clebsch_gordan(0.5f, 1.0f, 1.5f, 0.5f, 1.0f, 1.5f), 1.0f);
    EXPECT_EQ(clebsch_gordan(0.5f, 1.0f, 1.5f, 0.5f, 0.0f, 1.5f), 0.0f);  // m1 + m2 != m3
    EXPECT_EQ(clebsch_gordan(0.5f, 0.5f, 2.0f, 0.5f, 0.5f, 1.0f), 0.0f);  // triangle broken
    EXPECT_EQ(clebsch_gordan(0.5f, 1.0f, 1.5f, 0.5f, 0.5f, 1.0f), 0.0f);  // m2 not a projection of j2
    EXPECT_EQ(clebsch_gordan(9.0f, 9.0f, 3.0f, 0.0f, 0.0f, 0.0f), 0.0f);  // j1 + j2 + j3 + 1 > 20
}

TEST(ClebschGordan, HalfTimesOneClosedForms) {
    // <1/2 m1 1 m2 | 3/2 M>: sqrt((3/2 + M)/3) for m1 = +1/2, sqrt((3/2 - M)/3) for m1 = -1/2
    for (float big_m : {1.5f, 0.5f, -0.5f}) {
        EXPECT_NEAR(clebsch_gordan(0.5f, 1.0f, 1.5f, 0.5f, big_m - 0.5f, big_m), std::sqrt((1.5 + big_m) / 3), 1e-6);
    }
    for (float big_m : {0.5f, -0.5f, -1.5f}) {
        EXPECT_NEAR(clebsch_gordan(0.5f, 1.0f, 1.5f, -0.5f, big_m + 0.5f, big_m), std::sqrt((1.5 - big_m) / 3),
                    1e-6);
    }
    // <1 1 1 -1 | 2 0> = 1/sqrt(6), <1 0 1 0 | 2 0> = sqrt(2/3), <1 1 1 0 | 2 1> = 1/sqrt(2)
    EXPECT_NEAR(clebsch_gordan(1, 1, 2, 1, -1, 0), 1 / std::sqrt(6.0), 1e-6);
    EXPECT_NEAR(clebsch_gordan(1, 1, 2, 0, 0, 0), std::sqrt(2.0 / 3), 1e-6);
    EXPECT_NEAR(clebsch_gordan(1, 1, 2, 1, 0, 1), 1 / std::sqrt(2.0), 1e-6);
    // <1 1 1 -1 | 1 0> = 1/sqrt(2), <1 0 1 0 | 1 0> = 0
    EXPECT_NEAR(clebsch_gordan(1, 1, 1, 1, -1, 0), 1 / std::sqrt(2.0), 1e-6);
    EXPECT_NEAR(clebsch_gordan(1, 1, 1, 0, 0, 0), 0.0, 1e-7);
}

TEST(Wigner3j, ClosedForms) {
    // (1/2 1 3/2; 1/2 1 -3/2) = (-1)^(j1 - j2 - m3) / sqrt(4) = (-1)^1 / 2
    EXPECT_NEAR(wigner_3j(0.5f, 1.0f, 1.5f, 0.5f, 1.0f, -1.5f), -0.5, 1e-6);
    // (1 1 2; 1 -1 0) = 1/sqrt(30); (1 1 2; 0 0 0) = sqrt(2/15)
    EXPECT_NEAR(wigner_3j(1, 1, 2, 1, -1, 0), 1 / std::sqrt(30.0), 1e-6);
    EXPECT_NEAR(wigner_3j(1, 1, 2, 0, 0, 0), std::sqrt(2.0 / 15), 1e-6);
    // sum over m of squares = 1/(2 j3 + 1) for fixed m3
    double s = 0;
    for (int m1 = -1; m1 <= 1; ++m1) {
        const float w = wigner_3j(1, 1, 2, static_cast<float>(m1), static_cast<float>(-m1), 0);
        s += w * w;
    }
    EXPECT_NEAR(s, 1.0 / 5, 1e-6);
}

TEST(AngularFactors, TransitionNumbering) {
    const int m[8] = {1, 0, -1, -2, 2, 1, 0, -1};
    for (int t = 1; t <= 8; ++t) EXPECT_EQ(delta_m(t), m[t - 1]) << t;
}

TEST(AngularFactors, DeltaMTwoLinesNeverContribute) {
    for (int i = 1; i <= 8; ++i) {
        const complex_f a = angular_factor(4, i, 0.3f, 0.95f, 0.6f, 0.8f, 0.7f);
        const complex_f b = angular_factor(i, 5, 0.3f, 0.95f, 0.6f, 0.8f, 0.7f);
        EXPECT_EQ(a.r, 0.0f);
        EXPECT_EQ(a.i, 0.0f);
        EXPECT_EQ(b.r, 0.0f);
        EXPECT_EQ(b.i, 0.0f);
    }
}

TEST(AngularFactors, LineStrengthsAlongAndAcrossTheBeam) {
    // Diagonal factors give the line intensities 3 : x : 1 with x = 0 for the beam along
    // the quantisation axis and 4 across it.
    auto strengths = [](float beam) {
        const float c = 1.0f, s = 0.0f;
        return std::array<float, 3>{angular_factor(1, 1, c, s, 1, 0, beam).r,
                                    angular_factor(2, 2, c, s, 1, 0, beam).r,
                                    angular_factor(3, 3, c, s, 1, 0, beam).r};
    };
    const auto along = strengths(0.0f);
    EXPECT_NEAR(along[0] / along[2], 3.0, 1e-5);
    EXPECT_NEAR(along[1], 0.0, 1e-7);
    const auto across = strengths(static_cast<float>(M_PI / 2));
    EXPECT_NEAR(across[0] / across[2], 3.0, 1e-5);
    EXPECT_NEAR(across[1] / across[2], 4.0, 1e-5);
}

TEST(AngularFactors, MagicBeamAngleRemovesOrientationDependence) {
    const float magic = static_cast<float>(54.7356 * M_PI / 180);
    for (int i = 1; i <= 8; ++i)
        for (int j = 1; j <= 8; ++j) {
            const complex_f k = angular_factor(i, j, 0.4f, 0.9165f, 0.28f, 0.96f, magic);
            if (delta_m(i) == delta_m(j) && std::abs(delta_m(i)) < 2) {
                const complex_f k0 = angular_factor(i, j, 1.0f, 0.0f, 1.0f, 0.0f, magic);
                EXPECT_NEAR(k.r, k0.r, 1e-6);
            } else {
                EXPECT_NEAR(k.r, 0.0, 1e-6) << i << "," << j;
                EXPECT_NEAR(k.i, 0.0, 1e-6);
            }
        }
}

TEST(AngularFactors, FactorMatrixIsHermitian) {
    complex_f k[64];
    angular_factors(0.35f, 0.9368f, -0.5f, 0.866f, 1.1f, k);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            EXPECT_NEAR(k[i + 8 * j].r, k[j + 8 * i].r, 1e-6);
            EXPECT_NEAR(k[i + 8 * j].i, -k[j + 8 * i].i, 1e-6);
        }
}

}  // namespace
}  // namespace mosslib::relax
