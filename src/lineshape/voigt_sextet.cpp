#include "lineshape/voigt_sextet.h"

#include <cmath>

#include "lineshape/sextet_constants.h"
#include "lineshape/velocity_scale.h"

namespace mosslib::lineshape {

double voigt_profile(double X, double Y) {
    double sum = 0.0;
    for (const VoigtTerm &t : kVoigtTerms) {
        const double y = Y - t.alpha;
        const double a = X - t.beta;
        sum += (t.gamma * y + t.delta * a) / (y * y + a * a);
    }
    return sum;
}

double voigt_interval(double u, double x, double g, double w, double e) {
    const double scale = kVoigtCoordinateScale * g;
    const double Y = w / scale;
    const double X1 = (u - x) / scale;
    const double X2 = (u * (1.0 - e * e) - x) / scale;
    // A channel at velocity exactly 0 has an interval of length 0 and a division by 0;
    // the quotient tends to the profile at the channel times the interval's scale.
    if (u == 0.0) return e * e / scale * voigt_profile(X1, Y);
    double sum = 0.0;
    for (const VoigtTerm &t : kVoigtTerms) {
        const double y = Y - t.alpha;
        const double a1 = X1 - t.beta;
        const double a2 = X2 - t.beta;
        // Antiderivative of one term in X: gamma atan((X - beta) / y) + delta/2 ln((X - beta)^2 + y^2).
        sum += t.gamma * std::atan(a1 / y);
        sum -= t.gamma * std::atan(a2 / y);
        sum -= t.delta / 2.0 * std::log((a2 * a2 + y * y) / (a1 * a1 + y * y));
    }
    return sum / u;
}

void voigt_sextet(const double *p, double *spectrum) {
    const double field = p[1], shift = p[2], quadrupole = p[3];
    const double gauss = p[21], spread = p[22];
    const double normaliser = intensity_normaliser(intensity_sum(p), p[5]);
    double position[6], width[6], weight[6];
    for (int k = 0; k < 6; ++k) {
        position[k] = field * kGeneralSextetCoefficients[k] + kQuadrupoleSigns[k] * quadrupole + shift / 2.0;
        width[k] = p[14 + k];
        weight[k] = p[6 + k] / (normaliser * width[k]);
    }
    double v[kChannels];
    channel_velocities(VelocityScale::sine_fixed_step, {p[12], p[13], 0.0}, kChannels, v);
    for (int i = 0; i < kChannels; ++i) {
        double acc = 0.0;
        for (int k = 0; k < 6; ++k) acc += weight[k] * voigt_interval(v[i], position[k], gauss, width[k], spread);
        spectrum[i] = acc;
    }
}

}  // namespace mosslib::lineshape
