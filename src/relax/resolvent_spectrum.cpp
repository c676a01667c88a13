#include "relax/resolvent_spectrum.h"

#include <cmath>
#include <utility>

#include "relax/angular_factors.h"

namespace mosslib::relax {

namespace {

constexpr float kMinWeight = 0.001f;  // states below it add nothing, as in the mode route

double modulus_sum(complex_f z) { return std::fabs(static_cast<double>(z.r)) + std::fabs(static_cast<double>(z.i)); }

// LU factors of the n x n complex matrix (re, im) in place, partial pivoting on
// |Re| + |Im|; piv[j] the row swapped with row j. False on a zero or non-finite pivot.
bool factor(int n, double *re, double *im, int *piv) {
    auto at2 = [](int i, int j) { return i + kMaxDim * j; };
    for (int j = 0; j < n; ++j) {
        int p = j;
        double best = -1.0;
        for (int i = j; i < n; ++i) {
            const double size = std::fabs(re[at2(i, j)]) + std::fabs(im[at2(i, j)]);
            if (size > best) {
                best = size;
                p = i;
            }
        }
        if (!(best > 0.0) || !std::isfinite(best)) return false;
        piv[j] = p;
        if (p != j)
            for (int c = 0; c < n; ++c) {
                std::swap(re[at2(p, c)], re[at2(j, c)]);
                std::swap(im[at2(p, c)], im[at2(j, c)]);
            }
        // Multipliers l(i) = a(i,j) / a(j,j), then the trailing update.
        const double dr = re[at2(j, j)], di = im[at2(j, j)];
        const double d2 = dr * dr + di * di;
        const double inv_r = dr / d2, inv_i = -di / d2;
        for (int i = j + 1; i < n; ++i) {
            const double ar = re[at2(i, j)], ai = im[at2(i, j)];
            re[at2(i, j)] = ar * inv_r - ai * inv_i;
            im[at2(i, j)] = ar * inv_i + ai * inv_r;
        }
        for (int c = j + 1; c < n; ++c) {
            const double ur = re[at2(j, c)], ui = im[at2(j, c)];
            if (ur == 0.0 && ui == 0.0) continue;
            for (int i = j + 1; i < n; ++i) {
                const double lr = re[at2(i, j)], li = im[at2(i, j)];
                re[at2(i, c)] -= lr * ur - li * ui;
                im[at2(i, c)] -= lr * ui + li * ur;
            }
        }
    }
    return true;
}

// Solves L U x = P b in place: (xr, xi) holds b on entry and x on return.
void solve(int n, const double *re, const double *im, const int *piv, double *xr, double *xi) {
    auto at2 = [](int i, int j) { return i + kMaxDim * j; };
    for (int j = 0; j < n; ++j)
        if (piv[j] != j) {
            std::swap(xr[j], xr[piv[j]]);
            std::swap(xi[j], xi[piv[j]]);
        }
    for (int j = 0; j < n; ++j) {
        const double br = xr[j], bi = xi[j];
        if (br == 0.0 && bi == 0.0) continue;
        for (int i = j + 1; i < n; ++i) {
            xr[i] -= re[at2(i, j)] * br - im[at2(i, j)] * bi;
            xi[i] -= re[at2(i, j)] * bi + im[at2(i, j)] * br;
        }
    }
    for (int j = n - 1; j >= 0; --j) {
        const double dr = re[at2(j, j)], di = im[at2(j, j)];
        const double d2 = dr * dr + di * di;
        const double yr = (xr[j] * dr + xi[j] * di) / d2;
        const double yi = (xi[j] * dr - xr[j] * di) / d2;
        xr[j] = yr;
        xi[j] = yi;
        for (int i = 0; i < j; ++i) {
            xr[i] -= re[at2(i, j)] * yr - im[at2(i, j)] * yi;
            xi[i] -= re[at2(i, j)] * yi + im[at2(i, j)] * yr;
        }
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
    // Right-hand side i, row j: w_j K(i, j); with G = (z - A)^-1 the absorption is
    // Re h sum_i (G W K^T)(i, i), so only component i of solution i is needed.
    int n_rhs = 0;
    for (int i = 0; i < n; ++i) {
        bool any = false;
        for (int j = 0; j < n; ++j) {
            const float w = fast ? 1.0f : elec.level_pop[j / kNuclearLines];
            const complex_f kij = scratch.angular[i % kNuclearLines + kNuclearLines * (j % kNuclearLines)];
            const double wd = w >= kMinWeight ? static_cast<double>(w) : 0.0;
            work.rhs_re[j + kMaxDim * n_rhs] = wd * kij.r;
            work.rhs_im[j + kMaxDim * n_rhs] = wd * kij.i;
            any = any || work.rhs_re[j + kMaxDim * n_rhs] != 0.0 || work.rhs_im[j + kMaxDim * n_rhs] != 0.0;
        }
        if (any) work.rhs_cols[n_rhs++] = i;
    }

    const double h = static_cast<double>(model.line_width / 2.0f);
    int piv[kMaxDim];
    double xr[kMaxDim], xi[kMaxDim];
    for (int ch = 0; ch < model.n_chan; ++ch) {
        spectra.chan_vel[ch] = (static_cast<float>(ch + 1) - model.zero_chan) * model.vel_step;
        const double v = static_cast<double>(spectra.chan_vel[ch]) - static_cast<double>(model.shift);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                work.lu_re[at(i, j)] = (i == j ? h : 0.0) - static_cast<double>(mat.trans_mat[at(i, j)].r);
                work.lu_im[at(i, j)] = (i == j ? v : 0.0) - static_cast<double>(mat.trans_mat[at(i, j)].i);
            }
        if (!factor(n, work.lu_re, work.lu_im, piv)) return false;
        double trace_re = 0.0;
        for (int r = 0; r < n_rhs; ++r) {
            for (int j = 0; j < n; ++j) {
                xr[j] = work.rhs_re[j + kMaxDim * r];
                xi[j] = work.rhs_im[j + kMaxDim * r];
            }
            solve(n, work.lu_re, work.lu_im, piv, xr, xi);
            trace_re += xr[work.rhs_cols[r]];
        }
        const double absorption = h * trace_re;
        if (!std::isfinite(absorption)) return false;
        spectra.spec_one[ch] = static_cast<float>(absorption);
    }
    return true;
}

}  // namespace mosslib::relax
