#include "spinham/spinspec.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/thread_workspace.h"
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

// The lines of one level pass: weight and the eight nuclear lines (position, intensity).
struct PassLines {
    double weight;
    double position[kLinesPerPass];
    double intensity[kLinesPerPass];
};

// Directions per chunk of the walk (each takes about 6 us at 6 levels).
constexpr int kDirectionsPerChunk = 4;

// Where a pass's nuclear lines come from: the effective field and the direction.
struct PassField {
    Vector3 field;
    double nx, ny, nz;
};

// What a chunk of directions computed on some thread leaves for the commit: the passes
// of its directions in (direction, pass) order, and the first direction that failed.
struct ChunkRecord {
    int passes = 0;
    bool failed = false;
    bool no_memory = false;
    RunOutcome failure;
    PassLines lines[kDirectionsPerChunk * kMaxLevels];
    PassField fields[kDirectionsPerChunk * kMaxLevels];
};

// The chunk records of a walk, one block per calling thread kept on the heap.
struct ChunkRing {
    std::vector<ChunkRecord> records;
};

class Run {
public:
    Run(SpinhamInputs &in, SpinhamWorkspace &ws, const common::CallControl &control)
        : in_(in), ws_(ws), control_(control) {}

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

        count_ = in_.axes_flag != 0 ? 3 : powder_point_count(in_.rings, in_.copies);
        RunOutcome outcome = walk();
        if (!outcome.ok()) return outcome;

        if (draw_lines_) std::copy_n(ws_.acc, in_.channels, spectrum);
        return outcome;
    }

