// Route A on four matrices side by side (chdesc_lanes) must give each matrix exactly
// what chdesc gives it alone, status included, in AVX2 lanes and on the one-matrix
// fallback: lanes that need different numbers of QL iterations, exact degeneracies, the
// iteration limit reached in some lanes only, non-finite and overflowing lanes.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/vector_lanes.h"
#include "hermitian_fixture.h"

using namespace eigen_test;
namespace common = mosslib::common;

namespace {

constexpr int kLanes = eig::kRouteALanes;

struct Solved {
    eig::Status status;
    std::vector<double> ar, ai, w, zr, zi;
    explicit Solved(const Hermitian &h) : ar(h.a.size()), ai(h.a.size()), w(h.n), zr(h.a.size()), zi(h.a.size()) {
        for (std::size_t k = 0; k < h.a.size(); ++k) {
            ar[k] = h.a[k].real();
            ai[k] = h.a[k].imag();
        }
    }
    bool operator==(const Solved &o) const {
        auto same = [](const std::vector<double> &x, const std::vector<double> &y) {
            return std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
        };
        return status == o.status && same(ar, o.ar) && same(ai, o.ai) && same(w, o.w) && same(zr, o.zr) &&
               same(zi, o.zi);
    }
};

void expect_lanes_match_alone(const std::vector<Hermitian> &hs, int limit, const char *what) {
    const int count = static_cast<int>(hs.size());
    const int n = hs[0].n;
    std::vector<Solved> alone;
    for (int m = 0; m < count; ++m) {
        alone.emplace_back(hs[m]);
        Solved &s = alone.back();
        s.status = eig::chdesc(n, s.ar.data(), s.ai.data(), s.w.data(), s.zr.data(), s.zi.data(), limit);
    }
    for (const bool wide : {true, false}) {
        std::vector<Solved> side;
        for (int m = 0; m < count; ++m) side.emplace_back(hs[m]);
        double *ar[kLanes], *ai[kLanes], *w[kLanes], *zr[kLanes], *zi[kLanes];
        eig::Status status[kLanes];
        for (int m = 0; m < count; ++m) {
            ar[m] = side[m].ar.data();
            ai[m] = side[m].ai.data();
            w[m] = side[m].w.data();
            zr[m] = side[m].zr.data();
            zi[m] = side[m].zi.data();
        }
        common::allow_avx2_lanes(wide);
        eig::chdesc_lanes(count, n, ar, ai, w, zr, zi, status, limit);
        common::allow_avx2_lanes(true);
        for (int m = 0; m < count; ++m) {
            side[m].status = status[m];
            EXPECT_TRUE(side[m] == alone[m]) << what << ", n = " << n << ": matrix " << m << " of " << count
                                             << (wide ? ", AVX2 lanes" : ", one matrix at a time");
        }
    }
}

// Spin S = (mult - 1)/2 with axial zero-field splitting in a field along x: Kramers
// doublets at zero field, exactly degenerate levels.
Hermitian spin(int mult, double dz, double bx, double bz) {
    const double s = (mult - 1) / 2.0;
    Hermitian h{mult, std::vector<cplx>(static_cast<std::size_t>(mult) * mult)};
    for (int i = 0; i < mult; ++i) {
        const double mz = s - i;
        h.at(i, i) = dz * (mz * mz - s * (s + 1) / 3) + bz * mz;
        if (i + 1 < mult) {
            const double c = std::sqrt(s * (s + 1) - mz * (mz - 1)) * bx / 2;
            h.at(i + 1, i) = c;
            h.at(i, i + 1) = c;
        }
    }
    return h;
}

// Couplings two rows apart only (a rhombic term): the reduction meets rows whose
// element next to the diagonal is zero while the row is not.
Hermitian second_neighbours(int n, double c) {
    Hermitian h{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
    for (int i = 0; i < n; ++i) h.at(i, i) = 0.5 * i - 1.0;
    for (int i = 0; i + 2 < n; ++i) {
        h.at(i + 2, i) = cplx(c, 0.1 * i);
        h.at(i, i + 2) = std::conj(h.at(i + 2, i));
    }
    return h;
}

TEST(RouteALanes, RandomMatricesOfEveryLaneOrder) {
    std::mt19937_64 rng(99);
    const double scales[] = {1e-150, 1e-3, 1.0, 7.0e2, 1e140};
    std::uniform_int_distribution<int> pick(0, 4);
    for (int n = 1; n <= 9; ++n) {  // 1 and 9 go one after another
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<Hermitian> hs;
            for (int m = 0; m <= trial % kLanes; ++m) hs.push_back(random_hermitian(n, rng, scales[pick(rng)]));
            expect_lanes_match_alone(hs, eig::kDefaultIterationLimit, "random");
        }
    }
}

// Two uncoupled blocks of orders k and n - k: the QL sweeps end at the coupling
// between them, at a different row in each lane.
Hermitian two_blocks(int n, int k, std::mt19937_64 &rng) {
    const Hermitian a = random_hermitian(k, rng), b = random_hermitian(n - k, rng, 3.0);
    Hermitian h{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
    for (int j = 0; j < k; ++j)
        for (int i = 0; i < k; ++i) h.at(i, j) = a.at(i, j);
    for (int j = 0; j < n - k; ++j)
        for (int i = 0; i < n - k; ++i) h.at(k + i, k + j) = b.at(i, j);
    return h;
}

TEST(RouteALanes, SweepsEndingAtDifferentRows) {
    std::mt19937_64 rng(21);
    for (int n = 4; n <= 8; ++n)
        for (int trial = 0; trial < 10; ++trial)
            expect_lanes_match_alone({two_blocks(n, 1 + trial % (n - 1), rng), random_hermitian(n, rng),
                                      two_blocks(n, n - 1 - trial % (n - 1), rng), two_blocks(n, n / 2, rng)},
                                     eig::kDefaultIterationLimit, "two blocks");
}

TEST(RouteALanes, DegenerateAndFailingLanesBesideOrdinaryOnes) {
    std::mt19937_64 rng(3);
    for (const int n : {2, 4, 6}) {
        const Hermitian ordinary = random_hermitian(n, rng);
        std::vector<Hermitian> special = {spin(n, -1.1, 0.0, 0.0), spin(n, -1.1, 0.3, 0.0), spin(n, 0.0, 0.0, 0.7),
                                          Hermitian{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)}};
        expect_lanes_match_alone(special, eig::kDefaultIterationLimit, "degenerate");
        expect_lanes_match_alone({second_neighbours(n, 0.3), ordinary, second_neighbours(n, -2.0)},
                                 eig::kDefaultIterationLimit, "second neighbours");
        Hermitian nan = ordinary, huge = random_hermitian(n, rng, 1e300);
        nan.at(n - 1, 0) = std::numeric_limits<double>::quiet_NaN();
        expect_lanes_match_alone({ordinary, nan, special[1], huge}, eig::kDefaultIterationLimit, "non-finite");
        // A limit of one or two iterations stops some lanes and not others.
        for (const int limit : {0, 1, 2})
            expect_lanes_match_alone({ordinary, special[0], random_hermitian(n, rng), special[2]}, limit,
                                     "iteration limit");
    }
}

}  // namespace
