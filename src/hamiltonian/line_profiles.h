// Lines of given area on a linear velocity axis: Lorentzian, or Voigt (a Lorentzian
// convolved with a Gaussian) through the Faddeeva function of libcerf.
#pragma once

namespace mosslib::hamiltonian {

// Channels a hyperfine model writes at most in one call.
inline constexpr int kMaxChannels = 4096;

struct ProfileLine {
    double centre;        // mm/s
    double area;          // mm/s x absorption
    double lorentz_fwhm;  // mm/s
    double gauss_fwhm;    // mm/s; 0: a Lorentzian line
};

// FWHM of a Gaussian over its standard deviation, 2 sqrt(2 ln 2).
inline constexpr double kGaussFwhmPerSigma = 2.3548200450309493;

// The profile of one line at velocity v (unit area).
double line_profile(const ProfileLine &line, double v) noexcept;

// out[c - 1] = sum of the lines (in order) at v = (c - zero_channel) * step, c = 1..channels.
void sum_profiles(const ProfileLine *lines, int count, double zero_channel, double step, int channels,
                  double *out) noexcept;

}  // namespace mosslib::hamiltonian
