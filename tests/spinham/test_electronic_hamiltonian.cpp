// Levels of the electronic spin Hamiltonian against closed forms, for every route.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "spinham/electronic_hamiltonian.h"
#include "spinham/level_statistics.h"
#include "spinham/spinham_workspace.h"

namespace sh = mosslib::spinham;

namespace {

// A, B, H. Route H places each eigenvalue up to 1e-11 x (Frobenius norm) above the
// true one, hence level tolerances of 1e-10 for norms of a few units.
constexpr double kRoutes[3] = {1.0, 2.0, -1.0};

struct Levels {
    std::unique_ptr<sh::ElectronicWork> work = std::make_unique<sh::ElectronicWork>();
    std::vector<double> e;
    double c1[sh::kMaxMultiplicity], c2[sh::kMaxMultiplicity];
};

sh::SpinSystem single(int mult, double d, double rhombicity, double g) {
    sh::SpinSystem s;
    s.mult1 = mult;
    s.d1 = d;
    s.rhombicity1 = rhombicity;
    s.gx1 = s.gy1 = s.gz1 = g;
    return s;
}

Levels solve(sh::SpinSystem s, double bx, double by, double bz) {
    Levels l;
    sh::ladder(s.mult1, l.c1);
    sh::ladder(s.mult2, l.c2);
    s.ladder1 = l.c1;
    s.ladder2 = l.c2;
    l.e.assign(s.mult1 * s.mult2, 0.0);
    EXPECT_EQ(sh::spinham(s, bx, by, bz, *l.work, l.e.data()), mosslib::eigen::Status::ok);
    return l;
}

void expect_levels(const std::vector<double> &got, std::vector<double> want, double tol) {
    std::sort(want.begin(), want.end(), std::greater<>());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], tol) << "level " << k;
}

}  // namespace

TEST(ElectronicLevels, BohrMagnetonIsTheWidenedSinglePrecisionLiteral) {
    EXPECT_EQ(sh::kBohrMagneton, 0.04668699949979782);
}

TEST(Ladder, RaisingCoefficients) {
    double c[6];
    sh::ladder(6, c);
    const double want[6] = {std::sqrt(5.0), std::sqrt(8.0), 3.0, std::sqrt(8.0), std::sqrt(5.0), 0.0};
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(c[k], want[k], 1e-15) << k;
    sh::ladder(2, c);
    EXPECT_EQ(c[0], 1.0);
    EXPECT_EQ(c[1], 0.0);
    sh::ladder(1, c);
    EXPECT_EQ(c[0], 0.0);
}

TEST(ElectronicLevels, SextetInZeroFieldGivesKramersDoubletsAtZeroTwoDSixD) {
    for (double route : kRoutes) {
        for (double d : {1.1, -1.1}) {
            sh::SpinSystem s = single(6, d, 0.0, 2.0);
            s.route = route;
            const Levels l = solve(s, 0, 0, 0);
            // D (m^2 - 35/12) for m = +-5/2, +-3/2, +-1/2.
            expect_levels(l.e, {d * 10 / 3.0, d * 10 / 3.0, -d * 2 / 3.0, -d * 2 / 3.0, -d * 8 / 3.0, -d * 8 / 3.0},
                          1e-10);
            // Measured from the m = +-1/2 doublet: +-3/2 at 2D, +-5/2 at 6D.
            const double half = d > 0 ? l.e[5] : l.e[0];
            EXPECT_NEAR(l.e[2] - half, 2 * d, 1e-10) << route;
            EXPECT_NEAR((d > 0 ? l.e[0] : l.e[5]) - half, 6 * d, 1e-10) << route;
        }
    }
}

