// Voigt sextet with velocity spread: the four-term profile against the Voigt function, the
// closed-form interval integral against quadrature, the limit at velocity 0, and the
// spectrum as the profile averaged over each channel's velocity interval.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lineshape/voigt_sextet.h"
#include "lineshape_cases.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;
namespace ls = mosslib::lineshape;

constexpr double kC[6] = {-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163};
constexpr double kS[6] = {-1, 1, 1, 1, 1, -1};

// The four-term approximation, written out from its coefficient table.
double four_term_voigt(double X, double Y) {
    const double alpha[4] = {-1.215, -1.3509, -1.215, -1.3509};
    const double beta[4] = {1.2359, 0.3786, -1.2359, -0.3786};
    const double gamma[4] = {-0.3085, 0.5906, -0.3085, 0.5906};
    const double delta[4] = {0.021, -1.1858, -0.021, 1.1858};
    double s = 0;
    for (int r = 0; r < 4; ++r) {
        const double y = Y - alpha[r], a = X - beta[r];
        s += (gamma[r] * y + delta[r] * a) / (y * y + a * a);
    }
    return s;
}

// Composite Simpson rule with n (even) intervals.
template <class F>
double simpson(F f, double a, double b, int n) {
    const double h = (b - a) / n;
    double s = f(a) + f(b);
    for (int i = 1; i < n; ++i) s += f(a + i * h) * (i % 2 ? 4 : 2);
    return s * h / 3;
}

Params iron_voigt() {
    Params p = iron_general_sine();
    for (int k = 0; k < 6; ++k) p[14 + k] = 0.2;
    p[21] = 0.15;  // Gaussian scale
    p[22] = 0.3;   // spread
    return p;
}

std::array<double, 256> run(const Params &p) {
    std::array<double, 256> out{};
    ls::voigt_sextet(p.data(), out.data());
    return out;
}

// Line k's weight I_k / (N w_k) and position.
double weight(const Params &p, int k) {
    double S = 0;
    for (int j = 6; j <= 11; ++j) S += p[j];
    return p[6 + k] / (3.1416 * S / (2 * p[5]) * p[14 + k]);
}
double position(const Params &p, int k) { return p[1] * kC[k] + kS[k] * p[3] + p[2] / 2; }

TEST(VoigtProfile, ApproximatesTheVoigtFunction) {
    // At line centre the Voigt function is exp(Y^2) erfc(Y).
    for (double Y : {0.05, 0.3, 1.0, 2.0, 5.0, 20.0})
        EXPECT_LT(rel_error(ls::voigt_profile(0.0, Y), std::exp(Y * Y) * std::erfc(Y)), 2e-4) << Y;
    // Its integral over X is sqrt(pi) (the sum of gamma times pi).
    const double area = simpson([](double X) { return ls::voigt_profile(X, 0.5); }, -4000, 4000, 800000);
    EXPECT_NEAR(area, std::sqrt(M_PI), 1e-3);
    // Even in X.
    for (double X : {0.3, 1.7, 6.0}) EXPECT_LT(rel_error(ls::voigt_profile(-X, 0.8), ls::voigt_profile(X, 0.8)), 1e-14);
}

TEST(VoigtInterval, IsTheProfileIntegratedOverTheChannelsVelocityInterval) {
    struct Case {
        double u, x, g, w, e;
    };
    for (const Case c : {Case{3.1, 2.9, 0.15, 0.2, 0.3}, Case{-3.1, -2.9, 0.15, 0.2, 0.3}, Case{0.7, 1.5, 0.4, 0.1, 0.5},
                         Case{-5.0, 4.0, 0.1, 0.3, 0.2}, Case{6.0, 5.4, 0.05, 0.25, 0.1}}) {
        const double s = 1.421 * c.g, Y = c.w / s;
        const double lo = c.u * (1 - c.e * c.e), hi = c.u;
        // dX = dv / s; the interval runs from u (1 - e^2) to u, whatever the sign of u.
        const double integral =
            simpson([&](double v) { return four_term_voigt((v - c.x) / s, Y); }, lo, hi, 20000) / s;
        EXPECT_LT(rel_error(ls::voigt_interval(c.u, c.x, c.g, c.w, c.e), integral / c.u), 1e-9) << c.u << " " << c.x;
        EXPECT_GT(ls::voigt_interval(c.u, c.x, c.g, c.w, c.e), 0.0);
    }
}

