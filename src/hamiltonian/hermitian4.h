// Eigen-decomposition of a 4 x 4 complex Hermitian matrix by cyclic Jacobi rotations:
// deterministic, orthonormal vectors also for degenerate levels (Kramers pairs of a pure
// quadrupole interaction), no allocation.
#pragma once

#include <complex>

namespace mosslib::hamiltonian {

using Complex = std::complex<double>;

// a: full matrix, a[i][j] (both triangles; a[j][i] = conj(a[i][j])). On return w holds
// the eigenvalues in ascending order and column k of z (z[i][k]) the unit eigenvector
// of w[k]. Non-finite input gives NaN in w and z after a bounded number of sweeps.
void hermitian4(const Complex (&a)[4][4], double (&w)[4], Complex (&z)[4][4]) noexcept;

}  // namespace mosslib::hamiltonian
