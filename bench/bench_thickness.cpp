// Cost of the thick-absorber transmission of an alpha-iron sextet on 512 velocities,
// beside the thin 512-channel sextet (sextgen_sl) of the same lines, at several
// thicknesses, with Voigt lines, and from a sampled cross-section.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <array>
#include <cmath>
#include <vector>

#include "mosslib.h"

namespace {

const std::vector<double> kIron = {-5.312, 3, 0.24, 0, -3.076, 2, 0.24, 0, -0.840, 1, 0.24, 0,
                                   0.840,  1, 0.24, 0, 3.076,  2, 0.24, 0, 5.312,  3, 0.24, 0};

std::vector<double> velocities() {
    std::vector<double> v(512);
    for (int i = 0; i < 512; ++i) v[static_cast<std::size_t>(i)] = 0.04 * (i + 1 - 256.5);
    return v;
}

void keep_priority() { mosslib_set_priority_step(0); }

void BM_ThinSextet512(benchmark::State &state) {
    keep_priority();
    std::array<double, 21> p{};
    p[1] = 33.0, p[5] = 1.0, p[12] = 10.24, p[13] = 256.5, p[20] = 512.0 / 3.141592653589793;
    const double I[6] = {3, 2, 1, 1, 2, 3};
    for (int k = 0; k < 6; ++k) p[6 + k] = I[k], p[14 + k] = 0.35;
    std::vector<double> out(512);
    for (auto _ : state) {
        sextgen_sl(p.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ThinSextet512);

void BM_ThickSextet512(benchmark::State &state) {
    keep_priority();
    std::vector<double> lines = kIron;
    for (std::size_t k = 0; k < 6; ++k) lines[4 * k + 3] = static_cast<double>(state.range(1)) / 100.0;
    const std::vector<double> v = velocities();
    std::vector<double> out(512);
    const std::int32_t ints[2] = {6, 512};
    const double reals[4] = {static_cast<double>(state.range(0)), 0.7, 0.11, 0.24};
    for (auto _ : state) {
        mosslib_thick_lines(ints, reals, lines.data(), v.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
// t_a, Gaussian width x 100 (0: Lorentzian lines)
BENCHMARK(BM_ThickSextet512)->Args({1, 0})->Args({10, 0})->Args({100, 0})->Args({10, 20});

void BM_ThickSampled512(benchmark::State &state) {
    keep_priority();
    std::vector<double> samples(2048);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double e = -12.0 + 0.012 * static_cast<double>(i);
        for (std::size_t k = 0; k < 6; ++k) {
            const double d = e - kIron[4 * k], g = 0.12;
            samples[i] += kIron[4 * k + 1] * g / (d * d + g * g);
        }
    }
    const std::vector<double> v = velocities();
    std::vector<double> out(512);
    const std::int32_t ints[2] = {2048, 512};
    const double reals[6] = {10.0, 0.7, 0.11, 0.24, -12.0, 0.012};
    for (auto _ : state) {
        mosslib_thick_sampled(ints, reals, samples.data(), v.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ThickSampled512);

}  // namespace

BENCHMARK_MAIN();
