#include "spinham/level_statistics.h"

#include <cmath>

namespace mosslib::spinham {

void spinexp(int mult1, int mult2, int n, const double *zr, const double *zi, const double *ladder1, double *sx,
             double *sy, double *sz) {
    const double s1 = static_cast<double>(mult1 - 1) / 2.0;
    for (int k = 0; k < n; ++k) {
        const double *re = zr + static_cast<long>(k) * n;
        const double *im = zi + static_cast<long>(k) * n;

        double z = 0.0;
        double m1 = s1;
        for (int a = 0; a < mult1; ++a) {
            double weight = 0.0;
            for (int b = 0; b < mult2; ++b) {
                const int i = a * mult2 + b;
                weight += re[i] * re[i] + im[i] * im[i];
            }
            z += m1 * weight;
            m1 -= 1.0;
        }

        double x = 0.0, y = 0.0;
        for (int a = 0; a + 1 < mult1; ++a) {
            for (int b = 0; b < mult2; ++b) {
                const int u = a * mult2 + b;      // spin 1 at m
                const int v = u + mult2;          // spin 1 at m - 1, same spin-2 state
                x += ladder1[a] * (re[u] * re[v] + im[u] * im[v]);
                y += ladder1[a] * (re[u] * im[v] - im[u] * re[v]);
            }
        }
        sx[k] = x;
        sy[k] = y;
        sz[k] = z;
    }
}

void boltz(int n, double t, const double *e, double *p) {
    const double kt = t * kWavenumberPerKelvin;
    double emin = 10000000.0;
    for (int k = 0; k < n; ++k)
        if (e[k] < emin) emin = e[k];
    double z = 0.0;
    for (int k = 0; k < n; ++k) {
        const double x = (e[k] - emin) / kt;
        p[k] = x > kBoltzmannCutoff ? 0.0 : std::exp(-x);
        z += p[k];
    }
    for (int k = 0; k < n; ++k) p[k] = p[k] / z;
}

}  // namespace mosslib::spinham
