// Bit-level guard of the order of operations: the models evaluate line by line over all
// channels with per-line constants formed once; that must give the bits of the formulas
// evaluated channel by channel as written. It restates the formulas, so it shows only
// that a rearrangement changed no bit; what the formulas mean (positions, areas, the
// line of each intensity, the scales) is checked independently in the model tests and
// in test_lineshape_exports.cpp. Random parameters (fixed seed) exercise the rounding of
// every step.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "lineshape/doubl.h"
#include "lineshape/general_sextet.h"
#include "lineshape/sext.h"
#include "lineshape/two_component_sextet.h"
#include "lineshape/voigt_sextet.h"
#include "lineshape_cases.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;
namespace ls = mosslib::lineshape;

constexpr double kSextC[6] = {-0.163, -0.0934, -0.0255, 0.0255, 0.0934, 0.163};
constexpr double kGenC[6] = {-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163};
constexpr double kS[6] = {-1, 1, 1, 1, 1, -1};

double L(double v, double x, double h, double w) {
    const double t = ((v - x) * 2.0) / w;
    return h / (t * t + 1.0);
}

std::vector<double> plain_sext(const double *p) {
    std::vector<double> out(256);
    const double S = p[6] + p[7] + p[8] + p[9] + p[10] + p[11];
    const double N = 3.1416 * S / (2 * p[5]);
    for (int n = 1; n <= 256; ++n) {
        const double v = (n - p[13]) * p[12];
        double acc = 0;
        for (int k = 0; k < 6; ++k) acc += L(v, p[1] * kSextC[k] + kS[k] * p[3] / 2 + p[2], p[6 + k] / (N * p[4]), p[4]);
        out[n - 1] = acc;
    }
    return out;
}

enum Scale { linear, sine, sine_long };

std::vector<double> plain_sextgen(const double *p, Scale scale) {
    const int channels = scale == sine_long ? 512 : 256;
    std::vector<double> out(channels);
    const double S = p[6] + p[7] + p[8] + p[9] + p[10] + p[11];
    const double N = 3.1416 * S / (2 * p[5]);
    for (int n = 1; n <= channels; ++n) {
        const double v = scale == linear ? (n - p[13]) * p[12]
                         : scale == sine ? p[12] * std::sin((n - p[13]) * 0.01226563)
                                         : p[12] * std::sin((n - p[13]) / p[20]);
        double acc = 0;
        for (int k = 0; k < 6; ++k)
            acc += L(v, p[1] * kGenC[k] + kS[k] * p[3] + p[2] / 2, p[6 + k] / (N * p[14 + k]), p[14 + k]);
        out[n - 1] = acc;
    }
    return out;
}

std::vector<double> plain_doubl(const double *p) {
    std::vector<double> out(256);
    for (int n = 1; n <= 256; ++n) {
        const double v = (n - p[6]) * p[5];
        const double h = p[4] / (3.1416 * p[3]);
        out[n - 1] = L(v, p[1] - p[2] / 2, h, p[3]) + L(v, p[1] + p[2] / 2, h, p[3]);
    }
    return out;
}

std::vector<double> plain_cst(const double *p) {
    std::vector<double> out(256);
    const double S = p[6] + p[7] + p[8] + p[9] + p[10] + p[11];
    const double M = 3.1416 * S / 2;
    const double a = p[4], b = p[5], G = a + b;
    for (int n = 1; n <= 256; ++n) {
        const double v = p[12] * std::sin((n - p[13]) * 0.01226563);
        double T = 0;
        for (int k = 0; k < 6; ++k) {
            const double I = p[6 + k], w = p[14 + k];
            const double d1 = v - (kGenC[k] * p[1] + p[2]), d2 = v - (kGenC[k] * p[1] + p[3]);
            const double h1 = (a + w) / 2, h2 = (a + w) / 2 + b + p[20];
            T = T + I * (a / G) * h2 / (d2 * d2 + h2 * h2);
            T = T + I * (b / G) * h1 / (d1 * d1 + h1 * h1);
            T = T - I * (b / G) * a * (d1 * d2 - h1 * h2) / ((d1 * d1 + h1 * h1) * (d2 * d2 + h2 * h2));
        }
        out[n - 1] = T / M;
    }
    return out;
}

