// The eight 57Fe transitions: line positions and intensity tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "spinham/nuclear_transitions.h"

namespace sh = mosslib::spinham;

namespace {

struct Lines {
    double e[8], i[8];
    mosslib::eigen::Status status;
};

Lines transitions(const sh::SymmetricTensor &v, double hx, double hy, double hz, double nx, double ny, double nz,
                  int option) {
    sh::NuclearWork work;
    Lines l;
    l.status = sh::nuctrans(v, hx, hy, hz, nx, ny, nz, option, work, l.e, l.i);
    return l;
}

// (position, intensity) pairs sorted by position.
std::vector<std::pair<double, double>> sorted(const Lines &l) {
    std::vector<std::pair<double, double>> out;
    for (int k = 0; k < 8; ++k) out.emplace_back(l.e[k], l.i[k]);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(NuclearLines, FieldAlongZPositions) {
    const double b = 330.0;
    const Lines l = transitions({}, 0, 0, b, 0, 0, 1, 0);
    ASSERT_EQ(l.status, mosslib::eigen::Status::ok);
    const double w[4] = {0.0101431 * b, 0.0101431 * b / 3, -0.0101431 * b / 3, -0.0101431 * b};
    const double ea = -0.0059146 * b;
    for (int j = 0; j < 4; ++j) {
        EXPECT_NEAR(l.e[j], w[j] - ea, 1e-9);
        EXPECT_NEAR(l.e[j + 4], w[j] + ea, 1e-9);
    }
}

TEST(NuclearLines, IntensityTablesForFieldAlongZ) {
    const double tables[4][8] = {
        {3 / 8.0, 0, 1 / 8.0, 0, 0, 1 / 8.0, 0, 3 / 8.0},                  // option 0, k along z
        {1 / 4.0, 1 / 6.0, 1 / 12.0, 0, 0, 1 / 12.0, 1 / 6.0, 1 / 4.0},     // option -2
        {3 / 16.0, 1 / 4.0, 1 / 16.0, 0, 0, 1 / 16.0, 1 / 4.0, 3 / 16.0},   // option -1
        {0, 1 / 2.0, 0, 0, 0, 0, 1 / 2.0, 0},                               // option 2
    };
    const int options[4] = {0, -2, -1, 2};
    for (int t = 0; t < 4; ++t) {
        const Lines l = transitions({}, 0, 0, 330.0, 0, 0, 1, options[t]);
        for (int k = 0; k < 8; ++k) EXPECT_NEAR(l.i[k], tables[t][k], 2e-8) << "option " << options[t] << " line " << k;
    }
}

TEST(NuclearLines, CircularPolarisationSelectsOneHandedness) {
    // Along the field each Delta m = +-1 line is either doubled or absent.
    const Lines linear = transitions({}, 0, 0, 330.0, 0, 0, 1, 0);
    const Lines circular = transitions({}, 0, 0, 330.0, 0, 0, 1, 1);
    double sum_lin = 0, sum_circ = 0;
    for (int k = 0; k < 8; ++k) {
        const bool doubled = std::fabs(circular.i[k] - 2 * linear.i[k]) < 1e-7;
        const bool absent = std::fabs(circular.i[k]) < 1e-7;
        EXPECT_TRUE(doubled || absent) << k;
        sum_lin += linear.i[k];
        sum_circ += circular.i[k];
    }
    EXPECT_NEAR(sum_circ, sum_lin, 1e-7);
    EXPECT_GT(std::fabs(circular.i[0] - circular.i[7]), 0.5);
}

TEST(NuclearLines, TurningFieldAndRadiationTogetherChangesNothing) {
    // Without a field gradient only the angle between field and radiation matters;
    // antiparallel fields (HEFZ < 0) reorder the slots but not the set of lines. The
    // single-precision Zeeman constants agree with each other to about 1e-6 mm/s.
    const double b = 330.0;
    for (int option : {-2, -1, 0, 1, 2}) {
        const auto ref = sorted(transitions({}, 0, 0, b, 0, 0, 1, option));
        const double dirs[3][3] = {{0.48, -0.6, 0.64}, {0.0, 0.6, -0.8}, {-1.0, 0.0, 0.0}};
        for (const auto &n : dirs) {
            const auto got = sorted(transitions({}, b * n[0], b * n[1], b * n[2], n[0], n[1], n[2], option));
            for (int k = 0; k < 8; ++k) {
                EXPECT_NEAR(got[k].first, ref[k].first, 2e-6) << option << " " << k;
                EXPECT_NEAR(got[k].second, ref[k].second, 1e-7) << option << " " << k;
            }
        }
    }
}

TEST(NuclearLines, IntensitiesSumToOneForUnpolarisedGeometries) {
    const sh::SymmetricTensor efg{0.2, -0.5, 0.3, 0.11, -0.07, 0.05};
    for (int option : {-2, -1, 0, 2}) {
        const Lines l = transitions(efg, 120.0, -80.0, -210.0, 0.3, 0.5, 0.81, option);
        double sum = 0;
        for (double x : l.i) {
            EXPECT_GE(x, -1e-12);
            sum += x;
        }
        EXPECT_NEAR(sum, 1.0, 1e-7) << option;
    }
}

TEST(GroundDoublet, AntiparallelFieldPutsStateAOnTop) {
    const sh::GroundDoublet up = sh::gndstate(30.0, 40.0, 120.0);
    EXPECT_LT(up.ea, 0.0);
    const sh::GroundDoublet down = sh::gndstate(30.0, 40.0, -120.0);
    EXPECT_GT(down.ea, 0.0);
    EXPECT_NEAR(down.ea, 0.0059146 * 130.0, 1e-12);
    for (const auto &g : {up, down}) {
        EXPECT_GE(g.alpha, std::sqrt(0.5));
        EXPECT_NEAR(g.alpha * g.alpha + g.beta_re * g.beta_re + g.beta_im * g.beta_im, 1.0, 1e-14);
    }
}

TEST(GroundDoublet, ZeroFieldTakesTheMBasis) {
    const sh::GroundDoublet g = sh::gndstate(0.0, 0.0, 0.0);
    EXPECT_EQ(g.ea, 0.0);
    EXPECT_EQ(g.alpha, 1.0);
    EXPECT_EQ(g.beta_re, 0.0);
    EXPECT_EQ(g.beta_im, 0.0);
}

TEST(NuclearLines, PureQuadrupoleDoubletInZeroField) {
    // No field: two lines at -+ Delta E_Q / 2 of equal weight, nothing NaN.
    const double deq = 0.8;
    const sh::SymmetricTensor efg{-deq / 2, -deq / 2, deq, 0, 0, 0};
    const Lines l = transitions(efg, 0, 0, 0, 0.6, 0.0, 0.8, -2);
    double lower = 0, upper = 0;
    for (int k = 0; k < 8; ++k) {
        ASSERT_TRUE(std::isfinite(l.e[k]) && std::isfinite(l.i[k])) << k;
        EXPECT_NEAR(std::fabs(l.e[k]), deq / 2, 1e-9) << k;
        (l.e[k] < 0 ? lower : upper) += l.i[k];
    }
    EXPECT_NEAR(lower, 0.5, 1e-7);
    EXPECT_NEAR(upper, 0.5, 1e-7);
}

TEST(NuclearLines, MetallicIronSextet) {
    // -330 kG at the nucleus: lines at +-5.30, +-3.07, +-0.84 mm/s, intensities 3:2:1
    // averaged over the radiation and 3:4:1 perpendicular to the field.
    const double b = -330.0;
    const double want[6] = {-5.30, -3.07, -0.84, 0.84, 3.07, 5.30};
    for (int option : {-2, -1}) {
        auto lines = sorted(transitions({}, 0, 0, b, 0, 0, 1, option));
        lines.erase(std::remove_if(lines.begin(), lines.end(), [](auto &p) { return p.second < 1e-9; }), lines.end());
        ASSERT_EQ(lines.size(), 6u);
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(lines[k].first, want[k], 0.01) << k;
        const double middle = option == -2 ? 2.0 : 4.0;
        const double ratio[6] = {3, middle, 1, 1, middle, 3};
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(lines[k].second / lines[2].second, ratio[k], 1e-6) << k;
    }
}

TEST(NuclearLines, NoFieldNoGradientGivesOneUnsplitLine) {
    // All four excited levels at 0: the eight lines sit at 0 and keep their whole weight.
    for (int option : {-2, -1, 0}) {
        const Lines l = transitions({}, 0, 0, 0, 0, 0, 1, option);
        double sum = 0;
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(l.e[k], 0.0);
            sum += l.i[k];
        }
        EXPECT_NEAR(sum, 1.0, 1e-7) << option;
    }
}

TEST(NuclearLines, SinglePrecisionConstantsWidenedToDouble) {
    EXPECT_EQ(sh::kExcitedZeeman, 0.006762070115655661);
    EXPECT_EQ(sh::kExcitedZeemanHalfRoot3, 0.005856120027601719);
    EXPECT_EQ(sh::kRoot3Single, 1.7320507764816284);
}
