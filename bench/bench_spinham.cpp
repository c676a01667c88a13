// ttt on the representative input and on a 36-level two-spin system, and the parts of
// one run: electronic Hamiltonian, nuclear transitions, line accumulation.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "catalog_call.h"
#include "mosslib.h"
#include "common/vector_lanes.h"
#include "spinham/electronic_hamiltonian.h"
#include "spinham/line_accumulation.h"
#include "spinham/nuclear_transitions.h"

namespace sh = mosslib::spinham;

namespace {

// The catalogue's representative input: S = 5/2, D = -1.1 cm^-1, 53.4 kG at 4.2 K.
struct Params : mosslib::testing::CatalogCall {
    Params() : CatalogCall("ttt") {}
};

// Representative input: S = 5/2, 6 levels, 480 directions (m = 4, n = 15).
void BM_ttt_representative(benchmark::State &state) {
    Params p;
    p.set("solver_route", static_cast<double>(state.range(0)));
    std::vector<double> s(256);
    for (auto _ : state) {
        ttt(p.ints.data(), p.reals.data(), s.data());
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_ttt_representative)->Arg(1)->Arg(2)->Arg(-1)->Unit(benchmark::kMillisecond);

// The representative input (route A) on 1 and 2 threads; CPU is the whole process's,
// Time the wall clock.
void BM_ttt_representative_threads(benchmark::State &state) {
    const int previous = mosslib_set_threads(static_cast<int32_t>(state.range(0)));
    Params p;
    std::vector<double> s(256);
    for (auto _ : state) {
        ttt(p.ints.data(), p.reals.data(), s.data());
        benchmark::DoNotOptimize(s.data());
    }
    mosslib_set_threads(previous);
}
BENCHMARK(BM_ttt_representative_threads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
    ->UseRealTime()->Repetitions(3);

// Two exchange-coupled S = 5/2 ions: 36 levels, 220 directions (m = 4, n = 10).
void BM_ttt_two_spins(benchmark::State &state) {
    Params p;
    p.set("solver_route", static_cast<double>(state.range(0)));
    p.set("multiplicity2", 6).set("rings", 10).set("D2_invcm", -0.8).set("J_invcm", 0.5);
    std::vector<double> s(256);
    for (auto _ : state) {
        ttt(p.ints.data(), p.reals.data(), s.data());
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_ttt_two_spins)->Arg(1)->Arg(2)->Arg(-1)->Unit(benchmark::kMillisecond);

// One electronic Hamiltonian, built and diagonalised (route A), of order 6 or 36.
void BM_spinham(benchmark::State &state) {
    const int mult2 = static_cast<int>(state.range(0));
    auto work = std::make_unique<sh::ElectronicWork>();
    double c1[6], c2[6], e[36];
    sh::ladder(6, c1);
    sh::ladder(mult2, c2);
    sh::SpinSystem s;
    s.mult1 = 6;
    s.mult2 = mult2;
    s.d1 = -1.1;
    s.d2 = -0.8;
    s.gx1 = s.gy1 = s.gz1 = s.gx2 = s.gy2 = s.gz2 = 2.0;
    s.jx = s.jy = s.jz = 0.5;
    s.ladder1 = c1;
    s.ladder2 = c2;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sh::spinham(s, 20.0, 30.0, 37.0, *work, e));
    }
}
BENCHMARK(BM_spinham)->Arg(1)->Arg(6);

// Eight nuclear lines for one level pass.
void BM_nuctrans(benchmark::State &state) {
    sh::NuclearWork work;
    double e[8], in[8];
    const sh::SymmetricTensor efg{-0.065, -0.065, 0.13, 0, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(sh::nuctrans(efg, -200.0, 150.0, -380.0, 0.4, 0.3, 0.866, -1, work, e, in));
    }
}
BENCHMARK(BM_nuctrans);

// Four level passes' nuclear lines (fields of different size and direction), one after
// another (0), side by side in AVX2 lanes (1), or through the side-by-side call with
// the lanes refused (2: the fallback of processors without AVX2).
void BM_nuctrans_four(benchmark::State &state) {
    mosslib::common::allow_avx2_lanes(state.range(0) != 2);
    sh::NuclearWork work[sh::kNuclearLanes];
    double e[4][8], in[4][8];
    const sh::SymmetricTensor efg{-0.065, -0.065, 0.13, 0, 0, 0};
    const double h[4][3] = {{-200.0, 150.0, -380.0}, {310.0, -20.0, 95.0}, {-40.0, -260.0, 120.0}, {5.0, 80.0, -450.0}};
    sh::NuclearPass passes[4];
    for (int m = 0; m < 4; ++m) passes[m] = {h[m][0], h[m][1], h[m][2], 0.4, 0.3, 0.866, e[m], in[m]};
    for (auto _ : state) {
        if (state.range(0) != 0) {
            sh::nuctrans_lanes(efg, -1, 4, passes, work);
        } else {
            for (int m = 0; m < 4; ++m)
                (void)sh::nuctrans(efg, h[m][0], h[m][1], h[m][2], 0.4, 0.3, 0.866, -1, work[0], e[m], in[m]);
        }
        benchmark::DoNotOptimize(e);
        benchmark::DoNotOptimize(in);
    }
    mosslib::common::allow_avx2_lanes(true);
}
BENCHMARK(BM_nuctrans_four)->Arg(0)->Arg(1)->Arg(2);

// The electronic levels (S = 5/2, route A) of four field directions, one after another
// (0), side by side in AVX2 lanes (1), or with the lanes refused (2).
void BM_spinham_four(benchmark::State &state) {
    mosslib::common::allow_avx2_lanes(state.range(0) != 2);
    auto work = std::make_unique<sh::SpinhamWorkspace>();
    double c1[6];
    sh::ladder(6, c1);
    sh::SpinSystem s;
    s.mult1 = 6;
    s.d1 = -1.1;
    s.gx1 = s.gy1 = s.gz1 = 2.0;
    s.ladder1 = c1;
    const double b[4][3] = {{20.0, 30.0, 37.0}, {-45.0, 5.0, 12.0}, {3.0, -8.0, 52.0}, {30.0, 30.0, -20.0}};
    for (auto _ : state) {
        if (state.range(0) != 0) {
            sh::spinham_lanes(s, 4, b, work->elec, work->elec_lanes);
            for (int m = 0; m < 4; ++m)
                benchmark::DoNotOptimize(sh::take_levels(s, work->elec_lanes, m, work->elec, work->energy));
        } else {
            for (int m = 0; m < 4; ++m)
                benchmark::DoNotOptimize(sh::spinham(s, b[m][0], b[m][1], b[m][2], work->elec, work->energy));
        }
    }
    mosslib::common::allow_avx2_lanes(true);
}
BENCHMARK(BM_spinham_four)->Arg(0)->Arg(1)->Arg(2);

// Eight Lorentzian lines over 256 channels.
void BM_addlines(benchmark::State &state) {
    std::vector<double> acc(256, 0.0);
    const double e[8] = {-8, -5, -3, -1, 1, 3, 5, 8}, in[8] = {0.1, 0.2, 0.3, 0.1, 0.1, 0.3, 0.2, 0.1};
    for (auto _ : state) {
        sh::addlines(256, 131.2, e, in, 0.3, 0.28, 0.09, acc.data());
        benchmark::DoNotOptimize(acc.data());
    }
}
BENCHMARK(BM_addlines);

}  // namespace

BENCHMARK_MAIN();
