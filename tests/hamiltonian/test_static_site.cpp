// The eight lines of the full static site against limits that do not use its solver:
// the Zeeman sextet from the two g-factors, the pure quadrupole doublet, the
// first-order quadrupole shift, and invariance under a common rotation.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "hamiltonian/static_site.h"

namespace mosslib::hamiltonian {
namespace {

struct Line {
    double position, weight;
};

// The lines by position; lines of one position (a degenerate pair) merged.
std::vector<Line> sorted_lines(const SiteLines &s, double merge = 1e-9) {
    std::vector<Line> all;
    for (int j = 0; j < kSiteLines; ++j) all.push_back({s.position[j], s.weight[j]});
    std::sort(all.begin(), all.end(), [](const Line &a, const Line &b) { return a.position < b.position; });
    std::vector<Line> out;
    for (const Line &l : all) {
        if (!out.empty() && l.position - out.back().position < merge)
            out.back().weight += l.weight;
        else
            out.push_back(l);
    }
    return out;
}

PrincipalSite powder(double field, double coupling, double eta, double theta, double phi) {
    return {field, coupling, eta, theta, phi, 0.0, 0.0, 0.0};
}

// Pure magnetic: E = A m_e B + G m_g B for the six allowed m_e - m_g = 0, +-1; the
// outer lines span 10.657 mm/s at 33 T; powder intensities 3:2:1, whatever direction
// the field takes in the gradient's frame.
TEST(StaticSite, PureMagneticLimitIsTheSextetOfTheTwoGFactors) {
    EXPECT_NEAR(33.0 * (3.0 * kExcitedSplitting + kGroundSplitting), 10.657, 1e-12);
    for (const auto &[theta, phi] : {std::pair{0.0, 0.0}, {37.0, 20.0}, {90.0, 75.0}}) {
        const double b = 41.3;
        const std::vector<Line> got = sorted_lines(site_lines(principal_frame(powder(b, 0.0, 0.7, theta, phi))), 1e-9);
        // lines 1..6: (m_g, m_e) = (-1/2, -3/2), (-1/2, -1/2), (-1/2, +1/2), ... by energy
        const double g = kGroundSplitting * b, a = kExcitedSplitting * b;
        const double want[6] = {-1.5 * a - 0.5 * g, -0.5 * a - 0.5 * g, 0.5 * a - 0.5 * g,
                                -0.5 * a + 0.5 * g, 0.5 * a + 0.5 * g,  1.5 * a + 0.5 * g};
        const double weight[6] = {3, 2, 1, 1, 2, 3};
        std::vector<Line> seen;
        for (const Line &l : got)
            if (l.weight > 1e-14) seen.push_back(l);
        ASSERT_EQ(seen.size(), 6u);
        for (int k = 0; k < 6; ++k) {
            EXPECT_NEAR(seen[k].position, want[k], 1e-12);
            EXPECT_NEAR(seen[k].weight, weight[k] / 12.0, 1e-13);
        }
    }
}

// Pure quadrupole: two Kramers doublets at -+(eQVzz/4) sqrt(1 + eta^2/3), equal in a
// powder; a single crystal with the beam along Vzz (eta = 0) has the 3/2 line
// 3 (1 + cos^2 0) / (5 - 3 cos^2 0) = 3 times the 1/2 line.
TEST(StaticSite, PureQuadrupoleLimitIsTheDoublet) {
    for (double eta : {0.0, 0.35, 1.0}) {
        const double coupling = -1.9;  // a negative Vzz: the 1/2 doublet above
        const std::vector<Line> got = sorted_lines(site_lines(principal_frame(powder(0.0, coupling, eta, 0, 0))));
        ASSERT_EQ(got.size(), 2u) << eta;
        const double half = std::fabs(coupling) / 2.0 * std::sqrt(1.0 + eta * eta / 3.0);
        EXPECT_NEAR(got[0].position, -half, 1e-13);
        EXPECT_NEAR(got[1].position, half, 1e-13);
        EXPECT_NEAR(got[0].weight, 0.5, 1e-13);
    }
    const PrincipalSite crystal{0.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0};
    const std::vector<Line> got = sorted_lines(site_lines(principal_frame(crystal)));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NEAR(got[1].weight / got[0].weight, 3.0, 1e-12);  // +3/2 above for Vzz > 0
}

// A weak gradient shifts the sextet by eps = (eQVzz/8)(3 cos^2 theta - 1 + eta sin^2
// theta cos 2 phi): the outer lines by +eps, the inner four by -eps. What remains is of
// second order: it falls fourfold when the coupling halves.
TEST(StaticSite, WeakQuadrupoleGivesTheFirstOrderShiftToSecondOrder) {
    const double b = 33.0, eta = 0.6, theta = 50.0, phi = 25.0;
    const double rad = std::numbers::pi / 180.0;
    const double angular = 3.0 * std::pow(std::cos(theta * rad), 2) - 1.0 +
                           eta * std::pow(std::sin(theta * rad), 2) * std::cos(2.0 * phi * rad);
    double previous = 0.0;
    for (double coupling : {0.1, 0.05, 0.025}) {
        const double eps = coupling * 2.0 / 8.0 * angular;  // eQVzz = 2 x coupling
        const std::vector<Line> zeeman = sorted_lines(site_lines(principal_frame(powder(b, 0.0, 0, theta, phi))));
        const std::vector<Line> got = sorted_lines(site_lines(principal_frame(powder(b, coupling, eta, theta, phi))));
        std::vector<Line> strong_z, strong_g;
        for (const Line &l : zeeman)
            if (l.weight > 0.03) strong_z.push_back(l);
        for (const Line &l : got)
            if (l.weight > 0.03) strong_g.push_back(l);
        ASSERT_EQ(strong_g.size(), 6u);
        double worst = 0.0;
        for (int k = 0; k < 6; ++k) {
            const double sign = (k == 0 || k == 5) ? 1.0 : -1.0;
            worst = std::max(worst, std::fabs(strong_g[k].position - (strong_z[k].position + sign * eps)));
        }
        EXPECT_LT(worst, 0.2 * coupling * coupling) << coupling;
        if (previous > 0.0) {
            EXPECT_NEAR(previous / worst, 4.0, 0.25) << coupling;
        }
        previous = worst;
    }
}

// The same site seen from a rotated laboratory: field, gradient and beam turned
// together give the same eight lines.
TEST(StaticSite, CommonRotationChangesNothing) {
    const PrincipalSite site{17.0, 2.6, 0.45, 63.0, 41.0, 28.0, 115.0, 0.7};
    const SiteFrame f = principal_frame(site);
    const SiteLines want = site_lines(f);
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 4; ++trial) {
        // A random rotation: a unit quaternion.
        double q[4], n = 0.0;
        for (double &x : q) {
            x = u(gen);
            n += x * x;
        }
        for (double &x : q) x /= std::sqrt(n);
        const double w = q[0], x = q[1], y = q[2], z = q[3];
        const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                                {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                                {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
        SiteFrame g{};
        for (int i = 0; i < 3; ++i) {
            g.field[i] = 0.0;
            for (int k = 0; k < 3; ++k) g.field[i] += r[i][k] * f.field[k];
            for (int j = 0; j < 3; ++j) {
                g.quadrupole[i][j] = g.beam[i][j] = 0.0;
                for (int k = 0; k < 3; ++k)
                    for (int l = 0; l < 3; ++l) {
                        g.quadrupole[i][j] += r[i][k] * f.quadrupole[k][l] * r[j][l];
                        g.beam[i][j] += r[i][k] * f.beam[k][l] * r[j][l];
                    }
            }
        }
        const SiteLines got = site_lines(g);
        for (int j = 0; j < kSiteLines; ++j) {
            EXPECT_NEAR(got.position[j], want.position[j], 1e-12) << trial << " " << j;
            EXPECT_NEAR(got.weight[j], want.weight[j], 1e-12) << trial << " " << j;
        }
    }
}

}  // namespace
}  // namespace mosslib::hamiltonian