std::vector<double> plain_voigt(const double *p) {
    std::vector<double> out(256);
    const double S = p[6] + p[7] + p[8] + p[9] + p[10] + p[11];
    const double N = 3.1416 * S / (2 * p[5]);
    for (int n = 1; n <= 256; ++n) {
        const double v = p[12] * std::sin((n - p[13]) * 0.01226563);
        double acc = 0;
        for (int k = 0; k < 6; ++k) {
            const double x = p[1] * kGenC[k] + kS[k] * p[3] + p[2] / 2, w = p[14 + k];
            acc += p[6 + k] / (N * w) * ls::voigt_interval(v, x, p[21], w, p[22]);
        }
        out[n - 1] = acc;
    }
    return out;
}

template <class F>
void expect_same_bits(const char *what, F model, const std::vector<double> &want, const Params &p) {
    std::vector<double> got(want.size());
    model(p.data(), got.data());
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_TRUE(same_bits(got[i], want[i])) << what << " channel " << i + 1;
}

TEST(StraightforwardEvaluation, EveryModelGivesTheBitsOfItsFormula) {
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        Params p{};
        p[1] = 20 + 35 * U(rng);
        p[2] = -1 + 2 * U(rng);
        p[3] = -0.5 + U(rng);
        p[4] = 0.1 + 0.5 * U(rng);
        p[5] = 0.1 + 3 * U(rng);
        for (int k = 6; k <= 11; ++k) p[k] = 0.1 + 3 * U(rng);
        p[12] = trial % 2 ? 0.02 + 0.1 * U(rng) : 4 + 8 * U(rng);
        p[13] = 100 + 60 * U(rng);
        for (int k = 14; k <= 19; ++k) p[k] = 0.1 + 0.5 * U(rng);
        p[20] = 60 + 120 * U(rng);
        p[21] = 0.05 + 0.3 * U(rng);
        p[22] = -0.5 + U(rng);
        expect_same_bits("sext", ls::magnetic_sextet, plain_sext(p.data()), p);
        expect_same_bits("sextgen", ls::general_sextet_linear, plain_sextgen(p.data(), linear), p);
        expect_same_bits("sextgen_ss", ls::general_sextet_sine, plain_sextgen(p.data(), sine), p);
        expect_same_bits("sextgen_sl", ls::general_sextet_sine_long, plain_sextgen(p.data(), sine_long), p);
        expect_same_bits("CSTfdll", ls::two_component_sextet, plain_cst(p.data()), p);
        expect_same_bits("VogGenVel_ss", ls::voigt_sextet, plain_voigt(p.data()), p);
        Params d{};
        for (int i = 1; i <= 6; ++i) d[i] = p[i];
        d[5] = p[12], d[6] = p[13];
        expect_same_bits("doubl", ls::quadrupole_doublet, plain_doubl(d.data()), d);
    }
}

// The sines of a sine scale are kept per thread between calls with the same zero channel
// and phase step; any change of zero channel, phase step or scale must be seen, each
// also alone.
TEST(StraightforwardEvaluation, SineScalesFollowEveryChangeOfZeroChannelAndPhaseStep) {
    Params p = iron_general_sine();
    p[20] = 150.0;
    struct Step {
        double zero, channels_per_radian, amplitude;
        int scale;  // 0: fixed step (sextgen_ss), 1: channels per radian (sextgen_sl), 2: CSTfdll
    };
    // Rows 9, 10 and 15 change the channels per radian alone, the zero channel and the
    // scale kept from the call before: a table kept across them would be stale.
    const Step steps[] = {{128.5, 150, 7, 0},   {128.5, 150, 7, 0},   {128.0, 150, 7, 0}, {128.5, 150, 7, 0},
                          {128.5, 150, 7.5, 0}, {128.5, 150, 7, 1},   {128.5, 150, 7, 0}, {128.5, 151, 7, 1},
                          {128.5, 151, 7, 1},   {128.5, 152, 7, 1},   {128.5, 151, 7, 1}, {128.5, 151, 7, 2},
                          {-0.0, 151, 7, 1},    {0.0, 151, 7, 1},     {256.5, 162, 7, 1}, {256.5, 163, 7, 1},
                          {256.5, 162, 7, 0}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        p[13] = steps[i].zero, p[20] = steps[i].channels_per_radian, p[12] = steps[i].amplitude;
        switch (steps[i].scale) {
        case 0: expect_same_bits("sextgen_ss", ls::general_sextet_sine, plain_sextgen(p.data(), sine), p); break;
        case 1: expect_same_bits("sextgen_sl", ls::general_sextet_sine_long, plain_sextgen(p.data(), sine_long), p); break;
        default: {
            Params c = iron_two_component();
            c[12] = p[12], c[13] = p[13];
            expect_same_bits("CSTfdll", ls::two_component_sextet, plain_cst(c.data()), c);
        }
        }
    }
}

}  // namespace
