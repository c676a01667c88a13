// The eight 57Fe transitions between the ground (I = 1/2) and excited (I = 3/2) states
// in an effective field and an electric-field gradient: positions and intensities.
#pragma once

#include "eigen/hermitian.h"
#include "spinham/spinham_workspace.h"
#include "spinham/tensor_rotation.h"

namespace mosslib::spinham {

// Nuclear constants in mm/s per kG; "single" marks single-precision literals widened.
inline constexpr double kGroundZeeman = 0.0059146;                                // ground levels at -+ g0 B
inline constexpr double kExcitedZeeman = static_cast<double>(0.00676207f);        // a, between m = +-1/2
inline constexpr double kExcitedZeemanHalfRoot3 = static_cast<double>(0.00585612f);  // a sqrt(3)/2
inline constexpr double kExcitedZeemanThreeHalves = 0.0101431;                    // 3a/2
inline constexpr double kRoot3Single = static_cast<double>(1.7320508f);
inline constexpr double kTwoRoot3 = 3.464101616;

// Radiation geometry of the intensities: -2 averaged, -1 perpendicular to k, 0 along k,
// 1 circularly polarised along k, 2 the complement R - 2S.
inline constexpr int kMinNuclearOption = -2;
inline constexpr int kMaxNuclearOption = 2;

// Ground doublet in the basis m = +1/2, -1/2: a = (alpha, beta) at energy ea and
// b = (-conj(beta), alpha) at -ea.
struct GroundDoublet {
    double ea = 0.0;
    double alpha = 1.0;
    double beta_re = 0.0, beta_im = 0.0;
};

// Closed form of the ground doublet; a zero field gives a = m +1/2, b = m -1/2, ea = 0.
GroundDoublet gndstate(double hx, double hy, double hz);

// Excited-state Hamiltonian (basis m = +3/2 .. -3/2) into the lower triangle of h
// (4 x 4, column-major); the strict upper triangle is left alone.
void exham(double hx, double hy, double hz, const SymmetricTensor &v, std::complex<double> *h);

// Intensities inuc[0..7] of the lines from the excited eigenvectors (columns of zr, zi)
// and the ground doublet, for radiation geometry `option` about direction (nx, ny, nz).
void lineint(const double *zr, const double *zi, const GroundDoublet &ground, double nx, double ny, double nz,
             int option, double *inuc);

// Positions enuc[0..7] (mm/s) and intensities inuc[0..7]; lines 1-4 start from ground
// state a, 5-8 from b. A failure of the 4 x 4 solver (non-finite field or gradient)
// gives NaN lines and the solver's status.
eigen::Status nuctrans(const SymmetricTensor &v, double hx, double hy, double hz, double nx, double ny, double nz,
                       int option, NuclearWork &work, double *enuc, double *inuc);

// One level pass for nuctrans_lanes: effective field, direction, and its eight lines.
struct NuclearPass {
    double hx, hy, hz;
    double nx, ny, nz;
    double *enuc, *inuc;
};

// nuctrans on passes[0..count-1], count in 1..kNuclearLanes, each line bit for bit
// what nuctrans gives for that pass alone; their 4 x 4 solves run side by side (one
// work[m] per pass).
void nuctrans_lanes(const SymmetricTensor &v, int option, int count, const NuclearPass *passes, NuclearWork *work);

}  // namespace mosslib::spinham