TEST(ElectronicLevels, KramersPartnersInZeroFieldStandInThePublishedOrder) {
    // D (m^2 - 35/12) for m = +5/2 .. -5/2 is diagonal with each value twice. Routes A
    // and B (alone and side by side) keep the order of the published sort and reversal
    // (tests/eigen): for D > 0 the basis states m = -5/2, +5/2, -3/2, +3/2, -1/2, +1/2,
    // for D < 0 m = -1/2, +1/2, +3/2, -3/2, -5/2, +5/2 (0-based indices below).
    const int want[2][6] = {{5, 0, 4, 1, 3, 2}, {3, 2, 1, 4, 5, 0}};
    for (int sign = 0; sign < 2; ++sign) {
        for (double route : {1.0, 2.0, 0.0}) {  // 0: route A side by side
            sh::SpinSystem s = single(6, sign == 0 ? 1.1 : -1.1, 0.0, 2.0);
            s.route = route == 0.0 ? 1.0 : route;
            Levels l = solve(s, 0, 0, 0);
            if (route == 0.0) {
                s.ladder1 = l.c1;
                s.ladder2 = l.c2;
                ASSERT_TRUE(sh::lanes_apply(s));
                const auto lanes = std::make_unique<sh::ElectronicLanes>();
                const double b[2][3] = {{0, 0, 0}, {0, 0, 0}};
                sh::spinham_lanes(s, 2, b, *l.work, *lanes);
                ASSERT_EQ(sh::take_levels(s, *lanes, 1, *l.work, l.e.data()), mosslib::eigen::Status::ok);
            }
            for (int k = 0; k < 6; ++k)
                EXPECT_EQ(std::fabs(l.work->ar[k * 6 + want[sign][k]]), 1.0) << "route " << route << " level " << k;
        }
    }
}

TEST(ElectronicLevels, SpinOneRhombicSplitting) {
    // S = 1: D/3 + E, D/3 - E, -2D/3.
    for (double route : kRoutes) {
        sh::SpinSystem s = single(3, 1.0, 0.2, 2.0);
        s.route = route;
        expect_levels(solve(s, 0, 0, 0).e, {1 / 3.0 + 0.2, 1 / 3.0 - 0.2, -2 / 3.0}, 1e-10);
    }
}

TEST(ElectronicLevels, SpinHalfZeemanLevels) {
    const double h = 53.4, g = 2.0, half = sh::kBohrMagneton * g * h / 2;
    for (double route : kRoutes) {
        sh::SpinSystem s = single(2, 0.0, 0.0, g);
        s.route = route;
        const Levels l = solve(s, 0, 0, h);
        EXPECT_NEAR(l.e[0], half, 1e-10);
        EXPECT_NEAR(l.e[1], -half, 1e-10);
        expect_levels(solve(s, h, 0, 0).e, {half, -half}, 1e-10);
        expect_levels(solve(s, 0, h, 0).e, {half, -half}, 1e-10);
    }
}

