// Quadrupole doublet: two equal Lorentzians about the shift, their area, the linear scale.
#include <gtest/gtest.h>

#include <cmath>

#include "lineshape/doubl.h"
#include "lineshape_cases.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;
using mosslib::lineshape::quadrupole_doublet;

std::array<double, 256> run(const Params &p) {
    std::array<double, 256> out{};
    quadrupole_doublet(p.data(), out.data());
    return out;
}

double velocity(const Params &p, double n) { return (n - p[6]) * p[5]; }

TEST(QuadrupoleDoublet, TwoEqualLinesAtShiftMinusAndPlusHalfTheSplitting) {
    const Params p = ferric_doublet();
    const auto out = run(p);
    const auto peaks = local_maxima(out.data(), 256);
    ASSERT_EQ(peaks.size(), 2u);
    EXPECT_NEAR(velocity(p, parabolic_peak(out.data(), peaks[0]) + 1), 0.35 - 0.35, 0.005);
    EXPECT_NEAR(velocity(p, parabolic_peak(out.data(), peaks[1]) + 1), 0.35 + 0.35, 0.005);
    // Equal areas: equal heights at equal widths.
    EXPECT_LT(rel_error(out[peaks[0]], out[peaks[1]]), 0.02);
}

TEST(QuadrupoleDoublet, NoSplittingGivesOneLineOfDoubleHeight) {
    Params p = ferric_doublet();
    p[2] = 0.0;
    p[1] = velocity(p, 140);  // exactly on channel 140
    const auto out = run(p);
    const double h = p[4] / (3.1416 * p[3]);
    EXPECT_EQ(out[139], 2 * h);
    for (int n = 1; n <= 256; ++n) {
        const double t = 2 * (velocity(p, n) - p[1]) / p[3];
        EXPECT_LT(rel_error(out[n - 1], 2 * h / (1 + t * t)), 1e-14) << n;
    }
}

TEST(QuadrupoleDoublet, SymmetricAboutTheShift) {
    Params p = ferric_doublet();
    p[1] = 0.0;  // zero channel 128.5: channels n and 257 - n at opposite velocities
    const auto out = run(p);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(out[i], out[255 - i]) << i;
}

TEST(QuadrupoleDoublet, AreaIsTheAreaParameterTimesPiOver3_1416) {
    Params p = ferric_doublet();
    p[4] = 3.2;
    const auto out = run(p);
    const double lo = velocity(p, 1), hi = velocity(p, 256);
    const double h = 2 * (kAreaRatio * p[4] / 2) / (M_PI * p[3]);  // each line half the area
    const double inside = lorentzian_area(h, p[3], p[1] - p[2] / 2, lo, hi) + lorentzian_area(h, p[3], p[1] + p[2] / 2, lo, hi);
    EXPECT_NEAR(trapezoid(out.data(), 256, p[5]), inside, 1e-5 * p[4]);
    EXPECT_GT(inside, 0.95 * kAreaRatio * p[4]);
}

TEST(QuadrupoleDoublet, ChannelsLieOnTheLinearScale) {
    Params p = ferric_doublet();
    p[1] = -100.0;
    p[2] = 0.0;
    p[3] = 1.0;
    p[5] = 0.043;
    p[6] = 111.5;
    const auto out = run(p);
    const double H = 2 * p[4] / 3.1416;
    for (int n = 1; n <= 256; ++n)
        EXPECT_NEAR(p[1] + 0.5 * std::sqrt(H / out[n - 1] - 1), (n - 111.5) * 0.043, 1e-9) << n;
}

}  // namespace
