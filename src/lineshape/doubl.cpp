#include "lineshape/doubl.h"

#include "lineshape/sextet_constants.h"
#include "lineshape/velocity_scale.h"
#include "numeric/lorentzian.h"

namespace mosslib::lineshape {

void quadrupole_doublet(const double *p, double *spectrum) {
    const double shift = p[1], splitting = p[2], width = p[3], area = p[4];
    const double height = area / (kPiApprox * width);
    const double lower = shift - splitting / 2.0;
    const double upper = shift + splitting / 2.0;
    double v[kChannels];
    channel_velocities(VelocityScale::linear, {p[5], p[6], 0.0}, kChannels, v);
    double out[kChannels];
    for (int i = 0; i < kChannels; ++i)
        out[i] = numeric::lorentzian(v[i], lower, height, width) + numeric::lorentzian(v[i], upper, height, width);
    for (int i = 0; i < kChannels; ++i) spectrum[i] = out[i];
}

}  // namespace mosslib::lineshape
