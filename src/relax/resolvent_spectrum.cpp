#include "relax/resolvent_spectrum.h"

#include <cmath>
#include <complex>
#include <utility>

#include "relax/angular_factors.h"

namespace mosslib::relax {

namespace {

using cd = std::complex<double>;

constexpr float kMinWeight = 0.001f;  // states below it add nothing, as in the mode route

// Products and quotients written out: the textbook formulas, without the library's
// special handling of infinite parts (a non-finite value fails the orientation anyway).
inline cd mul(cd a, cd b) { return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()}; }
inline cd mul_conj(cd a, cd b) {  // conj(a) b
    return {a.real() * b.real() + a.imag() * b.imag(), a.real() * b.imag() - a.imag() * b.real()};
}
inline cd div(cd a, cd b) {
    const double d = b.real() * b.real() + b.imag() * b.imag();
    return {(a.real() * b.real() + a.imag() * b.imag()) / d, (a.imag() * b.real() - a.real() * b.imag()) / d};
}
inline double size(cd a) { return std::fabs(a.real()) + std::fabs(a.imag()); }

double modulus_sum(complex_f z) { return std::fabs(static_cast<double>(z.r)) + std::fabs(static_cast<double>(z.i)); }

// Reduces a (n x n, column-major, leading dimension kMaxDim) to upper Hessenberg form
// h = q^H a q by Householder reflections P = I - 2 u u^H / |u|^2 (Hermitian and
// unitary), accumulating q.
void hessenberg(int n, cd *a, cd *q) {
    auto A = [a](int i, int j) -> cd & { return a[at(i, j)]; };
    auto Q = [q](int i, int j) -> cd & { return q[at(i, j)]; };
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) Q(i, j) = i == j ? 1.0 : 0.0;
    cd u[kMaxDim];
    for (int k = 0; k + 2 < n; ++k) {
        double tail2 = 0.0;
        for (int i = k + 2; i < n; ++i) tail2 += std::norm(A(i, k));
        if (!(tail2 > 0.0)) continue;  // column already reduced (or not finite)
        const double norm = std::sqrt(std::norm(A(k + 1, k)) + tail2);
        const double lead = std::abs(A(k + 1, k));
        const cd phase = lead > 0.0 ? A(k + 1, k) / lead : cd(1.0);
        for (int i = k + 1; i < n; ++i) u[i] = A(i, k);
        u[k + 1] += phase * norm;  // u = x + e^{i arg x1} |x| e1: no cancellation
        double u2 = 0.0;
        for (int i = k + 1; i < n; ++i) u2 += std::norm(u[i]);
        const double f = 2.0 / u2;
        // From the left on rows k+1.., then from the right on columns k+1.. of a and q.
        for (int j = k; j < n; ++j) {
            cd s = 0.0;
            for (int i = k + 1; i < n; ++i) s += mul_conj(u[i], A(i, j));
            s *= f;
            for (int i = k + 1; i < n; ++i) A(i, j) -= mul(s, u[i]);
        }
        for (int i = 0; i < n; ++i) {
            cd s = 0.0, t = 0.0;
            for (int c = k + 1; c < n; ++c) {
                s += mul(A(i, c), u[c]);
                t += mul(Q(i, c), u[c]);
            }
            s *= f;
            t *= f;
            for (int c = k + 1; c < n; ++c) {
                A(i, c) -= mul(s, std::conj(u[c]));
                Q(i, c) -= mul(t, std::conj(u[c]));
            }
        }
        for (int i = k + 2; i < n; ++i) A(i, k) = 0.0;
    }
}

// LU factors of the upper Hessenberg matrix m in place, pivoting between neighbouring
// rows: swap[j] when rows j and j+1 were exchanged, the multiplier in m(j+1, j).
// False on a zero or non-finite pivot.
bool factor_hessenberg(int n, cd *m, bool *swap) {
    auto M = [m](int i, int j) -> cd & { return m[at(i, j)]; };
    for (int j = 0; j < n; ++j) {
        swap[j] = j + 1 < n && size(M(j + 1, j)) > size(M(j, j));
        if (swap[j])
            for (int c = j; c < n; ++c) std::swap(M(j, c), M(j + 1, c));
        const double pivot = size(M(j, j));
        if (!(pivot > 0.0) || !std::isfinite(pivot)) return false;
        if (j + 1 == n) break;
        const cd l = div(M(j + 1, j), M(j, j));
        M(j + 1, j) = l;
        for (int c = j + 1; c < n; ++c) M(j + 1, c) -= mul(l, M(j, c));
    }
    return true;
}

// Solves m x = b with the factors of factor_hessenberg; x overwrites b.
void solve_hessenberg(int n, const cd *m, const bool *swap, cd *x) {
    auto M = [m](int i, int j) { return m[at(i, j)]; };
    for (int j = 0; j + 1 < n; ++j) {
        if (swap[j]) std::swap(x[j], x[j + 1]);
        x[j + 1] -= mul(M(j + 1, j), x[j]);
    }
    for (int j = n - 1; j >= 0; --j) {
        x[j] = div(x[j], M(j, j));
        for (int i = 0; i < j; ++i) x[i] -= mul(M(i, j), x[j]);
    }
}

}  // namespace

