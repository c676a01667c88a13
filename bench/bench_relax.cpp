// Relaxation engine: parl for one orientation and over the full cubic grid, and the
// complex decomposition of its 48 x 48 transition matrices against LAPACK cgeev as the
// yardstick: Debian's reference LAPACK (linked) and, where Debian's libopenblas0-serial
// is installed, OpenBLAS's cgeev (loaded at run time). The full-grid run is checked bit
// for bit against the saved reference. Two inputs: the catalogue's example, and the same
// ion relaxing at 30 mm/s, whose decompositions produce many subnormal numbers (slow on
// processors that handle them in microcode). The processor, the libraries and the
// vector path are printed in the context.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <xmmintrin.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <complex>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "catalog_call.h"
#include "common/vector_lanes.h"
#include "mosslib.h"
#include "relax/complex_eigen/complex_eigen.h"
#include "relax/electronic_states.h"
#include "relax/nuclear_matrix.h"
#include "relax/relax_engine.h"
#include "relax/relaxation_coupling.h"

extern "C" void cgeev_(const char *jobvl, const char *jobvr, const int *n, std::complex<float> *a, const int *lda,
                       std::complex<float> *w, std::complex<float> *vl, const int *ldvl, std::complex<float> *vr,
                       const int *ldvr, std::complex<float> *work, const int *lwork, float *rwork, int *info,
                       std::size_t jobvl_len, std::size_t jobvr_len);

namespace {

using namespace mosslib::relax;

using Cgeev = decltype(&cgeev_);

// Debian's OpenBLAS without threads; its own symbols bound first, so that its cgeev runs
// OpenBLAS's routines throughout rather than those of the reference LAPACK linked here.
constexpr const char *kOpenBlas = "/usr/lib/x86_64-linux-gnu/openblas-serial/libopenblas.so.0";

Cgeev openblas_cgeev() {
    static const Cgeev f = []() -> Cgeev {
        void *lib = dlopen(kOpenBlas, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
        return lib ? reinterpret_cast<Cgeev>(dlsym(lib, "cgeev_")) : nullptr;
    }();
    return f;
}

std::string processor_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

// The file a symbol was loaded from, links resolved (Debian's alternatives choose which
// library liblapack.so.3 is).
std::string library_of(const void *symbol) {
    Dl_info info;
    if (!dladdr(symbol, &info) || !info.dli_fname) return "unknown";
    char path[PATH_MAX];
    return realpath(info.dli_fname, path) ? path : info.dli_fname;
}

// The catalogue's example: S = 5/2, D = -1 K, 500 G, 4.2 K, slow relaxation (rate 0.01
// mm/s); `subnormal`: the same at 30 mm/s.
struct Params : mosslib::testing::CatalogCall {
    Params(int n_levels, int grid_level, bool subnormal = false) : CatalogCall("parl") {
        set("multiplicity", n_levels).set("grid_level", grid_level);
        if (subnormal) set("relaxation_rate", 30);
    }
};

void parl_run(benchmark::State &state, int n_levels, int grid_level, bool subnormal = false) {
    const Params p(n_levels, grid_level, subnormal);
    std::vector<double> out(256);
    for (auto _ : state) {
        parl(p.ints.data(), p.reals.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    if (n_levels == 6 && grid_level == 5 && !subnormal) {
        // mosspec defaults with grid_level=5 grid_sym=15 give the saved reference.
        std::ifstream in(MOSSLIB_RELAX_DATA_DIR "/full_grid_sextet.txt");
        std::string line;
        int ch = 0;
        bool same = true;
        while (std::getline(in, line))
            if (!line.empty() && line[0] != '#') same = same && ch < 256 && std::stod(line) == out[ch++];
        if (!same || ch != 256) state.SkipWithError("full-grid spectrum differs from the saved reference");
        state.SetLabel("bit-identical to the saved reference");
    }
}

// The grid runs take the thread count as argument; CPU is the whole process's, Time
// the wall clock.
void with_threads(benchmark::State &s, int n_levels, int grid_level, bool subnormal = false) {
    const int previous = mosslib_set_threads(static_cast<int32_t>(s.range(0)));
    parl_run(s, n_levels, grid_level, subnormal);
    mosslib_set_threads(previous);
}
void BM_parl_single_orientation_6_levels(benchmark::State &s) { parl_run(s, 6, 0); }
void BM_parl_full_grid_6_levels(benchmark::State &s) { with_threads(s, 6, 5); }
void BM_parl_full_grid_6_levels_subnormal(benchmark::State &s) { with_threads(s, 6, 5, true); }
void BM_parl_full_grid_2_levels(benchmark::State &s) { with_threads(s, 2, 5); }
BENCHMARK(BM_parl_single_orientation_6_levels)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parl_full_grid_6_levels)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)
    ->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_parl_full_grid_6_levels_subnormal)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)
    ->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_parl_full_grid_2_levels)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
    ->UseRealTime();

