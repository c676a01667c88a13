#include <gtest/gtest.h>

#include <cmath>

#include "numeric/lorentzian.h"

using mosslib::numeric::lorentzian;

TEST(Lorentzian, PeakHalfWidthAndExactValues) {
    EXPECT_EQ(lorentzian(0.37, 0.37, 2.5, 0.3), 2.5);
    EXPECT_EQ(lorentzian(1.5, 1.0, 8.0, 1.0), 4.0);
    // Half maximum at centre +- width/2.
    EXPECT_DOUBLE_EQ(lorentzian(1.0 + 0.125, 1.0, 6.0, 0.25), 3.0);
    EXPECT_DOUBLE_EQ(lorentzian(1.0 - 0.125, 1.0, 6.0, 0.25), 3.0);
}

TEST(Lorentzian, AreaIsHeightTimesPiTimesWidthOverTwo) {
    // Trapezoid over +-2000 widths; the tails beyond contribute 2*h*w^2/(4*2000 w) = h w/4000.
    const double h = 1.7, w = 0.31, c = 0.2;
    const double step = w / 200.0;
    double sum = 0.0;
    for (double v = c - 2000 * w; v <= c + 2000 * w; v += step) sum += lorentzian(v, c, h, w) * step;
    const double tails = h * w / 4000.0 * 2.0 / 2.0;
    EXPECT_NEAR(sum + tails, h * M_PI * w / 2.0, 1e-5 * h * w);
}

TEST(Lorentzian, ZeroWidthFollowsIeee) {
    EXPECT_EQ(lorentzian(1.0, 0.0, 3.0, 0.0), 0.0);
    EXPECT_TRUE(std::isnan(lorentzian(0.0, 0.0, 3.0, 0.0)));
}
