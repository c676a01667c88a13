// General sextet on its three velocity scales: per-line widths and positions, the relation
// to the magnetic sextet, area independent of width, and the channel-to-velocity mappings
// of the linear, fixed-step sine and 512-channel sine scales.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lineshape/general_sextet.h"
#include "lineshape/sext.h"
#include "lineshape_cases.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;
namespace ls = mosslib::lineshape;

constexpr double kC[6] = {-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163};
constexpr double kS[6] = {-1, 1, 1, 1, 1, -1};

std::vector<double> run(void (*model)(const double *, double *), const Params &p, int channels = 256) {
    std::vector<double> out(channels);
    model(p.data(), out.data());
    return out;
}

double linear_v(const Params &p, double n) { return (n - p[13]) * p[12]; }

double position(const Params &p, int k) { return p[1] * kC[k] + kS[k] * p[3] + p[2] / 2; }

// ---- Linear scale ------------------------------------------------------------------

TEST(GeneralSextet, EachLineIsALorentzianOfItsOwnWidthAtItsOwnPosition) {
    for (int k = 0; k < 6; ++k) {
        Params p = iron_general();
        p[3] = 0.12;
        for (int j = 6; j <= 11; ++j) p[j] = (j == 6 + k) ? 2.0 : 0.0;
        p[14 + k] = 0.1 + 0.07 * k;
        const auto out = run(ls::general_sextet_linear, p);
        // Alone, the line holds the whole area: height 2 * area / (3.1416 * w).
        const double w = p[14 + k], x = position(p, k), h = 2 * p[5] / (3.1416 * w);
        for (int n = 1; n <= 256; ++n) {
            const double t = 2 * (linear_v(p, n) - x) / w;
            EXPECT_LT(rel_error(out[n - 1], h / (1 + t * t)), 1e-13) << "line " << k + 1 << " channel " << n;
        }
    }
}

TEST(GeneralSextet, LinesPeakWhereFieldHalvedShiftAndWholeQuadrupolePutThem) {
    Params p = iron_general();
    p[3] = 0.1;
    for (int k = 0; k < 6; ++k) p[14 + k] = 0.15;
    const auto out = run(ls::general_sextet_linear, p);
    const auto peaks = local_maxima(out.data(), 256);
    ASSERT_EQ(peaks.size(), 6u);
    for (int k = 0; k < 6; ++k)
        EXPECT_NEAR(linear_v(p, parabolic_peak(out.data(), peaks[k]) + 1), position(p, k), 0.01) << k + 1;
}

// With equal widths w, quadrupole q and shift d the general sextet is the magnetic sextet
// with width w, quadrupole 2q and shift d/2, apart from the inner position coefficients.
TEST(GeneralSextet, IsTheMagneticSextetWithDoubledQuadrupoleAndHalvedShift) {
    Params g = iron_general();
    g[2] = 0.37;
    g[3] = 0.09;
    for (int k = 0; k < 6; ++k) g[14 + k] = 0.27;
    Params m = iron_sext();
    m[1] = g[1];
    m[2] = g[2] / 2;
    m[3] = 2 * g[3];
    m[4] = 0.27;

    // Outer lines alone (their coefficient is the same in both): identical bits.
    for (int k : {7, 8, 9, 10}) g[k] = m[k] = 0.0;
    auto a = run(ls::general_sextet_linear, g), b = run(ls::magnetic_sextet, m);
    for (int i = 0; i < 256; ++i) EXPECT_TRUE(same_bits(a[i], b[i])) << i;

    // Zero field: no coefficient matters, all six lines, identical bits.
    g = iron_general(), m = iron_sext();
    g[1] = m[1] = 0.0;
    g[2] = 0.37, m[2] = g[2] / 2;
    g[3] = 0.09, m[3] = 2 * g[3];
    for (int k = 0; k < 6; ++k) g[14 + k] = m[4] = 0.27;
    a = run(ls::general_sextet_linear, g), b = run(ls::magnetic_sextet, m);
    for (int i = 0; i < 256; ++i) EXPECT_TRUE(same_bits(a[i], b[i])) << i;

    // With the field the inner lines differ: 0.09438142 against 0.0934 is 0.031 mm/s at 33 T.
    g = iron_general(), m = iron_sext();
    m[2] = g[2] / 2;
    for (int k = 0; k < 6; ++k) g[14 + k] = m[4] = 0.15;
    a = run(ls::general_sextet_linear, g), b = run(ls::magnetic_sextet, m);
    const auto pa = local_maxima(a.data(), 256), pb = local_maxima(b.data(), 256);
    ASSERT_EQ(pa.size(), 6u);
    ASSERT_EQ(pb.size(), 6u);
    for (int k = 0; k < 6; ++k) {
        const double shift = linear_v(g, parabolic_peak(a.data(), pa[k])) - linear_v(m, parabolic_peak(b.data(), pb[k]));
        const double want = 33.0 * (kC[k] - std::array{-0.163, -0.0934, -0.0255, 0.0255, 0.0934, 0.163}[k]);
        EXPECT_NEAR(shift, want, 0.004) << "line " << k + 1;
    }
}

