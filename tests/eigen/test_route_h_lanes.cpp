// Route H on four matrices of order 4 side by side (hbisect4) must give each matrix
// exactly what hbisect gives it alone, in AVX2 lanes and on the one-matrix fallback:
// lanes that stop bisecting at different steps, exact degeneracies, the zero matrix,
// scaled and failing lanes.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/vector_lanes.h"
#include "eigen/route_h_lanes.h"
#include "eigen/eispack.h"
#include "eigen/lane_ops.h"
#include "hermitian_fixture.h"

using namespace eigen_test;
namespace common = mosslib::common;

namespace {

constexpr int kLanes = eig::kHbisectLanes;

struct Solved {
    eig::Status status;
    double w[4], zr[16], zi[16], a[32];
};

std::vector<cplx> lower_triangle(const Hermitian &h) {
    std::vector<cplx> a(16);
    for (int j = 0; j < 4; ++j)
        for (int i = j; i < 4; ++i) a[i + 4 * j] = h.at(i, j);
    return a;
}

bool same_bits(const Solved &x, const Solved &y) {
    return x.status == y.status && std::memcmp(x.w, y.w, sizeof x.w) == 0 &&
           std::memcmp(x.zr, y.zr, sizeof x.zr) == 0 && std::memcmp(x.zi, y.zi, sizeof x.zi) == 0 &&
           std::memcmp(x.a, y.a, sizeof x.a) == 0;
}

// Every matrix alone, then all side by side in AVX2 lanes (where present) and with the
// lanes refused; estimates[m] false bisects matrix m by Sturm counts alone.
void expect_lanes_match_alone(const std::vector<Hermitian> &hs, const std::vector<bool> &estimates, const char *what) {
    const int count = static_cast<int>(hs.size());
    std::vector<Solved> alone(count);
    for (int m = 0; m < count; ++m) {
        std::vector<cplx> a = lower_triangle(hs[m]);
        alone[m].status = estimates[m] ? eig::hbisect(4, a.data(), alone[m].w, alone[m].zr, alone[m].zi)
                                       : eig::detail::hbisect_sturm_only(4, a.data(), alone[m].w, alone[m].zr,
                                                                         alone[m].zi);
        std::memcpy(alone[m].a, a.data(), sizeof alone[m].a);
    }
    for (const bool wide : {true, false}) {
        std::vector<std::vector<cplx>> as;
        std::vector<Solved> side(count);
        cplx *a[kLanes];
        double *w[kLanes], *zr[kLanes], *zi[kLanes];
        eig::Status status[kLanes];
        bool use[kLanes];
        for (int m = 0; m < count; ++m) as.push_back(lower_triangle(hs[m]));
        for (int m = 0; m < count; ++m) {
            a[m] = as[m].data();
            w[m] = side[m].w;
            zr[m] = side[m].zr;
            zi[m] = side[m].zi;
            use[m] = estimates[m];
        }
        common::allow_avx2_lanes(wide);
        eig::detail::hbisect4_choosing(count, a, w, zr, zi, status, use);
        common::allow_avx2_lanes(true);
        for (int m = 0; m < count; ++m) {
            side[m].status = status[m];
            std::memcpy(side[m].a, as[m].data(), sizeof side[m].a);
            EXPECT_TRUE(same_bits(side[m], alone[m]))
                << what << ": matrix " << m << " of " << count << (wide ? ", AVX2 lanes" : ", one matrix at a time");
        }
    }
}

// The excited nuclear Hamiltonian's shape: quadrupole tensor (zz, xz, yz, rhombic) and
// a field (hx, hy, hz), in the basis m = 3/2 .. -3/2.
Hermitian nuclear(double vzz, double vxz, double vyz, double rre, double rim, double hx, double hy, double hz) {
    Hermitian h{4, std::vector<cplx>(16)};
    auto put = [&](int i, int j, cplx z) {
        h.at(i, j) = z;
        h.at(j, i) = std::conj(z);
    };
    put(0, 0, vzz / 2 + 1.5 * hz);
    put(1, 1, -vzz / 2 + 0.5 * hz);
    put(2, 2, -vzz / 2 - 0.5 * hz);
    put(3, 3, vzz / 2 - 1.5 * hz);
    put(1, 0, {vxz + 0.87 * hx, vyz + 0.87 * hy});
    put(3, 2, {-vxz + 0.87 * hx, -vyz + 0.87 * hy});
    put(2, 1, {hx, hy});
    put(2, 0, {rre, rim});
    put(3, 1, {rre, rim});
    return h;
}

Hermitian diagonal(double a, double b, double c, double d) {
    Hermitian h{4, std::vector<cplx>(16)};
    h.at(0, 0) = a;
    h.at(1, 1) = b;
    h.at(2, 2) = c;
    h.at(3, 3) = d;
    return h;
}

TEST(BisectionLanes, RandomMatricesAtEveryScaleAndCount) {
    std::mt19937_64 rng(2024);
    const double scales[] = {1e-310, 1e-200, 1e-7, 1.0, 3.0e4, 1e150, 1e305};
    std::uniform_int_distribution<int> pick(0, 6);
    for (int trial = 0; trial < 300; ++trial) {
        const int count = 1 + trial % kLanes;
        std::vector<Hermitian> hs;
        for (int m = 0; m < count; ++m) hs.push_back(random_hermitian(4, rng, scales[pick(rng)]));
        std::vector<bool> estimates(count, true);
        if (trial % 5 == 4) estimates[trial % count] = false;
        expect_lanes_match_alone(hs, estimates, "random");
    }
}

TEST(BisectionLanes, DegenerateLevelsNextToOrdinaryOnes) {
    std::mt19937_64 rng(7);
    const std::vector<Hermitian> special = {
        nuclear(0.7, 0.1, -0.2, 0.05, 0.03, 0.0, 0.0, 0.0),   // pure quadrupole: Kramers pairs
        nuclear(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.3),      // field along z only: equal spacings
        nuclear(0.0, 0.0, 0.0, 0.0, 0.0, 0.2, -0.1, 0.3),     // pure Zeeman, oblique
        nuclear(0.4, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0),      // axial quadrupole: decoupled pairs
        nuclear(0.4, 0.0, 0.0, 0.05, -0.02, 0.0, 0.0, 0.2),   // rhombic, field along z: zero next to the diagonal
        nuclear(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0),      // zero matrix: no bisection
        diagonal(2.0, 2.0, 2.0, 2.0),                          // fourfold
        diagonal(1.0, -1.0, 1.0, -1.0),                        // repeated, out of order
        diagonal(0.0, 0.0, 5e-324, 0.0),                       // a subnormal among zeros
    };
    for (std::size_t s = 0; s < special.size(); ++s) {
        // Alone, and beside ordinary matrices that bisect on for many more steps.
        expect_lanes_match_alone({special[s]}, {true}, "special alone");
        std::vector<Hermitian> hs = {random_hermitian(4, rng), special[s], random_hermitian(4, rng, 1e3),
                                     special[(s + 3) % special.size()]};
        expect_lanes_match_alone(hs, {true, true, true, true}, "special beside random");
        expect_lanes_match_alone(hs, {false, true, false, true}, "special, Sturm counts only");
    }
}

TEST(BisectionLanes, NonFiniteLaneLeavesTheOthersAlone) {
    std::mt19937_64 rng(11);
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (const double v : bad) {
        for (int lane = 0; lane < kLanes; ++lane) {
            std::vector<Hermitian> hs;
            for (int m = 0; m < kLanes; ++m) hs.push_back(random_hermitian(4, rng));
            hs[lane].at(2, 1) = {0.5, v};
            hs[lane].at(1, 2) = std::conj(hs[lane].at(2, 1));
            expect_lanes_match_alone(hs, {true, true, true, true}, "non-finite lane");
            // The failing lane's contract: the status and NaN, not a partial result.
            std::vector<cplx> a = lower_triangle(hs[lane]);
            double w[4], zr[16], zi[16];
            EXPECT_EQ(eig::hbisect(4, a.data(), w, zr, zi), eig::Status::non_finite);
            EXPECT_TRUE(std::isnan(w[0]) && std::isnan(zr[5]) && std::isnan(zi[15]));
        }
    }
}

// A lane of the bisection never sees another: each lane's bounds are the same beside
// NaN, infinite or zero-width lanes as beside nothing.
TEST(BisectionLanes, LanesOfTheKernelAreIndependent) {
    namespace d = eig::detail;
    if (!d::lanes::available()) GTEST_SKIP() << "no AVX2 lanes on this machine";
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Problem {
        double d[4], e2[4], w[4], lower[4], est[4];
        bool with_estimates;
    };
    auto make = [&](bool with_estimates) {
        Problem p{};
        for (int i = 0; i < 4; ++i) {
            p.d[i] = u(rng);
            p.e2[i] = i == 0 ? 0.0 : u(rng) * u(rng);
            p.w[i] = 3.0;
            p.lower[i] = -3.0;
            p.est[i] = 1.5 - i;  // rough estimates: counts near them by Sturm sequences
        }
        p.with_estimates = with_estimates;
        return p;
    };
    auto lane = [](Problem &p) {
        return d::BisectLane{p.d, p.e2, p.w, p.lower, 3e-11, p.with_estimates ? p.est : nullptr, 0.2};
    };
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<Problem> ps;
        for (int m = 0; m < 4; ++m) ps.push_back(make(m % 2 == trial % 2));
        const int odd = trial % 4;
        const double poison[] = {nan, inf, -inf, 0.0};
        ps[odd].d[trial % 3 + 1] = poison[trial % 4];
        if (trial % 4 == 3) ps[odd].e2[2] = nan;
        std::vector<Problem> side = ps, alone = ps;
        d::BisectLane lanes[4];
        for (int m = 0; m < 4; ++m) lanes[m] = lane(side[m]);
        d::bisect4_lanes(4, lanes);
        for (int m = 0; m < 4; ++m) {
            const d::BisectLane one = lane(alone[m]);
            d::bisect4_lanes(1, &one);
        }
        for (int m = 0; m < 4; ++m) {
            EXPECT_EQ(std::memcmp(side[m].w, alone[m].w, sizeof side[m].w), 0) << "trial " << trial << " lane " << m;
            EXPECT_EQ(std::memcmp(side[m].lower, alone[m].lower, sizeof side[m].lower), 0)
                << "trial " << trial << " lane " << m;
        }
    }
}