TEST(VoigtInterval, AtRestItIsTheLimitOfTheQuotient) {
    const double x = 0.8, g = 0.15, w = 0.2, e = 0.3, s = 1.421 * g;
    const double limit = e * e / s * four_term_voigt(-x / s, w / s);
    EXPECT_LT(rel_error(ls::voigt_interval(0.0, x, g, w, e), limit), 1e-14);
    EXPECT_LT(rel_error(ls::voigt_interval(-0.0, x, g, w, e), limit), 1e-14);
    // The quotient approaches it from either side.
    for (double u : {1e-5, -1e-5, 1e-3, -1e-3})
        EXPECT_LT(rel_error(ls::voigt_interval(u, x, g, w, e), limit), 20 * std::fabs(u)) << u;
    EXPECT_EQ(ls::voigt_interval(0.0, x, g, w, 0.0), 0.0);
}

TEST(VoigtSextet, ChannelAtRestHoldsTheLimitNotNaN) {
    Params p = iron_voigt();
    p[13] = 128.0;  // channel 128 at velocity exactly 0
    const auto out = run(p);
    const double s = 1.421 * p[21];
    double want = 0;
    for (int k = 0; k < 6; ++k)
        want += weight(p, k) * (p[22] * p[22] / s * four_term_voigt(-position(p, k) / s, p[14 + k] / s));
    EXPECT_LT(rel_error(out[127], want), 1e-13);
    // Smooth through rest: the four neighbours interpolate it (cubic through channels 126..130).
    EXPECT_NEAR(out[127], (-out[125] + 4 * out[126] + 4 * out[128] - out[129]) / 6, 0.005 * out[127]);

    p[12] = 0.0;  // no drive: every channel at rest
    const auto flat = run(p);
    for (double x : flat) EXPECT_LT(rel_error(x, want), 1e-13);
}

TEST(VoigtSextet, IsTheProfileAveragedOverEachChannelsInterval) {
    // Channel value = sum of weight_k / u times the integral of V((v - x_k) / s, Y_k) dv / s
    // over [u (1 - e^2), u], s = 1.421 g, by quadrature.
    Params p = iron_voigt();
    p[3] = 0.05;
    p[14] = 0.3;
    const auto out = run(p);
    const double s = 1.421 * p[21], e2 = p[22] * p[22];
    for (int n = 1; n <= 256; ++n) {
        const double u = sine_scale(n, p[13], p[12]);
        double want = 0;
        for (int k = 0; k < 6; ++k) {
            const double x = position(p, k), Y = p[14 + k] / s;
            const double integral = simpson([&](double v) { return four_term_voigt((v - x) / s, Y); }, u * (1 - e2), u, 400) / s;
            want += weight(p, k) * integral / u;
        }
        EXPECT_LT(rel_error(out[n - 1], want), 1e-9) << "channel " << n;
    }
}

TEST(VoigtSextet, OnlyTheSquareOfTheSpreadEntersAndNoSpreadMeansNoSignal) {
    Params p = iron_voigt();
    const auto plus = run(p);
    p[22] = -p[22];
    const auto minus = run(p);
    for (int i = 0; i < 256; ++i) EXPECT_TRUE(same_bits(plus[i], minus[i])) << i;
    p[22] = 0.0;
    p[13] = 100.0;  // the channel at rest included
    for (double x : run(p)) EXPECT_EQ(x, 0.0);
}

TEST(VoigtSextet, NegativeVelocitiesMirrorPositiveOnes) {
    Params p = iron_voigt();
    p[2] = 0.0;
    p[13] = 128.0;
    const auto out = run(p);
    for (int j = 1; j <= 127; ++j) {
        EXPECT_GT(out[127 - j], 0.0);
        EXPECT_LT(rel_error(out[127 - j], out[127 + j]), 1e-9) << j;
    }
}

}  // namespace
