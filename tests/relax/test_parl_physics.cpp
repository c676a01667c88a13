// Physical limits of the relaxation spectrum: the static pattern of slow relaxation,
// the averaged field of fast relaxation, the magic beam angle and the powder average.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "parl_call.h"

namespace mosslib::testing {
namespace {

// Nuclear Zeeman factors of the engine, mm/s per gauss.
const double kZeemanUnit = 3.1524e-15 * 2.9979e11 / 14.37;
const double kZeemanGround = kZeemanUnit * 0.18048;
const double kZeemanExcited = kZeemanUnit * -0.10313;

// Positions of the six allowed lines (M = +1, 0, -1 under m_g = +1/2, then -1/2) for
// a field b (gauss) along the quantisation axis.
std::array<double, 6> line_positions(double b) {
    const double bz = -b * kZeemanExcited;
    const double gz = -b * kZeemanGround;
    const double me[6] = {1.5, 0.5, -0.5, 0.5, -0.5, -1.5};
    const double mg[6] = {0.5, 0.5, 0.5, -0.5, -0.5, -0.5};
    std::array<double, 6> p{};
    for (int t = 0; t < 6; ++t) p[t] = me[t] * bz - mg[t] * gz;
    return p;
}

// Lowest transmission within +-half of velocity v.
double dip(const ParlCall &c, const std::vector<double> &out, double v, double half = 0.1) {
    double lo = 2;
    for (int ch = 1; ch <= 256; ++ch)
        if (std::fabs(c.velocity(ch) - v) <= half) lo = std::min(lo, out[ch - 1]);
    return lo;
}

ParlCall doublet_on_axis() {
    ParlCall c;
    c.ib[1] = 2;
    c.db[1] = 1.0;
    c.db[3] = 1;
    c.db[4] = 0.05;
    c.db[7] = 0.2;
    c.db[9] = 100;
    c.db[14] = c.db[15] = c.db[16] = -440000;  // 220 kG per state
    c.db[17] = 0;
    c.db[19] = 0;
    c.db[27] = 0;
    c.db[28] = 0;
    return c;
}

TEST(ParlPhysics, SlowRelaxationShowsTheStaticSixLinePattern) {
    ParlCall c = doublet_on_axis();
    c.db[2] = 1e-6;
    const auto out = c.run();
    const auto lines = line_positions(220000);
    for (double p : lines) EXPECT_LT(dip(c, out, p), 0.75) << "line at " << p;
    // Between the lines the sample transmits.
    EXPECT_GT(dip(c, out, 0.0, 0.05), 0.95);
    EXPECT_GT(dip(c, out, (lines[0] + lines[1]) / 2, 0.05), 0.95);
}

TEST(ParlPhysics, FastRelaxationCollapsesTheSextet) {
    ParlCall c = doublet_on_axis();
    c.db[2] = 2000;
    const auto out = c.run();
    EXPECT_NEAR(dip(c, out, 0.0, 0.05), 0.0, 1e-6);  // the deepest channel is at the centre
    for (double p : line_positions(220000)) EXPECT_GT(dip(c, out, p), 0.95);
}

TEST(ParlPhysics, FastRelaxationSeesThePopulationAveragedField) {
    // S = 1/2 in 20 kG at 4.2 K: <Sz> = 1/2 - p_lower; the nucleus sees H - A <Sz>.
    ParlCall c = doublet_on_axis();
    c.db[2] = 2000;
    c.db[9] = 20000;
    c.db[19] = 0.4;
    const auto fast = c.run();
    const double hz = 6.7174e-5 * 20000 * 2;
    const double p_lower = 1 / (1 + std::exp(-hz / 4.2));
    const double hf = -440000 * (0.5 - p_lower);
    ParlCall bare = c;
    bare.ib[1] = 1;
    bare.db[2] = 0;
    bare.db[9] = 20000 - hf;
    const auto averaged = bare.run();
    double worst = 0;
    for (int i = 0; i < 256; ++i) worst = std::max(worst, std::fabs(fast[i] - averaged[i]));
    EXPECT_LT(worst, 5e-4);
    EXPECT_LT(*std::min_element(fast.begin(), fast.end()), 0.01);
}

TEST(ParlPhysics, MagicBeamAngleRemovesTheOrientationDependence) {
    // A quadrupole doublet with the field-gradient axis along crystal z: its asymmetry
    // depends on the direction of the beam unless P2(cos beam_angle) = 0.
    auto spectrum = [](double beam, double theta) {
        ParlCall c;
        c.ib[1] = 1;
        c.db[4] = 0.02;
        c.db[9] = 0;
        c.db[19] = 2.0;
        c.db[8] = beam;
        c.db[27] = theta;
        c.db[28] = 40;
        return c.run();
    };
    auto max_diff = [](const std::vector<double> &a, const std::vector<double> &b) {
        double d = 0;
        for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
        return d;
    };
    EXPECT_LT(max_diff(spectrum(54.7356, 0), spectrum(54.7356, 65)), 2e-6);
    EXPECT_GT(max_diff(spectrum(90, 0), spectrum(90, 65)), 0.05);
}

TEST(ParlPhysics, IsomerShiftMovesEveryLineByPlusDelta) {
    // The default sextet with a gradient, shifted by five channels (0.4 mm/s): channel
    // k + 5 holds what channel k held without the shift.
    ParlCall c;
    const auto unshifted = c.run();
    c.db[6] = 5 * c.db[4];
    const auto shifted = c.run();
    for (int ch = 1; ch + 5 <= 256; ++ch) EXPECT_NEAR(shifted[ch + 4], unshifted[ch - 1], 2e-6) << ch;
}

TEST(ParlPhysics, HyperfineFrameTurnsThePrincipalAxes) {
    // The crystal-frame tensor depends on the principal values and their frame alone:
    // Euler angles (90, 90, 0) put the principal z axis on crystal y (polar 90, azimuth
    // 90) and the principal x axis on -z, so (a_x, a_y, a_z) so turned equals the
    // unturned tensor (a_y, a_z, a_x); and an axial tensor turned about its own axis
    // stays the same. The default sextet: field, gradient and an oblique direction.
    auto spectrum = [](double ax, double ay, double az, double alpha, double beta, double gamma) {
        ParlCall c;
        c.db[14] = ax, c.db[15] = ay, c.db[16] = az;
        c.db[24] = alpha, c.db[25] = beta, c.db[26] = gamma;
        return c.run();
    };
    auto max_diff = [](const std::vector<double> &a, const std::vector<double> &b) {
        double d = 0;
        for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
        return d;
    };
    const double a[3] = {-150000, -220000, -300000};
    const auto turned = spectrum(a[0], a[1], a[2], 90, 90, 0);
    EXPECT_LT(max_diff(turned, spectrum(a[1], a[2], a[0], 0, 0, 0)), 2e-5);
    EXPECT_GT(max_diff(turned, spectrum(a[2], a[0], a[1], 0, 0, 0)), 0.05);  // the inverse turn
    EXPECT_GT(max_diff(turned, spectrum(a[0], a[1], a[2], 0, 0, 0)), 0.05);
    const auto axial = spectrum(a[0], a[0], a[2], 0, 0, 0);
    EXPECT_LT(max_diff(spectrum(a[0], a[0], a[2], 37, 0, 0), axial), 2e-5);
    EXPECT_LT(max_diff(spectrum(a[0], a[0], a[2], 0, 0, -65), axial), 2e-5);
}

// Absorption area of the line at v: the sum of 1 - transmission within +-0.8 mm/s.
double line_area(const ParlCall &c, const std::vector<double> &out, double v) {
    double s = 0;
    for (int ch = 1; ch <= 256; ++ch)
        if (std::fabs(c.velocity(ch) - v) <= 0.8) s += 1 - out[ch - 1];
    return s;
}

TEST(ParlPhysics, PowderAverageOfAStaticSextetApproachesThreeTwoOne) {
    // S = 1/2 in zero field: the states +-1/2 along crystal z carry +-330 kG and do not
    // relax (equal energies, power 2). Averaged over the beam directions of a cubic grid
    // the six lines have the powder areas 3 : 2 : 1 : 1 : 2 : 3.
    ParlCall c;
    c.ib[1] = 2;
    c.ib[3] = 15;
    c.ib[4] = 3;
    c.db[1] = 1.0;
    c.db[2] = 1e-6;
    c.db[3] = 2;
    c.db[4] = 0.05;
    c.db[7] = 0.15;
    c.db[9] = 0;
    c.db[14] = c.db[15] = c.db[16] = -660000;
    c.db[19] = 0;
    const auto out = c.run();
    const auto lines = line_positions(330000);
    const double expected[6] = {3, 2, 1, 1, 2, 3};
    const double a0 = line_area(c, out, lines[0]);
    for (int t = 0; t < 6; ++t)
        EXPECT_NEAR(line_area(c, out, lines[t]) / a0, expected[t] / 3, 0.03) << "line " << t;
    // One beam direction across the axis gives 3 : 4 : 1 instead.
    ParlCall one = c;
    one.ib[4] = 0;
    one.db[27] = 0;
    const auto single = one.run();
    EXPECT_NEAR(line_area(one, single, lines[1]) / line_area(one, single, lines[0]), 4.0 / 3, 0.03);
}

}  // namespace
}  // namespace mosslib::testing
