// Powder-grid directions and tensor rotation.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "spinham/powder_grid.h"
#include "spinham/tensor_rotation.h"

namespace sh = mosslib::spinham;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<sh::FieldDirection> grid(int n, int m) {
    std::vector<sh::FieldDirection> out;
    sh::FieldDirection d;
    for (std::int64_t j = 1; j <= sh::powder_point_count(n, m); ++j) out.push_back(d = sh::powdir(n, j, m, d));
    return out;
}

}  // namespace

TEST(PowderGrid, OneAngleGridHasMidpointsOfTheQuarterCircle) {
    const auto g = grid(2, 0);
    ASSERT_EQ(g.size(), 2u);
    const double theta[2] = {kPi / 8, 3 * kPi / 8};
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(g[i].nz, std::cos(theta[i]), 5e-7);
        EXPECT_NEAR(g[i].nx, std::sin(theta[i]), 5e-7);
        EXPECT_EQ(g[i].ny, 0.0);
        EXPECT_EQ(g[i].w, g[i].nx);
    }
}

TEST(PowderGrid, FourQuadrantCopiesOfOnePoint) {
    const auto g = grid(1, 4);
    ASSERT_EQ(g.size(), 4u);
    const double x = std::sin(kPi / 4) * std::cos(kPi / 4), z = std::cos(kPi / 4);
    const double sx[4] = {1, -1, -1, 1}, sy[4] = {1, 1, -1, -1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(g[i].nx, sx[i] * x, 5e-7) << i;
        EXPECT_NEAR(g[i].ny, sy[i] * x, 5e-7) << i;
        EXPECT_NEAR(g[i].nz, z, 5e-7) << i;
        EXPECT_EQ(g[i].w, g[0].w);
        EXPECT_NEAR(g[i].w, std::sin(kPi / 4), 5e-7);
    }
}

TEST(PowderGrid, RingsHoldAsManyPointsAsTheirNumber) {
    // n = 2, m = 1: (ring, point) = (1, 1), (2, 2), (2, 1).
    const auto g = grid(2, 1);
    ASSERT_EQ(g.size(), 3u);
    const double theta[3] = {kPi / 8, 3 * kPi / 8, 3 * kPi / 8};
    const double phi[3] = {kPi / 4, 3 * kPi / 8, kPi / 8};
    const double ring[3] = {1, 2, 2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(g[i].nz, std::cos(theta[i]), 5e-7) << i;
        EXPECT_NEAR(g[i].nx, std::sin(theta[i]) * std::cos(phi[i]), 5e-7) << i;
        EXPECT_NEAR(g[i].ny, std::sin(theta[i]) * std::sin(phi[i]), 5e-7) << i;
        EXPECT_NEAR(g[i].w, std::sin(theta[i]) / ring[i], 5e-7) << i;
    }
}

TEST(PowderGrid, CopiesBeyondTheFourthKeepNegatingX) {
    const auto g = grid(1, 6);
    ASSERT_EQ(g.size(), 6u);
    EXPECT_EQ(g[4].nx, -g[3].nx);
    EXPECT_EQ(g[5].nx, -g[4].nx);
    EXPECT_EQ(g[5].ny, g[3].ny);
}

TEST(PowderGrid, TwoAngleGridAveragesLikeASphere) {
    // Unit vectors in the upper hemisphere, every quadrant equally often; the weighted
    // mean of n_i^2 is 1/3 and the weights sum to m * (2n/pi) within the midpoint rule.
    const int n = 15, m = 4;
    const auto g = grid(n, m);
    ASSERT_EQ(g.size(), 480u);
    double wsum = 0, xx = 0, yy = 0, zz = 0;
    int quadrant[4] = {0, 0, 0, 0};
    for (const auto &d : g) {
        EXPECT_NEAR(d.nx * d.nx + d.ny * d.ny + d.nz * d.nz, 1.0, 1e-14);
        EXPECT_GT(d.nz, 0.0);
        ++quadrant[(d.nx < 0 ? 1 : 0) + (d.ny < 0 ? 2 : 0)];
        wsum += d.w;
        xx += d.w * d.nx * d.nx;
        yy += d.w * d.ny * d.ny;
        zz += d.w * d.nz * d.nz;
    }
    for (int q : quadrant) EXPECT_EQ(q, 120);
    EXPECT_NEAR(wsum / (m * 2.0 * n / kPi), 1.0, 1e-3);
    EXPECT_NEAR(xx / wsum, 1.0 / 3.0, 2e-3);
    EXPECT_NEAR(yy / wsum, 1.0 / 3.0, 2e-3);
    EXPECT_NEAR(zz / wsum, 1.0 / 3.0, 2e-3);
}

