// Route H takes most bisection counts from eigenvalue estimates instead of Sturm
// sequences. The results must be those of a Sturm count at every step, to the bit, on
// every kind of matrix: random at many scales, near and exact degeneracies, graded,
// decoupled, integer, and spin Hamiltonians with their exact multiplets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "eigen/eispack.h"
#include "hermitian_fixture.h"

using namespace eigen_test;

namespace {

// Both forms of route H on h; true when every bit of w, zr, zi agrees.
::testing::AssertionResult same_as_sturm_only(const Hermitian &h) {
    const int n = h.n;
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    std::vector<cplx> a1(nn), a2;
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) a1[i + j * n] = h.at(i, j);
    a2 = a1;
    std::vector<double> w1(n), w2(n), zr1(nn, 0.0), zr2(nn, 0.0), zi1(nn), zi2(nn);
    const auto s1 = eig::hbisect(n, a1.data(), w1.data(), zr1.data(), zi1.data());
    const auto s2 = eig::detail::hbisect_sturm_only(n, a2.data(), w2.data(), zr2.data(), zi2.data());
    if (s1 != s2) return ::testing::AssertionFailure() << "status differs";
    auto same = [](const std::vector<double> &x, const std::vector<double> &y) {
        return std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
    };
    if (!same(w1, w2)) return ::testing::AssertionFailure() << "eigenvalues differ, n = " << n;
    if (!same(zr1, zr2) || !same(zi1, zi2)) return ::testing::AssertionFailure() << "vectors differ, n = " << n;
    return ::testing::AssertionSuccess();
}

// U diag(lambda) U^H with a random unitary U.
Hermitian with_spectrum(const std::vector<double> &lambda, std::mt19937_64 &rng) {
    const int n = static_cast<int>(lambda.size());
    const Result u = solve(Route::A, random_hermitian(n, rng));
    Hermitian h{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            cplx s = 0;
            for (int k = 0; k < n; ++k) s += u.z(i, k) * lambda[k] * std::conj(u.z(j, k));
            h.at(i, j) = s;
        }
    for (int i = 0; i < n; ++i) h.at(i, i) = h.at(i, i).real();
    return h;
}

// Single spin S (multiplicity m = 2S+1) with axial and rhombic zero-field splitting and
// a Zeeman term: the matrices route H diagonalises in the engine.
Hermitian spin_hamiltonian(int m, double dz, double rhombic, double bx, double by, double bz) {
    const double s = (m - 1) / 2.0;
    Hermitian h{m, std::vector<cplx>(static_cast<std::size_t>(m) * m)};
    auto ladder = [&](int i) { return std::sqrt(s * (s + 1) - (s - i) * (s - i + 1)); };
    for (int i = 0; i < m; ++i) {
        const double mz = s - i;
        h.at(i, i) = bz * mz + dz * (mz * mz - s * (s + 1) / 3.0);
    }
    for (int i = 0; i + 1 < m; ++i) {
        h.at(i + 1, i) = cplx(bx * ladder(i + 1) / 2.0, by * ladder(i + 1) / 2.0);
        h.at(i, i + 1) = std::conj(h.at(i + 1, i));
    }
    for (int i = 0; i + 2 < m; ++i) {
        h.at(i + 2, i) = rhombic * ladder(i + 1) * ladder(i + 2) / 2.0;
        h.at(i, i + 2) = std::conj(h.at(i + 2, i));
    }
    return h;
}

}  // namespace

TEST(BisectionShortcut, RandomMatricesAtManyScales) {
    std::mt19937_64 rng(31);
    for (double scale : {1.0, 1e-90, 3e-7, 2e5, 1e90, 1e150, 1e-150}) {
        for (int n = 1; n <= eig::kMaxOrder; n += (n < 8 ? 1 : 5))
            EXPECT_TRUE(same_as_sturm_only(random_hermitian(n, rng, scale))) << "scale " << scale;
    }
    for (int rep = 0; rep < 400; ++rep) EXPECT_TRUE(same_as_sturm_only(random_hermitian(4, rng)));
}

TEST(BisectionShortcut, NearAndExactDegeneracies) {
    std::mt19937_64 rng(32);
    for (int n : {2, 3, 4, 5, 8, 13}) {
        for (double split : {0.0, 1e-16, 1e-14, 1e-12, 3e-12, 1e-11, 5e-11, 1e-9, 1e-6}) {
            std::vector<double> lambda(n);
            for (int k = 0; k < n; ++k) lambda[k] = 0.37 * k - 1.0;
            lambda[1] = lambda[0] + split;
            if (n > 4) lambda[n - 1] = lambda[n - 2] = lambda[n - 3] - split;
            EXPECT_TRUE(same_as_sturm_only(with_spectrum(lambda, rng))) << "n " << n << " split " << split;
        }
    }
}

TEST(BisectionShortcut, StructuredMatrices) {
    std::mt19937_64 rng(33);
    std::uniform_int_distribution<int> small(-3, 3);
    for (int n : {2, 4, 6, 9, 16}) {
        // graded: entries falling by 1e-4 per row and column
        Hermitian g = random_hermitian(n, rng);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) g.at(i, j) *= std::pow(1e-4, i + j);
        EXPECT_TRUE(same_as_sturm_only(g));
        // integers, with zero couplings and repeated diagonal values
        Hermitian z{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
        for (int j = 0; j < n; ++j) {
            z.at(j, j) = small(rng);
            for (int i = j + 1; i < n; ++i) {
                z.at(i, j) = (i - j) % 3 ? cplx(small(rng), small(rng)) : cplx(0, 0);
                z.at(j, i) = std::conj(z.at(i, j));
            }
        }
        EXPECT_TRUE(same_as_sturm_only(z));
        // block diagonal (decoupled tridiagonal)
        Hermitian b = random_hermitian(n, rng);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if ((i < n / 2) != (j < n / 2)) b.at(i, j) = 0;
        EXPECT_TRUE(same_as_sturm_only(b));
    }
}

TEST(BisectionShortcut, SpinHamiltonians) {
    std::mt19937_64 rng(34);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int m = 2; m <= 6; ++m) {
        EXPECT_TRUE(same_as_sturm_only(spin_hamiltonian(m, 1.0, 0.0, 0.0, 0.0, 0.0)));  // Kramers / zero field
        EXPECT_TRUE(same_as_sturm_only(spin_hamiltonian(m, 0.0, 0.0, 0.0, 0.0, 0.3)));  // Zeeman ladder
        EXPECT_TRUE(same_as_sturm_only(spin_hamiltonian(m, -2.0, 0.33, 0.0, 0.0, 0.0)));
        for (int rep = 0; rep < 40; ++rep)
            EXPECT_TRUE(same_as_sturm_only(
                spin_hamiltonian(m, 2 * u(rng), u(rng) / 3, u(rng), u(rng), u(rng))));
    }
}
