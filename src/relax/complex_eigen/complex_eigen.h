// Eigen-decomposition of a general complex matrix in single precision by Eberlein's
// norm-reducing Jacobi method: 2x2 similarity transformations, each a unitary rotation
// combined with a shear that reduces the departure from normality.
//
// Why the library has two eigen-solver families: the spin-Hamiltonian engine
// diagonalises Hermitian matrices in double precision (src/eigen, routes A, B and H);
// the relaxation engine needs the left and right eigenvectors of a complex matrix that
// is not Hermitian (the transition matrix with relaxation), computed in single
// precision with its own order of operations. This solver serves the relaxation engine
// only. Its plain kernel (plain_kernel.cpp) is the definition; the vectorised kernel
// (vector_kernel.cpp, SSE2 or AVX chosen at run time) reproduces it bit for bit; both
// take the 2x2 step from pair_step.h.
#pragma once

#include "numeric/f2c_intrinsics.h"

namespace mosslib::relax {

using numeric::complex_f;

// Largest order, and the leading dimension of every matrix below.
inline constexpr int kMaxDim = 48;

// Column-major element (i, j), 0-based, of a matrix with leading dimension kMaxDim.
constexpr int at(int i, int j) { return i + kMaxDim * j; }

// What a decomposition works on: the relaxation engine's transition matrix, and the
// left and right eigenvectors the decomposition leaves beside it.
struct ParlMat {
    complex_f trans_mat[kMaxDim * kMaxDim];
    complex_f eig_left[kMaxDim * kMaxDim];   // row m: left eigenvector of mode m
    complex_f eig_right[kMaxDim * kMaxDim];  // column m: right eigenvector of mode m
};

// The decomposition's own work space: the squared moduli of a sweep start, and for the
// vectorised kernel the matrix with rows contiguous, the eigenvector matrices in the
// layout their updates run along, and the per-pair coupling terms.
struct DecompositionScratch {
    float mod_sq[kMaxDim * kMaxDim];                    // |A(i,j)|^2 at the sweep start, column-major
    alignas(64) complex_f a_row[kMaxDim * kMaxDim];     // A(i,j) at [i*48 + j]
    alignas(64) complex_f left[kMaxDim * kMaxDim];      // eig_left, rows contiguous
    alignas(64) complex_f right[kMaxDim * kMaxDim];     // eig_right, columns contiguous
    alignas(64) float msq_row[kMaxDim * kMaxDim];       // |A(i,j)|^2 at [i*48 + j]
    alignas(64) complex_f pivot[kMaxDim];    // column k while the pairs (k, m) are treated
    alignas(64) complex_f partner[kMaxDim];  // column m of the pair being treated
    alignas(64) complex_f x[kMaxDim];  // A(k,i) conj(A(m,i))
    alignas(64) complex_f y[kMaxDim];  // conj(A(i,k)) A(i,m)
    alignas(64) float te[kMaxDim];     // |A(i,k)|^2 + |A(m,i)|^2
    alignas(64) float tee[kMaxDim];    // |A(i,m)|^2 + |A(k,i)|^2
};

// Decomposes the leading n x n block (1 <= n <= 48) of mat.trans_mat in place. On
// return eig_left * A0 * eig_right = trans_mat (to rounding), trans_mat is diagonal to
// the convergence tolerance with the eigenvalues on the diagonal, column j of
// eig_right is a right and row j of eig_left a left eigenvector, and eig_left is the
// inverse of eig_right. Returns the number of sweeps begun.
int eberlein_decompose(int n, ParlMat &mat, DecompositionScratch &scratch);

// The vectorised kernel at the baseline vector width (SSE2), which processors without
// AVX run; the same results.
int eberlein_decompose_baseline(int n, ParlMat &mat, DecompositionScratch &scratch);

// The same decomposition in its plain form, one complex element at a time. Kept as the
// definition that the vectorised kernel must reproduce bit for bit.
int eberlein_decompose_plain(int n, ParlMat &mat, DecompositionScratch &scratch);

// Matrices decomposed side by side, one per vector lane (lane_kernel.cpp).
inline constexpr int kDecompositionLanes = 8;

// Elements a row of the lane layout holds: one more than a matrix row, so that a column,
// read across rows, spreads over the sets of the data cache instead of a few of them.
inline constexpr int kLaneRow = kMaxDim + 1;

// kDecompositionLanes matrices of order up to 48. Element (i, j) of every lane fills one
// 64-byte line at z + (i * kLaneRow + j) * 2 * kDecompositionLanes: the lanes' real parts,
// then their imaginary parts; so a column costs one line per element. The padding keeps
// the matrices of LaneScratch from starting at the same offset modulo 4 KiB, where loads
// would wait on unrelated stores.
struct LaneMatrices {
    alignas(64) float z[kMaxDim * kLaneRow * 2 * kDecompositionLanes];
    float pad[80];
};

// Work space of the side-by-side decomposition: the matrices, the left and right
// eigenvectors and the squared moduli of a sweep start, all in the lane layout; the
// right eigenvectors transposed, so that their updates, like those of the left ones,
// run along memory; the squared moduli also transposed, so that the coupling sums read
// their columns along memory too.
struct LaneScratch {
    LaneMatrices a, left, right;
    alignas(64) float msq[kMaxDim * kLaneRow * kDecompositionLanes];
    float pad[48];
    alignas(64) float msq_t[kMaxDim * kLaneRow * kDecompositionLanes];
    // Least non-zero magnitude of a part of each row and column of A at the sweep start
    // (bits of the magnitude less one, as unsigned integers).
    alignas(64) float row_least[kMaxDim * kDecompositionLanes];
    alignas(64) float column_least[kMaxDim * kDecompositionLanes];
};

// Decomposes mats[0 .. count-1] (1 <= count <= kDecompositionLanes), each as
// eberlein_decompose would, all of order n, in vector lanes side by side (AVX2 where the
// processor has it, common/vector_lanes.h). Every matrix ends with the bits the plain kernel gives it;
// sweeps[l] receives what it returns for mats[l].
void eberlein_decompose_lanes(int n, ParlMat *const *mats, int count, LaneScratch &scratch, int *sweeps);

}  // namespace mosslib::relax
