#include "lineshape/velocity_scale.h"

namespace mosslib::lineshape {

void channel_velocities(VelocityScale scale, const ScaleParameters &s, int channels, double *v) {
    switch (scale) {
    case VelocityScale::linear:
        for (int n = 1; n <= channels; ++n) v[n - 1] = linear_velocity(n, s.zero_channel, s.step_or_amplitude);
        break;
    case VelocityScale::sine_fixed_step:
        for (int n = 1; n <= channels; ++n) v[n - 1] = sine_velocity(n, s.zero_channel, s.step_or_amplitude);
        break;
    case VelocityScale::sine_channels_per_radian:
        for (int n = 1; n <= channels; ++n)
            v[n - 1] = sine_velocity(n, s.zero_channel, s.step_or_amplitude, s.channels_per_radian);
        break;
    }
}

}  // namespace mosslib::lineshape
