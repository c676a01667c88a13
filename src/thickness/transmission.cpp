#include "thickness/transmission.h"

#include <algorithm>
#include <array>
#include <complex>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

#if MOSSLIB_HYPERFINE
#include <cerf.h>
#endif

#include "common/thread_workspace.h"
#include "common/vector_lanes.h"
#include "thickness/quadrature.h"

namespace mosslib::thickness {

namespace {

constexpr double kPi = std::numbers::pi;
// Gaussian standard deviation per full width at half maximum: 1 / (2 sqrt(2 ln 2)).
constexpr double kSigmaPerFwhm = 0.42466090014400953;
// Bound of the trapezoid rule's error on the grid, in units of the baseline.
constexpr double kGridTolerance = 1e-9;

// The grid and its coefficients: node j carries coef[j] = w_j h(E_j) Gamma_s / (2 pi),
// w_j the quadrature weight, so that the numerical term is sum_j coef[j] / ((E_j - v)^2
// + (Gamma_s/2)^2).
struct Workspace {
    std::vector<double> node, coef;
};

bool reserve(Workspace &ws, std::size_t n) noexcept {
    try {
        if (ws.node.size() < n) {
            ws.node.resize(n);
            ws.coef.resize(n);
        }
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// sum_j coef[j] / ((node[j] - v)^2 + g2) for every velocity: eight partial sums in a
// fixed order, so that the baseline and the wider-lane clones give the same bits.
struct SourceSum {
    [[gnu::always_inline]] static inline void run(const double *node, const double *coef, std::size_t n,
                                                  const double *velocity, std::size_t nv, double g2,
                                                  double *out) {
        const std::size_t n8 = n - n % 8;
        for (std::size_t i = 0; i < nv; ++i) {
            const double v = velocity[i];
            double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            for (std::size_t j = 0; j < n8; j += 8)
                for (std::size_t l = 0; l < 8; ++l) {
                    const double d = node[j + l] - v;
                    acc[l] += coef[j + l] / (d * d + g2);
                }
            double rest = 0.0;
            for (std::size_t j = n8; j < n; ++j) {
                const double d = node[j] - v;
                rest += coef[j] / (d * d + g2);
            }
            out[i] = (((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]))) + rest;
        }
    }
};

// Quadrature weight (in units of the step) of node j of a uniform grid of n + 1 nodes.
double grid_weight(std::size_t j, std::size_t n) noexcept {
    const std::size_t k = std::min(j, n - j);
    return k < static_cast<std::size_t>(kEndNodes) ? 1.0 + end_corrections()[k] : 1.0;
}

// The grid step for an integrand L_s(E - v) (1 - e^{-x(E)}) analytic in the strip
// |Im E| < narrow: at |Im E| = a = 0.8 narrow, Re x >= 0 (so |1 - e^{-x}| <= 2) and the
// source's integral over the line is at most 1/sqrt(1 - 0.8^2); the trapezoid rule's
// error 2 * 2 * (5/3) e^{-2 pi a / step} is then kGridTolerance.
double grid_step(double narrow) noexcept {
    const double a = 0.8 * narrow;
    return 2.0 * kPi * a / std::log(4.0 * (5.0 / 3.0) / kGridTolerance);
}

bool finite(double x) noexcept { return std::isfinite(x); }

Line line_at(const double *lines, std::int32_t k) noexcept {
    const double *p = lines + 4 * static_cast<std::size_t>(k);
    return {p[0], p[1], p[2], p[3]};
}

Outcome check_absorber(const Absorber &a) noexcept {
    if (!finite(a.thickness) || a.thickness < 0.0) return {"thickness t_a must be finite and >= 0"};
    if (!finite(a.source_fraction) || a.source_fraction < 0.0 || a.source_fraction > 1.0)
        return {"recoil-free fraction f_s must lie in [0, 1]"};
    if (!finite(a.source_width) || a.source_width <= 0.0) return {"source width must be finite and > 0"};
    if (!finite(a.absorber_width) || a.absorber_width <= 0.0) return {"absorber width must be finite and > 0"};
    return {};
}

Outcome check_velocities(const double *velocity, std::int32_t n) noexcept {
    for (std::int32_t i = 0; i < n; ++i)
        if (!finite(velocity[i])) return {"a velocity is not finite"};
    return {};
}

// Ends the work when nothing is absorbed: T = 1 exactly.
bool transparent(const Absorber &a, std::int32_t n, double *out) noexcept {
    if (a.thickness != 0.0 && a.source_fraction != 0.0) return false;
    std::fill_n(out, n, 1.0);
    return true;
}

// Faddeeva function w(z) = e^{-z^2} erfc(-iz) in the whole plane, from libcerf. A build
// without libcerf (the Windows DLL) has no Voigt cross-sections: check_lines refuses them.
std::complex<double> faddeeva(std::complex<double> z) noexcept {
#if MOSSLIB_HYPERFINE
    return {re_w_of_z(z.real(), z.imag()), im_w_of_z(z.real(), z.imag())};
#else
    (void)z;
    return {std::numeric_limits<double>::quiet_NaN(), 0.0};
#endif
}

// The area-normalised Voigt profile continued to a complex argument: for real x it is
// Re w((x + i gamma)/r) / (r sqrt pi), r = s sqrt 2, and w(-conj z) = conj w(z) makes
// [w((x + i gamma)/r) + w((-x + i gamma)/r)] / (2 r sqrt pi) the analytic form.
std::complex<double> voigt_continued(std::complex<double> x, double gamma, double s) noexcept {
    if (s == 0.0) return gamma / (kPi * ((x * x) + gamma * gamma));
    const double r = s * std::numbers::sqrt2;
    const std::complex<double> ig(0.0, gamma);
    return (faddeeva((x + ig) / r) + faddeeva((-x + ig) / r)) / (2.0 * r * std::sqrt(kPi));
}

}  // namespace

double voigt(double x, double gamma, double s) noexcept {
    if (s == 0.0) return gamma / (kPi * (x * x + gamma * gamma));
    const double r = s * std::numbers::sqrt2;
    return faddeeva({x / r, gamma / r}).real() / (r * std::sqrt(kPi));
}

Outcome transmission_of_lines(const Absorber &a, const double *lines, std::int32_t n_lines, const double *velocity,
                              std::int32_t n, double *out) noexcept {
    if (Outcome o = check_absorber(a); !o.ok()) return o;
    if (n_lines < 1 || n_lines > kMaxLines) return {"line count outside 1..65536"};
    double total = 0.0;
    for (std::int32_t k = 0; k < n_lines; ++k) {
        const Line l = line_at(lines, k);
        if (!finite(l.centre) || !finite(l.area) || !finite(l.lorentz) || !finite(l.gauss))
            return {"a line has a value that is not finite"};
        if (l.area < 0.0) return {"a line has a negative area"};
        if (l.lorentz <= 0.0) return {"a line has a Lorentzian width <= 0"};
        if (l.gauss < 0.0) return {"a line has a negative Gaussian width"};
#if !MOSSLIB_HYPERFINE
        if (l.gauss > 0.0) return {"Voigt lines (a Gaussian width) need libcerf, which this build lacks"};
#endif
        total += l.area;
    }
    if (!(total > 0.0) || !finite(total)) return {"the line areas sum to 0 (or overflow)"};
    if (Outcome o = check_velocities(velocity, n); !o.ok()) return o;
    if (transparent(a, n, out)) return {};

    const double gs = 0.5 * a.source_width, g2 = gs * gs;
    const double x_per_area = a.thickness * 0.5 * kPi * a.absorber_width / total;
    double lo = velocity[0], hi = velocity[0];
    for (std::int32_t i = 1; i < n; ++i) lo = std::min(lo, velocity[i]), hi = std::max(hi, velocity[i]);
    double reach = gs, narrow = std::numeric_limits<double>::infinity(), lorentz = narrow;
    for (std::int32_t k = 0; k < n_lines; ++k) {
        const Line l = line_at(lines, k);
        if (l.area == 0.0) continue;
        const double g = 0.5 * l.lorentz, s = kSigmaPerFwhm * l.gauss;
        lo = std::min(lo, l.centre), hi = std::max(hi, l.centre);
        reach = std::max(reach, g + 2.0 * s);
        narrow = std::min(narrow, g + s);
        lorentz = std::min(lorentz, g);
    }
    // The source's poles at v -+ i Gamma_s/2 alias into the trapezoid sum by the geometric
    // series 2 Re[g(v + i Gamma_s/2) q / (1 - q)], q = e^{-2 pi (Gamma_s/2 - i (v - left))/
    // step}, which is subtracted below: the step then follows the absorber's lines alone
    // as long as the source is clearly narrower than their Lorentzian half widths (then
    // Re sigma >= 0 at v + i Gamma_s/2 and |g| <= 2 there). Otherwise the step follows the
    // source too and the series, below e^{-2 pi / 0.28}, is left out. A step of at most
    // twice the source's half width keeps |q| <= e^{-pi}: no cancellation in the series.
    const bool subtract_source_poles = gs <= 0.6 * lorentz;
    const double step0 =
        std::min(grid_step(subtract_source_poles ? narrow : std::min(gs, narrow)), 2.0 * gs);
    // The grid's ends lie where every line and the source are smooth on the scale of the
    // end corrections (order 8: 40 steps keep their remainder below 1e-10).
    const double margin = std::max(6.0 * reach, 40.0 * step0);
    const double left = lo - margin, right = hi + margin;
    const double intervals = std::ceil((right - left) / step0);
    if (!(intervals <= static_cast<double>(kMaxGridNodes - 2 * kTailNodes - 1)))
        return {"the lines are too narrow for the span of lines and velocities (grid over 2^22 nodes)"};
    const std::size_t m = std::max<std::size_t>(static_cast<std::size_t>(intervals), 2 * kEndNodes);
    const double step = (right - left) / static_cast<double>(m);
    const std::size_t nodes = m + 1 + 2 * kTailNodes;

    Workspace *ws = common::thread_workspace<Workspace>();
    if (!ws || !reserve(*ws, nodes)) return {"out of memory for the integration grid"};
    double *node = ws->node.data(), *coef = ws->coef.data();

    // 1 - e^{-t_a sigma(E)}: what the absorber takes out at energy E.
    auto absorbed_at = [&](double e) {
        double sigma = 0.0;
        for (std::int32_t k = 0; k < n_lines; ++k) {
            const Line l = line_at(lines, k);
            if (l.area == 0.0) continue;
            sigma += l.area * voigt(e - l.centre, 0.5 * l.lorentz, kSigmaPerFwhm * l.gauss);
        }
        return -std::expm1(-x_per_area * sigma);
    };
    const double scale = gs / kPi;
    for (std::size_t j = 0; j <= m; ++j) {
        const double e = j == m ? right : left + static_cast<double>(j) * step;
        node[j] = e;
        coef[j] = grid_weight(j, m) * step * scale * absorbed_at(e);
    }
    // Tails: E = edge +- margin t / (1 - t), t in (0, 1).
    const GaussLegendre &gl = gauss_legendre();
    for (int q = 0; q < kTailNodes; ++q) {
        const double t = gl.node[q], u = 1.0 - t;
        const double d = margin * t / u, jac = margin / (u * u) * gl.weight[q] * scale;
        const std::size_t r = m + 1 + static_cast<std::size_t>(q), l = r + kTailNodes;
        node[r] = right + d;
        coef[r] = jac * absorbed_at(right + d);
        node[l] = left - d;
        coef[l] = jac * absorbed_at(left - d);
    }
    common::run_in_lanes<SourceSum>(static_cast<const double *>(node), static_cast<const double *>(coef), nodes,
                                    velocity, static_cast<std::size_t>(n), g2, out);
    const double decay = std::exp(-2.0 * kPi * gs / step);
    for (std::int32_t i = 0; i < n; ++i) {
        if (!subtract_source_poles) {
            out[i] = 1.0 - a.source_fraction * out[i];
            continue;
        }
        const std::complex<double> z(velocity[i], gs);
        std::complex<double> sigma = 0.0;
        for (std::int32_t k = 0; k < n_lines; ++k) {
            const Line l = line_at(lines, k);
            if (l.area == 0.0) continue;
            sigma += l.area * voigt_continued(z - l.centre, 0.5 * l.lorentz, kSigmaPerFwhm * l.gauss);
        }
        const std::complex<double> g = 1.0 - std::exp(-x_per_area * sigma);
        const double phase = 2.0 * kPi * ((velocity[i] - left) / step);
        const std::complex<double> q = decay * std::complex<double>(std::cos(phase), std::sin(phase));
        const double alias = 2.0 * (g * q / (1.0 - q)).real();
        out[i] = 1.0 - a.source_fraction * (out[i] - alias);
    }
    return {};
}

Outcome transmission_of_samples(const Absorber &a, const double *samples, std::int32_t n_samples, double start,
                                double step, const double *velocity, std::int32_t n, double *out) noexcept {
    if (Outcome o = check_absorber(a); !o.ok()) return o;
    if (n_samples < 2 || n_samples > kMaxSamples) return {"sample count outside 2..2^20"};
    if (!finite(start) || !finite(step) || step <= 0.0) return {"sample start and step must be finite, step > 0"};
    if (!finite(start + step * (n_samples - 1))) return {"the sampled range overflows"};
    double sum = 0.0;
    for (std::int32_t i = 0; i < n_samples; ++i) {
        if (!finite(samples[i]) || samples[i] < 0.0) return {"a sample is negative or not finite"};
        sum += samples[i];
    }
    const double area = step * (sum - 0.5 * (samples[0] + samples[n_samples - 1]));
    if (!(area > 0.0) || !finite(area)) return {"the samples have no area (or it overflows)"};
    if (Outcome o = check_velocities(velocity, n); !o.ok()) return o;
    if (transparent(a, n, out)) return {};

    const double gs = 0.5 * a.source_width, g2 = gs * gs;
    const double norm = a.thickness * 0.5 * kPi * a.absorber_width / area;  // x per sample unit
    const double step0 = grid_step(std::min(gs, 0.5 * a.absorber_width));
    const std::size_t gaps = static_cast<std::size_t>(n_samples - 1);
    const double sub = std::max(std::ceil(step / step0), std::ceil((2.0 * kEndNodes) / static_cast<double>(gaps)));
    if (!(sub * static_cast<double>(gaps) < static_cast<double>(kMaxGridNodes)))
        return {"the samples are too coarse for the source width (grid over 2^22 nodes)"};
    const std::size_t per = static_cast<std::size_t>(sub), m = gaps * per;
    const double h = step / static_cast<double>(per);

    Workspace *ws = common::thread_workspace<Workspace>();
    if (!ws || !reserve(*ws, m + 1)) return {"out of memory for the integration grid"};
    double *node = ws->node.data(), *coef = ws->coef.data();
    const double scale = gs / kPi;
    auto at = [&](std::int32_t i) { return samples[std::clamp<std::int32_t>(i, 0, n_samples - 1)]; };
    for (std::size_t j = 0; j <= m; ++j) {
        // Catmull-Rom cubic between samples i and i + 1 at u in [0, 1).
        const std::int32_t i = static_cast<std::int32_t>(std::min(j / per, gaps - 1));
        const double u = static_cast<double>(j - static_cast<std::size_t>(i) * per) / static_cast<double>(per);
        const double p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
        const double c = 0.5 * (2.0 * p1 + u * ((p2 - p0) + u * ((2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) +
                                                                   u * (3.0 * (p1 - p2) + p3 - p0))));
        const double x = norm * std::max(c, 0.0);
        node[j] = start + static_cast<double>(j) * h;
        coef[j] = grid_weight(j, m) * h * scale * -std::expm1(-x);
    }
    common::run_in_lanes<SourceSum>(static_cast<const double *>(node), static_cast<const double *>(coef), m + 1,
                                    velocity, static_cast<std::size_t>(n), g2, out);
    for (std::int32_t i = 0; i < n; ++i) out[i] = 1.0 - a.source_fraction * out[i];
    return {};
}

}  // namespace mosslib::thickness
