#include "hamiltonian/line_profiles.h"

#include <cerf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

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
// (no overflow for a narrow Gaussian). Channels first .. first + n - 1 (n <= kBlock),
// summed term by term for all of them (every lane on its own), with as many terms as the
// block's channel nearest to the line needs: c_M |t|^M below kFarTolerance.
constexpr int kBlock = 64;
constexpr double kFarTolerance = 1e-14;

// Largest |t| = 1/|z|^2 for which M terms suffice.
const std::array<double, kVoigtFarTerms + 1> kFarReach = [] {
    std::array<double, kVoigtFarTerms + 1> r{};
    double c = 1.0;
    for (int m = 1; m <= kVoigtFarTerms; ++m) {
        c *= (2 * m - 1) / 2.0;  // c_m
        r[m] = std::pow(kFarTolerance / c, 1.0 / m);
    }
    return r;
}();

struct FarBlock {
    [[gnu::always_inline]] static inline void run(int first, int n, double zero, double step, double centre,
                                                  double gamma, double two_sigma2, double area, double *out) {
        double ur[kBlock], ui[kBlock], pr[kBlock], pi[kBlock], sr[kBlock], si[kBlock];
        double d_min = INFINITY;
        for (int i = 0; i < n; ++i) {
            const double x = lineshape::linear_velocity(first + i + 1, zero, step) - centre;
            const double d = x * x + gamma * gamma;
            d_min = d < d_min ? d : d_min;
            ur[i] = x / d, ui[i] = -gamma / d;  // 1 / zeta
            pr[i] = (ur[i] * ur[i] - ui[i] * ui[i]) * two_sigma2;  // t
            pi[i] = 2.0 * ur[i] * ui[i] * two_sigma2;
        }
        const double t_max = two_sigma2 / d_min;
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
    for (int c = first; c < last; c += kBlock)
        common::run_in_lanes<FarBlock>(c, std::min(kBlock, last - c), zero, step, line.centre, gamma,
                                       2.0 * sigma * sigma, line.area, out);
}

// Near an anchor: out[c] += scale * sum_k a_k d_c^k for the channels of one block.
struct TaylorBlock {
    [[gnu::always_inline]] static inline void run(int n, const double *d, const double *a, double scale, double *out) {
        double acc[kBlock];
        for (int i = 0; i < n; ++i) acc[i] = a[kVoigtTaylorTerms - 1];
        for (int k = kVoigtTaylorTerms - 2; k >= 0; --k)
            for (int i = 0; i < n; ++i) acc[i] = acc[i] * d[i] + a[k];
        for (int i = 0; i < n; ++i) out[i] += scale * acc[i];
    }
};

// Re of the Taylor coefficients w^(k)(z) / k! of w about z = xa + i y.
void taylor_coefficients(double xa, double y, double *a) {
    double _Complex z;
    __real__ z = xa;
    __imag__ z = y;
    const double _Complex w = w_of_z(z);
    double br0 = __real__ w, bi0 = __imag__ w;
    // b1 = -2 z b0 + 2i / sqrt(pi)
    double br1 = -2.0 * (xa * br0 - y * bi0), bi1 = -2.0 * (xa * bi0 + y * br0) + kTwoOverRootPi;
    a[0] = br0;
    a[1] = br1;
    for (int k = 1; k + 1 < kVoigtTaylorTerms; ++k) {
        // b_{k+1} = (-2 z b_k - 2 b_{k-1}) / (k + 1)
        const double br2 = (-2.0 * (xa * br1 - y * bi1) - 2.0 * br0) * kInverse[k + 1];
        const double bi2 = (-2.0 * (xa * bi1 + y * br1) - 2.0 * bi0) * kInverse[k + 1];
        br0 = br1, bi0 = bi1, br1 = br2, bi1 = bi2;
        a[k + 1] = br2;
    }
}

// A core of at most this many channels takes libcerf at each: a core spanning the whole
// radius needs about as many anchors, 2 kVoigtFarRadius / (2 kVoigtAnchorReach).
constexpr int kDirectCore = 8;

// Channels [first, last) lie within kVoigtFarRadius of the line in the scaled coordinate.
void add_voigt_core(const ProfileLine &line, int first, int last, double zero, double step, double s, double y,
                    double scale, double *out) {
    const double x_per_channel = step / s;
    if (last - first <= kDirectCore || !(std::fabs(x_per_channel) < kVoigtAnchorReach)) {
        // no more channels than a core has anchors: one library call each
        for (int c = first; c < last; ++c)
            out[c] += line.area * line_profile(line, lineshape::linear_velocity(c + 1, zero, step));
        return;
    }
    double a[kVoigtTaylorTerms];
    double d[kBlock];
    int c = first;
    while (c < last) {
        // An anchor reach beyond this channel, in the direction the channels run.
        const double x0 = (lineshape::linear_velocity(c + 1, zero, step) - line.centre) / s;
        const double xa = x0 + std::copysign(kVoigtAnchorReach, x_per_channel);
        taylor_coefficients(xa, y, a);
        int end = c;
        while (end < last && end - c < kBlock) {
            const double x = (lineshape::linear_velocity(end + 1, zero, step) - line.centre) / s;
            if (!(std::fabs(x - xa) <= kVoigtAnchorReach)) break;
            d[end - c] = x - xa;
            ++end;
        }
        if (end == c) {  // not finite: the library at this channel
            out[c] += line.area * line_profile(line, lineshape::linear_velocity(c + 1, zero, step));
            ++c;
            continue;
        }
        common::run_in_lanes<TaylorBlock>(end - c, static_cast<const double *>(d), static_cast<const double *>(a),
                                          scale, out + c);
        c = end;
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
