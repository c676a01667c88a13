// The transmission integral against closed forms and limits that do not share its
// numerics: the area of a single thick line (Bessel functions), the thin limit (sums of
// Lorentzians), lines far apart (each its own share of t_a), a Voigt line against a
// Lorentzian of the same area in the Gaussian's narrow limit, and the same bits on
// every lane width.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "common/vector_lanes.h"
#include "thickness/transmission.h"

namespace mosslib::thickness {
namespace {

constexpr double kPi = std::numbers::pi;

std::vector<double> run(const Absorber &a, const std::vector<double> &lines, const std::vector<double> &v) {
    std::vector<double> out(v.size());
    const Outcome o = transmission_of_lines(a, lines.data(), static_cast<std::int32_t>(lines.size() / 4), v.data(),
                                            static_cast<std::int32_t>(v.size()), out.data());
    EXPECT_TRUE(o.ok()) << o.reason;
    return out;
}

// Mass of a Lorentzian of half width g beyond +-r.
double beyond(double r, double g) { return 1.0 - 2.0 / kPi * std::atan(r / g); }

// integral (1 - T) dv over [-r, r] by Simpson's rule, plus the tails beyond r of a single
// line of half width g: far out 1 - T = f_s [t_a sigma(v) + A L_s(v)], A the line's area
// in absorption (integral of 1 - e^{-t_a sigma}), up to terms in v^-4.
double area_of(const Absorber &a, const std::vector<double> &lines, double centre, double r, double g, double area) {
    // Simpson's rule piece by piece (10 mm/s each, each call on its own short grid): fine
    // steps on the piece that holds the line, coarser ones where 1 - T is smooth.
    double s = 0.0;
    for (double x0 = centre - r; x0 < centre + r - 1e-9; x0 += 10.0) {
        const bool line = std::fabs(x0 + 5.0 - centre) < 10.0;
        const int n = line ? 5000 : 500;
        std::vector<double> v(n + 1);
        for (int i = 0; i <= n; ++i) v[i] = x0 + 10.0 * i / n;
        const std::vector<double> t = run(a, lines, v);
        double piece = 0.0;
        for (int i = 0; i <= n; ++i) piece += (i == 0 || i == n ? 1.0 : (i % 2 ? 4.0 : 2.0)) * (1.0 - t[i]);
        s += piece * 10.0 / n / 3.0;
    }
    return s + a.source_fraction * (a.thickness * 0.5 * kPi * a.absorber_width * beyond(r, g) +
                                    area * beyond(r, 0.5 * a.source_width));
}

double closed_form_area(double fs, double gamma_a, double t) {
    return fs * 0.5 * kPi * gamma_a * t * std::exp(-t / 2) * (std::cyl_bessel_i(0.0, t / 2) + std::cyl_bessel_i(1.0, t / 2));
}

TEST(ThickLine, AreaFollowsTheClosedFormAtEveryThickness) {
    for (double t : {0.1, 1.0, 5.0, 30.0, 100.0}) {
        SCOPED_TRACE(t);
        const Absorber a{t, 0.8, 0.13, 0.21};
        const double want = closed_form_area(0.8, 0.21, t);
        const double got = area_of(a, {0.3, 1.0, 0.21, 0.0}, 0.3, 200.0, 0.5 * 0.21, want / 0.8);
        EXPECT_NEAR(got / want, 1.0, 1e-6);
    }
}

// Two lines 2000 mm/s apart saturate independently: near each, T is the single line's at
// its share of t_a (areas 1 : 3; the other line's tail there is below 1e-7).
TEST(ThickLine, DistantLinesEachTakeTheirShare) {
    const Absorber a{20.0, 0.6, 0.1, 0.3};
    const std::vector<double> lines = {-1000.0, 1.0, 0.3, 0.0, 1000.0, 3.0, 0.3, 0.0};
    for (auto [c, w] : {std::pair{-1000.0, 0.25}, std::pair{1000.0, 0.75}}) {
        std::vector<double> v;
        for (int i = 0; i < 101; ++i) v.push_back(c - 3.0 + 0.06 * i);
        const std::vector<double> both = run(a, lines, v);
        const std::vector<double> alone = run({20.0 * w, 0.6, 0.1, 0.3}, {c, 1.0, 0.3, 0.0}, v);
        for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(both[i], alone[i], 1e-7) << v[i];
    }
}

// t_a -> 0: 1 - T = t_a f_s (pi Gamma_a / 2) sum_k w_k L(v - c_k) with the widths of line
// and source added, to first order; the second order is t_a^2 below it.
TEST(ThickLine, ThinLimitIsTheConvolvedLinesTimesThickness) {
    const std::vector<double> lines = {-5.3, 3, 0.25, 0, -3.1, 2, 0.3, 0, -0.8, 1, 0.25, 0,
                                       0.9, 1, 0.25, 0, 3.1, 2, 0.2, 0, 5.3, 3, 0.25, 0};
    std::vector<double> v;
    for (int i = 0; i < 512; ++i) v.push_back(-10.0 + 20.0 * i / 511.0);
    const double t = 1e-7;
    const Absorber a{t, 0.7, 0.11, 0.25};
    const std::vector<double> got = run(a, lines, v);
    for (std::size_t i = 0; i < v.size(); ++i) {
        double thin = 0.0;
        for (std::size_t k = 0; k < 6; ++k) {
            const double g = 0.5 * (lines[4 * k + 2] + 0.11), d = v[i] - lines[4 * k];
            thin += lines[4 * k + 1] / 12.0 * g / (kPi * (d * d + g * g));
        }
        EXPECT_NEAR((1.0 - got[i]) / t, 0.7 * 0.5 * kPi * 0.25 * thin, 1e-6) << v[i];
    }
}

// A Voigt line keeps its area: its thick area lies below the Lorentzian's of the same
// area (it is spread thinner), and tends to it as the Gaussian narrows.
TEST(ThickLine, VoigtLineTendsToTheLorentzianAsTheGaussianNarrows) {
    const Absorber a{10.0, 1.0, 0.1, 0.2};
    const double lorentz = closed_form_area(1.0, 0.2, 10.0);
    const double wide = area_of(a, {0.0, 1.0, 0.2, 0.3}, 0.0, 200.0, 0.1, lorentz * 1.05);
    const double narrow = area_of(a, {0.0, 1.0, 0.2, 1e-4}, 0.0, 200.0, 0.1, lorentz);
    EXPECT_GT(wide, lorentz * 1.05);  // a wider line of the same area saturates less
    EXPECT_NEAR(narrow / lorentz, 1.0, 1e-6);
    // the profile itself: area 1 and the Lorentzian at s -> 0
    double s = 0.0;
    for (int i = -200000; i <= 200000; ++i) s += voigt(i * 1e-3, 0.1, 0.2) * 1e-3;
    EXPECT_NEAR(s + 2.0 * 0.1 / (kPi * 200.0), 1.0, 1e-8);
    EXPECT_NEAR(voigt(0.37, 0.1, 1e-9) / (0.1 / (kPi * (0.37 * 0.37 + 0.01))), 1.0, 1e-9);
}

TEST(ThickLine, SameBitsOnEveryLaneWidthAndCall) {
    const std::vector<double> lines = {-2.0, 1.0, 0.25, 0.1, 1.5, 2.0, 0.3, 0.0};
    std::vector<double> v;
    for (int i = 0; i < 301; ++i) v.push_back(-6.0 + 0.04 * i);
    const Absorber a{7.0, 0.75, 0.12, 0.25};
    const std::vector<double> wide = run(a, lines, v), again = run(a, lines, v);
    common::allow_avx2_lanes(false);
    const std::vector<double> narrow = run(a, lines, v);
    common::allow_avx2_lanes(true);
    EXPECT_EQ(std::memcmp(wide.data(), narrow.data(), v.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(wide.data(), again.data(), v.size() * sizeof(double)), 0);
}

// A sampled cross-section of a Gaussian-dominated line (no tails outside the samples)
// gives what the line gives.
TEST(ThickSampled, AgreesWithTheLinesItSamples) {
    const double s = 0.3 * 0.42466090014400953;
    std::vector<double> samples;
    for (int i = 0; i <= 2000; ++i) samples.push_back(voigt(-4.0 + 0.004 * i - 0.2, 1e-4, s));
    std::vector<double> v;
    for (int i = 0; i < 200; ++i) v.push_back(-3.0 + 0.03 * i);
    for (double t : {0.5, 10.0, 80.0}) {
        const Absorber a{t, 0.7, 0.11, 0.25};
        const std::vector<double> want = run(a, {0.2, 1.0, 2e-4, 0.3}, v);
        std::vector<double> got(v.size());
        ASSERT_TRUE(transmission_of_samples(a, samples.data(), 2001, -4.0, 0.004, v.data(), 200, got.data()).ok());
        for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(got[i], want[i], 2e-5) << t << " " << v[i];
    }
}

}  // namespace
}  // namespace mosslib::thickness
