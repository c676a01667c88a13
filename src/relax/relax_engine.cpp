#include "relax/relax_engine.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "relax/complex_eigen/complex_eigen.h"
#include "relax/decomposition_acceptance.h"
#include "relax/electronic_states.h"
#include "relax/nuclear_matrix.h"
#include "relax/orientation_grid.h"
#include "relax/orientation_spectrum.h"
#include "relax/orientation_sum.h"
#include "relax/relaxation_coupling.h"
#include "relax/resolvent_spectrum.h"
#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

// Physical constants, single-precision literals.
constexpr float kPi = 3.141593f;
constexpr float kNuclearMagneton = 3.1524e-15f;  // keV per gauss
constexpr float kGammaEnergy = 14.37f;           // keV
constexpr float kSpeedOfLight = 2.9979e11f;      // mm/s
constexpr float kGroundMoment = 0.18048f;        // ground-level g factor times I
constexpr float kExcitedMoment = -0.10313f;      // excited-level g factor times I
constexpr float kBohrOverBoltzmann = 6.7174e-5f;  // kelvin per gauss

// Orientation sum negative by more than this fraction of its deepest channel: refused.
// Each orientation's own absorption is held to kNegativeAbsorption of its deepest
// channel; a grid's sum may meet several such wings.
constexpr double kImpossibleSum = 10 * kNegativeAbsorption;


// A parameter that compares equal to zero, or is not a number, takes its default.
}  // namespace

void set_constants(ParlModel &model) {
    model.pi = kPi;
    model.deg2rad = model.pi / 180.0f;
    const float k = kNuclearMagneton * kSpeedOfLight / kGammaEnergy;
    model.zeeman_g = k * kGroundMoment;
    model.zeeman_e = k * kExcitedMoment;
}

namespace {

// Hyperfine tensor in the crystal frame, R^T diag(a) R, R from the Euler angles.
void hyperfine_tensor(ParlModel &model) {
    const auto [ca, sa, cb, sb, cg, sg] = euler_trig(model.hyp_euler);
    const float r[3][3] = {
        {cg * cb * ca - sg * sa, cg * cb * sa + sg * ca, -cg * sb},
        {-sg * cb * ca - cg * sa, -sg * cb * sa + cg * ca, sg * sb},
        {sb * ca, sb * sa, cb},
    };
    const float a[3] = {model.a_x, model.a_y, model.a_z};
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) {
            float s = 0.0f;
            for (int k = 0; k < 3; ++k) s = s + a[k] * r[k][i] * r[k][j];
            model.hyp_tensor[i + 3 * j] = s;
        }
}

}  // namespace

void copy_arguments(const std::int32_t *ib, const double *db, ParlArgs &args) {
    args.n_levels = ib[1];
    args.amplitude = static_cast<float>(db[1]);
    args.relax_rate = static_cast<float>(db[2]);
    args.relax_pow = static_cast<float>(db[3]);
    args.n_chan = ib[2];
    args.grid_sym = ib[3];
    args.grid_level = ib[4];
    auto real = [db](int i) { return static_cast<float>(db[i]); };
    args.vel_step = real(4);
    args.zero_chan = real(5);
    args.shift = real(6);
    args.line_width = real(7);
    args.beam_angle = real(8);
    args.field = real(9);
    args.temp = real(10);
    args.g_x = real(11);
    args.g_y = real(12);
    args.g_z = real(13);
    args.a_x = real(14);
    args.a_y = real(15);
    args.a_z = real(16);
    args.zfs_d = real(17);
    args.zfs_e = real(18);
    args.quad_split = real(19);
    args.eta = real(20);
    for (int i = 0; i < 3; ++i) {
        args.efg_euler[i] = real(21 + i);
        args.hyp_euler[i] = real(24 + i);
    }
    args.theta = real(27);
    args.phi = real(28);
}

std::string_view structural_fault(const ParlArgs &args) {
    if (args.n_levels < 1 || args.n_levels > kMaxLevels)
        return "parl: the number of electronic states (IB 1) must be 1 to 6";
    if (args.n_chan < 0 || args.n_chan > kChannels) return "parl: the channel count (IB 2) must be 0 to 256";
    if (args.grid_level < 0) return "parl: the grid level (IB 4) must not be negative";
    return {};
}

