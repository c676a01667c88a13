// Householder reduction of a complex Hermitian matrix to real symmetric tridiagonal
// form, working from the last row upward (EISPACK HTRIDI). Every statement keeps the
// published grouping: sums accumulate left to right in the order written.
#include <cmath>

#include "eigen/eispack.h"
#include "eigen/pythag.h"

namespace mosslib::eigen::detail {
namespace {

// Modulus of the complex sub-diagonal element, the one point where the editions differ.
struct ModulusByPythag {
    static double of(double re, double im) { return pythag(re, im); }
};
struct ModulusBySquareRoot {
    static double of(double re, double im) { return std::sqrt(re * re + im * im); }
};

template <class Modulus>
void reduce(int n, double *ar_, double *ai_, double *d_, double *e_, double *e2_, double *tau_) {
    // 1-based views, (i, j) at (i-1) + (j-1)*n.
    auto AR = [=](int i, int j) -> double & { return ar_[(i - 1) + (j - 1) * n]; };
    auto AI = [=](int i, int j) -> double & { return ai_[(i - 1) + (j - 1) * n]; };
    auto D = [=](int i) -> double & { return d_[i - 1]; };
    auto E = [=](int i) -> double & { return e_[i - 1]; };
    auto E2 = [=](int i) -> double & { return e2_[i - 1]; };
    auto TAU = [=](int r, int k) -> double & { return tau_[(r - 1) + 2 * (k - 1)]; };

    TAU(1, n) = 1.0;
    TAU(2, n) = 0.0;
    for (int i = 1; i <= n; ++i) D(i) = AR(i, i);

    for (int i = n; i >= 1; --i) {
        const int l = i - 1;
        double h = 0.0;
        double scale = 0.0;
        double f, g, si = 0.0;

        if (l < 1) {
            E(i) = 0.0;
            E2(i) = 0.0;
            goto restore_diagonal;
        }
        // Scale the row to avoid under- and overflow.
        for (int k = 1; k <= l; ++k) scale = (scale + std::fabs(AR(i, k))) + std::fabs(AI(i, k));
        if (scale == 0.0) {
            TAU(1, l) = 1.0;
            TAU(2, l) = 0.0;
            E(i) = 0.0;
            E2(i) = 0.0;
            goto restore_diagonal;
        }
        for (int k = 1; k <= l; ++k) {
            AR(i, k) = AR(i, k) / scale;
            AI(i, k) = AI(i, k) / scale;
            h = (h + AR(i, k) * AR(i, k)) + AI(i, k) * AI(i, k);
        }
        E2(i) = (scale * scale) * h;
        g = std::sqrt(h);
        E(i) = scale * g;
        f = Modulus::of(AR(i, l), AI(i, l));

        if (f != 0.0) {
            // Phase of the new sub-diagonal element.
            TAU(1, l) = (AI(i, l) * TAU(2, i) - AR(i, l) * TAU(1, i)) / f;
            si = (AR(i, l) * TAU(2, i) + AI(i, l) * TAU(1, i)) / f;
            h = h + f * g;
            g = 1.0 + g / f;
            AR(i, l) = g * AR(i, l);
            AI(i, l) = g * AI(i, l);
            if (l == 1) goto unscale_row;
        } else {
            TAU(1, l) = -TAU(1, i);
            si = TAU(2, i);
            AR(i, l) = g;
        }

        {
            // p = A u / h into e[1..l] (real) and tau(2, 1..l) (imaginary); f = u^H p.
            f = 0.0;
            for (int j = 1; j <= l; ++j) {
                double gr = 0.0;
                double gi = 0.0;
                for (int k = 1; k <= j; ++k) {
                    gr = (gr + AR(j, k) * AR(i, k)) + AI(j, k) * AI(i, k);
                    gi = (gi - AR(j, k) * AI(i, k)) + AI(j, k) * AR(i, k);
                }
                for (int k = j + 1; k <= l; ++k) {
                    gr = (gr + AR(k, j) * AR(i, k)) - AI(k, j) * AI(i, k);
                    gi = (gi - AR(k, j) * AI(i, k)) - AI(k, j) * AR(i, k);
                }
                E(j) = gr / h;
                TAU(2, j) = gi / h;
                f = (f + E(j) * AR(i, j)) - TAU(2, j) * AI(i, j);
            }
            const double hh = f / (h + h);
            // Reduced matrix A - u q^H - q u^H in the leading l x l lower triangle.
            for (int j = 1; j <= l; ++j) {
                const double fr = AR(i, j);
                const double gr = E(j) - hh * fr;
                E(j) = gr;
                const double fi = -AI(i, j);
                const double gi = TAU(2, j) - hh * fi;
                TAU(2, j) = -gi;
                for (int k = 1; k <= j; ++k) {
                    AR(j, k) = (((AR(j, k) - fr * E(k)) - gr * AR(i, k)) + fi * TAU(2, k)) + gi * AI(i, k);
                    AI(j, k) = (((AI(j, k) - fr * TAU(2, k)) - gr * AI(i, k)) - fi * E(k)) - gi * AR(i, k);
                }
            }
        }

    unscale_row:
        for (int k = 1; k <= l; ++k) {
            AR(i, k) = scale * AR(i, k);
            AI(i, k) = scale * AI(i, k);
        }
        TAU(2, l) = -si;

    restore_diagonal: {
        const double hh = D(i);
        D(i) = AR(i, i);
        AR(i, i) = hh;
        AI(i, i) = scale * std::sqrt(h);
    }
    }
}

}  // namespace

void htridi(int n, double *ar, double *ai, double *d, double *e, double *e2, double *tau) {
    reduce<ModulusByPythag>(n, ar, ai, d, e, e2, tau);
}

void htridi_older(int n, double *ar, double *ai, double *d, double *e, double *e2, double *tau) {
    reduce<ModulusBySquareRoot>(n, ar, ai, d, e, e2, tau);
}

}  // namespace mosslib::eigen::detail
