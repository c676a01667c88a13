// Orientation grid: sizes, order, weights, the level cap, the rotation subsets and the
// trigonal setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "relax/orientation_grid.h"

namespace mosslib::relax {
namespace {

struct Grid {
    std::unique_ptr<ParlOrient> o = std::make_unique<ParlOrient>();
    int count = 0;
    int level = 0;
    Grid(int grid_level, int grid_sym) : level(grid_level) { count = build_orientation_grid(level, grid_sym, *o); }
    double x(int k) const { return o->sin_theta[k] * o->cos_phi[k]; }
    double y(int k) const { return o->sin_theta[k] * o->sin_phi[k]; }
    double z(int k) const { return o->cos_theta[k]; }
};

TEST(OrientationGrid, SizesForEverySubset) {
    struct Case {
        int sym;
        int rotations;
    };
    const Case cases[] = {{1, 1},  {10, 1}, {36, 1}, {12, 3},  {13, 6},  {14, 12}, {15, 24}, {5, 24},
                          {21, 1}, {25, 1}, {22, 4}, {23, 12}, {24, 24}, {20, 1},  {16, 1}};
    for (const Case &c : cases)
        for (int level = 1; level <= 5; ++level) {
            Grid g(level, c.sym);
            EXPECT_EQ(g.count, (2 << level) * c.rotations) << "sym " << c.sym << " level " << level;
            EXPECT_FLOAT_EQ(g.o->orient_weight, 1.0f / g.count);
        }
}

TEST(OrientationGrid, LevelAboveFiveActsAsFive) {
    Grid g(7, 15);
    EXPECT_EQ(g.level, 5);
    EXPECT_EQ(g.count, 1536);
    EXPECT_EQ(g.o->orient_weight, 1.0f / 1536.0f);
}

TEST(OrientationGrid, IdentityFirstReproducesTheBaseTable) {
    // Level 4, rotations 1, 2, 5, 8, 17, 18: base direction k is orientation 6k.
    Grid g(4, 13);
    ASSERT_EQ(g.count, 192);
    const double base[3][2] = {{0.640712, 0.576460}, {0.431239, 0.290093}, {0.683197, 0.334381}};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(g.o->cos_theta[6 * k], std::cos(base[k][0]), 2e-7);
        EXPECT_NEAR(g.o->sin_theta[6 * k], std::sin(base[k][0]), 2e-7);
        EXPECT_NEAR(g.o->cos_phi[6 * k], std::cos(base[k][1]), 2e-7);
        EXPECT_NEAR(g.o->sin_phi[6 * k], std::sin(base[k][1]), 2e-7);
        // the second listed rotation (number 2: (x, y, z) -> (-y, x, z)) is next
        EXPECT_NEAR(g.x(6 * k + 1), -g.y(6 * k), 1e-6);
        EXPECT_NEAR(g.y(6 * k + 1), g.x(6 * k), 1e-6);
        EXPECT_NEAR(g.z(6 * k + 1), g.z(6 * k), 1e-6);
    }
}

TEST(OrientationGrid, FullCubicGridIsUnitVectorsInEveryOctant) {
    Grid g(5, 15);
    int octant[8] = {};
    for (int k = 0; k < g.count; ++k) {
        EXPECT_NEAR(g.x(k) * g.x(k) + g.y(k) * g.y(k) + g.z(k) * g.z(k), 1.0, 1e-6);
        EXPECT_GT(g.o->sin_theta[k], 0.0f);
        ++octant[(g.x(k) > 0) + 2 * (g.y(k) > 0) + 4 * (g.z(k) > 0)];
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(octant[i], 1536 / 8);
    // A powder average: <cos^2 theta> = 1/3 and <P2> -> 0.
    double c2 = 0;
    for (int k = 0; k < g.count; ++k) c2 += g.z(k) * g.z(k);
    EXPECT_NEAR(c2 / g.count, 1.0 / 3, 1e-3);
}

// The 24 proper rotations of the cube, generated as the signed permutation matrices of
// determinant +1.
std::vector<std::array<std::array<int, 3>, 3>> cube_rotations() {
    std::vector<std::array<std::array<int, 3>, 3>> out;
    int perm[3] = {0, 1, 2};
    do {
        for (int signs = 0; signs < 8; ++signs) {
            std::array<std::array<int, 3>, 3> m{};
            for (int i = 0; i < 3; ++i) m[i][perm[i]] = (signs >> i & 1) ? -1 : 1;
            const int det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                            m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                            m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
            if (det == 1) out.push_back(m);
        }
    } while (std::next_permutation(perm, perm + 3));
    return out;
}

TEST(OrientationGrid, EveryLevelIsItsBaseTableUnderTheWholeCubeGroup) {
    // Per level: the base directions (identity only) lie strictly inside the wedge
    // [001]-[101]-[111] and match the published figures through their sums
    // (sum theta, sum phi, sum k (theta_k + phi_k), from the six-decimal values); the
    // full cubic grid is 24 times as many distinct unit vectors of equal weight, closed
    // under every rotation of the cube.
    const auto rotations = cube_rotations();
    ASSERT_EQ(rotations.size(), 24u);
    const double published[5][3] = {{2.213263, 1.689583, 9.884092},
                                    {4.436069, 3.319009, 36.790106},
                                    {8.890652, 6.680014, 131.751866},
                                    {17.794007, 13.339882, 511.747746},
                                    {35.608947, 26.769085, 2040.363779}};
    for (int level = 1; level <= 5; ++level) {
        const int m = 2 << level;
        Grid base(level, 11);
        ASSERT_EQ(base.count, m);
        double sums[3] = {};
        for (int k = 0; k < m; ++k) {
            const double theta = std::atan2(base.o->sin_theta[k], base.o->cos_theta[k]);
            const double phi = std::atan2(base.o->sin_phi[k], base.o->cos_phi[k]);
            EXPECT_GT(phi, 0.0) << level << " " << k;
            EXPECT_LT(phi, M_PI / 4) << level << " " << k;
            EXPECT_LT(theta, std::atan(1 / std::cos(phi))) << level << " " << k;
            sums[0] += theta;
            sums[1] += phi;
            sums[2] += (k + 1) * (theta + phi);
        }
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(sums[i], published[level - 1][i], 5e-6 * (i == 2 ? m : 1)) << level;

        Grid full(level, 15);
        ASSERT_EQ(full.count, 24 * m);
        EXPECT_EQ(full.o->orient_weight, 1.0f / static_cast<float>(full.count));
        int unmatched = 0;
        double closest = 2;
        for (int k = 0; k < full.count; ++k) {
            const double v[3] = {full.x(k), full.y(k), full.z(k)};
            EXPECT_NEAR(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 1.0, 1e-6);
            for (int l = k + 1; l < full.count; ++l)
                closest = std::min(closest, std::hypot(v[0] - full.x(l), v[1] - full.y(l), v[2] - full.z(l)));
            for (const auto &r : rotations) {
                double w[3];
                for (int i = 0; i < 3; ++i) w[i] = r[i][0] * v[0] + r[i][1] * v[1] + r[i][2] * v[2];
                double best = 2;
                for (int l = 0; l < full.count; ++l)
                    best = std::min(best, std::hypot(w[0] - full.x(l), w[1] - full.y(l), w[2] - full.z(l)));
                unmatched += best > 1e-5;
            }
        }
        EXPECT_EQ(unmatched, 0) << "level " << level;
        EXPECT_GT(closest, 1e-3) << "level " << level;
    }
}

TEST(OrientationGrid, TrigonalGridIsTheCubicGridInTheTrigonalFrame) {
    // Every orientation of the trigonal full grid, taken back to cube coordinates by T,
    // is an orientation of the cubic full grid.
    Grid tri(2, 24);
    Grid cub(2, 15);
    ASSERT_EQ(tri.count, cub.count);
    const double a = 1 / std::sqrt(2.0), b = 1 / std::sqrt(3.0);
    const double t[3][3] = {{a * b, -a, b}, {a * b, a, b}, {-b / a, 0, b}};
    for (int k = 0; k < tri.count; ++k) {
        const double w[3] = {tri.x(k), tri.y(k), tri.z(k)};
        double c[3];
        for (int i = 0; i < 3; ++i) c[i] = t[i][0] * w[0] + t[i][1] * w[1] + t[i][2] * w[2];
        double best = 1e9;
        for (int l = 0; l < cub.count; ++l) {
            const double d = std::hypot(c[0] - cub.x(l), c[1] - cub.y(l), c[2] - cub.z(l));
            best = std::min(best, d);
        }
        EXPECT_LT(best, 1e-5) << "orientation " << k;
    }
}

TEST(OrientationGrid, TrigonalSubsetGivesUnitVectors) {
    // Rotations 1..4 taken into the trigonal frame: unit vectors with sin(theta) >= 0.
    Grid g(3, 22);
    EXPECT_EQ(g.count, 16 * 4);
    for (int k = 0; k < g.count; ++k) {
        EXPECT_NEAR(g.x(k) * g.x(k) + g.y(k) * g.y(k) + g.z(k) * g.z(k), 1.0, 1e-6);
        EXPECT_GE(g.o->sin_theta[k], 0.0f);
    }
}

}  // namespace
}  // namespace mosslib::relax
