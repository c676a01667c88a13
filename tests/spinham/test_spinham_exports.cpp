// ttt and tkv through the C boundary, as a host calls them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "catalog_call.h"
#include "mosslib.h"
#include "test_support.h"

using mosslib::testing::GuardedSpectrum;
using mosslib::testing::same_bits;

namespace {

// The representative input (the catalogue's examples): S = 5/2, D = -1.1 cm^-1, 53.4 kG
// at 4.2 K, 480 directions; the integer array long enough for tkv, whose level mode
// slot holds ttt's.
struct Params {
    std::vector<int32_t> ints;
    std::vector<double> reals;

    Params() {
        const mosslib::testing::CatalogCall t("ttt"), k("tkv");
        ints = t.ints;
        ints.resize(k.ints.size(), 0);
        reals = t.reals;
        const mosslib_param &level = k.model->params[mosslib_param_index(k.model, "level_mode")];
        ints[static_cast<std::size_t>(level.index)] = t.ints[static_cast<std::size_t>(
            t.model->params[mosslib_param_index(t.model, "level_mode")].index)];
    }
    int32_t &channels() { return ints[5]; }
    // The leading integers, the rest of the array kept (tkv reads further).
    void set_ints(std::initializer_list<int32_t> v) { std::copy(v.begin(), v.end(), ints.begin()); }
};

std::vector<double> run_ttt(const Params &p, double fill = 0.0) {
    std::vector<double> s(static_cast<std::size_t>(std::max(p.ints[5], 1)), fill);
    EXPECT_EQ(ttt(p.ints.data(), p.reals.data(), s.data()), 2);
    return s;
}

bool all_nan(const double *s, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isnan(s[i])) return false;
    return true;
}

bool identical(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Velocities of the local maxima above `floor`, refined by a parabola through three
// channels, with their heights; velocity of channel c is (c - zero) * step.
std::vector<std::pair<double, double>> peaks(const std::vector<double> &s, double zero, double step, double floor) {
    std::vector<std::pair<double, double>> out;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
        if (s[i] > floor && s[i] > s[i - 1] && s[i] >= s[i + 1]) {
            const double d = 0.5 * (s[i - 1] - s[i + 1]) / (s[i - 1] - 2 * s[i] + s[i + 1]);
            out.emplace_back((static_cast<double>(i + 1) + d - zero) * step, s[i]);
        }
    }
    return out;
}


// Largest channel difference relative to the largest channel of b.
double max_rel_diff(const std::vector<double> &a, const std::vector<double> &b) {
    double d = 0, top = 0;
    for (std::size_t c = 0; c < b.size(); ++c) {
        d = std::max(d, std::fabs(a[c] - b[c]));
        top = std::max(top, std::fabs(b[c]));
    }
    return d / top;
}

using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 product(const Mat3 &a, const Mat3 &b) {
    Mat3 c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
    return c;
}

