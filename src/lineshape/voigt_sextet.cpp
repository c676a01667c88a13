#include "lineshape/voigt_sextet.h"

#include <cmath>

#include "lineshape/general_sextet.h"
#include "lineshape/sextet_constants.h"

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
    const double gauss = p[21], spread = p[22];
    // The general sextet's lines: a line's height is its weight here.
    const std::array<LorentzianLine, 6> lines = general_sextet_lines(p);
    double v[kChannels];
    channel_velocities(VelocityScale::sine_fixed_step, {p[12], p[13], 0.0}, kChannels, v);
    for (int i = 0; i < kChannels; ++i) {
        double acc = 0.0;
        for (const LorentzianLine &line : lines)
            acc += line.height * voigt_interval(v[i], line.position, gauss, line.width, spread);
        spectrum[i] = acc;
    }
}

}  // namespace mosslib::lineshape