double expected_area(const Params &p, double lo, double hi) {
    double S = 0;
    for (int k = 0; k < 6; ++k) S += p[6 + k];
    double sum = 0;
    for (int k = 0; k < 6; ++k) {
        const double A = kAreaRatio * p[5] * p[6 + k] / S, w = p[14 + k];
        sum += lorentzian_area(2 * A / (M_PI * w), w, position(p, k), lo, hi);
    }
    return sum;
}

TEST(GeneralSextet, WidthChangesTheShapeNotTheArea) {
    Params p = iron_general();
    p[5] = 1.7;
    const double lo = linear_v(p, 1), hi = linear_v(p, 256);
    const auto narrow = run(ls::general_sextet_linear, p);
    p[16] = 0.6;  // line 3 broadened
    const auto broad = run(ls::general_sextet_linear, p);
    // Same area once the part outside the window is added back.
    Params q = p;
    q[16] = 0.24;
    const double in_narrow = trapezoid(narrow.data(), 256, p[12]), in_broad = trapezoid(broad.data(), 256, p[12]);
    EXPECT_NEAR(in_narrow, expected_area(q, lo, hi), 1e-4 * p[5]);
    EXPECT_NEAR(in_broad, expected_area(p, lo, hi), 1e-4 * p[5]);
    EXPECT_NEAR(in_narrow + (kAreaRatio * p[5] - expected_area(q, lo, hi)),
                in_broad + (kAreaRatio * p[5] - expected_area(p, lo, hi)), 1e-4 * p[5]);
    // The broadened line is lower at its centre.
    const auto centre = static_cast<std::size_t>(std::lround(position(p, 2) / p[12] + p[13])) - 1;
    EXPECT_LT(broad[centre], 0.6 * narrow[centre]);
}

TEST(GeneralSextet, ScalesWithAreaNotWithTheIntensityScale) {
    Params p = iron_general_sine();
    const auto base = run(ls::general_sextet_sine, p);
    Params q = p;
    q[5] *= 4;
    const auto four = run(ls::general_sextet_sine, q);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(four[i], 4 * base[i]) << i;
    q = p;
    for (int k = 6; k <= 11; ++k) q[k] *= 0.37;
    const auto same = run(ls::general_sextet_sine, q);
    for (int i = 0; i < 256; ++i) EXPECT_LT(rel_error(same[i], base[i]), 1e-14) << i;
}

// ---- Velocity scales, read back from the spectrum ------------------------------------
// Field 0 and no quadrupole put all six lines at p2/2 with one width w and total height
// H = 2 area / (3.1416 w); far below the window the value L at a channel gives back its
// velocity, v = p2/2 + (w/2) sqrt(H/L - 1).

Params probe(double amplitude_or_step, double zero) {
    Params p = iron_general();
    p[1] = 0.0;
    p[2] = -200.0;
    for (int k = 0; k < 6; ++k) p[14 + k] = 1.0;
    p[12] = amplitude_or_step;
    p[13] = zero;
    return p;
}

std::vector<double> probe_velocities(const Params &p, const std::vector<double> &out) {
    const double H = 2 * p[5] / 3.1416;
    std::vector<double> v;
    for (double L : out) v.push_back(p[2] / 2 + 0.5 * std::sqrt(H / L - 1));
    return v;
}

TEST(GeneralSextetScales, LinearScale) {
    const Params p = probe(0.061, 130.0);
    const auto v = probe_velocities(p, run(ls::general_sextet_linear, p));
    for (int n = 1; n <= 256; ++n) EXPECT_NEAR(v[n - 1], (n - 130.0) * 0.061, 1e-9) << n;
}

