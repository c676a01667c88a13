// Work space of the relaxation engine: the caller's values, the model scalars, the
// spectra, the orientation table, the electronic states and the complex matrices of
// one run, each a named block of fixed size. One instance per thread.
//
// Arithmetic convention of the whole engine: every stored quantity is a float, and
// every assignment rounds to float. Float operands combine in float; the mathematical
// functions (sqrt, exp, cos, sin, atan, pow) and the Fortran run-time intrinsics
// pow_ri and c_abs return double, and an expression continues in double from such a
// result until its assignment rounds it. Literal constants are single precision.
// Arrays are indexed from 0 here (index i holds element i + 1); matrices are
// column-major with the fixed leading dimension kMaxDim. The transition matrix and its
// eigenvectors (ParlMat) and the decomposition's scratch are the complex eigen-solver's
// types (complex_eigen/complex_eigen.h).
#pragma once

#include <complex>
#include <cstdint>

#include "numeric/f2c_intrinsics.h"
#include "relax/complex_eigen/complex_eigen.h"

namespace mosslib::relax {

using numeric::complex_f;

inline constexpr int kMaxLevels = 6;          // electronic states, 2S + 1
inline constexpr int kNuclearLines = 8;       // gamma transitions per electronic state
static_assert(kMaxDim == kMaxLevels * kNuclearLines, "the transition matrix fits the decomposition");
inline constexpr int kChannels = 256;
inline constexpr int kMaxOrientations = 1536;  // 64 base directions x 24 cube rotations
inline constexpr int kMaxGridLevel = 5;
inline constexpr int kFastRelaxationSlot = 6;  // index of the population-weighted averages

// The caller's 4 integers and 28 reals in their fixed order; reals rounded to float.
struct ParlArgs {
    std::int32_t n_levels;     // IB 1
    float amplitude;           // DB 1
    float relax_rate;          // DB 2
    float relax_pow;           // DB 3
    std::int32_t n_chan;       // IB 2
    std::int32_t grid_sym;     // IB 3
    std::int32_t grid_level;   // IB 4
    float vel_step;            // DB 4, mm/s per channel
    float zero_chan;           // DB 5
    float shift;               // DB 6, mm/s
    float line_width;          // DB 7, mm/s
    float beam_angle;          // DB 8, degrees
    float field;               // DB 9, gauss
    float temp;                // DB 10, kelvin
    float g_x, g_y, g_z;       // DB 11-13
    float a_x, a_y, a_z;       // DB 14-16, gauss per unit spin
    float zfs_d, zfs_e;        // DB 17-18, kelvin
    float quad_split;          // DB 19, mm/s
    float eta;                 // DB 20
    float efg_euler[3];        // DB 21-23, degrees
    float hyp_euler[3];        // DB 24-26, degrees
    float theta, phi;          // DB 27-28, degrees
};
static_assert(sizeof(ParlArgs) == 32 * 4, "the argument block holds 32 words");

// Working scalars of one run (angles in radians once unpacked) and the constants.
struct ParlModel {
    std::int32_t n_levels;
    std::int32_t n_chan;
    float relax_rate, relax_pow;
    float vel_step, zero_chan, shift, line_width;
    float beam_angle;
    float field, temp;
    float g_x, g_y, g_z;
    float a_x, a_y, a_z;
    float zfs_d, zfs_e;
    float eta;
    float quad_const;          // e^2qQ/12 of the I = 3/2 level, mm/s
    float hyp_tensor[9];       // hyperfine tensor in the crystal frame, column-major 3x3
    float efg_euler[3];        // inverse field-gradient rotation (-gamma, -beta, -alpha)
    float hyp_euler[3];
    float pi, deg2rad;
    float zeeman_g, zeeman_e;  // nuclear Zeeman factors of ground and excited level, mm/s per gauss
    float zeeman_x, zeeman_y, zeeman_z;  // electronic Zeeman coefficients, kelvin
};

struct ParlSpec {
    float amplitude;
    float spec_one[kChannels];  // absorption of the current orientation
    float spec_sum[kChannels];  // orientation-weighted sum
    float spec_out[kChannels];  // normalised transmission
    float chan_vel[kChannels];  // channel velocities, mm/s
};

struct ParlOrient {
    float cos_phi[kMaxOrientations];
    float sin_phi[kMaxOrientations];
    float cos_theta[kMaxOrientations];
    float sin_theta[kMaxOrientations];
    float orient_weight;
};

struct ParlElec {
    float level_energy[kMaxLevels];  // kelvin, descending
    float spin_x[kMaxLevels + 1];    // <Sx> per state; slot 6: population-weighted average
    float spin_y[kMaxLevels + 1];
    float spin_z[kMaxLevels + 1];
    float level_pop[kMaxLevels + 1];
};

// Scratch of the individual steps; nothing in it survives a step.
struct RelaxScratch {
    complex_f elec_ham[kMaxLevels * kMaxLevels];  // lower triangle and diagonal
    float elec_vec_re[kMaxLevels * kMaxLevels];
    float elec_vec_im[kMaxLevels * kMaxLevels];
    DecompositionScratch decomposition;
    float rates[kMaxLevels * kMaxLevels];         // R(i, j): rate of the jump i -> j
    complex_f angular[kNuclearLines * kNuclearLines];  // angular factors K(i, j)
    alignas(64) float right_t_re[kMaxDim * kMaxDim];   // eig_right(i, m) at [i*48 + m]
    alignas(64) float right_t_im[kMaxDim * kMaxDim];
    alignas(64) float left_re[kMaxDim * kMaxDim];      // eig_left(m, j) at [j*48 + m]
    alignas(64) float left_im[kMaxDim * kMaxDim];
    float strength_re[kMaxDim];                        // complex strength of each mode
    float strength_im[kMaxDim];
    float q_re[kChannels];
    float q_im[kChannels];
};

// Double-precision work of the resolvent route (resolvent_spectrum.h): the transition
// matrix in Hessenberg form, the unitary transformation to it and then the factors of
// z - H of one channel, and the transformed right-hand sides and left factors.
struct ResolventScratch {
    std::complex<double> hessenberg[kMaxDim * kMaxDim];
    std::complex<double> factors[kMaxDim * kMaxDim];
    std::complex<double> rhs[kMaxDim * kNuclearLines];
    std::complex<double> left[kMaxDim * kNuclearLines];
};

// Consecutive orientations of a grid carried to their decomposition together: the
// electronic states and the transition matrix of each, decomposed side by side
// (complex_eigen/lane_kernel.cpp), then taken to their spectra one by one in order.
// `original` keeps each transition matrix as built, against which the decomposition is
// checked (decomposition_acceptance.h); a single-orientation run uses its first slot.
struct OrientationBatch {
    ParlElec elec[kDecompositionLanes];
    ParlMat mat[kDecompositionLanes];
    complex_f original[kDecompositionLanes][kMaxDim * kMaxDim];
    int order[kDecompositionLanes];  // of each transition matrix
    LaneScratch lanes;
};

struct RelaxWorkspace {
    ParlArgs parl_args;
    ParlModel parl_model;
    ParlSpec parl_spec;
    ParlOrient parl_orient;
    ParlElec parl_elec;
    ParlMat parl_mat;
    RelaxScratch scratch;
    ResolventScratch resolvent;
    int resolvent_orientations;  // orientations of the last run taken by the resolvent route
    bool unsolved;               // the last run met an orientation neither route could compute
    OrientationBatch batch;
    bool cancelled;              // the last run was cancelled by its progress callback
    bool worker_out_of_memory;   // a worker thread of the last run had no work space
    bool impossible;             // the last run's orientation sum had negative absorption
    std::uint64_t prepared_for;  // the call whose model and grid a worker's copy holds
};

// The calling thread's work space, made on the thread's first call and kept until the
// thread ends (common/thread_workspace.h); nullptr if there is no memory for it.
RelaxWorkspace *relax_workspace() noexcept;

}  // namespace mosslib::relax
