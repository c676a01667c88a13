// What the relaxation engine takes for arguments left at zero, and its channel axis.
#pragma once

#include <cmath>

namespace mosslib::relax {

// Values that an argument of exactly 0 (or -0, or NaN) stands for.
inline constexpr float kDefaultVelStep = 0.1f;  // mm/s per channel
inline constexpr float kDefaultAmplitude = 1.0f;
inline constexpr float kDefaultTemp = 4.2f;  // K
inline constexpr float kDefaultG = 2.0f;

inline float or_default(float x, float fallback) { return (x == 0.0f || std::isnan(x)) ? fallback : x; }

// Velocity of channel ch (from 1), in single precision as the engine forms it.
inline float channel_velocity(int ch, float zero_chan, float vel_step) {
    return (static_cast<float>(ch) - zero_chan) * vel_step;
}

}  // namespace mosslib::relax