// Transition matrices (with relaxation) of 16 orientations of the full grid, of the
// catalogue's example or (`subnormal`) its fast-relaxing variant.
std::vector<ParlMat> make_sample_matrices(bool subnormal) {
    std::vector<ParlMat> v;
    const Params p(6, 5, subnormal);
    auto ws = std::make_unique<RelaxWorkspace>();
    copy_arguments(p.ints.data(), p.reals.data(), ws->parl_args);
    set_constants(ws->parl_model);
    const int count = unpack_arguments(*ws);
    for (int s = 0; s < 16; ++s) {
        const int k = (s * 97) % count;
        electronic_states(ws->parl_model, ws->parl_orient, k, 6, ws->parl_elec, ws->parl_mat, ws->scratch);
        build_nuclear_matrix(ws->parl_model, ws->parl_orient, ws->parl_elec, k, ws->parl_mat);
        add_relaxation(ws->parl_model, ws->parl_elec, ws->parl_mat, ws->scratch);
        v.push_back(ws->parl_mat);
    }
    return v;
}

const std::vector<ParlMat> &sample_matrices(bool subnormal = false) {
    static const std::vector<ParlMat> plain = make_sample_matrices(false);
    static const std::vector<ParlMat> tiny = make_sample_matrices(true);
    return subnormal ? tiny : plain;
}

using Decompose = int (*)(int, ParlMat &, DecompositionScratch &);

// CPU time of the calling thread: the machine is shared, so wall time is noisy.
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

double time_ours(Decompose f, std::size_t rounds, bool subnormal = false) {
    const auto &mats = sample_matrices(subnormal);
    auto work = std::make_unique<ParlMat>();
    auto scratch = std::make_unique<DecompositionScratch>();
    const double t0 = thread_seconds();
    for (std::size_t r = 0; r < rounds; ++r)
        for (const ParlMat &m : mats) {
            std::memcpy(work->trans_mat, m.trans_mat, sizeof m.trans_mat);
            benchmark::DoNotOptimize(f(kMaxDim, *work, *scratch));
        }
    return (thread_seconds() - t0) / (rounds * mats.size());
}

// The same 16 matrices decomposed side by side, kDecompositionLanes at a time: time per
// matrix. `flush`: with subnormal results flushed to zero (and subnormal inputs read as
// zero), which changes results, and the updates' products in single precision, as on a
// processor without assists; only to show what subnormals cost.
double time_lanes(std::size_t rounds, bool subnormal = false, bool flush = false) {
    const auto &mats = sample_matrices(subnormal);
    std::vector<std::unique_ptr<ParlMat>> work;
    std::vector<ParlMat *> ptrs;
    for (std::size_t i = 0; i < mats.size(); ++i) {
        work.push_back(std::make_unique<ParlMat>());
        ptrs.push_back(work.back().get());
    }
    auto scratch = std::make_unique<LaneScratch>();
    int sweeps[kDecompositionLanes];
    const unsigned csr = _mm_getcsr();
    if (flush) {
        _mm_setcsr(csr | 0x8040);  // flush to zero, denormals are zero
        mosslib::common::choose_subnormal_route(mosslib::common::SubnormalRoute::plain);
    }
    const double t0 = thread_seconds();
    for (std::size_t r = 0; r < rounds; ++r)
        for (std::size_t b = 0; b < mats.size(); b += kDecompositionLanes) {
            for (int l = 0; l < kDecompositionLanes; ++l)
                std::memcpy(ptrs[b + l]->trans_mat, mats[b + l].trans_mat, sizeof mats[b + l].trans_mat);
            eberlein_decompose_lanes(kMaxDim, ptrs.data() + b, kDecompositionLanes, *scratch, sweeps);
            benchmark::DoNotOptimize(sweeps);
        }
    const double t = thread_seconds() - t0;
    _mm_setcsr(csr);
    mosslib::common::choose_subnormal_route(mosslib::common::SubnormalRoute::processor);
    return t / (rounds * mats.size());
}

