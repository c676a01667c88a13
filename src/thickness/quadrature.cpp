#include "thickness/quadrature.h"

#include <cmath>
#include <numbers>

namespace mosslib::thickness {

namespace {

// Corrections c_j to the trapezoid weights at the lower end: sum_j c_j j^r equals minus
// the lower-end terms of the Euler-Maclaurin formula for x^r, i.e. -1/2 for r = 0,
// B_{r+1}/(r+1) for odd r and 0 for even r > 0 (the upper end is the mirror image).
std::array<double, kEndNodes> solve_end_corrections() {
    constexpr int n = kEndNodes;
    // Bernoulli numbers B_2, B_4, B_6, B_8.
    constexpr double bernoulli[] = {1.0 / 6.0, -1.0 / 30.0, 1.0 / 42.0, -1.0 / 30.0};
    double a[n][n + 1];
    for (int r = 0; r < n; ++r) {
        for (int j = 0; j < n; ++j) a[r][j] = std::pow(static_cast<double>(j), r);
        a[r][0] = r == 0 ? 1.0 : 0.0;
        a[r][n] = r == 0 ? -0.5 : (r % 2 == 1 ? bernoulli[(r - 1) / 2] / (r + 1) : 0.0);
    }
    // Gaussian elimination with partial pivoting (a small, well-conditioned system).
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        for (int k = 0; k <= n; ++k) std::swap(a[c][k], a[p][k]);
        for (int r = 0; r < n; ++r) {
            if (r == c) continue;
            const double f = a[r][c] / a[c][c];
            for (int k = c; k <= n; ++k) a[r][k] -= f * a[c][k];
        }
    }
    std::array<double, n> out{};
    for (int j = 0; j < n; ++j) out[j] = a[j][n] / a[j][j];
    return out;
}

GaussLegendre solve_gauss_legendre() {
    GaussLegendre g{};
    constexpr int n = kTailNodes;
    for (int i = 0; i < n; ++i) {
        double x = std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
        double dp = 1.0;
        for (int it = 0; it < 100; ++it) {
            double p0 = 1.0, p1 = x;
            for (int k = 2; k <= n; ++k) {
                const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            dp = n * (x * p1 - p0) / (x * x - 1.0);
            const double dx = p1 / dp;
            x -= dx;
            if (std::fabs(dx) < 1e-16) break;
        }
        g.node[i] = 0.5 * (1.0 - x);
        g.weight[i] = 1.0 / ((1.0 - x * x) * dp * dp);  // 2/((1-x^2) P'^2), halved for [0, 1]
    }
    return g;
}

}  // namespace

const std::array<double, kEndNodes> &end_corrections() noexcept {
    static const std::array<double, kEndNodes> c = solve_end_corrections();
    return c;
}

const GaussLegendre &gauss_legendre() noexcept {
    static const GaussLegendre g = solve_gauss_legendre();
    return g;
}

}  // namespace mosslib::thickness
