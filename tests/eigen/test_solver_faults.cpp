// Failure paths: non-convergence, non-finite input and overflow, the ignored imaginary
// diagonal, orders out of range.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>

#include "hermitian_fixture.h"

using namespace eigen_test;

namespace {

bool all_nan(const std::vector<double> &v) {
    for (double x : v)
        if (!std::isnan(x)) return false;
    return true;
}

bool no_result(const Result &r) { return all_nan(r.w) && all_nan(r.zr) && all_nan(r.zi); }

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

// A QL iteration that hits its limit is reported, for route A instead of handing back
// the unsorted, untransformed vectors, for route B instead of ending the process; the
// outputs then hold NaN, never a stale result.
TEST(SolverFaults, NonConvergenceIsReported) {
    std::mt19937_64 rng(3);
    const Hermitian h = random_hermitian(12, rng);
    for (Route route : {Route::A, Route::B}) {
        for (int limit : {0, 1}) {
            const Result r = solve(route, h, limit);
            EXPECT_EQ(r.status, eig::Status::not_converged) << route_name(route) << " limit " << limit;
            EXPECT_TRUE(no_result(r)) << route_name(route);
        }
        // The default limit is never reached on ordinary input.
        EXPECT_EQ(solve(route, h).status, eig::Status::ok);
        EXPECT_EQ(solve(route, h, 7).status, eig::Status::ok);
    }
    // A matrix that is already diagonal needs no iteration at all.
    Hermitian d{3, std::vector<cplx>(9)};
    d.at(0, 0) = 1;
    d.at(1, 1) = 3;
    d.at(2, 2) = 2;
    EXPECT_EQ(solve(Route::A, d, 0).status, eig::Status::ok);
    EXPECT_EQ(solve(Route::B, d, 0).status, eig::Status::ok);
}

// NaN or infinity in the lower triangle is refused at once by every route (the
// published QL would loop for ever, or read past the end of its arrays).
TEST(SolverFaults, NonFiniteInputIsRefused) {
    std::mt19937_64 rng(4);
    for (double bad : {NAN, INFINITY, -INFINITY}) {
        for (int pos : {0, 1, 2}) {
            Hermitian h = random_hermitian(5, rng);
            if (pos == 0) h.at(2, 2) = bad;
            if (pos == 1) h.at(4, 1) = cplx(bad, 0.3);
            if (pos == 2) h.at(3, 0) = cplx(0.3, bad);
            for (Route route : {Route::A, Route::B, Route::H}) {
                const Result r = solve(route, h);
                EXPECT_EQ(r.status, eig::Status::non_finite) << route_name(route) << " pos " << pos;
                EXPECT_TRUE(no_result(r));
            }
        }
    }
}

// Large entries. The 1983 QL overflows in one product once off-diagonal entries pass
// about 1.3e154 and would then hang in pythag; here it reports non_finite promptly.
// Up to 1e153 it is accurate. The older QL stays accurate up to 1e306; beyond the
// range of doubles every route reports non_finite.
TEST(SolverFaults, HugeEntriesFailPromptlyInsteadOfHanging) {
    std::mt19937_64 rng(8);
    const auto start = std::chrono::steady_clock::now();
    int route_a_failures = 0;
    for (int rep = 0; rep < 10; ++rep) {
        const int n = 6 + 3 * rep;
        const Hermitian unit = random_hermitian(n, rng);
        auto scaled = [&](double s) {
            Hermitian h = unit;
            for (cplx &z : h.a) z *= s;
            return h;
        };
        const auto ref = lapack_eigenvalues(unit);
        for (double s : {1e153, 1e155, 1e306}) {
            const Hermitian h = scaled(s);
            for (Route route : {Route::A, Route::B}) {
                const Result r = solve(route, h);
                const bool must_work = route == Route::B || s <= 1e153;
                if (r.status != eig::Status::ok) {
                    EXPECT_FALSE(must_work) << route_name(route) << " scale " << s;
                    EXPECT_EQ(r.status, eig::Status::non_finite);
                    EXPECT_TRUE(no_result(r));
                    ++route_a_failures;
                    continue;
                }
                for (int k = 0; k < n; ++k)
                    EXPECT_NEAR(r.w[k] / s, ref[k], 1e-13 * unit.norm()) << route_name(route) << " scale " << s;
            }
        }
        for (Route route : {Route::A, Route::B}) {
            const Result r = solve(route, scaled(1e308));
            EXPECT_EQ(r.status, eig::Status::non_finite) << route_name(route);
        }
    }
    EXPECT_GE(route_a_failures, 15);  // 1e155 and above defeat the 1983 QL
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);
}