TEST(PowderGrid, PointCount) {
    EXPECT_EQ(sh::powder_point_count(15, 0), 15);
    EXPECT_EQ(sh::powder_point_count(15, 4), 480);
    EXPECT_EQ(sh::powder_point_count(10, 4), 220);
}

TEST(TensorRotation, ZeroAnglesKeepThePrincipalValues) {
    const sh::SymmetricTensor t = sh::tensrot(-187, -243, -227, 0, 0, 0);
    EXPECT_EQ(t.xx, -187);
    EXPECT_EQ(t.yy, -243);
    EXPECT_EQ(t.zz, -227);
    EXPECT_EQ(t.xy, 0);
    EXPECT_EQ(t.xz, 0);
    EXPECT_EQ(t.yz, 0);
}

TEST(TensorRotation, NinetyDegreePolarTurnSwapsXAndZ) {
    const sh::SymmetricTensor t = sh::tensrot(1.0, 2.0, 5.0, 0, 90, 0);
    EXPECT_NEAR(t.xx, 5.0, 1e-6);
    EXPECT_NEAR(t.yy, 2.0, 1e-12);
    EXPECT_NEAR(t.zz, 1.0, 1e-6);
    EXPECT_NEAR(t.xz, 0.0, 1e-6);
}

TEST(TensorRotation, PrincipalZAxisPointsAlongBetaAlpha) {
    // T n = Pz n for n at polar angle beta and azimuth alpha; trace and determinant kept.
    const double px = 1.5, py = -2.0, pz = 4.0, alpha = 37, beta = 61, gamma = 113;
    const sh::SymmetricTensor t = sh::tensrot(px, py, pz, alpha, beta, gamma);
    const double a = alpha * sh::kDegree, b = beta * sh::kDegree;
    const double n[3] = {std::sin(b) * std::cos(a), std::sin(b) * std::sin(a), std::cos(b)};
    const double tn[3] = {t.xx * n[0] + t.xy * n[1] + t.xz * n[2], t.xy * n[0] + t.yy * n[1] + t.yz * n[2],
                          t.xz * n[0] + t.yz * n[1] + t.zz * n[2]};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(tn[i], pz * n[i], 1e-12);
    EXPECT_NEAR(t.xx + t.yy + t.zz, px + py + pz, 1e-14);
    const double det = t.xx * (t.yy * t.zz - t.yz * t.yz) - t.xy * (t.xy * t.zz - t.yz * t.xz) +
                       t.xz * (t.xy * t.yz - t.yy * t.xz);
    EXPECT_NEAR(det, px * py * pz, 1e-12);
}

TEST(PowderGrid, QuarterTurnLiteralsInTheirTwoPrecisions) {
    // Polar step from the single-precision 0.785398 (0.785398006439209 as a double),
    // azimuthal step from the double 0.785398.
    const sh::FieldDirection one_angle = sh::powdir(1, 1, 0, {});
    EXPECT_EQ(one_angle.nz, std::cos(0.785398006439209));
    const sh::FieldDirection two_angle = sh::powdir(1, 1, 1, {});
    EXPECT_EQ(two_angle.ny, std::sin(0.785398) * std::sin(0.785398006439209));
    EXPECT_EQ(sh::kDegree, 0.01745329238474369);
}
