// Driver of the spin-Hamiltonian engine: powder (or three-axis) spectrum of an iron
// site whose electronic spin is described by a spin Hamiltonian in an applied field.
#pragma once

#include <cstdint>
#include <string_view>

#include "eigen/hermitian.h"
#include "spinham/spinham_workspace.h"

namespace mosslib::spinham {

// The engine's own copies of the parameters; the run rewrites several of them
// (gx1, gy1 from lambda, the exchange, the hyperfine tensor and its shift).
struct SpinhamInputs {
    double field = 0.0;        // H, kG
    double temperature = 0.0;  // T, K
    double route = 1.0;        // eigen-solver route: 1 -> A, -1 -> H, other -> B
    int mult1 = 1, mult2 = 1;  // 2S+1 of spin 1 (seen by the nucleus) and spin 2
    double d1 = 0.0, rhombicity1 = 0.0, d2 = 0.0, rhombicity2 = 0.0;  // D (cm^-1), E/D
    double lambda = 0.0;       // g anisotropy of spin 1 from D when non-zero
    double gx1 = 0.0, gy1 = 0.0, gz1 = 0.0, gx2 = 0.0, gy2 = 0.0, gz2 = 0.0;
    double quadrupole_splitting = 0.0, eta = 0.0;  // Delta E_Q (mm/s), asymmetry
    double efg_angles[3] = {0.0, 0.0, 0.0};        // Euler angles of the EFG frame, deg
    double hyperfine_shift = 0.0;                  // isotropic addition to A; 0: chosen at the first pass
    double jx = 0.0, jy = 0.0, jz = 0.0, j = 0.0;  // exchange (cm^-1), J added to each component
    int level_mode = 1;                            // 1: every populated level; 2: see levels_this_direction; else averaged spin
    double theta_a = 0.0, theta_b = 0.0;           // |nz| thresholds of level mode 2
    int nuclear_option = -1;                       // radiation geometry, -2..2
    int channels = 256;                            // G
    double centre_channel = 0.0;                   // c0, channel of the isomer shift
    double velocity_step = 0.0;                    // mm/s per channel
    double width = 0.0;                            // FWHM of every line, mm/s
    int copies = 0;                                // m: quadrant copies; 0 one-angle grid
    int rings = 1;                                 // n: polar rings of the powder grid
    double axx = 0.0, ayy = 0.0, azz = 0.0;        // hyperfine principal values, kG per unit spin
    double hyperfine_angles[3] = {0.0, 0.0, 0.0};  // Euler angles of the hyperfine frame, deg
    int lines_flag = 0;                            // 1: levels only, spectrum untouched
    int axes_flag = 0;                             // non-zero: field along x, y, z in turn
};

// How a run ended. A structurally impossible input is refused before anything is run
// (`refusal` says why); a failure of the eigen-solver stops the run at the field
// direction it met.
struct RunOutcome {
    std::string_view refusal;  // empty unless refused
    bool solver_failed = false;
    // For solver_failed: the route, its status and the field direction (1-based index
    // in the walk, and its unit vector).
    char route = 0;
    eigen::Status status = eigen::Status::ok;
    std::int64_t direction = 0;
    double nx = 0.0, ny = 0.0, nz = 0.0;

    bool ok() const { return refusal.empty() && !solver_failed; }
};

// Why the inputs are structurally impossible (the text an export reports), or an empty
// view when they can be run; nothing is run.
std::string_view check_inputs(const SpinhamInputs &in);

// One run. Writes spectrum[0..G-1] (channel c at c - 1) unless lines_flag = 1 or the
// run is refused or fails; then nothing is written and the outcome says why.
RunOutcome spinspec(SpinhamInputs &in, double *spectrum, SpinhamWorkspace &ws);

}  // namespace mosslib::spinham
