// Eigen-solver timings: routes A, B and H at the orders the spin-Hamiltonian engine
// uses (4 for the nuclear excited state, 6 to 36 for electronic Hamiltonians), with
// LAPACK's zheev on the same matrices as the yardstick. Each iteration copies one of
// 16 fixed random matrices into the solver's input (every solver overwrites it) and
// diagonalises it, eigenvectors included.
#include <benchmark/benchmark.h>

#include <complex>
#include <random>
#include <vector>

#include "eigen/hermitian.h"

extern "C" void zheev_(const char *jobz, const char *uplo, const int *n, std::complex<double> *a,
                       const int *lda, double *w, std::complex<double> *work, const int *lwork,
                       double *rwork, int *info, std::size_t jobz_len, std::size_t uplo_len);

namespace {

namespace eig = mosslib::eigen;
using cplx = std::complex<double>;
constexpr int kMatrices = 16;

// kMatrices random Hermitian matrices of order n, column-major, both triangles.
std::vector<std::vector<cplx>> matrices(int n) {
    std::mt19937_64 rng(4242 + n);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<std::vector<cplx>> out(kMatrices, std::vector<cplx>(static_cast<std::size_t>(n) * n));
    for (auto &a : out)
        for (int j = 0; j < n; ++j) {
            a[j + j * n] = u(rng);
            for (int i = j + 1; i < n; ++i) {
                a[i + j * n] = cplx(u(rng), u(rng));
                a[j + i * n] = std::conj(a[i + j * n]);
            }
        }
    return out;
}

struct Split {
    std::vector<double> re, im;
};

std::vector<Split> split(const std::vector<std::vector<cplx>> &ms) {
    std::vector<Split> out;
    for (const auto &a : ms) {
        Split s{std::vector<double>(a.size()), std::vector<double>(a.size())};
        for (std::size_t i = 0; i < a.size(); ++i) {
            s.re[i] = a[i].real();
            s.im[i] = a[i].imag();
        }
        out.push_back(std::move(s));
    }
    return out;
}

void route_a(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const auto in = split(matrices(n));
    std::vector<double> ar(n * n), ai(n * n), w(n), zr(n * n), zi(n * n);
    int k = 0;
    for (auto _ : state) {
        const Split &m = in[k++ % kMatrices];
        ar = m.re;
        ai = m.im;
        benchmark::DoNotOptimize(eig::chdesc(n, ar.data(), ai.data(), w.data(), zr.data(), zi.data()));
        benchmark::ClobberMemory();
    }
}

void route_b(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const auto in = split(matrices(n));
    std::vector<double> ar(n * n), ai(n * n), w(n), zr(n * n), zi(n * n);
    int k = 0;
    for (auto _ : state) {
        const Split &m = in[k++ % kMatrices];
        ar = m.re;
        ai = m.im;
        benchmark::DoNotOptimize(eig::chstop(n, ar.data(), ai.data(), zr.data(), zi.data(), w.data()));
        eig::reverse_order(n, w.data(), zr.data(), zi.data());
        benchmark::ClobberMemory();
    }
}

void route_h(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const auto in = matrices(n);
    std::vector<cplx> a(n * n);
    std::vector<double> w(n), zr(n * n), zi(n * n);
    int k = 0;
    for (auto _ : state) {
        a = in[k++ % kMatrices];
        benchmark::DoNotOptimize(eig::hbisect(n, a.data(), w.data(), zr.data(), zi.data()));
        benchmark::ClobberMemory();
    }
}

void lapack_zheev(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    const auto in = matrices(n);
    std::vector<cplx> a(n * n);
    std::vector<double> w(n), rwork(3 * n);
    int lwork = -1, info = 0;
    cplx query;
    zheev_("V", "L", &n, a.data(), &n, w.data(), &query, &lwork, rwork.data(), &info, 1, 1);
    lwork = static_cast<int>(query.real());
    std::vector<cplx> work(lwork);
    int k = 0;
    for (auto _ : state) {
        a = in[k++ % kMatrices];
        zheev_("V", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, rwork.data(), &info, 1, 1);
        benchmark::DoNotOptimize(info);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(route_a)->Arg(4)->Arg(6)->Arg(12)->Arg(36);
BENCHMARK(route_b)->Arg(4)->Arg(6)->Arg(12)->Arg(36);
BENCHMARK(route_h)->Arg(4)->Arg(6)->Arg(12)->Arg(36);
BENCHMARK(lapack_zheev)->Arg(4)->Arg(6)->Arg(12)->Arg(36);

BENCHMARK_MAIN();