// Rotation by deg degrees about axis 2 (z) or 1 (y).
Mat3 turn(int axis, double deg) {
    const double c = std::cos(deg * M_PI / 180), s = std::sin(deg * M_PI / 180);
    if (axis == 2) return {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
    return {{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
}

// A tensor with principal values p whose principal frame is turned by the Euler angles
// (alpha about z, beta about the new y, gamma about the new z): R diag(p) R^T with
// R = Rz(alpha) Ry(beta) Rz(gamma), so that beta is the polar angle and alpha the
// azimuth of the principal z axis.
Mat3 turned_tensor(const std::array<double, 3> &p, double alpha, double beta, double gamma) {
    const Mat3 r = product(product(turn(2, alpha), turn(1, beta)), turn(2, gamma));
    Mat3 t{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) t[i][j] += r[i][k] * p[k] * r[j][k];
    return t;
}

// S = 5/2 with g = 2 and no zero-field splitting in 50 kG at 0.2 K: the lowest level
// (Zeeman gap 4.7 cm^-1, 34 kT) is the only one populated, and its spin is exactly
// -5/2 along the field whatever the direction. Level mode 1, 512 channels of 0.04 mm/s.
Params polarised_ion() {
    Params p;
    p.set_ints({1, 6, 1, 1, -2, 512, 4, 4, 0, 0});
    p.reals[0] = 50.0;
    p.reals[1] = 0.2;
    p.reals[3] = 0.0;
    p.reals[14] = 0.0;
    p.reals[26] = 256.5;
    p.reals[27] = 0.04;
    p.reals[28] = 0.25;
    p.reals[29] = 0.2;
    return p;
}

// The same grid and nucleus with no electronic spin: the nucleus sees -B.
Params bare_nucleus(const Params &like, double field) {
    Params p = like;
    p.ints[1] = 1;
    p.reals[0] = field;
    return p;
}

}  // namespace

TEST(Ttt, EffectiveFieldIsASMinusB) {
    // Isotropic A = -100 kG: the nucleus sees A(-5/2 n) - 50 n = +200 n. Circularly
    // polarised radiation (option 1) tells +200 n from -200 n, so the spectrum must be
    // that of a bare nucleus in -200 kG, and not that of one in +200 kG. Index 19 is only
    // the marker that the automatic shift is done: any non-zero value leaves A alone.
    Params p = polarised_ion();
    p.ints[4] = 1;
    p.reals[14] = 0.6;  // a tilted rhombic gradient, the same in both
    p.reals[15] = 0.5;
    p.reals[16] = 20.0;
    p.reals[17] = 35.0;
    p.reals[30] = p.reals[31] = p.reals[32] = -100.0;
    const std::vector<double> want = run_ttt(bare_nucleus(p, -200.0));
    const std::vector<double> opposite = run_ttt(bare_nucleus(p, 200.0));
    ASSERT_GT(max_rel_diff(opposite, want), 0.2);
    std::vector<double> first;
    for (double marker : {6000.0, 1.0, -300.0}) {
        p.reals[19] = marker;
        const std::vector<double> s = run_ttt(p);
        EXPECT_LT(max_rel_diff(s, want), 1e-9) << "index 19 = " << marker;
        if (first.empty()) first = s;
        EXPECT_TRUE(identical(s, first)) << "index 19 = " << marker;
    }
}

TEST(Ttt, TurnedHyperfineTensorActsWithAllItsComponents) {
    // Field along x, y and z in turn; the spin is -5/2 n, so the nucleus sees
    // -5/2 A n - 50 n with A the turned tensor, built here from elementary rotations.
    // Averaged radiation without a gradient depends on |field| only: the spectrum is the
    // mean of the bare-nucleus spectra in those three field magnitudes.
    Params p = polarised_ion();
    p.ints[8] = 1;
    p.reals[19] = 1.0;
    const std::array<double, 3> principal = {-60.0, -120.0, -200.0};
    const double euler[3] = {30.0, 50.0, 70.0};
    for (int i = 0; i < 3; ++i) {
        p.reals[30 + i] = principal[i];
        p.reals[33 + i] = euler[i];
    }
    const Mat3 a = turned_tensor(principal, euler[0], euler[1], euler[2]);
    std::vector<double> want(512, 0.0);
    for (int d = 0; d < 3; ++d) {
        double h2 = 0;
        for (int i = 0; i < 3; ++i) {
            const double h = -2.5 * a[i][d] - (i == d ? 50.0 : 0.0);
            h2 += h * h;
        }
        const std::vector<double> s = run_ttt(bare_nucleus(p, std::sqrt(h2)));
        for (std::size_t c = 0; c < want.size(); ++c) want[c] += s[c] / 3;
    }
    EXPECT_LT(max_rel_diff(run_ttt(p), want), 1e-4);  // the engine's degree is single precision
}

TEST(Ttt, QuadrupoleDoubletOfATiltedRhombicGradient) {
    // No field and no spin; one direction k at 45 deg in the xz plane, radiation along
    // k (option 0). The two lines lie at shift -+ Delta E_Q / 2 for any eta. Their
    // asymmetry is the one rank-2 quantity of k and the gradient,
    // (I_up - I_down) / (I_up + I_down) = k.V.k / (2 Delta E_Q), V traceless with
    // V_zz = e^2qQ/2 = Delta E_Q / sqrt(1 + eta^2/3) and eta = (V_xx - V_yy) / V_zz
    // (for eta = 0 and k along z: 3 : 1).
    Params p;
    p.set_ints({1, 1, 1, 1, 0, 512, 0, 1, 0, 0});
    p.reals[0] = 0.0;
    p.reals[14] = 1.6;
    p.reals[26] = 256.5;
    p.reals[27] = 0.01;
    p.reals[28] = 0.3;
    p.reals[29] = 0.15;
    const double theta = static_cast<double>(0.785398f);
    const double k[3] = {std::sin(theta), 0.0, std::cos(theta)};
    for (double eta : {0.0, 0.8, -0.8}) {
        p.reals[15] = eta;
        for (const auto &e : {std::array<double, 3>{0, 0, 0}, std::array<double, 3>{40, 60, 25}}) {
            for (int i = 0; i < 3; ++i) p.reals[16 + i] = e[i];
            const double vzz = 1.6 / std::sqrt(1 + eta * eta / 3);
            const Mat3 v = turned_tensor({-vzz * (1 - eta) / 2, -vzz * (1 + eta) / 2, vzz}, e[0], e[1], e[2]);
            double kvk = 0;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) kvk += k[i] * v[i][j] * k[j];
            // Least-squares heights of two Lorentzians at the expected positions.
            const std::vector<double> s = run_ttt(p);
            const double centre[2] = {0.3 + 0.8, 0.3 - 0.8};
            double m[2][2] = {}, r[2] = {};
            std::vector<std::array<double, 2>> basis(512);
            for (int c = 0; c < 512; ++c) {
                const double vel = (c + 1 - 256.5) * 0.01;
                for (int l = 0; l < 2; ++l) basis[c][l] = 1 / (1 + std::pow(2 * (vel - centre[l]) / 0.15, 2));
                for (int l = 0; l < 2; ++l) {
                    r[l] += basis[c][l] * s[c];
                    for (int n = 0; n < 2; ++n) m[l][n] += basis[c][l] * basis[c][n];
                }
            }
            const double det = m[0][0] * m[1][1] - m[0][1] * m[1][0];
            const double up = (r[0] * m[1][1] - r[1] * m[0][1]) / det;
            const double down = (r[1] * m[0][0] - r[0] * m[1][0]) / det;
            double misfit = 0;
            for (int c = 0; c < 512; ++c) misfit = std::max(misfit, std::fabs(s[c] - up * basis[c][0] - down * basis[c][1]));
            const std::string where = "eta " + std::to_string(eta) + " alpha " + std::to_string(e[0]);
            EXPECT_LT(misfit, 1e-6 * up) << where;  // bisection tolerance of the 4 x 4 solver
            EXPECT_NEAR((up - down) / (up + down), kvk / (2 * 1.6), 1e-6) << where;
        }
    }
}

TEST(Ttt, RepresentativeInputGivesAFiniteSpectrum) {
    Params p;
    const std::vector<double> s = run_ttt(p);
    EXPECT_STREQ(mosslib_last_error(), "");
    for (double x : s) {
        ASSERT_TRUE(std::isfinite(x));
        EXPECT_GT(x, 0.0);
    }
}

TEST(Ttt, MetallicIronFromOutside) {
    // No electronic spin (mult1 = mult2 = 1): the nucleus sees -330 kG, the applied field.
    // Six lines at +-5.30, +-3.07, +-0.84 mm/s about the isomer shift, the outer span
    // 0.0321 mm/s per kG, heights 3:2:1 on average and 3:4:1 perpendicular to the field.
    Params p;
    p.set_ints({1, 1, 1, 1, -2, 8192, 4, 5, 0, 0});
    p.reals[0] = 330.0;
    p.reals[14] = 0.0;
    p.reals[26] = 4096.0;
    p.reals[27] = 0.0015;
    p.reals[28] = 0.1;
    p.reals[29] = 0.05;
    for (int option : {-2, -1}) {
        p.ints[4] = option;
        const std::vector<double> s = run_ttt(p);
        const double top = *std::max_element(s.begin(), s.end());
        const auto lines = peaks(s, 4096.0, 0.0015, 0.05 * top);
        ASSERT_EQ(lines.size(), 6u) << option;
        const double want[6] = {-5.30, -3.07, -0.84, 0.84, 3.07, 5.30};
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(lines[k].first - 0.1, want[k], 0.01) << option << " " << k;
        EXPECT_NEAR((lines[5].first - lines[0].first) / 330.0, 0.0321, 1e-4);
        const double middle = option == -2 ? 2.0 : 4.0;
        const double ratio[6] = {3, middle, 1, 1, middle, 3};
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(lines[k].second / lines[2].second, ratio[k], 0.01) << option << " " << k;
    }
}

TEST(Ttt, CircularPolarisationIsPositiveHelicity) {
    // Option 1 is radiation of positive helicity (angular momentum +hbar along its
    // travel, the field direction): it drives Delta m = m_e - m_g = +1, m along the
    // beam. Closed form from the literature moments, mu_g = +0.09044 and mu_e = -0.1549
    // nuclear magnetons (g_g = +0.18088, g_e = mu_e / (3/2)): a line's energy is
    // -mu_N B (g_e m_e - g_g m_g). The nucleus of a spinless ion sees B = -H; with H
    // along the beam, Delta m = +1 gives (3/2, 1/2) at -5.31 and (1/2, -1/2) at +0.84
    // mm/s in 330 kG, heights 3:1 (Clebsch-Gordan); reversing H mirrors both.
    const double mu_n = 3.15245e-8;                     // eV/T
    const double mm_per_s = 14412.5 * 1e-3 / 299792458;  // eV of 14.4125 keV per mm/s
    const double g_g = 0.18088, g_e = -0.1549 / 1.5;
    Params p;
    p.set_ints({1, 1, 1, 0, 1, 8192, 0, 1, 1, 0});  // the field along x, y and z in turn
    p.reals[14] = 0.0;
    p.reals[26] = 4096.0;
    p.reals[27] = 0.0015;
    p.reals[28] = 0.1;
    p.reals[29] = 0.05;
    for (double h : {330.0, -330.0}) {
        p.reals[0] = h;
        const double b = -h / 10.0;  // tesla, along the beam
        const auto position = [&](double m_e, double m_g) { return -mu_n * b * (g_e * m_e - g_g * m_g) / mm_per_s; };
        const std::vector<double> s = run_ttt(p);
        const auto lines = peaks(s, 4096.0, 0.0015, 0.01 * *std::max_element(s.begin(), s.end()));
        ASSERT_EQ(lines.size(), 2u) << "H = " << h;
        const double outer = position(1.5, 0.5), inner = position(0.5, -0.5);
        const bool outer_first = outer < inner;
        const auto &o = lines[outer_first ? 0 : 1], &i = lines[outer_first ? 1 : 0];
        EXPECT_NEAR(o.first - 0.1, outer, 0.02) << "H = " << h;
        EXPECT_NEAR(i.first - 0.1, inner, 0.02) << "H = " << h;
        EXPECT_NEAR(o.second / i.second, 3.0, 0.01) << "H = " << h;
    }
}

TEST(Ttt, PureQuadrupoleDoubletWithoutAnyField) {
    // No spin, no field: a zero effective field must give the doublet, not NaN.
    Params p;
    p.set_ints({1, 1, 1, 1, -2, 256, 4, 3, 0, 0});
    p.reals[0] = 0.0;
    p.reals[14] = 0.8;
    p.reals[27] = 0.02;
    p.reals[28] = 0.3;
    p.reals[29] = 0.1;
    const std::vector<double> s = run_ttt(p);
    const auto lines = peaks(s, 127.0, 0.02, 1.0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NEAR(lines[0].first, 0.3 - 0.4, 0.005);
    EXPECT_NEAR(lines[1].first, 0.3 + 0.4, 0.005);
    EXPECT_NEAR(lines[0].second / lines[1].second, 1.0, 0.01);
}

TEST(Ttt, HyperfineShiftWithoutSpinTakesItsLimit) {
    // Index 19 = 0 asks for the shift -AZZ Sz / Sz; with no spin (Sz = 0) the tensor
    // must not turn into NaN. The spin is zero, so the spectrum is that of -B alone.
    Params p;
    p.ints[1] = 1;
    p.reals[19] = 0.0;
    const std::vector<double> chosen = run_ttt(p);
    p.reals[19] = 6000.0;
    const std::vector<double> fixed = run_ttt(p);
    for (std::size_t c = 0; c < chosen.size(); ++c) {
        ASSERT_TRUE(std::isfinite(chosen[c])) << c;
        EXPECT_EQ(chosen[c], fixed[c]) << c;
    }
}

TEST(Ttt, AxesFlagUsesThreeDirectionsWhateverTheGrid) {
    // Each of x, y, z has weight 1: with no spin the total area is 3 x 2 pi / width
    // (intensities sum to 1 per direction), less the tails outside the channels.
    Params p;
    p.set_ints({1, 1, 1, 1, -2, 4096, 4, 15, 1, 0});
    p.reals[26] = 2048.0;
    p.reals[27] = 0.01;
    p.reals[28] = 0.0;
    const std::vector<double> s = run_ttt(p);
    double area = 0;
    for (double x : s) area += x * 0.01;
    EXPECT_NEAR(area / (3 * 2 * M_PI / 0.28), 1.0, 0.01);
    p.ints[6] = 0;
    p.ints[7] = -5;  // the grid is not used
    EXPECT_TRUE(identical(run_ttt(p), s));
    EXPECT_STREQ(mosslib_last_error(), "");
}

TEST(Ttt, OneRingOneDirectionAtAQuarterTurn) {
    // m = 0, n = 1: one direction at pi/4, weight sin(pi/4).
    Params p;
    p.set_ints({1, 1, 1, 1, -2, 4096, 0, 1, 0, 0});
    p.reals[26] = 2048.0;
    p.reals[27] = 0.01;
    p.reals[28] = 0.0;
    const std::vector<double> s = run_ttt(p);
    double area = 0;
    for (double x : s) area += x * 0.01;
    EXPECT_NEAR(area / (std::sin(M_PI / 4) * 2 * M_PI / 0.28), 1.0, 0.01);
}

TEST(Ttt, SolverRoutesGiveTheSameSpectrum) {
    for (int mult2 : {1, 6}) {
        Params p;
        p.ints[2] = mult2;
        p.ints[6] = 4;
        p.ints[7] = mult2 == 1 ? 15 : 4;
        p.reals[5] = 0.5;
        p.reals[25] = 0.3;
        p.reals[4] = 0.1;
        const std::vector<double> a = run_ttt(p);
        const double scale = *std::max_element(a.begin(), a.end());
        for (int route : {2, -1, 0}) {
            p.ints[0] = route;
            const std::vector<double> other = run_ttt(p);
            for (std::size_t c = 0; c < a.size(); ++c)
                EXPECT_NEAR(other[c], a[c], 1e-9 * scale) << "mult2 " << mult2 << " route " << route << " channel " << c;
        }
    }
}

TEST(Ttt, CallerArraysStayUnchanged) {
    // Inputs that the engine rewrites: g from lambda, the exchange, the hyperfine shift.
    Params p;
    p.ints[2] = 2;
    p.reals[7] = 400.0;
    p.reals[19] = 0.0;
    p.reals[22] = 0.1;
    p.reals[25] = 0.2;
    p.reals[33] = 10.0;
    const Params before = p;
    run_ttt(p);
    std::vector<double> calc = run_ttt(p);
    calc.resize(256);
    EXPECT_GE(tkv(p.ints.data(), p.reals.data(), calc.data()), 0.0);
    EXPECT_EQ(std::memcmp(p.ints.data(), before.ints.data(), sizeof p.ints), 0);
    EXPECT_EQ(std::memcmp(p.reals.data(), before.reals.data(), sizeof p.reals), 0);
}

TEST(Ttt, LinesFlagLeavesTheSpectrumUntouched) {
    Params p;
    p.ints[9] = 1;
    GuardedSpectrum s(256, -7.25);
    EXPECT_EQ(ttt(p.ints.data(), p.reals.data(), s.data()), 2);
    for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(s[i], -7.25);
    EXPECT_TRUE(s.guard_intact());
}

TEST(Ttt, EqualArgumentsGiveEqualSpectraWhateverCameBetween) {
    Params p, other;
    other.set_ints({2, 6, 6, 2, 0, 8192, 4, 3, 0, 0});
    other.reals[19] = 0.0;
    other.reals[7] = 300.0;
    const std::vector<double> first = run_ttt(p);
    run_ttt(other);
    std::vector<double> measured(256, 1.0);
    Params t = other;
    t.ints[5] = 256;
    tkv(t.ints.data(), t.reals.data(), measured.data());
    EXPECT_TRUE(identical(run_ttt(p), first));
}

TEST(Ttt, ThreadsDoNotInterfere) {
    Params a, b;
    b.ints[2] = 2;
    b.reals[25] = 0.4;
    b.reals[19] = 0.0;
    const std::vector<double> want_a = run_ttt(a), want_b = run_ttt(b);
    std::vector<double> got_a[3], got_b[3];
    std::thread ta([&] {
        for (auto &g : got_a) g = run_ttt(a);
    });
    std::thread tb([&] {
        for (auto &g : got_b) g = run_ttt(b);
    });
    ta.join();
    tb.join();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(identical(got_a[i], want_a));
        EXPECT_TRUE(identical(got_b[i], want_b));
    }
}

TEST(Tkv, SumsSquaresOverElements1To255EachAgainstItsChannel) {
    Params p;
    p.ints[3] = 7;   // tkv takes the level mode from index 26 ...
    p.ints[26] = 1;  // ... so this must match ttt with mode 1
    Params q = p;
    q.ints[3] = 1;
    std::vector<double> measured = run_ttt(q);
    EXPECT_EQ(tkv(p.ints.data(), p.reals.data(), measured.data()), 0.0);
    measured[0] += 1000.0;
    EXPECT_EQ(tkv(p.ints.data(), p.reals.data(), measured.data()), 0.0);
    // Elements 1..255 each off by its own k/256: the sum of squares over every one of
    // them, each against its own channel, is sum k^2 / 2^16 = 255 * 256 * 511 / 6 / 2^16.
    for (int k = 1; k < 256; ++k) measured[k] += k / 256.0;
    EXPECT_NEAR(tkv(p.ints.data(), p.reals.data(), measured.data()), 255.0 * 256 * 511 / 6 / 65536, 1e-9);
    EXPECT_STREQ(mosslib_last_error(), "");
}

TEST(SolverFailure, ElectronicSolverFailureGivesNaNAndSaysWhere) {
    Params p;
    p.reals[0] = NAN;  // non-finite Hamiltonian for every direction
    const struct {
        int route;
        const char *name;
    } routes[2] = {{1, "route A"}, {2, "route B"}};
    for (const auto &r : routes) {
        p.ints[0] = r.route;
        GuardedSpectrum s(256);
        EXPECT_EQ(ttt(p.ints.data(), p.reals.data(), s.data()), 2);
        EXPECT_TRUE(all_nan(s.data(), 256));
        EXPECT_TRUE(s.guard_intact());
        const std::string why = mosslib_last_error();
        EXPECT_NE(why.find(r.name), std::string::npos) << why;
        EXPECT_NE(why.find("direction 1 "), std::string::npos) << why;
        std::vector<double> measured(256, 0.0);
        EXPECT_TRUE(std::isnan(tkv(p.ints.data(), p.reals.data(), measured.data())));
        EXPECT_NE(std::string(mosslib_last_error()).find(r.name), std::string::npos);
    }
    // The next good call clears the reason.
    run_ttt(Params());
    EXPECT_STREQ(mosslib_last_error(), "");
}

TEST(Refusal, StructurallyImpossibleInputGivesNaNAndAReason) {
    struct Case {
        int index;
        int32_t value;
    };
    const Case cases[] = {{1, 0}, {2, 0}, {1, 37}, {2, -3}, {7, 0}, {6, -1}, {6, 100}, {4, 3}, {4, -3}};
    for (const Case &c : cases) {
        Params p;
        p.ints[c.index] = c.value;
        GuardedSpectrum s(256, 5.0);
        EXPECT_EQ(ttt(p.ints.data(), p.reals.data(), s.data()), 2);
        EXPECT_TRUE(all_nan(s.data(), 256)) << c.index << " " << c.value;
        EXPECT_TRUE(s.guard_intact());
        EXPECT_STRNE(mosslib_last_error(), "") << c.index << " " << c.value;
        std::vector<double> measured(256, 0.0);
        EXPECT_TRUE(std::isnan(tkv(p.ints.data(), p.reals.data(), measured.data()))) << c.index;
        EXPECT_STRNE(mosslib_last_error(), "");
    }
    // 6 x 7 = 42 levels.
    Params p;
    p.ints[2] = 7;
    GuardedSpectrum s(256, 5.0);
    ttt(p.ints.data(), p.reals.data(), s.data());
    EXPECT_TRUE(all_nan(s.data(), 256));
    EXPECT_NE(std::string(mosslib_last_error()).find("36"), std::string::npos);
}

TEST(Refusal, PowderGridLimitsAreNamedAsExceeded) {
    // The one-angle grid (m = 0) is limited by its ring count 2^20, the two-angle grid
    // by its direction count 2^31 - 1, which 99 n (n + 1) / 2 passes from n = 6587 on.
    struct Case {
        int32_t copies, rings;
        const char *limit;
    };
    const Case cases[] = {{0, (1 << 20) + 1, "1048576"}, {0, 2147483647, "1048576"},
                          {99, 6587, "2147483647"},      {1, (1 << 20) + 1, "2147483647"}};
    for (const Case &c : cases) {
        Params p;
        p.ints[6] = c.copies;
        p.ints[7] = c.rings;
        GuardedSpectrum s(256, 5.0);
        ttt(p.ints.data(), p.reals.data(), s.data());
        EXPECT_TRUE(all_nan(s.data(), 256));
        EXPECT_NE(std::string(mosslib_last_error()).find(c.limit), std::string::npos)
            << c.copies << " " << c.rings << ": " << mosslib_last_error();
    }
}

TEST(Refusal, UnusableChannelCountWritesNothing) {
    for (int32_t g : {0, -5, 8193}) {
        Params p;
        p.channels() = g;
        GuardedSpectrum s(256, 5.0);
        EXPECT_EQ(ttt(p.ints.data(), p.reals.data(), s.data()), 2);
        for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(s[i], 5.0) << g;
        EXPECT_TRUE(s.guard_intact());
        EXPECT_NE(std::string(mosslib_last_error()).find("8192"), std::string::npos);
    }
    // The capacity itself is accepted.
    Params p;
    p.channels() = 8192;
    p.ints[7] = 2;
    GuardedSpectrum s(8192);
    ttt(p.ints.data(), p.reals.data(), s.data());
    EXPECT_STREQ(mosslib_last_error(), "");
    EXPECT_TRUE(std::isfinite(s[8191]));
    EXPECT_TRUE(s.guard_intact());
}

TEST(Refusal, TkvOnlyComparesItsOwn256Channels) {
    std::vector<double> measured(256, 0.0);
    for (int32_t g : {255, 257, 8192}) {
        Params p;
        p.channels() = g;
        EXPECT_TRUE(std::isnan(tkv(p.ints.data(), p.reals.data(), measured.data()))) << g;
        EXPECT_NE(std::string(mosslib_last_error()).find("256"), std::string::npos);
    }
    Params p;
    p.ints[9] = 1;
    EXPECT_TRUE(std::isnan(tkv(p.ints.data(), p.reals.data(), measured.data())));
    EXPECT_STRNE(mosslib_last_error(), "");
}

TEST(Ttt, LevelModesWeighLevelsByPopulation) {
    // S = 1/2 along x, y, z with no hyperfine coupling: every level of a direction gives
    // the same sextet L of -B, so the modes differ only in their weights. At 1.4015 K the
    // upper level holds about 0.0082 < 0.01: mode 1 drops it (3 p_lower L), the averaged
    // spin keeps all (3 L), mode 2 takes levels one by one only off the xy plane
    // ((2 + p_lower) L).
    Params p;
    p.set_ints({1, 2, 1, 0, -2, 256, 4, 15, 1, 0});
    p.reals[0] = 50.0;
    p.reals[1] = 1.4015;
    p.reals[3] = 0.0;
    p.reals[30] = p.reals[31] = p.reals[32] = 0.0;
    const double delta = 0.046687f * 2.0 * 50.0;  // level splitting, cm^-1
    const double x = delta / (1.4015 * 0.694);
    ASSERT_GT(x, 4.6);
    ASSERT_LT(x, 5.0);
    const double p_lower = 1.0 / (1.0 + std::exp(-x));
    const std::vector<double> averaged = run_ttt(p);
    p.ints[3] = 1;
    const std::vector<double> each = run_ttt(p);
    p.ints[3] = 2;
    const std::vector<double> off_plane = run_ttt(p);
    double sum_averaged = 0, sum_off_plane = 0;
    for (std::size_t c = 0; c < averaged.size(); ++c) {
        EXPECT_NEAR(each[c], p_lower * averaged[c], 1e-9 * averaged[c]) << c;
        sum_averaged += averaged[c];
        sum_off_plane += off_plane[c];
    }
    // The quadrupole shift differs between a field along x and along z, so mode 2, which
    // mixes the directions differently, is compared by area.
    EXPECT_NEAR(sum_off_plane / sum_averaged, (2.0 + p_lower) / 3.0, 1e-6);
    // Warmer, both levels count and mode 1 equals the averaged spin.
    p.reals[1] = 3.0;
    p.ints[3] = 0;
    const std::vector<double> warm_averaged = run_ttt(p);
    p.ints[3] = 1;
    const std::vector<double> warm_each = run_ttt(p);
    for (std::size_t c = 0; c < averaged.size(); ++c) EXPECT_NEAR(warm_each[c], warm_averaged[c], 1e-9 * warm_averaged[c]);
}