int unpack_arguments(RelaxWorkspace &ws) {
    const ParlArgs &args = ws.parl_args;
    ParlModel &model = ws.parl_model;
    model.n_levels = args.n_levels;
    model.n_chan = args.n_chan == 0 ? kChannels : args.n_chan;
    model.relax_rate = args.relax_rate;
    model.relax_pow = args.relax_pow;
    model.vel_step = or_default(args.vel_step, kDefaultVelStep);
    model.zero_chan = args.zero_chan;
    model.shift = args.shift;
    model.line_width = args.line_width;
    model.field = args.field;
    model.temp = or_default(args.temp, kDefaultTemp);
    model.g_x = or_default(args.g_x, kDefaultG);
    model.g_y = or_default(args.g_y, kDefaultG);
    model.g_z = or_default(args.g_z, kDefaultG);
    model.a_x = args.a_x;
    model.a_y = args.a_y;
    model.a_z = args.a_z;
    model.zfs_d = args.zfs_d;
    model.zfs_e = args.zfs_e;
    model.eta = args.eta;
    ws.parl_spec.amplitude = or_default(args.amplitude, kDefaultAmplitude);

    model.zeeman_x = kBohrOverBoltzmann * model.field * model.g_x / 2.0f;
    model.zeeman_y = kBohrOverBoltzmann * model.field * model.g_y / 2.0f;
    model.zeeman_z = kBohrOverBoltzmann * model.field * model.g_z;

    const float d2r = model.deg2rad;
    const float efg[3] = {args.efg_euler[0] * d2r, args.efg_euler[1] * d2r, args.efg_euler[2] * d2r};
    for (int i = 0; i < 3; ++i) model.hyp_euler[i] = args.hyp_euler[i] * d2r;
    model.beam_angle = args.beam_angle * d2r;
    const float theta = args.theta * d2r;
    const float phi = args.phi * d2r;
    // The transition matrix takes the field gradient through the inverse rotation.
    model.efg_euler[0] = -efg[2];
    model.efg_euler[1] = -efg[1];
    model.efg_euler[2] = -efg[0];
    hyperfine_tensor(model);
    model.quad_const = static_cast<float>(args.quad_split / (6.0f * dsqrt(1.0f + model.eta * model.eta / 3.0f)));

    ParlOrient &orient = ws.parl_orient;
    int grid_level = args.grid_level;
    if (grid_level != 0) return build_orientation_grid(grid_level, args.grid_sym, orient);
    orient.cos_phi[0] = static_cast<float>(dcos(phi));
    orient.sin_phi[0] = static_cast<float>(dsin(phi));
    orient.cos_theta[0] = static_cast<float>(dcos(theta));
    orient.sin_theta[0] = static_cast<float>(dsin(theta));
    return 0;
}

