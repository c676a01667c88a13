// ttt and tkv: the spin-Hamiltonian engine behind the C boundary. Both copy the
// parameters (the engine rewrites its copies), run spinspec, and turn a refusal or a
// solver failure into NaN plus a reason for mosslib_last_error().
#include <cstdio>
#include <cstdint>
#include <limits>

#include "boundary/export_frame.h"
#include "mosslib.h"
#include "spinham/spinspec.h"

namespace {

namespace sh = mosslib::spinham;

constexpr int kTkvChannels = 256;
static_assert(sh::kMaxChannels == 8192 && sh::kMaxLevels == 36 && sh::kMaxQuadrantCopies == 99,
              "refusal texts quote these limits");

// Integer and double parameter layout shared by ttt and tkv; tkv takes the level mode
// from integer index 26 instead of 3.
sh::SpinhamInputs copy_inputs(const int32_t *ints, const double *reals, int32_t level_mode) {
    sh::SpinhamInputs in;
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

const char *fault_text(sh::Fault f) {
    switch (f) {
    case sh::Fault::none: return "";
    case sh::Fault::bad_mult1: return "mult1 (integer index 1) must be at least 1";
    case sh::Fault::bad_mult2: return "mult2 (integer index 2) must be at least 1";
    case sh::Fault::too_many_levels: return "mult1 x mult2 exceeds 36 electronic levels";
    case sh::Fault::bad_channels: return "channel count G (integer index 5) must be 1..8192";
    case sh::Fault::bad_grid_size: return "powder grid size n (integer index 7) must be at least 1";
    case sh::Fault::bad_copies: return "quadrant copies m (integer index 6) must be 0..99";
    case sh::Fault::too_many_rings: return "one-angle powder grid (m = 0): n (integer index 7) must be at most 1048576";
    case sh::Fault::too_many_directions: return "two-angle powder grid: m n (n + 1) / 2 exceeds 2147483647 directions";
    case sh::Fault::bad_nuclear_option: return "nuclear option (integer index 4) must be -2..2";
    case sh::Fault::solver_failed: return "eigen-solver failed";
    }
    return "unknown fault";
}

void report(const sh::RunOutcome &o) {
    char text[256];
    if (o.fault == sh::Fault::solver_failed) {
        std::snprintf(text, sizeof text,
                      "eigen-solver route %c failed (%s) on the electronic Hamiltonian of field direction %lld "
                      "(%.6g, %.6g, %.6g)",
                      o.route, mosslib::eigen::status_text(o.status), static_cast<long long>(o.direction), o.nx,
                      o.ny, o.nz);
    } else {
        std::snprintf(text, sizeof text, "%s", fault_text(o.fault));
    }
    mosslib::boundary::set_last_error(text);
}

}  // namespace

extern "C" {

MOSSLIB_API int32_t MOSSLIB_CALL ttt(const int32_t *ints, const double *reals, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    sh::SpinhamInputs in = copy_inputs(ints, reals, ints[3]);
    const sh::RunOutcome o = sh::spinspec(in, spectrum, sh::thread_workspace());
    if (o.fault != sh::Fault::none) {
        report(o);
        const bool writable = ints[9] != 1 && ints[5] >= 1 && ints[5] <= sh::kMaxChannels;
        if (writable) mosslib::boundary::fill_nan(spectrum, static_cast<std::size_t>(ints[5]));
    }
    return 2;
}

MOSSLIB_API double MOSSLIB_CALL tkv(const int32_t *ints, const double *reals, const double *measured) {
    const mosslib::boundary::ExportScope scope;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (ints[5] != kTkvChannels) {
        mosslib::boundary::set_last_error("channel count G (integer index 5) must be 256 for tkv");
        return nan;
    }
    if (ints[9] == 1) {
        mosslib::boundary::set_last_error("lines flag (integer index 9) 1 computes no spectrum for tkv to compare");
        return nan;
    }
    sh::SpinhamInputs in = copy_inputs(ints, reals, ints[26]);
    double calc[kTkvChannels];
    const sh::RunOutcome o = sh::spinspec(in, calc, sh::thread_workspace());
    if (o.fault != sh::Fault::none) {
        report(o);
        return nan;
    }
    double s = 0.0;
    for (int k = 1; k < kTkvChannels; ++k) {
        const double r = measured[k] - calc[k];
        s += r * r;
    }
    return s;
}

}  // extern "C"
