// Lines of given area on a linear velocity axis: Lorentzian, or Voigt (a Lorentzian
// convolved with a Gaussian) from the Faddeeva function w of libcerf.
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

// The profile of one line at velocity v (unit area); a Voigt line is one libcerf call.
double line_profile(const ProfileLine &line, double v) noexcept;

// out[c - 1] = sum of the lines (in order) at v = (c - zero_channel) * step, c = 1..channels.
// A Voigt line's profile V(x) = Re w(z) / (sigma sqrt(2 pi)), z = (x + i Gamma/2) / (sigma
// sqrt 2), is evaluated over the channels in two regions:
//  - |z| >= kVoigtFarRadius: the asymptotic series of w in 1/z (kVoigtFarTerms terms);
//  - closer: channels within kVoigtAnchorReach of an anchor on the real axis take the
//    Taylor series of w about it (kVoigtTaylorTerms terms), its coefficients from w at
//    the anchor (libcerf) by w' = -2 z w + 2i/sqrt(pi); a core of few channels takes
//    libcerf at every channel.
// Both agree with libcerf at every channel to a few 1e-12 of Re w's scale (tests).
void sum_profiles(const ProfileLine *lines, int count, double zero_channel, double step, int channels,
                  double *out) noexcept;

inline constexpr double kVoigtFarRadius = 6.0;
inline constexpr int kVoigtFarTerms = 15;  // m = 0 .. 14
inline constexpr double kVoigtAnchorReach = 0.75;
inline constexpr int kVoigtTaylorTerms = 27;  // orders 0 .. 26

}  // namespace mosslib::hamiltonian
