#include "hamiltonian/hermitian4.h"

#include <cmath>
#include <limits>

namespace mosslib::hamiltonian {

namespace {
constexpr int kMaxSweeps = 40;

double off_norm(const Complex (&a)[4][4]) {
    double s = 0.0;
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) s += std::norm(a[i][j]);
    return s;
}
}  // namespace

void hermitian4(const Complex (&in)[4][4], double (&w)[4], Complex (&z)[4][4]) noexcept {
    Complex a[4][4];
    double scale = 0.0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            a[i][j] = in[i][j];
            z[i][j] = i == j ? 1.0 : 0.0;
            scale += std::norm(in[i][j]);
        }
    for (int i = 0; i < 4; ++i) a[i][i] = a[i][i].real();
    bool finite = std::isfinite(scale);
    const double tiny = scale * 1e-34;
    for (int sweep = 0; finite && sweep < kMaxSweeps && off_norm(a) > tiny; ++sweep) {
        for (int p = 0; p < 3; ++p)
            for (int q = p + 1; q < 4; ++q) {
                const double r = std::abs(a[p][q]);
                if (r == 0.0) continue;
                // a_pq = r e^{i alpha}: U = diag(1, e^{-i alpha}) times the real rotation
                // that zeroes the real element r.
                const Complex phase = std::conj(a[p][q]) / r;  // e^{-i alpha}
                const double theta = (a[q][q].real() - a[p][p].real()) / (2.0 * r);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                const Complex up = -s * phase, uq = c * phase;  // U_qp, U_qq; U_pp = c, U_pq = s
                for (int k = 0; k < 4; ++k) {  // columns: A U
                    const Complex akp = a[k][p], akq = a[k][q];
                    a[k][p] = akp * c + akq * up;
                    a[k][q] = akp * s + akq * uq;
                    const Complex zkp = z[k][p], zkq = z[k][q];
                    z[k][p] = zkp * c + zkq * up;
                    z[k][q] = zkp * s + zkq * uq;
                }
                for (int k = 0; k < 4; ++k) {  // rows: U^H (A U)
                    const Complex apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk + std::conj(up) * aqk;
                    a[q][k] = s * apk + std::conj(uq) * aqk;
                }
                a[p][q] = a[q][p] = 0.0;
                a[p][p] = a[p][p].real();
                a[q][q] = a[q][q].real();
            }
    }
    if (!finite || off_norm(a) > tiny * 1e6) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int i = 0; i < 4; ++i) {
            w[i] = nan;
            for (int j = 0; j < 4; ++j) z[i][j] = {nan, nan};
        }
        return;
    }
    int order[4] = {0, 1, 2, 3};
    for (int i = 1; i < 4; ++i)  // insertion sort, stable
        for (int j = i; j > 0 && a[order[j]][order[j]].real() < a[order[j - 1]][order[j - 1]].real(); --j)
            std::swap(order[j], order[j - 1]);
    Complex zs[4][4];
    for (int k = 0; k < 4; ++k) {
        w[k] = a[order[k]][order[k]].real();
        for (int i = 0; i < 4; ++i) zs[i][k] = z[i][order[k]];
    }
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) z[i][k] = zs[i][k];
}

}  // namespace mosslib::hamiltonian
