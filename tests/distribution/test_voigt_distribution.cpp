// A Gaussian distribution of the field (or splitting) with every line position linear
// in it is a sum of Voigt lines. Checked against the definition: Lorentzian lines at the
// full Hamiltonian's pure magnetic positions, integrated over B numerically.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstring>
#include <numbers>
#include <thread>
#include <vector>

#include "catalog_call.h"
#include "common/thread_workspace.h"
#include "common/vector_lanes.h"
#include "hamiltonian/line_profiles.h"
#include "hamiltonian/static_site.h"
#include "mosslib.h"

namespace mosslib::testing {
namespace {

double lorentz(double x, double fwhm) {
    const double g = fwhm / 2.0;
    return g / (std::numbers::pi * (x * x + g * g));
}

// Simpson's rule of f over mean +- 12 sd against the Gaussian density.
double gaussian_average(const std::function<double(double)> &f, double mean, double sd) {
    const int n = 6000;
    const double a = mean - 12.0 * sd, h = 24.0 * sd / n;
    double s = 0.0;
    for (int i = 0; i <= n; ++i) {
        const double x = a + i * h, t = (x - mean) / sd;
        const double wgt = (i == 0 || i == n) ? 1.0 : (i % 2 ? 4.0 : 2.0);
        s += wgt * f(x) * std::exp(-0.5 * t * t);
    }
    return s * h / 3.0 / (sd * std::sqrt(2.0 * std::numbers::pi));
}

// Line positions per tesla of the pure magnetic site, by velocity, and their powder weights.
std::vector<std::pair<double, double>> sextet_per_tesla() {
    hamiltonian::SiteFrame f{};
    f.field[2] = 1.0;
    for (int i = 0; i < 3; ++i) f.beam[i][i] = 1.0 / 3.0;
    const hamiltonian::SiteLines s = hamiltonian::site_lines(f);
    std::vector<std::pair<double, double>> out;
    for (int j = 0; j < hamiltonian::kSiteLines; ++j)
        if (s.weight[j] > 1e-12) out.push_back({s.position[j], s.weight[j]});
    std::sort(out.begin(), out.end());
    return out;
}

TEST(VoigtDistribution, GaussianFieldDistributionEqualsTheIntegralOverB) {
    CatalogCall c("mosslib_field_distribution");
    c.set("channels", 512).set("velocity_step", 0.04).set("zero_channel", 256.5).set("components", 2);
    c.set("centre_shift", 0.3).set("centre_shift_per_T", 0.004).set("quadrupole_shift", -0.06);
    c.set("quadrupole_shift_per_T", 0.002).set("width", 0.22).set("area", 2.0);
    c.set("field1_T", 30.0).set("field_sd1_T", 2.0).set("weight1", 0.4);
    c.set("field2_T", 45.0).set("field_sd2_T", 4.0).set("weight2", 0.6);
    const std::vector<double> got = c.run();
    const auto lines = sextet_per_tesla();
    ASSERT_EQ(lines.size(), 6u);
    const double sign[6] = {-1, 1, 1, 1, 1, -1};  // lines 2-5 move by +quadrupole_shift
    const double peak = *std::max_element(got.begin(), got.begin() + 512);
    for (int ch = 1; ch <= 512; ch += 7) {
        const double v = (ch - 256.5) * 0.04;
        auto at_field = [&](double b) {
            double s = 0.0;
            for (int k = 0; k < 6; ++k) {
                const double x = 0.3 + 0.004 * (b - 30.0) + sign[k] * (-0.06 + 0.002 * (b - 30.0)) + lines[k].first * b;
                s += lines[k].second * lorentz(v - x, 0.22);
            }
            return s;
        };
        const double want = 2.0 * (0.4 * gaussian_average(at_field, 30.0, 2.0) + 0.6 * gaussian_average(at_field, 45.0, 4.0));
        EXPECT_NEAR(got[static_cast<std::size_t>(ch - 1)], want, 1e-8 * peak) << "channel " << ch;
    }
    // sd -> 0: the plain Lorentzian sextet (exactly at 0, continuously below it).
    c.set("components", 1).set("field_sd1_T", 0.0);
    const std::vector<double> plain = c.run();
    c.set("field_sd1_T", 1e-6);
    const std::vector<double> narrow = c.run();
    const double top = *std::max_element(plain.begin(), plain.begin() + 512);
    for (int ch = 1; ch <= 512; ++ch) {
        const double v = (ch - 256.5) * 0.04;
        double want = 0.0;
        for (int k = 0; k < 6; ++k) want += 2.0 * lines[k].second * lorentz(v - (0.3 + sign[k] * -0.06 + lines[k].first * 30.0), 0.22);
        const auto i = static_cast<std::size_t>(ch - 1);
        EXPECT_NEAR(plain[i], want, 1e-13 * top) << ch;
        EXPECT_NEAR(narrow[i], plain[i], 1e-9 * top) << ch;
    }
}

TEST(VoigtDistribution, GaussianSplittingDistributionEqualsTheIntegralOverQS) {
    CatalogCall c("mosslib_splitting_distribution");
    c.set("channels", 256).set("velocity_step", 0.025).set("zero_channel", 128.5).set("components", 2);
    c.set("centre_shift", 0.35).set("centre_shift_per_QS", 0.08).set("width", 0.24).set("area", 1.5);
    c.set("splitting1", 0.7).set("splitting_sd1", 0.15).set("weight1", 1.0);
    c.set("splitting2", 1.3).set("splitting_sd2", 0.3).set("weight2", 0.5);
    const std::vector<double> got = c.run();
    const double peak = *std::max_element(got.begin(), got.begin() + 256);
    for (int ch = 1; ch <= 256; ch += 5) {
        const double v = (ch - 128.5) * 0.025;
        auto at = [&](double qs) {
            const double cs = 0.35 + 0.08 * (qs - 0.7);
            return 0.5 * (lorentz(v - cs + qs / 2.0, 0.24) + lorentz(v - cs - qs / 2.0, 0.24));
        };
        const double want = 1.5 * (gaussian_average(at, 0.7, 0.15) + 0.5 * gaussian_average(at, 1.3, 0.3)) / 1.5;
        EXPECT_NEAR(got[static_cast<std::size_t>(ch - 1)], want, 1e-8 * peak) << "channel " << ch;
    }
}

}  // namespace
}  // namespace mosslib::testing