namespace {

// The transition matrix of orientation k into trans_mat; returns its order.
int transition_matrix(RelaxWorkspace &ws, int k) {
    const ParlModel &model = ws.parl_model;
    const int n = build_nuclear_matrix(model, ws.parl_orient, ws.parl_elec, k, ws.parl_mat);
    if (!(model.relax_rate > 1000.0f)) add_relaxation(model, ws.parl_elec, ws.parl_mat, ws.scratch);
    return n;
}

// The leading n x n block of a transition matrix, kept before its decomposition.
void keep_original(int n, const ParlMat &mat, complex_f *original) {
    for (int j = 0; j < n; ++j) std::copy_n(mat.trans_mat + at(0, j), n, original + at(0, j));
}

// Spectrum of orientation k into spec_one from its decomposed transition matrix mat of
// order n, the matrix as built (`original`) and its electronic states elec. The modes
// give it where the decomposition is diagonal (decomposition_converged), still a
// similarity of the original (remainder_acceptable) and its absorption is possible
// (absorption_possible). Otherwise the same matrix again (built in ws.parl_mat from
// elec, copied to ws.parl_elec) and its absorption from the resolvent. False when
// neither gives a possible spectrum.
bool decomposed_absorption(RelaxWorkspace &ws, int k, int n, const ParlElec &elec, const ParlMat &mat,
                           const complex_f *original) {
    const ParlModel &model = ws.parl_model;
    // Without a positive width there is no line shape to check; the run gives NaN.
    const bool shaped = model.line_width > 0.0f;
    auto possible = [&] { return !shaped || absorption_possible(model.n_chan, ws.parl_spec.spec_one); };
    if (decomposition_converged(n, mat, model.line_width) &&
        remainder_acceptable(n, original, mat, model.line_width)) {
        orientation_spectrum(n, model, ws.parl_orient, elec, mat, k, ws.parl_spec, ws.scratch);
        if (possible()) return true;
    }
    ++ws.resolvent_orientations;
    if (&elec != &ws.parl_elec) ws.parl_elec = elec;
    transition_matrix(ws, k);
    return resolvent_absorption(n, model, ws.parl_orient, ws.parl_elec, ws.parl_mat, k, ws.parl_spec, ws.scratch,
                                ws.resolvent) &&
           possible();
}

}  // namespace

bool orientation_absorption(RelaxWorkspace &ws, int k) {
    const ParlModel &model = ws.parl_model;
    electronic_states(model, ws.parl_orient, k, model.n_levels, ws.parl_elec, ws.parl_mat, ws.scratch);
    const int n = transition_matrix(ws, k);
    complex_f *const original = ws.batch.original[0];
    keep_original(n, ws.parl_mat, original);
    eberlein_decompose(n, ws.parl_mat, ws.scratch.decomposition);
    return decomposed_absorption(ws, k, n, ws.parl_elec, ws.parl_mat, original);
}

namespace {

// The transition matrix of orientation k with its relaxation coupling into mat, from
// its electronic states in elec (which ws.parl_mat serves as work space); returns its
// order.
int orientation_matrix(RelaxWorkspace &ws, int k, ParlElec &elec, ParlMat &mat) {
    const ParlModel &model = ws.parl_model;
    electronic_states(model, ws.parl_orient, k, model.n_levels, elec, ws.parl_mat, ws.scratch);
    const int n = build_nuclear_matrix(model, ws.parl_orient, elec, k, mat);
    if (!(model.relax_rate > 1000.0f)) add_relaxation(model, elec, mat, ws.scratch);
    return n;
}

// Orientations k0 .. k0 + count - 1 of the grid up to their decompositions, which run
// side by side; each orientation's values are those it has on its own, since nothing
// of one orientation enters the next one's matrix.
void decompose_batch(RelaxWorkspace &ws, int k0, int count) {
    OrientationBatch &b = ws.batch;
    ParlMat *mats[kDecompositionLanes];
    int *order = b.order;
    bool same_order = true;
    for (int l = 0; l < count; ++l) {
        order[l] = orientation_matrix(ws, k0 + l, b.elec[l], b.mat[l]);
        keep_original(order[l], b.mat[l], b.original[l]);
        mats[l] = &b.mat[l];
        same_order = same_order && order[l] == order[0];
    }
    int sweeps[kDecompositionLanes];
    if (same_order) {
        eberlein_decompose_lanes(order[0], mats, count, b.lanes, sweeps);
        return;
    }
    for (int l = 0; l < count; ++l) eberlein_decompose(order[l], b.mat[l], ws.scratch.decomposition);
}

}  // namespace

int orientation_batch(RelaxWorkspace &ws, int k0, int count, float (*spectra)[kChannels], bool &unsolved) {
    decompose_batch(ws, k0, count);
    const OrientationBatch &b = ws.batch;
    const int n_chan = ws.parl_model.n_chan;
    unsolved = false;
    int l = 0;
    while (l < count && !unsolved) {
        unsolved = !decomposed_absorption(ws, k0 + l, b.order[l], b.elec[l], b.mat[l], b.original[l]);
        std::copy_n(ws.parl_spec.spec_one, n_chan, spectra[l++]);
    }
    return l;
}

