#include "spinham/spinham_entry.h"

#include "spinham/spinspec.h"

namespace mosslib::spinham {

namespace {

// Integer and double parameter layout shared by ttt and tkv; tkv takes the level mode
// from integer index 26 instead of 3.
SpinhamInputs copy_inputs(const std::int32_t *ints, const double *reals, std::int32_t level_mode) {
    SpinhamInputs in;
    in.route = static_cast<double>(ints[0]);
    in.mult1 = ints[1];
    in.mult2 = ints[2];
    in.level_mode = level_mode;
    in.nuclear_option = ints[4];
    in.channels = ints[5];
    in.copies = ints[6];
    in.rings = ints[7];
    in.axes_flag = ints[8];
    in.lines_flag = ints[9];

    in.field = reals[0];
    in.temperature = reals[1];
    in.d1 = reals[3];
    in.rhombicity1 = reals[4];
    in.d2 = reals[5];
    in.rhombicity2 = reals[6];
    in.lambda = reals[7];
    in.gx1 = reals[8];
    in.gy1 = reals[9];
    in.gz1 = reals[10];
    in.gx2 = reals[11];
    in.gy2 = reals[12];
    in.gz2 = reals[13];
    in.quadrupole_splitting = reals[14];
    in.eta = reals[15];
    in.efg_angles[0] = reals[16];
    in.efg_angles[1] = reals[17];
    in.efg_angles[2] = reals[18];
    in.hyperfine_shift = reals[19];
    in.jx = reals[22];
    in.jy = reals[23];
    in.jz = reals[24];
    in.j = reals[25];
    in.centre_channel = reals[26] + reals[28] / reals[27];
    in.velocity_step = reals[27];
    in.width = reals[29];
    in.axx = reals[30];
    in.ayy = reals[31];
    in.azz = reals[32];
    in.hyperfine_angles[0] = reals[33];
    in.hyperfine_angles[1] = reals[34];
    in.hyperfine_angles[2] = reals[35];
    in.theta_a = 0.0;
    in.theta_b = 0.0;
    return in;
}

// Runs the engine on the decoded inputs; nan_count is the extent a fault fills.
common::Fault run(SpinhamInputs &in, double *spectrum, std::size_t nan_count, const char *export_name) {
    SpinhamWorkspace *const ws = spinham_workspace();
    if (!ws) return common::Fault::formatted(nan_count, "%s: no memory for the work space", export_name);
    const RunOutcome o = spinspec(in, spectrum, *ws);
    if (!o.refusal.empty()) return common::Fault(nan_count, o.refusal);
    if (o.solver_failed)
        return common::Fault::formatted(
            nan_count,
            "eigen-solver route %c failed (%s) on the electronic Hamiltonian of field direction %lld "
            "(%.6g, %.6g, %.6g)",
            o.route, eigen::status_text(o.status), static_cast<long long>(o.direction), o.nx, o.ny, o.nz);
    return {};
}

}  // namespace

common::Fault ttt_spectrum(const std::int32_t *ints, const double *reals, double *spectrum) {
    SpinhamInputs in = copy_inputs(ints, reals, ints[3]);
    const bool writable = ints[9] != 1 && ints[5] >= 1 && ints[5] <= kMaxChannels;
    return run(in, spectrum, writable ? static_cast<std::size_t>(ints[5]) : 0, "ttt");
}

common::Fault tkv_residual(const std::int32_t *ints, const double *reals, const double *measured, double &sum) {
    if (ints[5] != kTkvChannels) return common::Fault(0, "channel count G (integer index 5) must be 256 for tkv");
    if (ints[9] == 1)
        return common::Fault(0, "lines flag (integer index 9) 1 computes no spectrum for tkv to compare");
    SpinhamInputs in = copy_inputs(ints, reals, ints[26]);
    double calc[kTkvChannels];
    if (common::Fault f = run(in, calc, 0, "tkv")) return f;
    double s = 0.0;
    for (int k = 1; k < kTkvChannels; ++k) {
        const double r = measured[k] - calc[k];
        s += r * r;
    }
    sum = s;
    return {};
}

}  // namespace mosslib::spinham
