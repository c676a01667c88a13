// Fixed-size work space of the spin-Hamiltonian engine (about 170 KB). One instance per
// thread, on the heap (spinham_workspace()); every run sets each value it uses before
// reading it.
#pragma once

#include <complex>

#include "eigen/hermitian.h"

namespace mosslib::spinham {

inline constexpr int kMaxLevels = 36;          // N = mult1 * mult2, electronic levels
inline constexpr int kMaxMultiplicity = 36;    // 2S + 1 of either spin
inline constexpr int kMaxChannels = 8192;      // capacity of the spectrum accumulator
inline constexpr int kLinesPerPass = 8;        // nuclear transitions 1/2 -> 3/2
inline constexpr int kMaxQuadrantCopies = 99;  // m: the copy index (j-1)/m + 0.01 needs m < 100
inline constexpr int kNuclearLanes = 4;        // level passes whose 4 x 4 solves run side by side

// Matrices of the electronic Hamiltonian, column-major with leading dimension N.
struct ElectronicWork {
    double ar[kMaxLevels * kMaxLevels];  // Hamiltonian (real) in; eigenvectors (real) out
    double ai[kMaxLevels * kMaxLevels];  // Hamiltonian (imag) in; eigenvectors (imag) out
    double zr[kMaxLevels * kMaxLevels];  // solver output; composite matrix for two spins
    double zi[kMaxLevels * kMaxLevels];
    double f[kMaxMultiplicity * kMaxMultiplicity];  // spin-2 block, real part
    double g[kMaxMultiplicity * kMaxMultiplicity];  // spin-2 block, imaginary part
    double x[kMaxLevels * kMaxLevels];              // exchange matrix (real)
    std::complex<double> cm[kMaxLevels * kMaxLevels];  // complex copy for route H
    double w[kMaxLevels];                              // eigenvalues from the solver
};

// Electronic Hamiltonians of up to kElectronicLanes fields, diagonalised side by side
// (route A, N up to kLaneLevels): matrices in, results out, leading dimension N.
inline constexpr int kElectronicLanes = 4;
inline constexpr int kLaneLevels = 8;
struct ElectronicLanes {
    double ar[kElectronicLanes][kLaneLevels * kLaneLevels];
    double ai[kElectronicLanes][kLaneLevels * kLaneLevels];
    double zr[kElectronicLanes][kLaneLevels * kLaneLevels];
    double zi[kElectronicLanes][kLaneLevels * kLaneLevels];
    double w[kElectronicLanes][kLaneLevels];
    eigen::Status status[kElectronicLanes];
};

// Excited-state (I = 3/2) nuclear Hamiltonian and its eigen-decomposition.
struct NuclearWork {
    std::complex<double> h[16];  // 4 x 4, lower triangle, column-major
    double w[4];                 // eigenvalues, descending
    double zr[16], zi[16];       // eigenvectors in columns
};

struct SpinhamWorkspace {
    ElectronicWork elec;
    ElectronicLanes elec_lanes;
    NuclearWork nuc;
    NuclearWork nuc_lanes[kNuclearLanes];  // one per pass of a side-by-side solve
    double ladder1[kMaxMultiplicity];  // S+ coefficients of spin 1
    double ladder2[kMaxMultiplicity];  // S+ coefficients of spin 2
    double energy[kMaxLevels];         // levels, descending (cm^-1)
    double pop[kMaxLevels];            // Boltzmann populations
    double sx[kMaxLevels], sy[kMaxLevels], sz[kMaxLevels];  // <S1> of each level
    double enuc[kLinesPerPass];        // nuclear line positions (mm/s)
    double inuc[kLinesPerPass];        // nuclear line intensities
    double acc[kMaxChannels];          // spectrum accumulator, channel c at acc[c-1]
};

// The calling thread's work space, made on the thread's first call and kept until the
// thread ends (common/thread_workspace.h); nullptr if there is no memory for it.
SpinhamWorkspace *spinham_workspace() noexcept;

}  // namespace mosslib::spinham
