// Spin expectation values and thermal populations of the electronic levels.
#pragma once

namespace mosslib::spinham {

// Electronic energy per kelvin, cm^-1/K.
inline constexpr double kWavenumberPerKelvin = 0.694;
// Levels more than this many kT above the lowest get population 0.
inline constexpr double kBoltzmannCutoff = 5.0;

// <S1> of every level k = 1..n from eigenvector column k of (zr, zi) (leading
// dimension n, product basis with spin 1 major). sx + i sy is <S1+>, without the 1/2.
void spinexp(int mult1, int mult2, int n, const double *zr, const double *zi, const double *ladder1, double *sx,
             double *sy, double *sz);

// Normalised Boltzmann populations p[0..n-1] of the energies e (cm^-1) at t kelvin.
void boltz(int n, double t, const double *e, double *p);

}  // namespace mosslib::spinham
