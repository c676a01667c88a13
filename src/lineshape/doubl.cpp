#include "lineshape/doubl.h"

#include "common/vector_lanes.h"
#include "lineshape/sextet_constants.h"
#include "lineshape/velocity_scale.h"
#include "numeric/lorentzian.h"

namespace mosslib::lineshape {

namespace {

// Both lines at every channel, the channels side by side in vector lanes.
struct DoubletChannels {
    [[gnu::always_inline]] static inline void run(const double *v, double lower, double upper, double height,
                                                  double width, double *spectrum) {
        double out[kChannels];
        for (int i = 0; i < kChannels; ++i)
            out[i] = numeric::lorentzian(v[i], lower, height, width) + numeric::lorentzian(v[i], upper, height, width);
        for (int i = 0; i < kChannels; ++i) spectrum[i] = out[i];
    }
};

}  // namespace

void quadrupole_doublet(const double *p, double *spectrum) {
    const double shift = p[1], splitting = p[2], width = p[3], area = p[4];
    const double height = area / (kPiApprox * width);
    const double lower = shift - splitting / 2.0;
    const double upper = shift + splitting / 2.0;
    double v[kChannels];
    channel_velocities(VelocityScale::linear, {p[5], p[6], 0.0}, kChannels, v);
    common::run_in_lanes<DoubletChannels>(+v, lower, upper, height, width, spectrum);
}

}  // namespace mosslib::lineshape
