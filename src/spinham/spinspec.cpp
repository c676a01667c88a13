#include "spinham/spinspec.h"

#include <algorithm>
#include <cmath>

#include "spinham/electronic_hamiltonian.h"
#include "spinham/level_statistics.h"
#include "spinham/line_accumulation.h"
#include "spinham/nuclear_transitions.h"
#include "spinham/powder_grid.h"
#include "spinham/tensor_rotation.h"

namespace mosslib::spinham {

namespace {

// Largest powder grid: the direction index stays a 32-bit count.
constexpr int kMaxRings = 1 << 20;
constexpr std::int64_t kMaxDirections = 2147483647;

// Levels with a smaller population are skipped when levels are taken one by one.
constexpr double kPopulationFloor = 0.01;

struct Vector3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

// g of spin 1 from the zero-field splitting: gx, gy = gz - (1 -+ E/D) 2D / lambda.
void derive_g(SpinhamInputs &in) {
    if (in.lambda == 0.0) return;
    const double t = in.d1 * 2.0 / in.lambda;
    in.gx1 = in.gz1 - (1.0 - in.rhombicity1) * t;
    in.gy1 = in.gz1 - (in.rhombicity1 + 1.0) * t;
}

// Traceless field-gradient tensor from Delta E_Q and eta, turned into the engine frame.
SymmetricTensor field_gradient(const SpinhamInputs &in) {
    const double vzz = in.quadrupole_splitting / std::sqrt(1.0 + in.eta * in.eta / 3.0);
    const double vxx = vzz * 0.5 * (in.eta - 1.0);
    const double vyy = -vxx - vzz;
    return tensrot(vxx, vyy, vzz, in.efg_angles[0], in.efg_angles[1], in.efg_angles[2]);
}

SpinSystem spin_system(const SpinhamInputs &in, const SpinhamWorkspace &ws) {
    SpinSystem s;
    s.mult1 = in.mult1;
    s.mult2 = in.mult2;
    s.d1 = in.d1;
    s.rhombicity1 = in.rhombicity1;
    s.gx1 = in.gx1;
    s.gy1 = in.gy1;
    s.gz1 = in.gz1;
    s.d2 = in.d2;
    s.rhombicity2 = in.rhombicity2;
    s.gx2 = in.gx2;
    s.gy2 = in.gy2;
    s.gz2 = in.gz2;
    s.jx = in.jx;
    s.jy = in.jy;
    s.jz = in.jz;
    s.route = in.route;
    s.ladder1 = ws.ladder1;
    s.ladder2 = ws.ladder2;
    return s;
}

// Number of level passes for one direction.
int levels_this_direction(const SpinhamInputs &in, int n_levels, double nz) {
    if (in.level_mode == 1) return n_levels;
    if (in.level_mode != 2) return 1;
    int nst = 1;
    const double x = std::fabs(nz);
    if (x < in.theta_b) nst = in.mult1;
    if (x > in.theta_a) nst = in.mult1;
    return nst;
}

// The hyperfine tensor with its off-diagonal part, as rewritten during a run.
struct Hyperfine {
    double xx, yy, zz, xy, xz, yz;
};

// Isotropic shift chosen at the first pass so that the zz component vanishes; the
// Sz = 0 case takes the limit -AZZ.
void choose_hyperfine_shift(SpinhamInputs &in, Hyperfine &a, double sz) {
    if (in.hyperfine_shift != 0.0) return;
    const double shift = sz == 0.0 ? -a.zz : (0.0 - a.zz * sz) / sz;
    in.hyperfine_shift = shift;
    a.xx += shift;
    a.yy += shift;
    a.zz += shift;
}

// Effective field at the nucleus: A S - B.
Vector3 effective_field(const Hyperfine &a, const Vector3 &s, const Vector3 &b) {
    return {a.xx * s.x + a.xy * s.y + a.xz * s.z - b.x, a.xy * s.x + a.yy * s.y + a.yz * s.z - b.y,
            a.xz * s.x + a.yz * s.y + a.zz * s.z - b.z};
}

class Run {
public:
    Run(SpinhamInputs &in, SpinhamWorkspace &ws) : in_(in), ws_(ws) {}