private:
    // Direction j (1-based) of the walk; `previous` is direction j - 1.
    FieldDirection direction_at(std::int64_t j, const FieldDirection &previous) const {
        if (in_.axes_flag != 0) {
            const FieldDirection axes[3] = {{1.0, 0.0, 0.0, 1.0}, {0.0, 1.0, 0.0, 1.0}, {0.0, 0.0, 1.0, 1.0}};
            return axes[j - 1];
        }
        return powdir(in_.rings, j, in_.copies, previous);
    }

    // Direction j - 1, for a walk that starts at j: copies 2..m of a grid point are
    // made from the copy before them, so the walk is taken up from the last first copy.
    FieldDirection direction_before(std::int64_t j) const {
        FieldDirection d;
        if (in_.axes_flag != 0 || in_.copies == 0) return d;
        for (std::int64_t i = std::max<std::int64_t>(1, j - in_.copies); i < j; ++i) d = direction_at(i, d);
        return d;
    }

    // The walk over every direction. The first direction runs on the calling thread:
    // an automatic hyperfine shift is chosen at its first pass and holds for all the
    // others, which then run in chunks (on the thread pool when there are threads),
    // their lines added to the spectrum in (direction, pass, line) order. A failure
    // stops the walk at the lowest failing direction.
    RunOutcome walk() {
        common::ProgressTicker ticker(control_.progress);
        FieldDirection d;
        RunOutcome outcome;
        std::int64_t jd = 1;
        auto add = [this](double weight, const Vector3 &hef, const FieldDirection &dir) {
            PassLines lines;
            lines.weight = weight;
            (void)nuctrans(efg_, hef.x, hef.y, hef.z, dir.nx, dir.ny, dir.nz, in_.nuclear_option, ws_.nuc,
                           lines.position, lines.intensity);
            add_pass(lines);
        };
        for (; jd <= count_; ++jd) {
            d = direction_at(jd, d);
            outcome = direction(d, jd, ws_, true, add);
            if (!outcome.ok()) return outcome;
            // An automatic shift that came out zero is chosen again at the next pass.
            if (in_.hyperfine_shift != 0.0) break;
            if (ticker.tick(jd, count_)) return cancelled();
        }
        if (jd > count_) {
            ticker.finish();
            return outcome;
        }
        return chunked_walk(jd + 1);
    }

    RunOutcome chunked_walk(std::int64_t first) {
        ChunkRing *ring = common::thread_workspace<ChunkRing>();
        const int slots = common::ordered_slots(control_.threads);
        try {
            if (ring && ring->records.size() < static_cast<std::size_t>(slots))
                ring->records.resize(static_cast<std::size_t>(slots));
        } catch (...) {
            ring = nullptr;
        }
        if (!ring) return no_memory();
        struct Chunks final : common::OrderedWork {
            Run &run;
            ChunkRecord *records;
            std::int64_t base;  // direction of item 0
            RunOutcome outcome;
            Chunks(Run &r, ChunkRecord *rec, std::int64_t b) : run(r), records(rec), base(b) {}
            void compute(std::int64_t first, std::int64_t end, int slot) noexcept override {
                run.compute_chunk(base + first, base + end, records[slot]);
            }
            bool commit(std::int64_t, std::int64_t, int slot) noexcept override {
                const ChunkRecord &r = records[slot];
                for (int p = 0; p < r.passes; ++p) run.add_pass(r.lines[p]);
                if (r.no_memory) outcome = run.no_memory();
                if (r.failed) outcome = r.failure;
                return !r.failed && !r.no_memory;
            }
        } chunks(*this, ring->records.data(), first);
        const common::RunEnd end =
            common::run_ordered(chunks, count_ - first + 1, kDirectionsPerChunk, slots, control_, first - 1);
        if (end == common::RunEnd::cancelled) return cancelled();
        return chunks.outcome;
    }

    // Directions [first, end) into the record, on the work space of the thread that
    // runs it; stops at a failing direction. The nuclear lines of its passes are
    // solved last, kNuclearLanes passes side by side.
    void compute_chunk(std::int64_t first, std::int64_t end, ChunkRecord &record) noexcept {
        record.passes = 0;
        record.failed = false;
        record.no_memory = false;
        SpinhamWorkspace *w = spinham_workspace();
        if (!w) {
            record.no_memory = true;
            return;
        }
        auto keep = [&record](double weight, const Vector3 &hef, const FieldDirection &dir) {
            record.lines[record.passes].weight = weight;
            record.fields[record.passes] = {hef, dir.nx, dir.ny, dir.nz};
            ++record.passes;
        };
        // The electronic levels of kElectronicLanes directions at a time where the
        // solver has a side-by-side form, else direction by direction.
        const int group = lanes_apply(system_) ? kElectronicLanes : 1;
        FieldDirection d = direction_before(first);
        for (std::int64_t jd = first; jd < end && !record.failed; jd += group) {
            const int count = static_cast<int>(std::min<std::int64_t>(group, end - jd));
            FieldDirection dirs[kElectronicLanes];
            double b[kElectronicLanes][3];
            for (int k = 0; k < count; ++k) {
                d = direction_at(jd + k, d);
                dirs[k] = d;
                const Vector3 field = applied_field(d);
                b[k][0] = field.x;
                b[k][1] = field.y;
                b[k][2] = field.z;
            }
            if (group > 1) spinham_lanes(system_, count, b, w->elec, w->elec_lanes);
            for (int k = 0; k < count; ++k) {
                const eigen::Status status = group > 1
                                                 ? take_levels(system_, w->elec_lanes, k, w->elec, w->energy)
                                                 : spinham(system_, b[k][0], b[k][1], b[k][2], w->elec, w->energy);
                const RunOutcome o = passes(status, dirs[k], jd + k, *w, false, keep);
                if (!o.ok()) {
                    record.failed = true;
                    record.failure = o;
                    break;
                }
            }
        }
        solve_lines(record, *w);
    }

    void solve_lines(ChunkRecord &record, SpinhamWorkspace &w) const noexcept {
        for (int p = 0; p < record.passes; p += kNuclearLanes) {
            const int count = std::min(kNuclearLanes, record.passes - p);
            NuclearPass batch[kNuclearLanes];
            for (int m = 0; m < count; ++m) {
                const PassField &f = record.fields[p + m];
                PassLines &lines = record.lines[p + m];
                batch[m] = {f.field.x, f.field.y, f.field.z, f.nx, f.ny, f.nz, lines.position, lines.intensity};
            }
            nuctrans_lanes(efg_, in_.nuclear_option, count, batch, w.nuc_lanes);
        }
    }

    void add_pass(const PassLines &p) {
        addlines(in_.channels, in_.centre_channel, p.position, p.intensity, p.weight, in_.width, in_.velocity_step,
                 ws_.acc);
    }

    RunOutcome cancelled() const {
        RunOutcome o;
        o.cancelled = true;
        return o;
    }

    RunOutcome no_memory() const {
        RunOutcome o;
        o.refusal = "no memory for a worker thread's work space";
        return o;
    }

    // One field direction on work space w; each level pass goes to sink as its weight,
    // the effective field and the direction. The first direction (choose_shift) may
    // choose the automatic hyperfine shift; the others read the tensor it left.
    template <class Sink>
    RunOutcome direction(const FieldDirection &d, std::int64_t index, SpinhamWorkspace &w, bool choose_shift,
                         Sink &&sink) {
        const Vector3 b = applied_field(d);
        return passes(spinham(system_, b.x, b.y, b.z, w.elec, w.energy), d, index, w, choose_shift, sink);
    }

    Vector3 applied_field(const FieldDirection &d) const {
        return {in_.field * d.nx, in_.field * d.ny, in_.field * d.nz};
    }

    // The level passes of direction d from its electronic levels (in w, when the
    // solver's status is ok).
    template <class Sink>
    RunOutcome passes(eigen::Status status, const FieldDirection &d, std::int64_t index, SpinhamWorkspace &w,
                      bool choose_shift, Sink &&sink) {
        const Vector3 b = applied_field(d);
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
        spinexp(in_.mult1, in_.mult2, n, w.elec.ar, w.elec.ai, ws_.ladder1, w.sx, w.sy, w.sz);
        boltz(n, in_.temperature, w.energy, w.pop);

        // Every pass sets the spin it uses before using it.
        Vector3 spin;
        const int nst = levels_this_direction(in_, n, d.nz);
        if (nst != n || n == 1) {
            for (int k = 0; k < n; ++k) {
                spin.x += w.pop[k] * w.sx[k];
                spin.y += w.pop[k] * w.sy[k];
                spin.z += w.pop[k] * w.sz[k];
            }
        }

        for (int l = 0; l < nst; ++l) {
            double wl = d.w;
            if (nst != 1) {
                if (w.pop[l] < kPopulationFloor) continue;
                wl = d.w * w.pop[l];
                spin = {w.sx[l], w.sy[l], w.sz[l]};
            }
            if (choose_shift) {
                choose_hyperfine_shift(in_, hyperfine_, spin.z);
                in_.axx = hyperfine_.xx;
                in_.ayy = hyperfine_.yy;
                in_.azz = hyperfine_.zz;
            }
            const Vector3 hef = effective_field(hyperfine_, spin, b);
            if (!draw_lines_) continue;
            // A failure of the nuclear solve can only come from a non-finite field; the
            // lines are then NaN, like every other non-finite result of degenerate input.
            sink(wl, hef, d);
        }
        return {};
    }

    SpinhamInputs &in_;
    SpinhamWorkspace &ws_;
    const common::CallControl &control_;
    SymmetricTensor efg_;
    Hyperfine hyperfine_{};
    SpinSystem system_;
    int n_levels_ = 0;
    bool draw_lines_ = true;
    std::int64_t count_ = 0;
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

RunOutcome spinspec(SpinhamInputs &in, double *spectrum, SpinhamWorkspace &ws, const common::CallControl &control) {
    if (const std::string_view refusal = check_inputs(in); !refusal.empty()) {
        RunOutcome o;
        o.refusal = refusal;
        return o;
    }
    return Run(in, ws, control).execute(spectrum);
}

}  // namespace mosslib::spinham