namespace mosslib::hamiltonian {
namespace {

const ProfileLine &broad_line() {
    static const ProfileLine line{0.4, 1.0, 0.25, 0.9};
    return line;
}

// The channel sum of a Voigt line (asymptotic series far out, Taylor steps about
// libcerf anchors near the line) against one libcerf call per channel, from Gaussian-
// to Lorentzian-dominated lines, narrow and broad against the channel spacing, either
// sweep direction, the line inside or outside the window.
TEST(VoigtLines, ChannelSumAgreesWithTheFaddeevaFunctionAtEveryChannel) {
    const int n = 700;
    std::vector<double> got(n);
    for (double step : {0.031, -0.08, 0.2})
        for (double gauss : {1e-4, 0.02, 0.1, 0.6, 2.5})
            for (double lorentz : {1e-3, 0.2, 1.5})
                for (double centre : {0.13, -7.9, 40.0}) {
                    const ProfileLine line{centre, 1.7, lorentz, gauss};
                    sum_profiles(&line, 1, 350.5, step, n, got.data());
                    const double peak = line.area * line_profile(line, line.centre);
                    for (int c = 1; c <= n; ++c) {
                        const double want = line.area * line_profile(line, (c - 350.5) * step);
                        ASSERT_NEAR(got[static_cast<std::size_t>(c - 1)], want, 5e-12 * peak)
                            << "step " << step << " gauss " << gauss << " lorentz " << lorentz << " centre " << centre
                            << " channel " << c;
                    }
                }
    // The baseline lanes give the same bits as the widest the processor offers.
    std::vector<double> baseline(n);
    common::allow_avx2_lanes(false);
    sum_profiles(&broad_line(), 1, 350.5, 0.031, n, baseline.data());
    common::allow_avx2_lanes(true);
    sum_profiles(&broad_line(), 1, 350.5, 0.031, n, got.data());
    EXPECT_EQ(std::memcmp(baseline.data(), got.data(), got.size() * sizeof(double)), 0);

    // A thread without memory for the work space takes libcerf at every channel near the line.
    const ProfileLine &broad = broad_line();
    std::vector<double> fallback(n);
    std::thread th([&] {
        common::simulate_out_of_memory(true);
        sum_profiles(&broad, 1, 350.5, 0.031, n, fallback.data());
        common::simulate_out_of_memory(false);
    });
    th.join();
    sum_profiles(&broad, 1, 350.5, 0.031, n, got.data());
    for (int c = 1; c <= n; ++c) {
        const auto i = static_cast<std::size_t>(c - 1);
        EXPECT_NEAR(fallback[i], broad.area * line_profile(broad, (c - 350.5) * 0.031), 5e-12 * fallback[350]);
        EXPECT_NEAR(got[i], fallback[i], 5e-12 * fallback[350]);
    }
}

}  // namespace
}  // namespace mosslib::hamiltonian
