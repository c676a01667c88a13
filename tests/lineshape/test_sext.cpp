// Magnetic sextet: line positions, areas, symmetry, scaling and the linear velocity scale,
// each checked against closed forms written out here.
#include <gtest/gtest.h>

#include <cmath>

#include "lineshape/sext.h"
#include "lineshape_cases.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;
using mosslib::lineshape::magnetic_sextet;

constexpr double kC[6] = {-0.163, -0.0934, -0.0255, 0.0255, 0.0934, 0.163};
constexpr double kS[6] = {-1, 1, 1, 1, 1, -1};

std::array<double, 256> run(const Params &p) {
    std::array<double, 256> out{};
    magnetic_sextet(p.data(), out.data());
    return out;
}

double velocity(const Params &p, double channel) { return (channel - p[13]) * p[12]; }

TEST(MagneticSextet, LinesPeakWhereFieldShiftAndQuadrupolePutThem) {
    Params p = iron_sext();
    p[3] = 0.21;  // quadrupole: outer lines move by -0.105, inner by +0.105
    p[4] = 0.15;
    const auto out = run(p);
    const auto peaks = local_maxima(out.data(), 256);
    ASSERT_EQ(peaks.size(), 6u);
    for (int k = 0; k < 6; ++k) {
        const double want = 33.0 * kC[k] + kS[k] * 0.21 / 2 - 0.11;
        const double got = velocity(p, parabolic_peak(out.data(), peaks[k]) + 1);
        EXPECT_NEAR(got, want, 0.01) << "line " << k + 1;
    }
}

// Expected area of the spectrum inside [lo, hi]: every line carries the share I_k / S of
// (pi / 3.1416) * area, as a Lorentzian of FWHM w.
double expected_window_area(const Params &p, double lo, double hi) {
    double S = 0;
    for (int k = 0; k < 6; ++k) S += p[6 + k];
    double sum = 0;
    for (int k = 0; k < 6; ++k) {
        const double A = kAreaRatio * p[5] * p[6 + k] / S;
        const double h = 2 * A / (M_PI * p[4]);
        const double x = p[1] * kC[k] + kS[k] * p[3] / 2 + p[2];
        sum += lorentzian_area(h, p[4], x, lo, hi);
    }
    return sum;
}

TEST(MagneticSextet, LineAreasFollowIntensitiesAndTotalArea) {
    Params p = iron_sext();
    p[5] = 2.5;
    p[4] = 0.3;
    const double I[6] = {3.0, 1.5, 0.7, 1.2, 2.5, 2.9};  // no two alike: each slice names its line
    for (int k = 0; k < 6; ++k) p[6 + k] = I[k];
    const auto out = run(p);
    // Whole window, then slices between neighbouring lines: each holds its own line's share.
    EXPECT_NEAR(trapezoid(out.data(), 256, p[12]), expected_window_area(p, velocity(p, 1), velocity(p, 256)),
                1e-4 * p[5]);
    const int cuts[] = {1, 41, 87, 126, 165, 211, 256};  // channels midway between the lines
    for (int s = 0; s + 1 < 7; ++s) {
        const int a = cuts[s], b = cuts[s + 1];
        const double got = trapezoid(out.data() + a - 1, b - a + 1, p[12]);
        EXPECT_NEAR(got, expected_window_area(p, velocity(p, a), velocity(p, b)), 2e-4 * p[5]) << "slice " << s;
    }
}

TEST(MagneticSextet, ZeroFieldLeavesTwoQuadrupoleGroups) {
    Params p = iron_sext();
    p[1] = 0.0;
    p[3] = 0.8;
    const auto out = run(p);
    const double S = 12.0, w = p[4];
    // Lines 1 and 6 at shift - q/2, lines 2 to 5 at shift + q/2; heights 2 * area * I / (3.1416 S w).
    const double h_outer = 2 * p[5] * (3 + 3) / (3.1416 * S * w);
    const double h_inner = 2 * p[5] * (2 + 1 + 1 + 2) / (3.1416 * S * w);
    for (int n = 1; n <= 256; ++n) {
        const double v = velocity(p, n);
        const double lo = (v - (p[2] - 0.4)) * 2 / w, hi = (v - (p[2] + 0.4)) * 2 / w;
        const double want = h_outer / (1 + lo * lo) + h_inner / (1 + hi * hi);
        EXPECT_LT(rel_error(out[n - 1], want), 1e-13) << "channel " << n;
    }
}

TEST(MagneticSextet, SymmetricAboutTheShiftOnlyWithoutQuadrupole) {
    Params p = iron_sext();
    p[2] = 0.0;  // zero channel 128.5: channels n and 257 - n lie at opposite velocities
    const auto even = run(p);
    for (int i = 0; i < 128; ++i) EXPECT_LT(rel_error(even[i], even[255 - i]), 1e-14) << i;

    p[3] = 0.3;
    const auto odd = run(p);
    double worst = 0;
    for (int i = 0; i < 128; ++i) worst = std::max(worst, rel_error(odd[i], odd[255 - i]));
    EXPECT_GT(worst, 0.1);
}

TEST(MagneticSextet, ScalesWithAreaNotWithTheIntensityScale) {
    const Params p = iron_sext();
    const auto base = run(p);
    Params doubled = p;
    doubled[5] *= 2;
    const auto twice = run(doubled);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(twice[i], 2 * base[i]) << i;  // powers of two are exact

    Params scaled = p;
    for (int k = 6; k <= 11; ++k) scaled[k] *= 7.3;
    const auto same = run(scaled);
    for (int i = 0; i < 256; ++i) EXPECT_LT(rel_error(same[i], base[i]), 1e-14) << i;
}

// A single line far below the window: its value at each channel gives back the channel's
// velocity, v = x + (w/2) sqrt(H/L - 1).
TEST(MagneticSextet, ChannelsLieOnTheLinearScale) {
    Params p = iron_sext();
    p[1] = 0.0;
    p[2] = -100.0;
    p[4] = 1.0;
    p[12] = 0.037;
    p[13] = 97.25;
    const auto out = run(p);
    const double H = 2 * p[5] / (3.1416 * p[4]);
    for (int n = 1; n <= 256; ++n) {
        const double v = p[2] + p[4] / 2 * std::sqrt(H / out[n - 1] - 1);
        EXPECT_NEAR(v, (n - 97.25) * 0.037, 1e-9) << "channel " << n;
    }
}

TEST(MagneticSextet, ZeroWidthOrIntensitySumGivesNaNInEveryChannel) {
    for (int which : {4, 0}) {
        Params p = iron_sext();
        if (which == 4) p[4] = 0.0;
        else for (int k = 6; k <= 11; ++k) p[k] = 0.0;
        const auto out = run(p);
        for (int i = 0; i < 256; ++i) EXPECT_TRUE(std::isnan(out[i])) << "channel " << i + 1;
    }
}

}  // namespace
