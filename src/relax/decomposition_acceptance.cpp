#include "relax/decomposition_acceptance.h"

#include <cmath>
#include <complex>

namespace mosslib::relax {

namespace {

using cd = std::complex<double>;

inline cd widen(complex_f z) { return {static_cast<double>(z.r), static_cast<double>(z.i)}; }

}  // namespace

bool remainder_acceptable(int n, const complex_f *original, const ParlMat &mat, float line_width) {
    const double h = static_cast<double>(line_width) / 2.0;
    if (!(h > 0.0)) return true;  // no line shape: the engine gives NaN anyway
    // Probe x(k) = e^{i phi_k} / (h - Re lambda_k), phases a golden-angle sequence so
    // that no two terms of a row cancel by design. y = L A0 R x - diag(lambda) x, and
    // y(m) h / (h - Re lambda_m) estimates the move of mode m's term.
    cd x[kMaxDim], u[kMaxDim], v[kMaxDim];
    double decay[kMaxDim];
    for (int k = 0; k < n; ++k) {
        decay[k] = h - static_cast<double>(mat.trans_mat[at(k, k)].r);
        if (!(decay[k] > h / 2.0) || !std::isfinite(decay[k])) return false;
        const double phi = 2.399963229728653 * (k + 1);
        x[k] = cd(std::cos(phi), std::sin(phi)) / decay[k];
    }
    for (int i = 0; i < n; ++i) u[i] = 0.0;
    for (int k = 0; k < n; ++k)
        for (int i = 0; i < n; ++i) u[i] += widen(mat.eig_right[at(i, k)]) * x[k];
    for (int i = 0; i < n; ++i) v[i] = 0.0;
    for (int k = 0; k < n; ++k)
        for (int i = 0; i < n; ++i) v[i] += widen(original[at(i, k)]) * u[k];
    for (int m = 0; m < n; ++m) {
        cd y = -widen(mat.trans_mat[at(m, m)]) * x[m];
        for (int k = 0; k < n; ++k) y += widen(mat.eig_left[at(m, k)]) * v[k];
        if (!(std::abs(y) * h / decay[m] <= kRemainderLimit)) return false;
    }
    return true;
}

bool absorption_possible(int n_chan, const float *absorption) {
    float deepest = 0.0f;
    for (int ch = 0; ch < n_chan; ++ch) {
        if (!std::isfinite(absorption[ch])) return false;
        if (absorption[ch] > deepest) deepest = absorption[ch];
    }
    const double floor = -kNegativeAbsorption * static_cast<double>(deepest);
    for (int ch = 0; ch < n_chan; ++ch)
        if (static_cast<double>(absorption[ch]) < floor) return false;
    return true;
}

}  // namespace mosslib::relax