    RunOutcome execute(double *spectrum) {
        derive_g(in_);
        in_.jx += in_.j;
        in_.jy += in_.j;
        in_.jz += in_.j;
        ladder(in_.mult1, ws_.ladder1);
        ladder(in_.mult2, ws_.ladder2);
        efg_ = field_gradient(in_);
        const SymmetricTensor a =
            tensrot(in_.axx, in_.ayy, in_.azz, in_.hyperfine_angles[0], in_.hyperfine_angles[1], in_.hyperfine_angles[2]);
        in_.axx = a.xx;
        in_.ayy = a.yy;
        in_.azz = a.zz;
        hyperfine_ = {a.xx, a.yy, a.zz, a.xy, a.xz, a.yz};
        n_levels_ = in_.mult1 * in_.mult2;
        system_ = spin_system(in_, ws_);
        draw_lines_ = in_.lines_flag != 1;
        if (draw_lines_) std::fill_n(ws_.acc, in_.channels, 0.0);

        RunOutcome outcome;
        if (in_.axes_flag != 0) {
            const FieldDirection axes[3] = {{1.0, 0.0, 0.0, 1.0}, {0.0, 1.0, 0.0, 1.0}, {0.0, 0.0, 1.0, 1.0}};
            for (int k = 0; k < 3 && !outcome.solver_failed; ++k) outcome = direction(axes[k], k + 1);
        } else {
            const std::int64_t count = powder_point_count(in_.rings, in_.copies);
            FieldDirection d;
            for (std::int64_t jd = 1; jd <= count && !outcome.solver_failed; ++jd) {
                d = powdir(in_.rings, jd, in_.copies, d);
                outcome = direction(d, jd);
            }
        }
        if (outcome.solver_failed) return outcome;

        if (draw_lines_) std::copy_n(ws_.acc, in_.channels, spectrum);
        return outcome;
    }

private:
    RunOutcome direction(const FieldDirection &d, std::int64_t index) {
        const Vector3 b{in_.field * d.nx, in_.field * d.ny, in_.field * d.nz};
        const eigen::Status status = spinham(system_, b.x, b.y, b.z, ws_.elec, ws_.energy);
        if (status != eigen::Status::ok) {
            RunOutcome o;
            o.solver_failed = true;
            o.route = static_cast<char>(solver_route(in_.route));
            o.status = status;
            o.direction = index;
            o.nx = d.nx;
            o.ny = d.ny;
            o.nz = d.nz;
            return o;
        }
        const int n = n_levels_;
        spinexp(in_.mult1, in_.mult2, n, ws_.elec.ar, ws_.elec.ai, ws_.ladder1, ws_.sx, ws_.sy, ws_.sz);
        boltz(n, in_.temperature, ws_.energy, ws_.pop);

        const int nst = levels_this_direction(in_, n, d.nz);
        if (nst != n || n == 1) {
            spin_ = {};
            for (int k = 0; k < n; ++k) {
                spin_.x += ws_.pop[k] * ws_.sx[k];
                spin_.y += ws_.pop[k] * ws_.sy[k];
                spin_.z += ws_.pop[k] * ws_.sz[k];
            }
        }

        for (int l = 0; l < nst; ++l) {
            double wl = d.w;
            if (nst != 1) {
                if (ws_.pop[l] < kPopulationFloor) continue;
                wl = d.w * ws_.pop[l];
                spin_ = {ws_.sx[l], ws_.sy[l], ws_.sz[l]};
            }
            choose_hyperfine_shift(in_, hyperfine_, spin_.z);
            in_.axx = hyperfine_.xx;
            in_.ayy = hyperfine_.yy;
            in_.azz = hyperfine_.zz;
            const Vector3 hef = effective_field(hyperfine_, spin_, b);
            if (!draw_lines_) continue;
            // A solver failure here can only come from a non-finite field; the lines are
            // then NaN, like every other non-finite result of degenerate input.
            (void)nuctrans(efg_, hef.x, hef.y, hef.z, d.nx, d.ny, d.nz, in_.nuclear_option, ws_.nuc, ws_.enuc,
                           ws_.inuc);
            addlines(in_.channels, in_.centre_channel, ws_.enuc, ws_.inuc, wl, in_.width, in_.velocity_step,
                     ws_.acc);
        }
        return {};
    }

    SpinhamInputs &in_;
    SpinhamWorkspace &ws_;
    SymmetricTensor efg_;
    Hyperfine hyperfine_{};
    SpinSystem system_;
    Vector3 spin_;
    int n_levels_ = 0;
    bool draw_lines_ = true;
};

}  // namespace

std::string_view check_inputs(const SpinhamInputs &in) {
    static_assert(kMaxChannels == 8192 && kMaxLevels == 36 && kMaxQuadrantCopies == 99 &&
                      kMinNuclearOption == -2 && kMaxNuclearOption == 2,
                  "the texts quote these limits");
    if (in.mult1 < 1) return "mult1 (integer index 1) must be at least 1";
    if (in.mult2 < 1) return "mult2 (integer index 2) must be at least 1";
    if (in.mult1 > kMaxLevels || in.mult2 > kMaxLevels || in.mult1 * in.mult2 > kMaxLevels)
        return "mult1 x mult2 exceeds 36 electronic levels";
    if (in.lines_flag != 1 && (in.channels < 1 || in.channels > kMaxChannels))
        return "channel count G (integer index 5) must be 1..8192";
    if (in.axes_flag == 0) {
        if (in.rings < 1) return "powder grid size n (integer index 7) must be at least 1";
        if (in.copies < 0 || in.copies > kMaxQuadrantCopies) return "quadrant copies m (integer index 6) must be 0..99";
        // Beyond 2^20 rings a two-angle grid has far more than 2^31 - 1 directions.
        if (in.rings > kMaxRings && in.copies == 0)
            return "one-angle powder grid (m = 0): n (integer index 7) must be at most 1048576";
        if (in.rings > kMaxRings || powder_point_count(in.rings, in.copies) > kMaxDirections)
            return "two-angle powder grid: m n (n + 1) / 2 exceeds 2147483647 directions";
    }
    if (in.lines_flag != 1 && (in.nuclear_option < kMinNuclearOption || in.nuclear_option > kMaxNuclearOption))
        return "nuclear option (integer index 4) must be -2..2";
    return {};
}

RunOutcome spinspec(SpinhamInputs &in, double *spectrum, SpinhamWorkspace &ws) {
    if (const std::string_view refusal = check_inputs(in); !refusal.empty()) {
        RunOutcome o;
        o.refusal = refusal;
        return o;
    }
    return Run(in, ws).execute(spectrum);
}

}  // namespace mosslib::spinham