TEST(ElectronicLevels, LowestLevelPointsAgainstTheField) {
    // S = 5/2, no zero-field splitting: the lowest level has <S> = -5/2 along the field,
    // which checks the signs of the x and y Zeeman elements.
    const double h = 10.0;
    const double dirs[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (double route : kRoutes)
        for (const auto &n : dirs) {
            sh::SpinSystem s = single(6, 0.0, 0.0, 2.0);
            s.route = route;
            Levels l = solve(s, h * n[0], h * n[1], h * n[2]);
            double sx[6], sy[6], sz[6];
            sh::spinexp(6, 1, 6, l.work->ar, l.work->ai, l.c1, sx, sy, sz);
            EXPECT_NEAR(sx[5], -2.5 * n[0], 1e-10);
            EXPECT_NEAR(sy[5], -2.5 * n[1], 1e-10);
            EXPECT_NEAR(sz[5], -2.5 * n[2], 1e-10);
            EXPECT_NEAR(sz[0] * n[2] + sx[0] * n[0] + sy[0] * n[1], 2.5, 1e-10);
        }
}

TEST(ElectronicLevels, ExchangeCoupledSpinHalves) {
    for (double route : kRoutes) {
        sh::SpinSystem s = single(2, 0.0, 0.0, 2.0);
        s.mult2 = 2;
        s.route = route;
        s.jx = s.jy = s.jz = 3.0;
        expect_levels(solve(s, 0, 0, 0).e, {0.75, 0.75, 0.75, -2.25}, 1e-10);
        // Anisotropic: singlet -(Jx+Jy+Jz)/4, T0 (Jx+Jy-Jz)/4, (|++> +- |-->) (Jz +- (Jx-Jy))/4.
        s.jx = 1.0;
        s.jy = 2.0;
        s.jz = 4.0;
        expect_levels(solve(s, 0, 0, 0).e, {-7 / 4.0, -1 / 4.0, 3 / 4.0, 5 / 4.0}, 1e-10);
    }
}

TEST(ElectronicLevels, SecondSpinBlockMatchesTheFirst) {
    // Spin 2 alone (mult1 = 1) with D2, E/D2 and a field gives the levels of the same spin
    // as spin 1; field along a general direction exercises every block element.
    for (double route : kRoutes) {
        sh::SpinSystem one = single(6, -1.1, 0.27, 2.0);
        one.gx1 = 1.9;
        one.gy1 = 2.1;
        one.route = route;
        sh::SpinSystem two;
        two.mult1 = 1;
        two.mult2 = 6;
        two.d2 = -1.1;
        two.rhombicity2 = 0.27;
        two.gx2 = 1.9;
        two.gy2 = 2.1;
        two.gz2 = 2.0;
        two.route = route;
        expect_levels(solve(two, 11.0, -23.0, 31.0).e, solve(one, 11.0, -23.0, 31.0).e, 1e-10);
    }
}

TEST(ElectronicLevels, UncoupledSpinsAddTheirZeemanEnergies) {
    // J = 0, spin 1 (g = 2) and spin 2 (g = 4), field along y: energies +-a +-b.
    const double h = 20.0, a = sh::kBohrMagneton * 2.0 * h / 2, b = sh::kBohrMagneton * 4.0 * h / 2;
    for (double route : kRoutes) {
        sh::SpinSystem s = single(2, 0.0, 0.0, 2.0);
        s.mult2 = 2;
        s.gx2 = s.gy2 = s.gz2 = 4.0;
        s.route = route;
        expect_levels(solve(s, 0, h, 0).e, {a + b, b - a, a - b, -a - b}, 1e-10);
    }
}

TEST(ElectronicLevels, SingleSpinIgnoresExchangeAndSpinTwo) {
    sh::SpinSystem s = single(6, -1.1, 0.1, 2.0);
    const std::vector<double> plain = solve(s, 3, 4, 5).e;
    s.jx = 7;
    s.jy = 8;
    s.jz = 9;
    s.d2 = 4;
    s.gx2 = 3;
    const std::vector<double> with = solve(s, 3, 4, 5).e;
    for (std::size_t k = 0; k < plain.size(); ++k) EXPECT_EQ(plain[k], with[k]);
}

TEST(ElectronicLevels, RoutesAgreeOnThirtySixLevels) {
    sh::SpinSystem s = single(6, -1.1, 0.2, 2.0);
    s.gx1 = 2.03;
    s.mult2 = 6;
    s.d2 = 0.7;
    s.rhombicity2 = 0.1;
    s.gx2 = s.gy2 = s.gz2 = 2.0;
    s.jx = 1.3;
    s.jy = 1.7;
    s.jz = 2.1;
    std::vector<double> ref;
    for (double route : kRoutes) {
        s.route = route;
        const std::vector<double> e = solve(s, 12.0, -7.0, 40.0).e;
        ASSERT_TRUE(std::is_sorted(e.begin(), e.end(), std::greater<>()));
        if (ref.empty()) ref = e;
        for (std::size_t k = 0; k < e.size(); ++k) EXPECT_NEAR(e[k], ref[k], 1e-9 * std::fabs(ref[0])) << route;
    }
}

TEST(ElectronicLevels, ZeroHamiltonianKeepsUnitVectorsOnEveryRoute) {
    // No field, no splitting: every route returns the levels at 0 with unit vectors (the
    // bisection route alone would return zero vectors).
    for (double route : kRoutes) {
        sh::SpinSystem s = single(6, 0.0, 0.0, 2.0);
        s.mult2 = 2;
        s.route = route;
        const Levels l = solve(s, 0, 0, 0);
        for (int k = 0; k < 12; ++k) {
            EXPECT_EQ(l.e[k], 0.0);
            double norm = 0;
            for (int i = 0; i < 12; ++i)
                norm += l.work->ar[k * 12 + i] * l.work->ar[k * 12 + i] + l.work->ai[k * 12 + i] * l.work->ai[k * 12 + i];
            EXPECT_NEAR(norm, 1.0, 1e-14) << route << " " << k;
        }
    }
}
