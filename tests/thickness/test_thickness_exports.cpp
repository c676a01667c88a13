// The thick-absorber exports as a host calls them: refusals leave NaN in the values the
// call owns and a reason, never touch memory beyond them, and clear on the next call;
// concurrent calls on several threads give the bits of a lone call; the catalogue
// lists the slots they read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mosslib.h"
#include "test_support.h"

namespace {

using mosslib::testing::GuardedSpectrum;

const std::vector<double> kSextet = {-5.3, 3, 0.25, 0, -3.08, 2, 0.25, 0, -0.84, 1, 0.25, 0.05,
                                     0.84, 1, 0.25, 0,  3.08,  2, 0.25, 0, 5.3,   3, 0.25, 0};

std::vector<double> axis(int n) {
    std::vector<double> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = -10.0 + 20.0 * i / (n - 1);
    return v;
}

TEST(ThickExports, RefuseImpossibleInputWithNaNAndAReason) {
    const std::vector<double> v = axis(64);
    struct Case {
        std::int32_t lines;
        double reals[6];
        double area3;
        const char *why;
    };
    const Case cases[] = {
        {0, {5, 0.7, 0.1, 0.25}, 1, "line count"},
        {6, {-1, 0.7, 0.1, 0.25}, 1, "thickness"},
        {6, {5, 1.5, 0.1, 0.25}, 1, "recoil-free"},
        {6, {5, 0.7, 0.0, 0.25}, 1, "source width"},
        {6, {5, 0.7, 0.1, NAN}, 1, "absorber width"},
        {6, {5, 0.7, 0.1, 0.25}, -1, "negative area"},
        {6, {5, 0.7, 1e-9, 0.25}, 1, "too narrow"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        std::vector<double> lines = kSextet;
        lines[8 + 1] = c.area3;
        GuardedSpectrum out(64);
        const std::int32_t ints[2] = {c.lines, 64};
        EXPECT_EQ(mosslib_thick_lines(ints, c.reals, lines.data(), v.data(), out.data()), 1);
        for (int i = 0; i < 64; ++i) EXPECT_TRUE(std::isnan(out[static_cast<std::size_t>(i)]));
        EXPECT_TRUE(out.guard_intact());
        EXPECT_NE(std::string(mosslib_last_error()).find(c.why), std::string::npos) << mosslib_last_error();
    }
    // A count that cannot be trusted writes nothing; a NULL array likewise.
    GuardedSpectrum out(4, 0.5);
    const std::int32_t bad[2] = {6, -3};
    const double reals[6] = {5, 0.7, 0.1, 0.25, -4.0, 0.5};
    mosslib_thick_lines(bad, reals, kSextet.data(), v.data(), out.data());
    EXPECT_EQ(out[0], 0.5);
    EXPECT_STRNE(mosslib_last_error(), "");
    const std::int32_t ok[2] = {6, 4};
    mosslib_thick_sampled(ok, reals, nullptr, v.data(), out.data());
    EXPECT_TRUE(std::isnan(out[0]) && out.guard_intact());
    mosslib_thick_lines(ok, reals, kSextet.data(), v.data(), out.data());
    EXPECT_STREQ(mosslib_last_error(), "");
    EXPECT_TRUE(out[0] > 0.0 && out[0] <= 1.0);
    // Zero thickness (or no resonant fraction) lets everything through.
    const double clear[4] = {0.0, 0.7, 0.1, 0.25};
    mosslib_thick_lines(ok, clear, kSextet.data(), v.data(), out.data());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)], 1.0);
}

TEST(ThickExports, ConcurrentCallsGiveTheBitsOfALoneCall) {
    const std::vector<double> v = axis(512);
    const std::int32_t ints[2] = {6, 512};
    const double reals[4] = {12.0, 0.7, 0.11, 0.25};
    std::vector<double> want(512);
    mosslib_thick_lines(ints, reals, kSextet.data(), v.data(), want.data());
    std::vector<std::vector<double>> got(4, std::vector<double>(512));
    std::vector<std::thread> threads;
    for (auto &g : got)
        threads.emplace_back([&] {
            for (int k = 0; k < 5; ++k) mosslib_thick_lines(ints, reals, kSextet.data(), v.data(), g.data());
        });
    for (auto &t : threads) t.join();
    for (const auto &g : got) EXPECT_EQ(std::memcmp(g.data(), want.data(), 512 * sizeof(double)), 0);
}

TEST(ThickExports, CatalogueListsTheSlotsRead) {
    for (const char *name : {"mosslib_thick_lines", "mosslib_thick_sampled"}) {
        SCOPED_TRACE(name);
        const mosslib_model *m = mosslib_model_named(name);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->scale, MOSSLIB_SCALE_NONE);
        double v[4];
        const std::int32_t ints[2] = {6, 4};
        const double reals[6] = {1, 1, 1, 1, 1, 1};
        EXPECT_EQ(mosslib_channel_velocities(m, ints, reals, v), -1);
        for (const char *p : {"t_a", "f_s", "source_width", "absorber_width", "channels"})
            EXPECT_GE(mosslib_param_index(m, p), 0) << p;
    }
    // Poisoning an unlisted real slot changes nothing (slots 4 and 5 are the sampled
    // variant's own).
    const std::vector<double> v = axis(32);
    const std::int32_t ints[2] = {6, 32};
    double reals[8] = {3.0, 0.7, 0.11, 0.25, 0, 0, 0, 0};
    std::vector<double> a(32), b(32);
    mosslib_thick_lines(ints, reals, kSextet.data(), v.data(), a.data());
    reals[4] = reals[5] = NAN;
    mosslib_thick_lines(ints, reals, kSextet.data(), v.data(), b.data());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(double) * 32), 0);
}

}  // namespace