// Tiny entries. Routes A and B (published arithmetic) overflow in the
// back-transformation below about 5.6e-309 and report non_finite. Route H works on a
// copy scaled by a power of two when the largest entry is far from 1, so it keeps
// its accuracy from subnormal entries to 1e300 (unscaled, its squares would
// underflow and every eigenvalue come out 0).
TEST(SolverFaults, ExtremeScales) {
    std::mt19937_64 rng(10);
    for (int n : {2, 4, 7, 16}) {
        const Hermitian unit = random_hermitian(n, rng);
        const auto ref = lapack_eigenvalues(unit);
        for (double s : {1e-310, 1e-300, 1e-200, 1e-160, 1e160, 1e300}) {
            Hermitian h = unit;
            for (cplx &z : h.a) z *= s;
            const Result r = solve(Route::H, h);
            ASSERT_EQ(r.status, eig::Status::ok) << "scale " << s;
            for (int k = 0; k < n; ++k) EXPECT_NEAR(r.w[k] / s, ref[k], 1e-9 * frobenius(unit)) << "scale " << s;
            EXPECT_LT(orthonormality_error(r), 1e-9);
            if (s == 1e-310) {
                for (Route route : {Route::A, Route::B})
                    EXPECT_EQ(solve(route, h).status, eig::Status::non_finite) << route_name(route);
            }
        }
    }
}

// The imaginary part of the diagonal is ignored: garbage there changes no bit.
TEST(SolverFaults, ImaginaryDiagonalIsIgnored) {
    std::mt19937_64 rng(9);
    for (int n : {2, 6, 13}) {
        const Hermitian h = random_hermitian(n, rng);
        for (Route route : {Route::A, Route::B, Route::H}) {
            const Result clean = solve(route, h);
            Hermitian dirty = h;
            for (int i = 0; i < n; ++i) dirty.at(i, i) = cplx(h.at(i, i).real(), 0.3 + i);
            const Result r = solve(route, dirty);
            ASSERT_EQ(r.status, eig::Status::ok);
            EXPECT_TRUE(same_bits(r.w, clean.w)) << route_name(route);
            EXPECT_TRUE(same_bits(r.zr, clean.zr)) << route_name(route);
            EXPECT_TRUE(same_bits(r.zi, clean.zi)) << route_name(route);
        }
    }
}

// Orders outside 1..36 are refused and nothing is written.
TEST(SolverFaults, OrderOutOfRange) {
    std::vector<double> ar(40 * 40, 1.0), ai(40 * 40, 0.0), w(40, -1.0), zr(40 * 40, -1.0), zi(40 * 40, -1.0);
    std::vector<cplx> a(40 * 40, 1.0);
    for (int n : {0, -3, 37, 40}) {
        EXPECT_EQ(eig::chdesc(n, ar.data(), ai.data(), w.data(), zr.data(), zi.data()), eig::Status::bad_order);
        EXPECT_EQ(eig::chstop(n, ar.data(), ai.data(), zr.data(), zi.data(), w.data()), eig::Status::bad_order);
        EXPECT_EQ(eig::hbisect(n, a.data(), w.data(), zr.data(), zi.data()), eig::Status::bad_order);
    }
    for (double x : w) EXPECT_EQ(x, -1.0);
    for (double x : zr) EXPECT_EQ(x, -1.0);
    for (double x : zi) EXPECT_EQ(x, -1.0);
    for (double x : ar) EXPECT_EQ(x, 1.0);
}

// Route H at a large scale: a reflection with a small column (sub-diagonal modulus far
// below anorm^2 * 1e-22) is still undone in the back-transformation.
TEST(SolverFaults, RouteHLargeScaleKeepsEveryReflection) {
    std::mt19937_64 rng(12);
    Hermitian h = random_hermitian(5, rng);
    for (int i = 2; i < 5; ++i) {  // column 0 below its sub-diagonal: 1e-10 of the rest
        h.at(i, 0) *= 1e-10;
        h.at(0, i) = std::conj(h.at(i, 0));
    }
    for (double s : {1.0, 1e13}) {
        Hermitian hs = h;
        for (cplx &z : hs.a) z *= s;
        const Result r = solve(Route::H, hs);
        ASSERT_EQ(r.status, eig::Status::ok);
        EXPECT_LT(max_residual(hs, r), 2e-11 * frobenius(hs)) << "scale " << s;
        EXPECT_LT(orthonormality_error(r), 1e-10);
    }
}

TEST(SolverFaults, StatusTexts) {
    const eig::Status all[] = {eig::Status::ok, eig::Status::not_converged, eig::Status::non_finite,
                               eig::Status::bad_order};
    for (eig::Status a : all) {
        for (eig::Status b : all) {
            if (a == b) continue;
            EXPECT_STRNE(eig::status_text(a), eig::status_text(b));
        }
    }
}
