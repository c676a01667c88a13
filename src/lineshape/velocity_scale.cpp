#include "lineshape/velocity_scale.h"

#include <cstdint>
#include <cstring>

namespace mosslib::lineshape {

namespace {

constexpr int kMaxChannels = 512;

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Work space of the sine scales: the sines of the channel phases from the last sine-scale
// call on this thread. A fit calls a model many times with the same zero channel and
// phase step while the amplitude and the lines vary; the 256 or 512 sines (a third of
// the cost of a sextet) are then taken from here. The phases depend only on the zero
// channel, the channels per radian and the scale, compared bit for bit, so a hit returns
// exactly the values std::sin would give; the amplitude multiplies them afresh each call.
struct SinePhaseTable {
    bool filled = false;
    VelocityScale scale = VelocityScale::linear;
    int channels = 0;
    std::uint64_t zero_channel_bits = 0;
    std::uint64_t channels_per_radian_bits = 0;
    double sine[kMaxChannels];  // sin(phase of channel i + 1)
};

thread_local SinePhaseTable t_sines;

bool matches(const SinePhaseTable &t, VelocityScale scale, const ScaleParameters &s, int channels) {
    return t.filled && t.scale == scale && t.channels >= channels && t.zero_channel_bits == bits_of(s.zero_channel) &&
           (scale != VelocityScale::sine_channels_per_radian ||
            t.channels_per_radian_bits == bits_of(s.channels_per_radian));
}

const double *channel_sines(VelocityScale scale, const ScaleParameters &s, int channels) {
    SinePhaseTable &t = t_sines;
    if (matches(t, scale, s, channels)) return t.sine;
    // Phases first (a loop the compiler can run on packed doubles), then their sines.
    double phase[kMaxChannels];
    if (scale == VelocityScale::sine_fixed_step)
        for (int n = 1; n <= channels; ++n) phase[n - 1] = (n - s.zero_channel) * kSinePhaseStep;
    else
        for (int n = 1; n <= channels; ++n) phase[n - 1] = (n - s.zero_channel) / s.channels_per_radian;
    for (int i = 0; i < channels; ++i) t.sine[i] = std::sin(phase[i]);
    t.filled = true;
    t.scale = scale;
    t.channels = channels;
    t.zero_channel_bits = bits_of(s.zero_channel);
    t.channels_per_radian_bits = bits_of(s.channels_per_radian);
    return t.sine;
}

}  // namespace

void channel_velocities(VelocityScale scale, const ScaleParameters &s, int channels, double *v) {
    if (channels > kMaxChannels) channels = kMaxChannels;
    if (scale == VelocityScale::linear) {
        for (int n = 1; n <= channels; ++n) v[n - 1] = linear_velocity(n, s.zero_channel, s.step_or_amplitude);
        return;
    }
    // amplitude * sin(phase), as sine_velocity forms it.
    const double *sines = channel_sines(scale, s, channels);
    const double amplitude = s.step_or_amplitude;
    for (int n = 0; n < channels; ++n) v[n] = amplitude * sines[n];
}

}  // namespace mosslib::lineshape
