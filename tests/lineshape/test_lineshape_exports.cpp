// The seven analytic exports as a host calls them: return value, exactly the channels
// they own, parameters they do not read, the line of each intensity, and concurrent
// calls. (The priority step of every export is checked in tests/boundary.)
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "lineshape_cases.h"
#include "mosslib.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;

struct Export {
    const char *name;
    double (*fn)(const double *, double *);
    int channels;
    std::vector<int> reads;  // parameter indices the model reads
    bool lowers_priority;
    Params params;           // a realistic case
};

std::vector<int> range(std::initializer_list<std::pair<int, int>> spans) {
    std::vector<int> out;
    for (auto [a, b] : spans)
        for (int i = a; i <= b; ++i) out.push_back(i);
    return out;
}

const std::vector<Export> &exports() {
    static const std::vector<Export> all = [] {
        Params voigt = iron_general_sine();
        voigt[21] = 0.15, voigt[22] = 0.3;
        Params long_sine = iron_general_sine();
        long_sine[13] = 256.5, long_sine[20] = 512 / M_PI;
        return std::vector<Export>{
            {"sext", sext, 256, range({{1, 13}}), true, iron_sext()},
            {"sextgen", sextgen, 256, range({{1, 3}, {5, 19}}), true, iron_general()},
            {"sextgen_ss", sextgen_ss, 256, range({{1, 3}, {5, 19}}), true, iron_general_sine()},
            {"sextgen_sl", sextgen_sl, 512, range({{1, 3}, {5, 20}}), true, long_sine},
            {"doubl", doubl, 256, range({{1, 6}}), false, ferric_doublet()},
            {"VogGenVel_ss", VogGenVel_ss, 256, range({{1, 3}, {5, 19}, {21, 22}}), true, voigt},
            {"CSTfdll", CSTfdll, 256, range({{1, 20}}), true, iron_two_component()},
        };
    }();
    return all;
}

constexpr double kUnwritten = 7.25e77;  // a value no model produces here

TEST(LineshapeExports, ReturnPointOneWhateverTheInput) {
    for (const Export &e : exports()) {
        Params zero{};
        Params nan;
        nan.fill(kNaN);
        for (const Params *p : {&e.params, static_cast<const Params *>(&zero), static_cast<const Params *>(&nan)}) {
            GuardedSpectrum out(e.channels);
            EXPECT_EQ(e.fn(p->data(), out.data()), 0.1) << e.name;
            EXPECT_STREQ(mosslib_last_error(), "") << e.name;
        }
    }
}

TEST(LineshapeExports, WriteEveryChannelTheyOwnAndNothingBeyond) {
    for (const Export &e : exports()) {
        GuardedSpectrum out(e.channels, kUnwritten);
        const Params before = e.params;
        e.fn(e.params.data(), out.data());
        EXPECT_TRUE(out.guard_intact()) << e.name;
        for (int i = 0; i < e.channels; ++i) {
            EXPECT_NE(out[i], kUnwritten) << e.name << " channel " << i + 1;
            EXPECT_TRUE(std::isfinite(out[i])) << e.name << " channel " << i + 1;
        }
        EXPECT_EQ(std::memcmp(before.data(), e.params.data(), sizeof before), 0) << e.name;
    }
}

TEST(LineshapeExports, ParametersTheyDoNotReadHaveNoInfluence) {
    for (const Export &e : exports()) {
        GuardedSpectrum reference(e.channels);
        e.fn(e.params.data(), reference.data());
        for (double filler : {kNaN, -1e300, 0.0, 42.0}) {
            Params p;
            p.fill(filler);
            for (int i : e.reads) p[i] = e.params[i];
            GuardedSpectrum out(e.channels);
            e.fn(p.data(), out.data());
            for (int i = 0; i < e.channels; ++i)
                ASSERT_TRUE(same_bits(out[i], reference[i])) << e.name << " filler " << filler << " channel " << i + 1;
        }
        // And each index it does read matters somewhere.
        for (int i : e.reads) {
            Params p = e.params;
            p[i] = p[i] * 1.5 + 0.37;
            GuardedSpectrum out(e.channels);
            e.fn(p.data(), out.data());
            bool differs = false;
            for (int c = 0; c < e.channels; ++c) differs |= !same_bits(out[c], reference[c]);
            EXPECT_TRUE(differs) << e.name << " index " << i;
        }
    }
}

