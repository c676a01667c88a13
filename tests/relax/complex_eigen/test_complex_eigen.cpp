// The complex Jacobi decomposition: similarity and inverse identities, the early exits,
// Hermitian input, and the fast kernel against the plain one bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <random>

#include "relax/complex_eigen/complex_eigen.h"
#include "relax/complex_eigen/pair_step.h"
#include "relax/electronic_states.h"
#include "relax/nuclear_matrix.h"
#include "relax/relax_engine.h"
#include "relax/relaxation_coupling.h"

namespace mosslib::relax {
namespace {

using cd = std::complex<double>;

struct Decomposition {
    std::unique_ptr<ParlMat> mat = std::make_unique<ParlMat>();
    std::unique_ptr<DecompositionScratch> scratch = std::make_unique<DecompositionScratch>();
    std::vector<cd> a0;
    int n = 0;

    void load(int order, const std::vector<cd> &a) {
        n = order;
        a0 = a;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const cd z = a[i + n * j];
                mat->trans_mat[at(i, j)] = {static_cast<float>(z.real()), static_cast<float>(z.imag())};
                a0[i + n * j] = cd(mat->trans_mat[at(i, j)].r, mat->trans_mat[at(i, j)].i);
            }
    }
    cd get(const complex_f *m, int i, int j) const { return cd(m[at(i, j)].r, m[at(i, j)].i); }
    double norm0() const {
        double s = 0;
        for (const cd &z : a0) s += std::norm(z);
        return std::sqrt(s);
    }
    // max |(L A0 R - A)(i,j)|
    double similarity_error() const {
        double worst = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                cd s = 0;
                for (int p = 0; p < n; ++p)
                    for (int q = 0; q < n; ++q)
                        s += get(mat->eig_left, i, p) * a0[p + n * q] * get(mat->eig_right, q, j);
                worst = std::max(worst, std::abs(s - get(mat->trans_mat, i, j)));
            }
        return worst;
    }
    double inverse_error() const {
        double worst = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                cd s = 0;
                for (int p = 0; p < n; ++p) s += get(mat->eig_left, i, p) * get(mat->eig_right, p, j);
                worst = std::max(worst, std::abs(s - cd(i == j ? 1 : 0, 0)));
            }
        return worst;
    }
    double off_diagonal() const {
        double s = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (i != j) s += std::abs(get(mat->trans_mat, i, j));
        return s;
    }
    bool eigenvectors_identity() const {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const cd want(i == j ? 1 : 0, 0);
                if (get(mat->eig_left, i, j) != want || get(mat->eig_right, i, j) != want) return false;
            }
        return true;
    }
};

std::vector<cd> random_matrix(int n, unsigned seed, bool hermitian) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<cd> a(n * n);
    for (auto &z : a) z = cd(u(gen), u(gen));
    if (hermitian)
        for (int i = 0; i < n; ++i) {
            a[i + n * i] = a[i + n * i].real();
            for (int j = 0; j < i; ++j) a[j + n * i] = std::conj(a[i + n * j]);
        }
    return a;
}

TEST(ComplexEigen, GeneralMatricesAreDiagonalisedBySimilarity) {
    for (int n : {2, 5, 16, 48}) {
        Decomposition d;
        d.load(n, random_matrix(n, 100 + n, false));
        eberlein_decompose(n, *d.mat, *d.scratch);
        const double scale = d.norm0();
        EXPECT_LT(d.similarity_error(), 2e-5 * scale * n) << "n = " << n;
        EXPECT_LT(d.inverse_error(), 2e-5 * n) << "n = " << n;
        EXPECT_LT(d.off_diagonal(), 1e-4 * scale * n) << "n = " << n;
    }
}

TEST(ComplexEigen, EigenvalueSumIsTheTrace) {
    const int n = 24;
    Decomposition d;
    d.load(n, random_matrix(n, 7, false));
    cd trace = 0;
    for (int i = 0; i < n; ++i) trace += d.a0[i + n * i];
    eberlein_decompose(n, *d.mat, *d.scratch);
    cd sum = 0;
    for (int i = 0; i < n; ++i) sum += d.get(d.mat->trans_mat, i, i);
    EXPECT_LT(std::abs(sum - trace), 1e-4 * n);
}

TEST(ComplexEigen, HermitianInputGivesRealEigenvalues) {
    const int n = 12;
    Decomposition d;
    d.load(n, random_matrix(n, 11, true));
    eberlein_decompose(n, *d.mat, *d.scratch);
    for (int i = 0; i < n; ++i) EXPECT_LT(std::fabs(d.mat->trans_mat[at(i, i)].i), 1e-5);
    EXPECT_LT(d.similarity_error(), 1e-4);
}

TEST(ComplexEigen, TwoByTwoHermitianClosedForm) {
    // [[a, b], [conj b, c]]: (a + c)/2 +- sqrt(((a - c)/2)^2 + |b|^2)
    Decomposition d;
    d.load(2, {cd(1.5, 0), cd(0.3, -0.4), cd(0.3, 0.4), cd(-0.5, 0)});
    eberlein_decompose(2, *d.mat, *d.scratch);
    double e1 = d.mat->trans_mat[at(0, 0)].r;
    double e2 = d.mat->trans_mat[at(1, 1)].r;
    if (e1 < e2) std::swap(e1, e2);
    const double r = std::sqrt(1.0 + 0.25);
    EXPECT_NEAR(e1, 0.5 + r, 1e-6);
    EXPECT_NEAR(e2, 0.5 - r, 1e-6);
}

