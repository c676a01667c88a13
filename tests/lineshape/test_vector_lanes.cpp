// The channel loops of the analytic models run on AVX2 lanes where the processor has
// them and on the baseline (SSE2) lanes otherwise. Every model must give the same bits
// on both, NaN and infinity included, for ordinary, random and degenerate parameters.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/vector_lanes.h"
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
using mosslib::common::allow_avx2_lanes;
using mosslib::common::avx2_lanes;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Model {
    const char *name;
    void (*fn)(const double *, double *);
    int channels;
};

const Model kModels[] = {
    {"sext", ls::magnetic_sextet, 256},
    {"sextgen", ls::general_sextet_linear, 256},
    {"sextgen_ss", ls::general_sextet_sine, 256},
    {"sextgen_sl", ls::general_sextet_sine_long, 512},
    {"doubl", ls::quadrupole_doublet, 256},
    {"VogGenVel_ss", ls::voigt_sextet, 256},
    {"CSTfdll", ls::two_component_sextet, 256},
};

std::vector<double> on_lanes(const Model &m, const Params &p, bool wide) {
    allow_avx2_lanes(wide);
    std::vector<double> out(m.channels, -1.0);
    m.fn(p.data(), out.data());
    allow_avx2_lanes(true);
    return out;
}

// Both lane widths, bit for bit; returns the spectrum.
std::vector<double> expect_lanes_agree(const Model &m, const Params &p, const std::string &what) {
    const std::vector<double> wide = on_lanes(m, p, true), base = on_lanes(m, p, false);
    for (int i = 0; i < m.channels; ++i)
        EXPECT_TRUE(same_bits(wide[i], base[i]))
            << m.name << ", " << what << ", channel " << i + 1 << ": " << wide[i] << " vs " << base[i];
    return wide;
}

class VectorLanes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!avx2_lanes()) GTEST_SKIP() << "the processor has no AVX2; only the baseline lanes run";
    }
};

TEST_F(VectorLanes, TheSwitchChoosesTheBaseline) {
    allow_avx2_lanes(false);
    EXPECT_FALSE(avx2_lanes());
    allow_avx2_lanes(true);
    EXPECT_TRUE(avx2_lanes());
}

// Ordinary spectra and random parameters over the models' working ranges; every index
// any model reads is set, so each parameter set serves every model.
TEST_F(VectorLanes, OrdinaryAndRandomParametersGiveTheSameBits) {
    std::vector<Params> sets = {iron_sext(), iron_general(), iron_general_sine(), iron_two_component(),
                                ferric_doublet()};
    std::mt19937_64 rng(1307);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int trial = 0; trial < 24; ++trial) {
        Params p{};
        p[1] = trial % 3 ? 55 * U(rng) : 0.3 + 2 * U(rng);
        p[2] = -1 + 2 * U(rng), p[3] = -0.5 + U(rng), p[4] = 0.05 + 0.5 * U(rng), p[5] = 0.1 + 3 * U(rng);
        for (int k = 6; k <= 11; ++k) p[k] = 3 * U(rng);
        p[12] = trial % 2 ? 0.02 + 0.1 * U(rng) : 4 + 8 * U(rng);
        p[13] = 512 * U(rng) - 128;
        for (int k = 14; k <= 19; ++k) p[k] = 0.05 + 0.5 * U(rng);
        p[20] = 60 + 120 * U(rng), p[21] = 0.05 + 0.3 * U(rng), p[22] = -0.5 + U(rng);
        sets.push_back(p);
    }
    for (std::size_t s = 0; s < sets.size(); ++s)
        for (const Model &m : kModels) expect_lanes_agree(m, sets[s], "set " + std::to_string(s));
}

// A zero width puts 0/0 (or inf/inf) into the lines; the NaN must reach the same channels
// on both lanes. The doublet (p[3] its width) and the sextets (p[4], p[14..19]) are all
// NaN then: their heights are infinite.
TEST_F(VectorLanes, ZeroWidthGivesNaNOnBothLanes) {
    Params p = iron_general();
    p[3] = 0.0, p[4] = 0.0;
    for (int k = 14; k <= 19; ++k) p[k] = 0.0;
    for (const Model &m : kModels) {
        if (std::string(m.name) == "CSTfdll" || std::string(m.name) == "VogGenVel_ss") continue;
        const std::vector<double> out = expect_lanes_agree(m, p, "zero width");
        for (int i = 0; i < m.channels; ++i) EXPECT_TRUE(std::isnan(out[i])) << m.name << " channel " << i + 1;
    }
    // The two-component sextet with a = 0 and zero widths: the first component's half
    // widths vanish, and a channel exactly at a line position divides 0 by 0 there.
    Params c = iron_two_component();
    c[1] = 0.0, c[2] = 0.0, c[3] = 0.0, c[4] = 0.0, c[5] = 1.0, c[20] = -0.0;
    for (int k = 14; k <= 19; ++k) c[k] = 0.0;
    for (int k = 0; k < 6; ++k) c[6 + k] = 1.0;
    c[13] = 128.0;  // channel 128 at velocity 0, where every line sits
    const std::vector<double> out = expect_lanes_agree(kModels[6], c, "zero half widths");
    EXPECT_TRUE(std::isnan(out[127]));
}

// Non-finite and extreme parameters: every lane must follow IEEE arithmetic alike.
TEST_F(VectorLanes, NonFiniteAndExtremeParametersGiveTheSameBits) {
    const double specials[] = {kInf, -kInf, std::nan(""), -0.0, 0.0, 1e-310, -1e-310, 1e300, -1e300, 1e-160};
    const Params bases[] = {iron_general(), iron_general_sine(), iron_two_component(), ferric_doublet()};
    for (std::size_t b = 0; b < std::size(bases); ++b)
        for (int index = 1; index <= 22; ++index)
            for (double x : specials) {
                Params p = bases[b];
                p[index] = x;
                for (const Model &m : kModels) {
                    // The Voigt sextet's scalar libm calls make it slow; a few indices suffice.
                    if (m.fn == ls::voigt_sextet && index != 12 && index != 14 && index != 21) continue;
                    expect_lanes_agree(m, p, "base " + std::to_string(b) + ", p[" + std::to_string(index) +
                                                 "] = " + std::to_string(x));
                }
            }
}

}  // namespace
