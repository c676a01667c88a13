// Hypotenuse sqrt(a^2 + b^2) by the overflow-safe iteration of the 1983 EISPACK edition.
// Not hypot and not sqrt(a*a + b*b): the last bit differs (pythag(3, 4) is 5 + 1 ulp),
// and the QL iteration of route A depends on these exact bits.
#pragma once

#include <cmath>
#include <limits>

namespace mosslib::eigen::detail {

// The published loop never ends when its ratio r is NaN (a NaN argument, or both
// arguments infinite). Those cases return NaN here; every other argument pair gives
// the published value.
inline double pythag(double a, double b) {
    if (a != a || b != b) return std::numeric_limits<double>::quiet_NaN();
    const double fa = std::fabs(a);
    const double fb = std::fabs(b);
    double p = fa >= fb ? fa : fb;
    if (p == 0.0) return p;
    const double q = (fa >= fb ? fb : fa) / p;
    double r = q * q;
    if (r != r) return std::numeric_limits<double>::quiet_NaN();  // inf / inf
    for (;;) {
        const double t = 4.0 + r;
        if (t == 4.0) return p;
        const double s = r / t;
        const double u = 1.0 + 2.0 * s;
        p = u * p;
        const double w = s / u;
        r = (w * w) * r;
    }
}

}  // namespace mosslib::eigen::detail
