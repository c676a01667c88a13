// Two-component sextet with interference: its Lorentzian limits (a = 0, b = 0), the area
// 2 pi / 3.1416 that the interference term leaves unchanged, and its relation to the
// general sextet on the same sine scale.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "lineshape/general_sextet.h"
#include "lineshape/two_component_sextet.h"
#include "lineshape_cases.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;
namespace ls = mosslib::lineshape;

constexpr double kC[6] = {-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163};

std::array<double, 256> run(void (*model)(const double *, double *), const Params &p) {
    std::array<double, 256> out{};
    model(p.data(), out.data());
    return out;
}

// Six Lorentzians h / (d^2 + h^2) at positions c_k p1 + offset with half widths h_k,
// divided by 3.1416 S / 2.
double six_lorentzians(const Params &p, double v, double offset, double extra_half_width) {
    double S = 0, sum = 0;
    for (int k = 0; k < 6; ++k) {
        S += p[6 + k];
        const double d = v - (kC[k] * p[1] + offset), h = p[14 + k] / 2 + extra_half_width;
        sum += p[6 + k] * h / (d * d + h * h);
    }
    return sum / (3.1416 * S / 2);
}

TEST(TwoComponentSextet, WithoutAOnlyTheFirstComponentRemains) {
    Params p = iron_two_component();
    p[4] = 0.0;
    const auto out = run(ls::two_component_sextet, p);
    for (int n = 1; n <= 256; ++n)
        EXPECT_LT(rel_error(out[n - 1], six_lorentzians(p, sine_scale(n, p[13], p[12]), p[2], 0.0)), 1e-13) << n;
}

TEST(TwoComponentSextet, WithoutBOnlyTheSecondComponentRemains) {
    Params p = iron_two_component();
    p[5] = 0.0;
    const auto out = run(ls::two_component_sextet, p);
    // Full widths a + w + 2 p20.
    for (int n = 1; n <= 256; ++n)
        EXPECT_LT(rel_error(out[n - 1], six_lorentzians(p, sine_scale(n, p[13], p[12]), p[3], p[4] / 2 + p[20])), 1e-13)
            << n;
}

TEST(TwoComponentSextet, SingleComponentsAreGeneralSextetsOfArea2) {
    // a = 0: the general sextet with area 2, shift 2 * offset1 and the same widths.
    Params c = iron_two_component();
    c[4] = 0.0;
    Params g = iron_general_sine();
    g[2] = 2 * c[2];
    g[5] = 2.0;
    for (int k = 0; k < 6; ++k) g[14 + k] = c[14 + k];
    auto a = run(ls::two_component_sextet, c), b = run(ls::general_sextet_sine, g);
    for (int i = 0; i < 256; ++i) EXPECT_LT(rel_error(a[i], b[i]), 1e-13) << i;
    // b = 0: shift 2 * offset2, widths a + w + 2 p20.
    c = iron_two_component();
    c[5] = 0.0;
    g[2] = 2 * c[3];
    for (int k = 0; k < 6; ++k) g[14 + k] = c[4] + c[14 + k] + 2 * c[20];
    a = run(ls::two_component_sextet, c), b = run(ls::general_sextet_sine, g);
    for (int i = 0; i < 256; ++i) EXPECT_LT(rel_error(a[i], b[i]), 1e-12) << i;
}

// Integral of the model's channel function over [lo, hi] from antiderivatives: atan for
// each Lorentzian, and for the interference term (d1 d2 - h1 h2) / (D1 D2) =
// Re 1 / ((v - z1)(v - z2)), z = x + i h, the log [ln(v - z1) - ln(v - z2)] / (z1 - z2).
double closed_form_area(const Params &p, double lo, double hi) {
    const double a = p[4], b = p[5], G = a + b;
    double S = 0, sum = 0;
    for (int k = 0; k < 6; ++k) {
        const double I = p[6 + k], w = p[14 + k];
        const double x1 = kC[k] * p[1] + p[2], x2 = kC[k] * p[1] + p[3];
        const double h1 = (a + w) / 2, h2 = h1 + b + p[20];
        const std::complex<double> z1(x1, h1), z2(x2, h2);
        auto F = [&](double v) { return ((std::log(v - z1) - std::log(v - z2)) / (z1 - z2)).real(); };
        S += I;
        sum += I * (a / G) * (std::atan((hi - x2) / h2) - std::atan((lo - x2) / h2));
        sum += I * (b / G) * (std::atan((hi - x1) / h1) - std::atan((lo - x1) / h1));
        sum -= I * (b / G) * a * (F(hi) - F(lo));
    }
    return sum / (3.1416 * S / 2);
}

TEST(TwoComponentSextet, InterferenceMovesIntensityButKeepsTheArea2PiOver3_1416) {
    for (const auto &[a, b] : {std::pair{0.0, 0.1}, std::pair{0.2, 0.0}, std::pair{0.2, 0.1}, std::pair{0.6, 0.3}}) {
        Params p = iron_two_component();
        p[1] = 20.0;  // lines well inside a +-12 mm/s sweep, several channels per half width
        p[12] = 12.0;
        for (int k = 0; k < 6; ++k) p[14 + k] = 0.6;
        p[4] = a, p[5] = b;
        const auto out = run(ls::two_component_sextet, p);
        // Trapezoid over channels of value * dv/dn on the sine scale.
        std::array<double, 256> weighted{};
        for (int n = 1; n <= 256; ++n)
            weighted[n - 1] = out[n - 1] * p[12] * 0.01226563 * std::cos((n - p[13]) * 0.01226563);
        const double lo = sine_scale(1, p[13], p[12]), hi = sine_scale(256, p[13], p[12]);
        const double inside = trapezoid(weighted.data(), 256, 1.0);
        EXPECT_NEAR(inside, closed_form_area(p, lo, hi), 2e-5) << a << " " << b;
        // Adding what lies beyond the sweep gives the whole area; the interference part integrates to 0.
        const double whole = inside + closed_form_area(p, -1e9, lo) + closed_form_area(p, hi, 1e9);
        EXPECT_NEAR(whole, 2 * M_PI / 3.1416, 2e-5) << a << " " << b;
    }
}

TEST(TwoComponentSextet, ScalesNotWithTheIntensityScale) {
    Params p = iron_two_component();
    const auto base = run(ls::two_component_sextet, p);
    for (int k = 6; k <= 11; ++k) p[k] *= 5.5;
    const auto same = run(ls::two_component_sextet, p);
    for (int i = 0; i < 256; ++i) EXPECT_LT(rel_error(same[i], base[i]), 1e-13) << i;
}

}  // namespace