TEST(GeneralSextetScales, SineScaleSpansAlmostTheWholeAmplitude) {
    const Params p = probe(7.5, 128.5);
    const auto v = probe_velocities(p, run(ls::general_sextet_sine, p));
    for (int n = 1; n <= 256; ++n) EXPECT_NEAR(v[n - 1], 7.5 * std::sin((n - 128.5) * 0.01226563), 1e-9) << n;
    // Channels 1 and 256 at phases -+1.563867825 rad, where the sine is -+0.999976.
    EXPECT_NEAR(v[0], -7.5 * 0.999976, 1e-5);
    EXPECT_NEAR(v[255], 7.5 * 0.999976, 1e-5);
}

TEST(GeneralSextetScales, LongSineScaleUsesTheCallersChannelsPerRadian) {
    Params p = probe(7.5, 256.5);
    p[20] = 512 / M_PI;  // 512 channels over one half period
    const auto v = probe_velocities(p, run(ls::general_sextet_sine_long, p, 512));
    for (int n = 1; n <= 512; ++n) EXPECT_NEAR(v[n - 1], 7.5 * std::sin((n - 256.5) / p[20]), 1e-9) << n;
    EXPECT_NEAR(v[0], -7.5, 1e-4);
    EXPECT_NEAR(v[511], 7.5, 1e-4);
}

TEST(GeneralSextetScales, LongScaleWithTheFixedStepRepeatsTheShortOne) {
    Params p = iron_general_sine();
    p[3] = 0.07;
    p[20] = 1 / 0.01226563;
    const auto shorter = run(ls::general_sextet_sine, p);
    const auto longer = run(ls::general_sextet_sine_long, p, 512);
    for (int i = 0; i < 256; ++i) EXPECT_LT(rel_error(longer[i], shorter[i]), 1e-12) << i;
    // Beyond channel 256 the phase passes pi/2 and the sweep turns back.
    const auto v = probe_velocities(probe(7.0, 128.5), [&] {
        Params q = probe(7.0, 128.5);
        q[20] = 1 / 0.01226563;
        return run(ls::general_sextet_sine_long, q, 512);
    }());
    EXPECT_NEAR(v[299], 7.0 * std::sin((300 - 128.5) * 0.01226563), 1e-9);
    EXPECT_LT(v[299], v[255]);
}

TEST(GeneralSextetScales, ZeroChannelIsAtRestAndOppositeChannelsAtOppositeVelocities) {
    Params p = iron_general_sine();
    p[2] = 0.0;
    p[13] = 128.0;
    const auto out = run(ls::general_sextet_sine, p);
    for (int j = 1; j <= 127; ++j) EXPECT_LT(rel_error(out[127 - j], out[127 + j]), 1e-14) << j;

    p[12] = 0.0;  // no drive: every channel sees velocity 0
    const auto flat = run(ls::general_sextet_sine, p);
    for (int i = 1; i < 256; ++i) EXPECT_EQ(flat[i], flat[0]) << i;
}

TEST(GeneralSextetScales, SinePeaksAtTheChannelOfEachLineAndEndsAreDenser) {
    const Params p = iron_general_sine();
    const auto out = run(ls::general_sextet_sine, p);
    const auto peaks = local_maxima(out.data(), 256);
    ASSERT_EQ(peaks.size(), 6u);
    for (int k = 0; k < 6; ++k) {
        const double channel = p[13] + std::asin(position(p, k) / p[12]) / 0.01226563;
        EXPECT_NEAR(parabolic_peak(out.data(), peaks[k]) + 1, channel, 0.1) << "line " << k + 1;
    }
    // A line near the end of the sweep covers more channels above half height than one near rest.
    auto channels_above_half = [](const std::vector<double> &y) {
        const double top = *std::max_element(y.begin(), y.end());
        return std::count_if(y.begin(), y.end(), [&](double x) { return x > top / 2; });
    };
    Params q = probe(7.0, 128.5);
    q[2] = 0.0;
    const auto centre = run(ls::general_sextet_sine, q);
    q[2] = 2 * 6.5;
    const auto edge = run(ls::general_sextet_sine, q);
    EXPECT_GT(channels_above_half(edge), channels_above_half(centre) + 2);
}

TEST(GeneralSextetScales, DegenerateScalesGiveNaN) {
    Params p = iron_general_sine();
    p[20] = 0.0;  // no channels per radian
    for (double x : run(ls::general_sextet_sine_long, p, 512)) EXPECT_TRUE(std::isnan(x));
    p = iron_general();
    p[15] = 0.0;  // one zero width
    int nan = 0;
    for (double x : run(ls::general_sextet_linear, p)) nan += std::isnan(x);
    EXPECT_EQ(nan, 256);
}

}  // namespace