// The QL estimates side by side: the same bits and the same verdict as alone, for
// couplings of every size (deflation at negligible ones, 2 x 2 blocks, rotations that
// underflow), and for lanes that fail (non-finite: the iteration limit).
TEST(BisectionLanes, QlEstimatesMatchTheOneMatrixIteration) {
    namespace d = eig::detail;
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double sizes[] = {0.0, 1e-300, 1e-17, 1e-8, 1.0, 50.0};
    std::uniform_int_distribution<int> pick(0, 5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    int failures = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const int count = 1 + trial % kLanes;
        double dd[kLanes][4], ee[kLanes][3], norm[kLanes], alone[kLanes][4], side[kLanes][4], base[kLanes][4];
        const double *dp[kLanes], *ep[kLanes];
        double *sp[kLanes], *bp[kLanes];
        bool ok_alone[kLanes], ok_side[kLanes], ok_base[kLanes];
        for (int m = 0; m < count; ++m) {
            // Entries near 1e-170 make the rotations' squares underflow.
            const double scale = (trial + m) % 5 == 2 ? 1e-170 : 1.0;
            double sum = 0.0;
            for (int i = 0; i < 4; ++i) {
                dd[m][i] = scale * (trial % 7 == 3 ? 0.25 * (i % 2) : u(rng));  // repeated diagonals
                sum += dd[m][i] * dd[m][i];
            }
            for (int i = 0; i < 3; ++i) {
                ee[m][i] = scale * std::fabs(u(rng)) * sizes[pick(rng)];
                sum += 2.0 * ee[m][i] * ee[m][i];
            }
            if (trial % 11 == 5 && m == trial % count) ee[m][trial % 3] = nan;
            norm[m] = std::sqrt(sum);
            dp[m] = dd[m];
            ep[m] = ee[m];
            sp[m] = side[m];
            bp[m] = base[m];
            ok_alone[m] = d::ql_estimates4(dd[m], ee[m], norm[m], alone[m]);
            failures += !ok_alone[m];
        }
        d::ql_estimates4_lanes(count, dp, ep, norm, sp, ok_side);
        common::allow_avx2_lanes(false);
        d::ql_estimates4_lanes(count, dp, ep, norm, bp, ok_base);
        common::allow_avx2_lanes(true);
        for (int m = 0; m < count; ++m) {
            ASSERT_EQ(ok_side[m], ok_alone[m]) << "trial " << trial << " lane " << m;
            ASSERT_EQ(ok_base[m], ok_alone[m]) << "trial " << trial << " lane " << m;
            if (!ok_alone[m]) continue;
            EXPECT_EQ(std::memcmp(side[m], alone[m], sizeof side[m]), 0) << "trial " << trial << " lane " << m;
            EXPECT_EQ(std::memcmp(base[m], alone[m], sizeof base[m]), 0) << "trial " << trial << " lane " << m;
        }
    }
    EXPECT_GT(failures, 0);  // the failing lanes were exercised
}

}  // namespace