int run_relaxation(RelaxWorkspace &ws, const common::CallControl &control) {
    set_constants(ws.parl_model);
    const int n_orient = unpack_arguments(ws);
    ParlSpec &spectra = ws.parl_spec;
    const int n_chan = ws.parl_model.n_chan;
    for (int ch = 0; ch < n_chan; ++ch) spectra.spec_sum[ch] = 0.0f;

    ws.resolvent_orientations = 0;
    ws.cancelled = false;
    ws.worker_out_of_memory = false;
    bool solved = true;
    if (n_orient == 0) {
        solved = orientation_absorption(ws, 0);
        for (int ch = 0; ch < n_chan; ++ch) spectra.spec_sum[ch] = spectra.spec_one[ch];
        if (solved) common::ProgressTicker(control.progress).finish();
    } else if (control.threads > 1 && n_orient > kDecompositionLanes) {
        const SumEnd end = sum_orientations(ws, n_orient, control);
        solved = end == SumEnd::complete;
        ws.cancelled = end == SumEnd::cancelled;
        ws.worker_out_of_memory = end == SumEnd::no_memory;
    } else {
        // Orientations in batches decomposed side by side; their spectra are added in
        // orientation order.
        common::ProgressTicker ticker(control.progress);
        const float weight = ws.parl_orient.orient_weight;
        OrientationBatch &b = ws.batch;
        for (int k0 = 0; k0 < n_orient && solved; k0 += kDecompositionLanes) {
            const int count = n_orient - k0 < kDecompositionLanes ? n_orient - k0 : kDecompositionLanes;
            decompose_batch(ws, k0, count);
            for (int l = 0; l < count && solved; ++l) {
                solved = decomposed_absorption(ws, k0 + l, b.order[l], b.elec[l], b.mat[l], b.original[l]);
                for (int ch = 0; ch < n_chan; ++ch)
                    spectra.spec_sum[ch] = spectra.spec_sum[ch] + spectra.spec_one[ch] * weight;
            }
            if (solved && ticker.tick(k0 + count, n_orient)) {
                ws.cancelled = true;
                solved = false;
            }
        }
        if (solved) ticker.finish();
    }

    // Normalise to the deepest channel. Without positive absorption anywhere the
    // sample transmits fully; a width that is not positive has no line shape at all.
    float deepest = 0.0f;
    for (int ch = 0; ch < n_chan; ++ch)
        if (spectra.spec_sum[ch] > deepest) deepest = spectra.spec_sum[ch];
    // Every orientation's absorption was checked; the sum is checked again, so that no
    // transmission leaves [1 - amplitude, 1] by more than rounding, whatever a route did.
    ws.impossible = false;
    if (solved && ws.parl_model.line_width > 0.0f) {
        const double floor = -kImpossibleSum * static_cast<double>(deepest);
        for (int ch = 0; ch < n_chan; ++ch)
            ws.impossible = ws.impossible || static_cast<double>(spectra.spec_sum[ch]) < floor;
        solved = !ws.impossible;
    }
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    for (int ch = 0; ch < n_chan; ++ch) {
        if (!(ws.parl_model.line_width > 0.0f) || !solved)
            spectra.spec_out[ch] = kNaN;
        else if (deepest == 0.0f)
            spectra.spec_out[ch] = std::isnan(spectra.spec_sum[ch]) ? kNaN : 1.0f;
        else
            spectra.spec_out[ch] = 1.0f - spectra.amplitude * spectra.spec_sum[ch] / deepest;
    }
    ws.unsolved = !solved && !ws.cancelled && !ws.worker_out_of_memory && !ws.impossible;
    return n_chan;
}

std::string_view numerical_fault(const RelaxWorkspace &ws) {
    if (ws.cancelled) return "cancelled";
    if (ws.worker_out_of_memory) return "parl: no memory for a worker thread's work space";
    if (ws.unsolved)
        return "parl: the transition matrix of an orientation could not be solved (singular, not finite, or its "
               "absorption negative by both routes)";
    if (ws.impossible) return "parl: the summed absorption is negative somewhere; the spectrum is not physical";
    return {};
}

}  // namespace mosslib::relax