// Velocity of channel n (from 1) on the scale of each export, written out here.
double velocity(const Export &e, const Params &p, int n) {
    const std::string name = e.name;
    if (name == "sext" || name == "sextgen") return (n - p[13]) * p[12];
    if (name == "sextgen_sl") return p[12] * std::sin((n - p[13]) / p[20]);
    return sine_scale(n, p[13], p[12]);
}

// Documented position of line k (0-based) of each sextet export.
double line_position(const Export &e, const Params &p, int k) {
    static const double c_sext[6] = {-0.163, -0.0934, -0.0255, 0.0255, 0.0934, 0.163};
    static const double c_general[6] = {-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163};
    const double s = (k == 0 || k == 5) ? -1 : 1;
    const std::string name = e.name;
    if (name == "sext") return p[1] * c_sext[k] + s * p[3] / 2 + p[2];
    if (name == "CSTfdll") return p[1] * c_general[k] + p[2];  // first component's offset
    return p[1] * c_general[k] + s * p[3] + p[2] / 2;
}

TEST(LineshapeExports, EachIntensityBelongsToItsOwnLine) {
    // Intensity k alone gives one line, at the documented position of line k; with all
    // six intensities the spectrum is the intensity-weighted sum of those single lines.
    const double intensity[6] = {3.0, 1.5, 0.7, 1.2, 2.5, 2.9};
    for (const Export &e : exports()) {
        if (std::string(e.name) == "doubl") continue;
        Params all = e.params;
        all[3] = 0.05;  // a quadrupole term where the model has one
        if (std::string(e.name) == "CSTfdll") all[3] = all[2];
        double sum = 0;
        for (int k = 0; k < 6; ++k) sum += (all[6 + k] = intensity[k]);
        GuardedSpectrum full(e.channels);
        e.fn(all.data(), full.data());
        std::vector<double> combined(e.channels, 0.0);
        for (int k = 0; k < 6; ++k) {
            Params one = all;
            for (int j = 0; j < 6; ++j) one[6 + j] = j == k ? intensity[k] : 0.0;
            GuardedSpectrum single(e.channels);
            e.fn(one.data(), single.data());
            int top = 0;
            for (int i = 0; i < e.channels; ++i) {
                if (single[i] > single[top]) top = i;
                combined[i] += intensity[k] / sum * single[i];
            }
            const double v = velocity(e, all, top + 1);
            int nearest = 0;
            for (int j = 0; j < 6; ++j)
                if (std::fabs(v - line_position(e, all, j)) < std::fabs(v - line_position(e, all, nearest))) nearest = j;
            EXPECT_EQ(nearest, k) << e.name << ": intensity " << k + 1 << " peaks at " << v << " mm/s";
        }
        for (int i = 0; i < e.channels; ++i) EXPECT_LT(rel_error(full[i], combined[i]), 1e-12) << e.name << " " << i;
    }
}

TEST(LineshapeExports, ConcurrentCallsGiveTheSerialResults) {
    std::vector<std::vector<double>> serial;
    for (const Export &e : exports()) {
        serial.emplace_back(e.channels);
        e.fn(e.params.data(), serial.back().data());
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round)
                for (std::size_t k = 0; k < exports().size(); ++k) {
                    const Export &e = exports()[(k + t) % exports().size()];
                    std::vector<double> out(e.channels);
                    e.fn(e.params.data(), out.data());
                    for (int i = 0; i < e.channels; ++i)
                        mismatches[t] += !same_bits(out[i], serial[(k + t) % exports().size()][i]);
                }
        });
    for (auto &th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
