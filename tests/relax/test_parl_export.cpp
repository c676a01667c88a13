// The export parl: return value, defaults, normalisation, refused input, the caller's
// array beyond the channel count, degenerate input, and calls from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "parl_call.h"
#include "test_support.h"

namespace mosslib::testing {
namespace {

bool same(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(ParlExport, ReturnsOneAndCallerArraysStayUnchanged) {
    ParlCall c;
    const ParlCall before = c;
    std::vector<double> out(256);
    EXPECT_EQ(parl(c.ib.data(), c.db.data(), out.data()), 1);
    EXPECT_EQ(c.ib, before.ib);
    EXPECT_EQ(std::memcmp(c.db.data(), before.db.data(), sizeof c.db), 0);
    EXPECT_STREQ(mosslib_last_error(), "");
}

TEST(ParlExport, ZeroMinusZeroAndNaNTakeTheDefaults) {
    struct Default {
        int index;
        double value;
    };
    const Default defaults[] = {{4, 0.1}, {1, 1.0}, {10, 4.2}, {11, 2.0}, {12, 2.0}, {13, 2.0}};
    for (const Default &d : defaults) {
        ParlCall explicit_value;
        explicit_value.db[d.index] = d.value;
        const auto want = explicit_value.run();
        for (double zero : {0.0, -0.0, std::numeric_limits<double>::quiet_NaN()}) {
            ParlCall c;
            c.db[d.index] = zero;
            EXPECT_TRUE(same(c.run(), want)) << "DB " << d.index << " = " << zero;
        }
    }
    ParlCall all;
    all.ib[2] = 256;
    ParlCall zero;
    zero.ib[2] = 0;
    EXPECT_TRUE(same(zero.run(), all.run()));
}

TEST(ParlExport, OneUnsplitLineIsALorentzianAtThePlusShift) {
    // No spin, no field, no gradient: one line of FWHM line_width at velocity +shift,
    // here exactly on channel 133, scaled so that its centre absorbs amplitude.
    for (double amplitude : {0.5, 0.137, 1.0}) {
        ParlCall c;
        c.ib[1] = 1;
        c.db[1] = amplitude;
        c.db[5] = 128;
        c.db[6] = 0.4;
        c.db[9] = 0;
        c.db[19] = 0;
        const auto out = c.run();
        for (int ch = 1; ch <= 256; ++ch) {
            const double x = 2 * (c.velocity(ch) - 0.4) / 0.25;
            EXPECT_NEAR(out[ch - 1], 1 - amplitude / (1 + x * x), 2e-6) << amplitude << " channel " << ch;
        }
    }
}

TEST(ParlExport, ChannelsBeyondTheCountKeepTheCallersValues) {
    ParlCall full;
    const auto reference = full.run();
    ParlCall c;
    c.ib[2] = 100;
    const auto out = c.run(-7.25);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(out[i], reference[i]) << i;
    for (int i = 100; i < 256; ++i) ASSERT_EQ(out[i], -7.25) << i;
}

TEST(ParlExport, StructurallyImpossibleInputIsRefused) {
    struct Case {
        int index;
        int value;
    };
    const Case cases[] = {{1, 0}, {1, 7}, {1, -3}, {2, -1}, {2, 257}, {4, -1}};
    for (const Case &k : cases) {
        ParlCall c;
        c.ib[k.index] = k.value;
        std::vector<double> out(256 + 8, 3.0);
        EXPECT_EQ(parl(c.ib.data(), c.db.data(), out.data()), 1);
        for (int i = 0; i < 256; ++i) ASSERT_TRUE(std::isnan(out[i])) << "IB " << k.index << " channel " << i;
        for (int i = 256; i < 264; ++i) EXPECT_EQ(out[i], 3.0);
        EXPECT_GT(std::strlen(mosslib_last_error()), 10u) << "IB " << k.index;
    }
    ParlCall ok;
    ok.run();
    EXPECT_STREQ(mosslib_last_error(), "");
}

TEST(ParlExport, NoPositiveAbsorptionTransmitsFully) {
    // Channels 1e25 mm/s away from every line: absorption underflows to exactly zero.
    ParlCall c;
    c.ib[1] = 1;
    c.db[9] = 0;     // no field
    c.db[19] = 0;    // no quadrupole splitting
    c.db[27] = 0;
    c.db[4] = 1e25;  // vel_step
    c.db[5] = 0;
    const auto out = c.run();
    for (double x : out) ASSERT_EQ(x, 1.0);
}

TEST(ParlExport, NonPositiveWidthGivesNonFiniteValues) {
    for (double width : {0.0, -0.2}) {
        ParlCall c;
        c.db[7] = width;
        const auto out = c.run();
        for (double x : out) ASSERT_FALSE(std::isfinite(x)) << width;
        EXPECT_STREQ(mosslib_last_error(), "");
    }
}

TEST(ParlExport, RelaxationRateOfThousandStillCouplesStates) {
    ParlCall coupled;
    coupled.db[2] = 1000;
    ParlCall fast;
    fast.db[2] = 1000.5;
    EXPECT_FALSE(same(coupled.run(), fast.run()));
}

TEST(ParlExport, ExtremeTemperatureStaysFinite) {
    // At 0.01 K the upper states' populations underflow to zero.
    ParlCall c;
    c.db[10] = 0.01;
    c.db[2] = 0.5;
    for (double x : c.run()) ASSERT_TRUE(std::isfinite(x));
}

TEST(ParlExport, ConcurrentCallsMatchSequentialOnes) {
    ParlCall a;
    a.ib[4] = 1;
    a.ib[1] = 4;
    ParlCall b;
    b.ib[1] = 6;
    b.db[2] = 0.1;
    b.db[27] = 60;
    const auto want_a = a.run();
    const auto want_b = b.run();
    bool ok_a = true;
    bool ok_b = true;
    std::thread ta([&] {
        for (int i = 0; i < 4; ++i) ok_a = ok_a && same(a.run(), want_a);
    });
    std::thread tb([&] {
        for (int i = 0; i < 8; ++i) ok_b = ok_b && same(b.run(), want_b);
    });
    ta.join();
    tb.join();
    EXPECT_TRUE(ok_a);
    EXPECT_TRUE(ok_b);
}

}  // namespace
}  // namespace mosslib::testing
