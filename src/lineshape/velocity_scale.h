// Channel-to-velocity mappings of the analytic spectra. Channel numbers n count from 1.
#pragma once

#include <cmath>

namespace mosslib::lineshape {

enum class VelocityScale {
    linear,                    // v = (n - zero) * step
    sine_fixed_step,           // v = amplitude * sin((n - zero) * 0.01226563)
    sine_channels_per_radian,  // v = amplitude * sin((n - zero) / channels_per_radian)
};

// Phase per channel of the 256-channel sine sweep: 256 steps span 3.14000128 rad.
inline constexpr double kSinePhaseStep = 0.01226563;

inline double linear_velocity(int n, double zero_channel, double step) {
    return (n - zero_channel) * step;
}

inline double sine_velocity(int n, double zero_channel, double amplitude) {
    return amplitude * std::sin((n - zero_channel) * kSinePhaseStep);
}

inline double sine_velocity(int n, double zero_channel, double amplitude, double channels_per_radian) {
    return amplitude * std::sin((n - zero_channel) / channels_per_radian);
}

// What a scale needs: the step (linear) or amplitude (sine), the zero channel, and the
// channels per radian (read only by sine_channels_per_radian).
struct ScaleParameters {
    double step_or_amplitude;
    double zero_channel;
    double channels_per_radian;
};

// v[i] = velocity of channel i + 1, for i = 0 .. channels - 1.
void channel_velocities(VelocityScale scale, const ScaleParameters &s, int channels, double *v);

}  // namespace mosslib::lineshape
