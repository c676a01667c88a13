#include "hamiltonian/line_profiles.h"

#include <cerf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "common/thread_workspace.h"
#include "common/vector_lanes.h"
#include "lineshape/velocity_scale.h"

namespace mosslib::hamiltonian {

namespace {

constexpr double kInvPi = std::numbers::inv_pi;
constexpr double kTwoOverRootPi = 2.0 * std::numbers::inv_sqrtpi;

// (2m - 1)!! / 2^m: w(z) ~ (i / sqrt(pi)) sum_m c_m / z^(2m+1) for large |z|.
constexpr auto kFarCoefficients = [] {
    std::array<double, kVoigtFarTerms> c{};
    c[0] = 1.0;
    for (int m = 1; m < kVoigtFarTerms; ++m) c[m] = c[m - 1] * (2 * m - 1) / 2.0;
    return c;
}();

// 1 / k for the Taylor recurrence.
constexpr auto kInverse = [] {
    std::array<double, kVoigtTaylorTerms + 1> r{};
    for (int k = 1; k <= kVoigtTaylorTerms; ++k) r[k] = 1.0 / k;
    return r;
}();

// Far from the line: with zeta = x + i gamma (mm/s) and t = 2 sigma^2 / zeta^2 = 1/z^2 the
// series reads V = Re[(i / pi) (1 / zeta) sum_m c_m t^m], free of the scaled coordinate
// (no overflow for a narrow Gaussian). Channels first .. first + n - 1 (n <= kFarBlock),
// summed term by term for all of them (every lane on its own), with as many terms as the
// block's channel nearest to the line needs: c_M |t|^M below kFarTolerance.
constexpr int kBlock = 64;
constexpr int kFarBlock = 16;  // short: the terms follow the distance from the line closely
constexpr double kFarTolerance = 1e-14;

// Largest |t|^2 = 1/|z|^4 for which M terms suffice.
const std::array<double, kVoigtFarTerms + 1> kFarReach = [] {
    std::array<double, kVoigtFarTerms + 1> r{};
    double c = 1.0;
    for (int m = 1; m <= kVoigtFarTerms; ++m) {
        c *= (2 * m - 1) / 2.0;  // c_m
        r[m] = std::pow(kFarTolerance / c, 2.0 / m);
    }
    return r;
}();

struct FarBlock {
    [[gnu::always_inline]] static inline void run(int first, int n, double zero, double step, double centre,
                                                  double gamma, double two_sigma2, double area, double *out) {
        double ur[kFarBlock], ui[kFarBlock], pr[kFarBlock], pi[kFarBlock], sr[kFarBlock], si[kFarBlock];
        for (int i = 0; i < n; ++i) {
            const double x = lineshape::linear_velocity(first + i + 1, zero, step) - centre;
            const double inv = 1.0 / (x * x + gamma * gamma);
            ur[i] = x * inv, ui[i] = -gamma * inv;  // 1 / zeta
            pr[i] = (ur[i] * ur[i] - ui[i] * ui[i]) * two_sigma2;  // t
            pi[i] = 2.0 * ur[i] * ui[i] * two_sigma2;
        }
        double t_max = 0.0;  // |t|^2 of the block's channel nearest to the line
        for (int i = 0; i < n; ++i) {
            const double t2 = pr[i] * pr[i] + pi[i] * pi[i];
            t_max = t2 > t_max ? t2 : t_max;
        }
        int terms = 1;
        while (terms < kVoigtFarTerms && !(t_max <= kFarReach[terms])) ++terms;
        for (int i = 0; i < n; ++i) sr[i] = kFarCoefficients[terms - 1], si[i] = 0.0;
        for (int m = terms - 2; m >= 0; --m)
            for (int i = 0; i < n; ++i) {
                const double r = sr[i] * pr[i] - si[i] * pi[i] + kFarCoefficients[m];
                si[i] = sr[i] * pi[i] + si[i] * pr[i];
                sr[i] = r;
            }
        // Re[i (u s)] = -Im(u s)
        for (int i = 0; i < n; ++i) out[first + i] += area * (-(ur[i] * si[i] + ui[i] * sr[i]) * kInvPi);
    }
};

void add_far(int first, int last, double zero, double step, const ProfileLine &line, double gamma, double sigma,
             double *out) {
    for (int c = first; c < last; c += kFarBlock)
        common::run_in_lanes<FarBlock>(c, std::min(kFarBlock, last - c), zero, step, line.centre, gamma,
                                       2.0 * sigma * sigma, line.area, out);
}

// Near the line, a block of up to kBlock channels in segments: segment j holds the
// channels within kVoigtAnchorReach of its anchor xa[j] on the real axis. The Taylor
// coefficients of all anchors are formed side by side, then every channel's series.
struct CoreBlock {
    double d[kBlock];        // channel's distance from its anchor (scaled coordinate)
    int begin[kBlock + 1];   // segment j: channels begin[j] .. begin[j+1] - 1
    double xa[kBlock];
    double br0[kBlock], bi0[kBlock], br1[kBlock], bi1[kBlock];
    double a[kVoigtTaylorTerms][kBlock];  // Re w^(k)(xa_j + i y) / k!
    double acc[kBlock];
};

// b_{k+1} = (-2 z b_k - 2 b_{k-1}) / (k + 1) for the anchors side by side, from b_0 = w and
// b_1 = -2 z b_0 + 2i / sqrt(pi); a[k][j] = Re b_k.
struct TaylorCoefficients {
    [[gnu::always_inline]] static inline void run(CoreBlock *b, int segments, double y) {
        for (int j = 0; j < segments; ++j) {
            const double x = b->xa[j], r0 = b->br0[j], i0 = b->bi0[j];
            b->br1[j] = -2.0 * (x * r0 - y * i0);
            b->bi1[j] = -2.0 * (x * i0 + y * r0) + kTwoOverRootPi;
            b->a[0][j] = r0;
            b->a[1][j] = b->br1[j];
        }
        for (int k = 1; k + 1 < kVoigtTaylorTerms; ++k)
            for (int j = 0; j < segments; ++j) {
                const double x = b->xa[j];
                const double r2 = (-2.0 * (x * b->br1[j] - y * b->bi1[j]) - 2.0 * b->br0[j]) * kInverse[k + 1];
                const double i2 = (-2.0 * (x * b->bi1[j] + y * b->br1[j]) - 2.0 * b->bi0[j]) * kInverse[k + 1];
                b->br0[j] = b->br1[j], b->bi0[j] = b->bi1[j];
                b->br1[j] = r2, b->bi1[j] = i2;
                b->a[k + 1][j] = r2;
            }
    }
};

// out[i] += scale * sum_k a_k d_i^k, every segment's channels with its anchor's a.
struct TaylorSeries {
    [[gnu::always_inline]] static inline void run(CoreBlock *b, int segments, double scale, double *out) {
        const int n = b->begin[segments];
        for (int j = 0; j < segments; ++j)
            for (int i = b->begin[j]; i < b->begin[j + 1]; ++i) b->acc[i] = b->a[kVoigtTaylorTerms - 1][j];
        for (int k = kVoigtTaylorTerms - 2; k >= 0; --k)
            for (int j = 0; j < segments; ++j) {
                const double ak = b->a[k][j];
                for (int i = b->begin[j]; i < b->begin[j + 1]; ++i) b->acc[i] = b->acc[i] * b->d[i] + ak;
            }
        for (int i = 0; i < n; ++i) out[i] += scale * b->acc[i];
    }
};

// A core of at most this many channels takes libcerf at each: a core spanning the whole
// radius needs about as many anchors, 2 kVoigtFarRadius / (2 kVoigtAnchorReach).
constexpr int kDirectCore = 8;

void add_direct(const ProfileLine &line, int first, int last, double zero, double step, double *out) {
    for (int c = first; c < last; ++c)
        out[c] += line.area * line_profile(line, lineshape::linear_velocity(c + 1, zero, step));
}

// Channels [first, last) lie within kVoigtFarRadius of the line in the scaled coordinate.
void add_voigt_core(const ProfileLine &line, int first, int last, double zero, double step, double s, double y,
                    double scale, double *out) {
    const double inv_s = 1.0 / s;
    const double x_per_channel = step * inv_s;
    CoreBlock *b = last - first > kDirectCore && std::fabs(x_per_channel) < kVoigtAnchorReach
                       ? common::thread_workspace<CoreBlock>()
                       : nullptr;
    if (!b) {  // few channels (or no work space): one library call each
        add_direct(line, first, last, zero, step, out);
        return;
    }
    const double reach = std::copysign(kVoigtAnchorReach, x_per_channel);  // the way the channels run
    for (int c0 = first; c0 < last; c0 += kBlock) {
        const int n = std::min(kBlock, last - c0);
        int segments = 0;
        for (int i = 0; i < n; ++i) {
            const double x = (lineshape::linear_velocity(c0 + i + 1, zero, step) - line.centre) * inv_s;
            if (segments == 0 || !(std::fabs(x - b->xa[segments - 1]) <= kVoigtAnchorReach)) {
                b->begin[segments] = i;
                b->xa[segments++] = x + reach;
            }
            b->d[i] = x - b->xa[segments - 1];
        }
        b->begin[segments] = n;
        for (int j = 0; j < segments; ++j) {
            double _Complex z;
            __real__ z = b->xa[j];
            __imag__ z = y;
            const double _Complex w = w_of_z(z);
            b->br0[j] = __real__ w;
            b->bi0[j] = __imag__ w;
        }
        common::run_in_lanes<TaylorCoefficients>(b, segments, y);
        common::run_in_lanes<TaylorSeries>(b, segments, scale, out + c0);
    }
}

void add_voigt(const ProfileLine &line, double zero, double step, int channels, double *out) {
    const double sigma = line.gauss_fwhm / kGaussFwhmPerSigma;
    const double s = sigma * std::numbers::sqrt2;
    const double gamma = line.lorentz_fwhm / 2.0;
    const double y = gamma / s;
    const double scale = line.area / (sigma * std::sqrt(2.0 * std::numbers::pi));
    // The core: channels with x^2 + gamma^2 < (R s)^2, one interval since x runs monotonically.
    const double reach2 = kVoigtFarRadius * kVoigtFarRadius * (s * s);
    auto near = [&](int c) {
        const double x = lineshape::linear_velocity(c + 1, zero, step) - line.centre;
        return x * x + gamma * gamma < reach2;
    };
    // From the interval |x| < sqrt(reach2 - gamma^2), then settled by the test itself.
    int first = channels, last = channels;
    if (reach2 > gamma * gamma) {
        const double half = std::sqrt(reach2 - gamma * gamma);
        const double a = zero + (line.centre - half) / step - 1.0, b = zero + (line.centre + half) / step - 1.0;
        const double lo = std::min(a, b), hi = std::max(a, b);
        if (std::isfinite(lo) && std::isfinite(hi)) {
            first = static_cast<int>(std::clamp(std::floor(lo), 0.0, static_cast<double>(channels)));
            last = static_cast<int>(std::clamp(std::ceil(hi), static_cast<double>(first), static_cast<double>(channels)));
        } else {
            first = last = 0;
            while (first < channels && !near(first)) ++first;
            last = first;
        }
        while (first > 0 && near(first - 1)) --first;
        while (first < last && !near(first)) ++first;
        if (last < first) last = first;
        while (last < channels && near(last)) ++last;
        while (last > first && !near(last - 1)) --last;
    }
    add_far(0, first, zero, step, line, gamma, sigma, out);
    if (last > first) add_voigt_core(line, first, last, zero, step, s, y, scale, out);
    add_far(last, channels, zero, step, line, gamma, sigma, out);
}

}  // namespace

double line_profile(const ProfileLine &line, double v) noexcept {
    const double x = v - line.centre;
    const double gamma = line.lorentz_fwhm / 2.0;
    if (line.gauss_fwhm == 0.0) return gamma / (std::numbers::pi * (x * x + gamma * gamma));
    return voigt(x, line.gauss_fwhm / kGaussFwhmPerSigma, gamma);
}

void sum_profiles(const ProfileLine *lines, int count, double zero_channel, double step, int channels,
                  double *out) noexcept {
    std::fill_n(out, channels, 0.0);
    for (int j = 0; j < count; ++j) {
        const ProfileLine &line = lines[j];
        if (line.area == 0.0) continue;
        if (line.gauss_fwhm > 0.0 && std::isfinite(line.gauss_fwhm)) {
            add_voigt(line, zero_channel, step, channels, out);
            continue;
        }
        for (int c = 1; c <= channels; ++c)
            out[c - 1] += line.area * line_profile(line, lineshape::linear_velocity(c, zero_channel, step));
    }
}

}  // namespace mosslib::hamiltonian
