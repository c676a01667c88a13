// Random Hermitian matrices, LAPACK's zheev as the independent reference, and one
// call shape for the three routes.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <random>
#include <vector>

#include "eigen/hermitian.h"

extern "C" void zheev_(const char *jobz, const char *uplo, const int *n, std::complex<double> *a,
                       const int *lda, double *w, std::complex<double> *work, const int *lwork,
                       double *rwork, int *info, std::size_t jobz_len, std::size_t uplo_len);

namespace eigen_test {

using cplx = std::complex<double>;
namespace eig = mosslib::eigen;

// Full Hermitian matrix, column-major, both triangles filled.
struct Hermitian {
    int n = 0;
    std::vector<cplx> a;
    cplx &at(int i, int j) { return a[i + j * n]; }
    cplx at(int i, int j) const { return a[i + j * n]; }
    // Largest absolute row sum, a bound on the spectral norm.
    double norm() const {
        double best = 0;
        for (int i = 0; i < n; ++i) {
            double s = 0;
            for (int j = 0; j < n; ++j) s += std::abs(at(i, j));
            best = std::max(best, s);
        }
        return best;
    }
};

inline Hermitian random_hermitian(int n, std::mt19937_64 &rng, double scale = 1.0) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Hermitian h{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
    for (int j = 0; j < n; ++j) {
        h.at(j, j) = scale * u(rng);
        for (int i = j + 1; i < n; ++i) {
            // Imaginary part drawn first, in the order the saved digests were made with
            // (argument evaluation order is unspecified and differs between compilers).
            const double im = scale * u(rng);
            const double re = scale * u(rng);
            const cplx z(re, im);
            h.at(i, j) = z;
            h.at(j, i) = std::conj(z);
        }
    }
    return h;
}

inline Hermitian from_real_parts(int n, const std::vector<double> &re, const std::vector<double> &im) {
    Hermitian h{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) {
            h.at(i, j) = cplx(re[i + j * n], i == j ? 0.0 : im[i + j * n]);
            h.at(j, i) = std::conj(h.at(i, j));
        }
    return h;
}

// Eigenvalues by zheev, in descending order.
inline std::vector<double> lapack_eigenvalues(const Hermitian &h) {
    int n = h.n;
    std::vector<cplx> a = h.a;
    std::vector<double> w(n);
    int lwork = 4 * n + 64;
    std::vector<cplx> work(lwork);
    std::vector<double> rwork(3 * n);
    int info = 0;
    zheev_("N", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, rwork.data(), &info, 1, 1);
    std::reverse(w.begin(), w.end());
    return w;
}

enum class Route { A, B, H };
inline const char *route_name(Route r) { return r == Route::A ? "A" : r == Route::B ? "B" : "H"; }

struct Result {
    eig::Status status = eig::Status::ok;
    int n = 0;
    std::vector<double> w, zr, zi;
    cplx z(int i, int k) const { return cplx(zr[i + k * n], zi[i + k * n]); }
};

// Runs one route on the lower triangle of h (the strict upper triangles get NaN to
// show they are never read); the result in descending order for every route.
inline Result solve(Route route, const Hermitian &h, int iteration_limit = eig::kDefaultIterationLimit) {
    const int n = h.n;
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    Result r;
    r.n = n;
    r.w.assign(n, -7.0);
    r.zr.assign(nn, -7.0);
    r.zi.assign(nn, -7.0);
    const double nan = std::nan("");
    if (route == Route::H) {
        std::vector<cplx> a(nn, cplx(nan, nan));
        for (int j = 0; j < n; ++j)
            for (int i = j; i < n; ++i) a[i + j * n] = h.at(i, j);
        std::fill(r.zr.begin(), r.zr.end(), 0.0);
        r.status = eig::hbisect(n, a.data(), r.w.data(), r.zr.data(), r.zi.data());
        return r;
    }
    std::vector<double> ar(nn, nan), ai(nn, nan);
    for (int j = 0; j < n; ++j)
        for (int i = j; i < n; ++i) {
            ar[i + j * n] = h.at(i, j).real();
            ai[i + j * n] = h.at(i, j).imag();
        }
    if (route == Route::A) {
        r.status = eig::chdesc(n, ar.data(), ai.data(), r.w.data(), r.zr.data(), r.zi.data(), iteration_limit);
    } else {
        r.status = eig::chstop(n, ar.data(), ai.data(), r.zr.data(), r.zi.data(), r.w.data(), iteration_limit);
        if (r.status == eig::Status::ok) eig::reverse_order(n, r.w.data(), r.zr.data(), r.zi.data());
    }
    return r;
}

// max_k |A z_k - w_k z_k|_2
inline double max_residual(const Hermitian &h, const Result &r) {
    double worst = 0;
    for (int k = 0; k < h.n; ++k) {
        double s = 0;
        for (int i = 0; i < h.n; ++i) {
            cplx acc = 0;
            for (int j = 0; j < h.n; ++j) acc += h.at(i, j) * r.z(j, k);
            s += std::norm(acc - r.w[k] * r.z(i, k));
        }
        worst = std::max(worst, std::sqrt(s));
    }
    return worst;
}

// max |Z^H Z - I|
inline double orthonormality_error(const Result &r) {
    double worst = 0;
    for (int k = 0; k < r.n; ++k)
        for (int l = 0; l < r.n; ++l) {
            cplx s = 0;
            for (int i = 0; i < r.n; ++i) s += std::conj(r.z(i, k)) * r.z(i, l);
            worst = std::max(worst, std::abs(s - cplx(k == l ? 1.0 : 0.0, 0.0)));
        }
    return worst;
}

// Frobenius norm; route H's bisection width is 1e-11 times that of its tridiagonal
// matrix, which has the same Frobenius norm.
inline double frobenius(const Hermitian &h) {
    double s = 0;
    for (const cplx &z : h.a) s += std::norm(z);
    return std::sqrt(s);
}

}  // namespace eigen_test
