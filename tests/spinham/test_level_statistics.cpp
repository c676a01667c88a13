// Spin expectation values, Boltzmann populations and line accumulation.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "spinham/level_statistics.h"
#include "spinham/line_accumulation.h"
#include "test_support.h"

namespace sh = mosslib::spinham;

TEST(Boltzmann, PopulationsOfTwoLevels) {
    const double t = 4.2;
    double p[2];
    const double single[1] = {-3.0};
    sh::boltz(1, t, single, p);
    EXPECT_EQ(p[0], 1.0);

    const double far[2] = {10 * 0.694 * t, 0.0};
    sh::boltz(2, t, far, p);
    EXPECT_EQ(p[0], 0.0);
    EXPECT_EQ(p[1], 1.0);

    const double near[2] = {0.694 * t, 0.0};
    sh::boltz(2, t, near, p);
    EXPECT_NEAR(p[1], 1.0 / (1.0 + std::exp(-1.0)), 1e-15);
    EXPECT_NEAR(p[0], std::exp(-1.0) / (1.0 + std::exp(-1.0)), 1e-15);
}

TEST(Boltzmann, CutOffAtFiveKT) {
    const double t = 2.0, kt = t * 0.694;
    const double e[3] = {5.0 * kt * 1.000001, 5.0 * kt * 0.999999, 0.0};
    double p[3];
    sh::boltz(3, t, e, p);
    EXPECT_EQ(p[0], 0.0);
    EXPECT_GT(p[1], 0.0);
    EXPECT_NEAR(p[0] + p[1] + p[2], 1.0, 1e-15);
}

TEST(Boltzmann, ZeroTemperatureGivesNaN) {
    const double e[2] = {1.0, 0.0};
    double p[2];
    sh::boltz(2, 0.0, e, p);
    EXPECT_TRUE(std::isnan(p[0]));
    EXPECT_TRUE(std::isnan(p[1]));
}

TEST(SpinExpectation, SpinHalfAlongZXAndY) {
    const double c[2] = {1.0, 0.0};
    const double r = 1.0 / std::sqrt(2.0);
    // Columns: (1, 0), (r, r), (r, i r).
    const double zr[2 * 3] = {1, 0, r, r, r, 0};
    const double zi[2 * 3] = {0, 0, 0, 0, 0, r};
    double sx[3], sy[3], sz[3];
    // Treat the three columns as levels of a 2-level system by taking them two at a time.
    sh::spinexp(2, 1, 2, zr, zi, c, sx, sy, sz);
    EXPECT_EQ(sz[0], 0.5);
    EXPECT_EQ(sx[0], 0.0);
    EXPECT_EQ(sy[0], 0.0);
    EXPECT_NEAR(sz[1], 0.0, 1e-15);
    EXPECT_NEAR(sx[1], 0.5, 1e-15);
    EXPECT_EQ(sy[1], 0.0);
    sh::spinexp(2, 1, 2, zr + 2, zi + 2, c, sx, sy, sz);
    EXPECT_NEAR(sx[1], 0.0, 1e-15);
    EXPECT_NEAR(sy[1], 0.5, 1e-15);
}

TEST(SpinExpectation, OnlySpinOneCountsAndSpinTwoMustMatch) {
    // Two spins 1/2, basis |++>, |+->, |-+>, |-->. Column 0: (|++> + |-+>)/sqrt2, spin 1
    // along x; column 1: (|++> + |-->)/sqrt2, no transverse spin 1; column 2: |+->.
    const double c[2] = {1.0, 0.0};
    const double r = 1.0 / std::sqrt(2.0);
    double zr[16] = {r, 0, r, 0, r, 0, 0, r, 0, 1, 0, 0, 0, 0, 0, 1};
    double zi[16] = {};
    double sx[4], sy[4], sz[4];
    sh::spinexp(2, 2, 4, zr, zi, c, sx, sy, sz);
    EXPECT_NEAR(sx[0], 0.5, 1e-15);
    EXPECT_NEAR(sz[0], 0.0, 1e-15);
    EXPECT_EQ(sx[1], 0.0);
    EXPECT_NEAR(sz[1], 0.0, 1e-15);
    EXPECT_EQ(sz[2], 0.5);
    EXPECT_EQ(sz[3], -0.5);
}

namespace {

struct LineSet {
    double enuc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    double inuc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

}  // namespace

TEST(LineAccumulation, ZeroWeightLeavesTheAccumulator) {
    LineSet l;
    for (int i = 0; i < 8; ++i) l.inuc[i] = 1.0 + i, l.enuc[i] = i - 4.0;
    std::vector<double> acc(256);
    for (int c = 0; c < 256; ++c) acc[c] = 0.25 * c;
    const std::vector<double> before = acc;
    sh::addlines(256, 127.0, l.enuc, l.inuc, 0.0, 0.28, 0.09, acc.data());
    for (int c = 0; c < 256; ++c) EXPECT_TRUE(mosslib::testing::same_bits(acc[c], before[c])) << c;
}

TEST(LineAccumulation, PeakAtCentreChannelWithHeightAndArea) {
    LineSet l;
    l.enuc[0] = 0.3;
    l.inuc[0] = 2.0;
    const int g = 4001;
    const double delta = 0.01, width = 0.2, w = 0.5, c0 = 1000.0;
    std::vector<double> acc(g, 0.0);
    sh::addlines(g, c0, l.enuc, l.inuc, w, width, delta, acc.data());
    // Line at channel c0 + E / delta = 1030, peak amplitude * 4 / width^2.
    int peak = 0;
    for (int c = 0; c < g; ++c)
        if (acc[c] > acc[peak]) peak = c;
    EXPECT_EQ(peak + 1, 1030);
    EXPECT_NEAR(acc[peak], 2.0 * w * 4.0 / (width * width), 1e-9);
    EXPECT_NEAR(acc[peak - 7], acc[peak + 7], 1e-9);
    double area = 0;
    for (double a : acc) area += a * delta;
    // Integral of amplitude / (x^2 + width^2/4) over the channel range, x from the line.
    const double amplitude = 2.0 * w, lo = (1 - 1030) * delta, hi = (g - 1030) * delta;
    const double exact = amplitude * 2.0 / width * (std::atan(2.0 * hi / width) - std::atan(2.0 * lo / width));
    EXPECT_NEAR(area / exact, 1.0, 1e-4);
}

TEST(LineAccumulation, EveryChannelKeepsItsScalarExpression) {
    // The channel loop may be vectorised; each channel must still hold exactly
    // acc + Inuc w / (x^2 + h), x = delta c - centre, added line by line.
    LineSet l;
    for (int i = 0; i < 8; ++i) l.enuc[i] = -3.1 + 0.77 * i, l.inuc[i] = 0.1 + 0.03 * i;
    for (int g : {1, 7, 256, 1021}) {
        std::vector<double> acc(g + 1, 0.125), want(g + 1, 0.125);
        const double c0 = 127.3, delta = 0.0917, width = 0.283, w = 0.61;
        sh::addlines(g, c0, l.enuc, l.inuc, w, width, delta, acc.data() + 1);
        const double shift = c0 * delta, h = width * width / 4.0;
        for (int i = 0; i < 8; ++i) {
            const volatile double centre = l.enuc[i] + shift;
            const volatile double amplitude = l.inuc[i] * w;
            for (int c = 1; c <= g; ++c) {
                const volatile double x = delta * c - centre;
                const volatile double q = x * x + h;
                want[c] += amplitude / q;
            }
        }
        for (int c = 0; c <= g; ++c) ASSERT_TRUE(mosslib::testing::same_bits(acc[c], want[c])) << g << " " << c;
    }
}
