// Writes what the spectrum of every orientation of a `parl` grid needs, for an
// implementation outside the library (bench/bench_parl_numpy.py) to compute the same
// grid spectrum from: the transition matrix of each orientation as built (electronic
// states, nuclear matrix, relaxation coupling; before any decomposition), its 8 x 8
// angular factors, the state weights, the orientation weight, the channel velocities and
// the line's half width, shift and amplitude; and the parameter arrays of the call, so
// that the library can be run on exactly the same input.
//
// Building the matrices is O(n^2) per orientation against the O(n^3) decomposition, so
// handing them over costs the other side nothing it would spend much time on.
//
// Usage: parl_problem_dump OUT [name=value ...]   (catalogue parameters of `parl`;
// defaults: the catalogue's example with multiplicity=6 grid_level=5)
//
// File layout, little-endian, no padding:
//   char[8]   "MOSSPARL"
//   int32[8]  version (1), n (matrix order), n_levels, n_orient (1 for a single
//             orientation), n_chan, fast (1: no relaxation coupling, unit state
//             weights), n_ints, n_reals
//   float32[4] h (half line width), shift, amplitude, orientation weight (1 for a
//             single orientation)
//   int32     orientations the library itself computes by its resolvent route
//   float32   channel velocities [n_chan]
//   int32     ints [n_ints]; float64 reals [n_reals] (the call's parameter arrays)
//   complex64 A [n_orient][n][n]          row-major: A[k][i][j] = element (i, j)
//   complex64 B [n_orient][8][8]          row-major: B[k][i][j] = K(i, j)
//   float32   w [n_orient][n_levels]      weight of each electronic state
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "catalog_call.h"
#include "relax/angular_factors.h"
#include "relax/argument_defaults.h"
#include "relax/electronic_states.h"
#include "relax/nuclear_matrix.h"
#include "relax/relax_engine.h"
#include "relax/relaxation_coupling.h"

namespace {

using namespace mosslib::relax;

template <typename T>
void put(std::FILE *f, const T *p, std::size_t count) {
    if (count && std::fwrite(p, sizeof(T), count, f) != count) throw std::runtime_error("write failed");
}

int dump(const char *path, const mosslib::testing::CatalogCall &call) {
    auto ws = std::make_unique<RelaxWorkspace>();
    copy_arguments(call.ints.data(), call.reals.data(), ws->parl_args);
    const std::string_view fault = structural_fault(ws->parl_args);
    if (!fault.empty()) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(fault.size()), fault.data());
        return 2;
    }
    // The library's own run first: how many orientations it leaves to the resolvent
    // route (whose spectra are not sums over modes).
    run_relaxation(*ws);
    const std::int32_t resolvent = ws->resolvent_orientations;

    set_constants(ws->parl_model);
    const int grid = unpack_arguments(*ws);
    const ParlModel &model = ws->parl_model;
    const int n_orient = grid == 0 ? 1 : grid;
    const bool fast = model.relax_rate > 1000.0f;
    const int n_levels = model.n_levels;
    const int n = kNuclearLines * n_levels;

    std::vector<std::complex<float>> a(static_cast<std::size_t>(n_orient) * n * n);
    std::vector<std::complex<float>> b(static_cast<std::size_t>(n_orient) * kNuclearLines * kNuclearLines);
    std::vector<float> w(static_cast<std::size_t>(n_orient) * n_levels);
    complex_f angular[kNuclearLines * kNuclearLines];
    for (int k = 0; k < n_orient; ++k) {
        // As the engine builds an orientation's matrix before decomposing it.
        electronic_states(model, ws->parl_orient, k, n_levels, ws->parl_elec, ws->parl_mat, ws->scratch);
        const int order = build_nuclear_matrix(model, ws->parl_orient, ws->parl_elec, k, ws->parl_mat);
        if (!fast) add_relaxation(model, ws->parl_elec, ws->parl_mat, ws->scratch);
        if (order != n) throw std::runtime_error("unexpected matrix order");
        std::complex<float> *ak = a.data() + static_cast<std::size_t>(k) * n * n;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const complex_f e = ws->parl_mat.trans_mat[at(i, j)];
                ak[i * n + j] = {e.r, e.i};
            }
        const ParlOrient &o = ws->parl_orient;
        angular_factors(o.cos_theta[k], o.sin_theta[k], o.cos_phi[k], o.sin_phi[k], model.beam_angle, angular);
        std::complex<float> *bk = b.data() + static_cast<std::size_t>(k) * kNuclearLines * kNuclearLines;
        for (int i = 0; i < kNuclearLines; ++i)
            for (int j = 0; j < kNuclearLines; ++j) {
                const complex_f e = angular[i + kNuclearLines * j];
                bk[i * kNuclearLines + j] = {e.r, e.i};
            }
        for (int s = 0; s < n_levels; ++s)
            w[static_cast<std::size_t>(k) * n_levels + s] = fast ? 1.0f : ws->parl_elec.level_pop[s];
    }

    std::vector<float> vel(static_cast<std::size_t>(model.n_chan));
    for (int ch = 0; ch < model.n_chan; ++ch) vel[ch] = channel_velocity(ch + 1, model.zero_chan, model.vel_step);
    const std::int32_t head[8] = {1, n, n_levels, n_orient, model.n_chan, fast ? 1 : 0,
                                  static_cast<std::int32_t>(call.ints.size()),
                                  static_cast<std::int32_t>(call.reals.size())};
    const float scalars[4] = {model.line_width / 2.0f, model.shift, ws->parl_spec.amplitude,
                              grid == 0 ? 1.0f : ws->parl_orient.orient_weight};

    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    put(f, "MOSSPARL", 8);
    put(f, head, 8);
    put(f, scalars, 4);
    put(f, &resolvent, 1);
    put(f, vel.data(), vel.size());
    put(f, call.ints.data(), call.ints.size());
    put(f, call.reals.data(), call.reals.size());
    put(f, a.data(), a.size());
    put(f, b.data(), b.size());
    put(f, w.data(), w.size());
    if (std::fclose(f) != 0) throw std::runtime_error("write failed");
    std::printf("%s: %d orientations, n = %d, %d channels, %d by the resolvent route\n", path, n_orient, n,
                model.n_chan, resolvent);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT [name=value ...]\n", argv[0]);
        return 2;
    }
    try {
        mosslib::testing::CatalogCall call("parl");
        call.set("multiplicity", 6).set("grid_level", 5);
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            const auto eq = arg.find('=');
            if (eq == std::string::npos) throw std::invalid_argument("expected name=value: " + arg);
            call.set(arg.substr(0, eq).c_str(), std::stod(arg.substr(eq + 1)));
        }
        return dump(argv[1], call);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
