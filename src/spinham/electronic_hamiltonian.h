// Electronic spin Hamiltonian of one spin, or of two exchange-coupled spins, in an
// applied field: zero-field splitting, Zeeman terms and anisotropic exchange.
#pragma once

#include "eigen/hermitian.h"
#include "spinham/spinham_workspace.h"

namespace mosslib::spinham {

// Bohr magneton in cm^-1 per kG, the single-precision literal widened.
inline constexpr double kBohrMagneton = static_cast<double>(0.046687f);

// S+ coefficients of a spin of multiplicity n: c[k-1] = sqrt(S(S+1) - m(m+1)), m = S - k,
// for k = 1..n-1 (the element between m and m + 1), and c[n-1] = 0.
void ladder(int n, double *c);

// Which eigen-solver the route value selects: exactly 1.0 -> A, exactly -1.0 -> H,
// anything else -> B.
enum class SolverRoute : char { A = 'A', B = 'B', H = 'H' };
SolverRoute solver_route(double route);

struct SpinSystem {
    int mult1 = 1, mult2 = 1;                 // 2S+1 of spin 1 (the Moessbauer ion) and spin 2
    double d1 = 0.0, rhombicity1 = 0.0;       // D (cm^-1) and E/D of spin 1
    double gx1 = 0.0, gy1 = 0.0, gz1 = 0.0;   // g of spin 1
    double d2 = 0.0, rhombicity2 = 0.0;       // the same for spin 2
    double gx2 = 0.0, gy2 = 0.0, gz2 = 0.0;
    double jx = 0.0, jy = 0.0, jz = 0.0;      // exchange, J already added
    double route = 1.0;                       // solver route value
    const double *ladder1 = nullptr;          // ladder(mult1)
    const double *ladder2 = nullptr;          // ladder(mult2)
};

// Builds the Hamiltonian for the field (bx, by, bz) in kG and diagonalises it.
// On ok: energy[0..N-1] descending, eigenvector k in column k of work.ar / work.ai.
// Any other status: the solver failed and energy / eigenvectors hold no result.
eigen::Status spinham(const SpinSystem &sys, double bx, double by, double bz, ElectronicWork &work, double *energy);

// True when spinham_lanes serves the system: route A and N = 2..kLaneLevels levels.
bool lanes_apply(const SpinSystem &sys);

// spinham for the fields b[0..count-1] (kG), count in 1..kElectronicLanes: each
// Hamiltonian built in work and all diagonalised side by side into lanes; take_levels
// then gives field m's status and, on ok, its levels in energy and its eigenvectors in
// work.ar / work.ai, bit for bit as spinham gives them. Only where lanes_apply(sys).
void spinham_lanes(const SpinSystem &sys, int count, const double (*b)[3], ElectronicWork &work,
                   ElectronicLanes &lanes);
eigen::Status take_levels(const SpinSystem &sys, const ElectronicLanes &lanes, int m, ElectronicWork &work,
                          double *energy);

}  // namespace mosslib::spinham