bool decomposition_converged(int n, const ParlMat &mat, float line_width) {
    double off = 0.0, diag = 0.0;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) (i == j ? diag : off) += modulus_sum(mat.trans_mat[at(i, j)]);
    if (!std::isfinite(off) || !std::isfinite(diag)) return false;
    const double h = static_cast<double>(line_width) / 2.0;
    return off <= kResolventSwitch * h;
}

bool resolvent_absorption(int n, const ParlModel &model, const ParlOrient &orient, const ParlElec &elec,
                          const ParlMat &mat, int k, ParlSpec &spectra, RelaxScratch &scratch,
                          ResolventScratch &work) {
    angular_factors(orient.cos_theta[k], orient.sin_theta[k], orient.cos_phi[k], orient.sin_phi[k],
                    model.beam_angle, scratch.angular);
    const bool fast = model.relax_rate > 1000.0f;
    auto factor_of = [&](int i, int t) {
        const complex_f z = scratch.angular[i % kNuclearLines + kNuclearLines * t];
        return cd(z.r, z.i);
    };

    // A = Q H Q^H with H upper Hessenberg, once per orientation; then for every channel
    // (z - A)^-1 = Q (z - H)^-1 Q^H, and z - H is factored and solved in O(n^2).
    cd *const h_mat = work.hessenberg;
    cd *const q = work.factors;  // Q until the channels start
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) h_mat[at(i, j)] = cd(mat.trans_mat[at(i, j)].r, mat.trans_mat[at(i, j)].i);
    hessenberg(n, h_mat, q);

    // The angular factors repeat in every 8x8 block, so with G = (z - A)^-1
    //   sum_ij w_j K(i,j) G(i,j) = sum_t sum_i K(i mod 8, t) X(i, t),  X = G R,
    // R(j, t) = w_j where j mod 8 = t, else 0: one right-hand side per transition t
    // whose factors are not all zero. With Y = (z - H)^-1 Q^H R, X = Q Y and the sum is
    // sum_t sum_m C(m, t) Y(m, t), C(m, t) = sum_i K(i mod 8, t) Q(i, m).
    int n_rhs = 0;
    for (int t = 0; t < kNuclearLines; ++t) {
        bool any = false;
        for (int r = 0; r < kNuclearLines; ++r) any = any || factor_of(r, t) != 0.0;
        double w[kMaxDim];
        for (int j = 0; j < n; ++j) {
            const float pop = fast ? 1.0f : elec.level_pop[j / kNuclearLines];
            w[j] = j % kNuclearLines == t && pop >= kMinWeight ? static_cast<double>(pop) : 0.0;
        }
        bool weighted = false;
        for (int j = 0; j < n; ++j) weighted = weighted || w[j] != 0.0;
        if (!any || !weighted) continue;
        cd *const rhs = work.rhs + kMaxDim * n_rhs;
        cd *const c = work.left + kMaxDim * n_rhs;
        for (int m = 0; m < n; ++m) {
            cd r = 0.0, s = 0.0;
            for (int i = 0; i < n; ++i) {
                r += std::conj(q[at(i, m)]) * w[i];
                s += mul(factor_of(i, t), q[at(i, m)]);
            }
            rhs[m] = r;
            c[m] = s;
        }
        ++n_rhs;
    }

    const double h = static_cast<double>(model.line_width / 2.0f);
    cd *const m = work.factors;
    bool swap[kMaxDim];
    cd y[kMaxDim];
    for (int ch = 0; ch < model.n_chan; ++ch) {
        spectra.chan_vel[ch] = (static_cast<float>(ch + 1) - model.zero_chan) * model.vel_step;
        const double v = static_cast<double>(spectra.chan_vel[ch]) - static_cast<double>(model.shift);
        for (int j = 0; j < n; ++j) {
            const int last = j + 1 < n ? j + 1 : n - 1;
            for (int i = 0; i <= last; ++i) m[at(i, j)] = -h_mat[at(i, j)];
            m[at(j, j)] += cd(h, v);
        }
        if (!factor_hessenberg(n, m, swap)) return false;
        double sum = 0.0;
        for (int r = 0; r < n_rhs; ++r) {
            for (int i = 0; i < n; ++i) y[i] = work.rhs[kMaxDim * r + i];
            solve_hessenberg(n, m, swap, y);
            for (int i = 0; i < n; ++i) sum += mul(work.left[kMaxDim * r + i], y[i]).real();
        }
        const double absorption = h * sum;
        if (!std::isfinite(absorption)) return false;
        spectra.spec_one[ch] = static_cast<float>(absorption);
    }
    return true;
}

}  // namespace mosslib::relax