double time_cgeev(std::size_t rounds, bool subnormal = false, Cgeev cgeev = cgeev_) {
    const auto &mats = sample_matrices(subnormal);
    const int n = kMaxDim;
    const int lwork = 4 * n * n;
    std::vector<std::complex<float>> a(n * n), w(n), vl(n * n), vr(n * n), work(lwork);
    std::vector<float> rwork(2 * n);
    int info = 0;
    const double t0 = thread_seconds();
    for (std::size_t r = 0; r < rounds; ++r)
        for (const ParlMat &m : mats) {
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i) a[i + n * j] = {m.trans_mat[at(i, j)].r, m.trans_mat[at(i, j)].i};
            cgeev("V", "V", &n, a.data(), &n, w.data(), vl.data(), &n, vr.data(), &n, work.data(), &lwork,
                   rwork.data(), &info, 1, 1);
            benchmark::DoNotOptimize(w.data());
        }
    return (thread_seconds() - t0) / (rounds * mats.size());
}

void BM_decompose_48(benchmark::State &state) {
    for (auto _ : state) state.SetIterationTime(time_ours(eberlein_decompose, 1) * 16);
    state.counters["per_matrix_ms"] = time_ours(eberlein_decompose, 2) * 1e3;
}
void BM_decompose_lanes_48(benchmark::State &state) {
    for (auto _ : state) state.SetIterationTime(time_lanes(1) * 16);
    state.counters["per_matrix_ms"] = time_lanes(2) * 1e3;
}
void BM_decompose_plain_48(benchmark::State &state) {
    for (auto _ : state) state.SetIterationTime(time_ours(eberlein_decompose_plain, 1) * 16);
}
void BM_cgeev_48(benchmark::State &state) {
    for (auto _ : state) state.SetIterationTime(time_cgeev(1) * 16);
}
// The solvers interleaved on the same 16 matrices: ratios of ours (one matrix at a time,
// and eight side by side; on a processor with AVX-512 also as its AVX2 lanes run it) to
// reference cgeev and to OpenBLAS's cgeev. Argument 1: the fast-relaxing matrices, rich
// in subnormals. lanes_ftz_ms: the side-by-side kernel with subnormals flushed (other
// results; what subnormals cost, not a way to run).
void BM_decompose_over_cgeev(benchmark::State &state) {
    const bool subnormal = state.range(0) != 0;
    const Cgeev openblas = openblas_cgeev();
    double ours = 0, lanes = 0, lanes_avx2 = 0, lanes_ftz = 0, lapack = 0, open = 0;
    for (auto _ : state) {
        ours += time_ours(eberlein_decompose, 2, subnormal);
        lanes += time_lanes(2, subnormal);
        if (mosslib::common::avx512_lanes()) {  // the side-by-side kernel as processors without AVX-512 run it
            mosslib::common::allow_avx512_lanes(false);
            lanes_avx2 += time_lanes(2, subnormal);
            mosslib::common::allow_avx512_lanes(true);
        }
        lanes_ftz += time_lanes(2, subnormal, true);
        lapack += time_cgeev(2, subnormal);
        if (openblas) open += time_cgeev(2, subnormal, openblas);
    }
    state.counters["ours_ms"] = ours / state.iterations() * 1e3;
    state.counters["lanes_ms"] = lanes / state.iterations() * 1e3;
    state.counters["lanes_ftz_ms"] = lanes_ftz / state.iterations() * 1e3;
    if (lanes_avx2 > 0) {
        state.counters["lanes_avx2_ms"] = lanes_avx2 / state.iterations() * 1e3;
        state.counters["lanes_avx2_ratio"] = lanes_avx2 / lapack;
    }
    state.counters["cgeev_ms"] = lapack / state.iterations() * 1e3;
    state.counters["ratio"] = ours / lapack;
    state.counters["lanes_ratio"] = lanes / lapack;
    if (openblas) {
        state.counters["openblas_ms"] = open / state.iterations() * 1e3;
        state.counters["lanes_openblas_ratio"] = lanes / open;
    }
}
BENCHMARK(BM_decompose_48)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decompose_lanes_48)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decompose_plain_48)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cgeev_48)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decompose_over_cgeev)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::AddCustomContext("processor", processor_model());
    benchmark::AddCustomContext("lanes", mosslib::common::avx512_lanes()  ? "AVX-512 masks"
                                         : mosslib::common::avx2_lanes() ? "AVX2"
                                                                          : "baseline");
    benchmark::AddCustomContext("reference cgeev", library_of(reinterpret_cast<const void *>(&cgeev_)));
    benchmark::AddCustomContext("OpenBLAS cgeev", openblas_cgeev() ? kOpenBlas : "not installed (libopenblas0-serial)");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