TEST(ComplexEigen, DiagonalMatrixReturnsAtOnce) {
    Decomposition d;
    d.load(3, {cd(1, 2), 0, 0, 0, cd(-3, 0.5), 0, 0, 0, cd(0, 4)});
    EXPECT_EQ(eberlein_decompose(3, *d.mat, *d.scratch), 1);
    EXPECT_TRUE(d.eigenvectors_identity());
    EXPECT_EQ(d.get(d.mat->trans_mat, 1, 1), cd(-3, 0.5));
}

TEST(ComplexEigen, ZeroMatrixEndsAfterOneSweep) {
    Decomposition d;
    d.load(4, std::vector<cd>(16, 0));
    EXPECT_EQ(eberlein_decompose(4, *d.mat, *d.scratch), 2);
    EXPECT_TRUE(d.eigenvectors_identity());
    EXPECT_EQ(d.off_diagonal(), 0.0);
}

TEST(ComplexEigen, OrderOneIsLeftUnchanged) {
    Decomposition d;
    d.load(1, {cd(0.25, -7)});
    eberlein_decompose(1, *d.mat, *d.scratch);
    EXPECT_TRUE(d.eigenvectors_identity());
    EXPECT_EQ(d.get(d.mat->trans_mat, 0, 0), cd(0.25, -7));
}

TEST(ComplexEigen, NonFiniteInputStaysInBounds) {
    // A NaN element: both kernels stop within the 21 sweeps, write nothing outside the
    // leading 8 x 8 block of the three matrices, and agree bit for bit.
    std::vector<cd> a = random_matrix(8, 3, false);
    a[5] = cd(NAN, 0);
    Decomposition fast, plain;
    for (Decomposition *d : {&fast, &plain}) {
        for (complex_f *m : {d->mat->trans_mat, d->mat->eig_left, d->mat->eig_right})
            std::fill_n(m, kMaxDim * kMaxDim, complex_f{7.25f, -3.5f});
        d->load(8, a);
        const int sweeps = d == &fast ? eberlein_decompose(8, *d->mat, *d->scratch)
                                      : eberlein_decompose_plain(8, *d->mat, *d->scratch);
        EXPECT_GE(sweeps, 1);
        EXPECT_LE(sweeps, 22);
        for (const complex_f *m : {d->mat->trans_mat, d->mat->eig_left, d->mat->eig_right})
            for (int j = 0; j < kMaxDim; ++j)
                for (int i = j < 8 ? 8 : 0; i < kMaxDim; ++i)
                    ASSERT_TRUE(m[at(i, j)].r == 7.25f && m[at(i, j)].i == -3.5f) << i << " " << j;
    }
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i)
            for (auto m : {&ParlMat::trans_mat, &ParlMat::eig_left, &ParlMat::eig_right})
                EXPECT_EQ(std::memcmp(&((*fast.mat).*m)[at(i, j)], &((*plain.mat).*m)[at(i, j)], sizeof(complex_f)), 0);
}

TEST(ComplexEigen, ThresholdTestAgreesWithTheModulus) {
    // The shortcut for |S| > eps must give what c_abs(S) > eps gives, near the threshold too.
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> u(-1.6e-12f, 1.6e-12f);
    const float specials[] = {0.0f, -0.0f, 1e-12f, -1e-12f, 7.0710678e-13f, 6.6666e-13f, INFINITY, -INFINITY, NAN, 1.0f};
    for (int t = 0; t < 200000; ++t) {
        const complex_f z = {u(gen), u(gen)};
        ASSERT_EQ(detail::exceeds_eps(z), numeric::c_abs(z) > detail::kEps) << z.r << " " << z.i;
    }
    for (float a : specials)
        for (float b : specials) {
            const complex_f z = {a, b};
            EXPECT_EQ(detail::exceeds_eps(z), numeric::c_abs(z) > detail::kEps) << a << " " << b;
        }
}

// The fast kernel must reproduce the plain one to the last bit: on random matrices of
// every order and on transition matrices of the engine itself.
void expect_same_bits(int n, const ParlMat &a, const ParlMat &b) {
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(std::memcmp(&a.trans_mat[at(i, j)], &b.trans_mat[at(i, j)], sizeof(complex_f)), 0)
                << "trans_mat " << i << "," << j;
            ASSERT_EQ(std::memcmp(&a.eig_left[at(i, j)], &b.eig_left[at(i, j)], sizeof(complex_f)), 0)
                << "eig_left " << i << "," << j;
            ASSERT_EQ(std::memcmp(&a.eig_right[at(i, j)], &b.eig_right[at(i, j)], sizeof(complex_f)), 0)
                << "eig_right " << i << "," << j;
        }
}

TEST(ComplexEigen, FastKernelMatchesPlainOnRandomMatrices) {
    for (int n = 1; n <= kMaxDim; n += (n < 10 ? 1 : 7)) {
        for (bool hermitian : {false, true}) {
            Decomposition fast;
            Decomposition baseline;
            Decomposition plain;
            const auto a = random_matrix(n, 1000 + n, hermitian);
            fast.load(n, a);
            baseline.load(n, a);
            plain.load(n, a);
            const int sf = eberlein_decompose(n, *fast.mat, *fast.scratch);
            const int sb = eberlein_decompose_baseline(n, *baseline.mat, *baseline.scratch);
            const int sp = eberlein_decompose_plain(n, *plain.mat, *plain.scratch);
            EXPECT_EQ(sf, sp) << "n = " << n;
            EXPECT_EQ(sb, sp) << "n = " << n;
            expect_same_bits(n, *fast.mat, *plain.mat);
            expect_same_bits(n, *baseline.mat, *plain.mat);
        }
    }
}

// Sparse matrices full of exact zeros of either sign, in blocks that leave many pairs
// uncoupled: the signs of zero products and sums must come out as in the plain kernel.
TEST(ComplexEigen, FastKernelMatchesPlainOnSparseMatricesWithSignedZeros) {
    for (int n : {3, 8, 17, 31, 48}) {
        std::mt19937 gen(4242 + n);
        std::uniform_real_distribution<double> u(-1, 1);
        std::uniform_int_distribution<int> pick(0, 9);
        std::vector<cd> a(n * n);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const double zr = pick(gen) < 5 ? 0.0 : -0.0, zi = pick(gen) < 5 ? 0.0 : -0.0;
                const int kind = (i % 4 == j % 4 || i == j) ? pick(gen) : 0;
                if (kind < 5)
                    a[i + n * j] = cd(zr, zi);  // signed zero
                else if (kind < 7)
                    a[i + n * j] = cd(u(gen), zi);  // real
                else if (kind < 8)
                    a[i + n * j] = cd(zr, u(gen));  // imaginary
                else
                    a[i + n * j] = cd(u(gen), u(gen));
            }
        Decomposition fast, baseline, plain;
        fast.load(n, a);
        baseline.load(n, a);
        plain.load(n, a);
        const int sf = eberlein_decompose(n, *fast.mat, *fast.scratch);
        const int sb = eberlein_decompose_baseline(n, *baseline.mat, *baseline.scratch);
        const int sp = eberlein_decompose_plain(n, *plain.mat, *plain.scratch);
        EXPECT_EQ(sf, sp) << "n = " << n;
        EXPECT_EQ(sb, sp) << "n = " << n;
        expect_same_bits(n, *fast.mat, *plain.mat);
        expect_same_bits(n, *baseline.mat, *plain.mat);
    }
}

TEST(ComplexEigen, FastKernelMatchesPlainOnEngineMatrices) {
    // Transition matrices of a sextet with relaxation, for a few orientations.
    std::int32_t ib[5] = {0, 6, 256, 15, 1};
    double db[29] = {0};
    db[2] = 0.05;   // relax_rate
    db[3] = 1;      // relax_pow
    db[7] = 0.25;   // line_width
    db[9] = 2000;   // field
    db[14] = db[15] = db[16] = -220000;
    db[17] = -1;    // D
    db[18] = 0.1;   // E
    db[19] = 0.3;   // quad_split
    db[20] = 0.4;   // eta
    db[22] = 30;    // efg beta
    auto ws = std::make_unique<RelaxWorkspace>();
    copy_arguments(ib, db, ws->parl_args);
    ASSERT_TRUE(structural_fault(ws->parl_args).empty());
    set_constants(ws->parl_model);
    ASSERT_EQ(unpack_arguments(*ws), 4 * 24);
    for (int k : {0, 17, 55, 95}) {
        electronic_states(ws->parl_model, ws->parl_orient, k, 6, ws->parl_elec, ws->parl_mat, ws->scratch);
        const int n = build_nuclear_matrix(ws->parl_model, ws->parl_orient, ws->parl_elec, k, ws->parl_mat);
        ASSERT_EQ(n, 48);
        add_relaxation(ws->parl_model, ws->parl_elec, ws->parl_mat, ws->scratch);
        auto plain = std::make_unique<ParlMat>(ws->parl_mat);
        auto fast = std::make_unique<ParlMat>(ws->parl_mat);
        auto baseline = std::make_unique<ParlMat>(ws->parl_mat);
        const int sf = eberlein_decompose(n, *fast, ws->scratch.decomposition);
        const int sb = eberlein_decompose_baseline(n, *baseline, ws->scratch.decomposition);
        const int sp = eberlein_decompose_plain(n, *plain, ws->scratch.decomposition);
        EXPECT_EQ(sf, sp);
        EXPECT_EQ(sb, sp);
        EXPECT_GT(sp, 5) << "a realistic matrix takes several sweeps";
        expect_same_bits(n, *fast, *plain);
        expect_same_bits(n, *baseline, *plain);
    }
}

}  // namespace
}  // namespace mosslib::relax
