#include "hamiltonian/static_site.h"

#include <cmath>
#include <limits>
#include <numbers>

#include "hamiltonian/hermitian4.h"

namespace mosslib::hamiltonian {

namespace {

using Matrix4 = Complex[4][4];

// Spin 3/2 operators in the basis m = 3/2, 1/2, -1/2, -3/2, and the quadrupole
// operators (3/2)(I_i I_j + I_j I_i) - delta_ij I^2, built once.
struct Spin32 {
    Matrix4 i[3];
    Matrix4 quad[3][3];
};

void product(const Matrix4 &a, const Matrix4 &b, Matrix4 &out) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            Complex s = 0.0;
            for (int k = 0; k < 4; ++k) s += a[r][k] * b[k][c];
            out[r][c] = s;
        }
}

Spin32 make_spin32() {
    Spin32 s{};
    const double raise[3] = {std::sqrt(3.0), 2.0, std::sqrt(3.0)};  // <m+1|I+|m>
    for (int r = 0; r < 4; ++r) s.i[2][r][r] = 1.5 - r;
    for (int k = 0; k < 3; ++k) {
        // I+ at (k, k+1), I- at (k+1, k); Ix = (I+ + I-)/2, Iy = (I+ - I-)/(2i)
        s.i[0][k][k + 1] = s.i[0][k + 1][k] = raise[k] / 2.0;
        s.i[1][k][k + 1] = Complex(0.0, -raise[k] / 2.0);
        s.i[1][k + 1][k] = Complex(0.0, raise[k] / 2.0);
    }
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            Matrix4 ab, ba;
            product(s.i[a], s.i[b], ab);
            product(s.i[b], s.i[a], ba);
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c)
                    s.quad[a][b][r][c] = 1.5 * (ab[r][c] + ba[r][c]) - (a == b && r == c ? 3.75 : 0.0);
        }
    return s;
}

const Spin32 &spin32() {
    static const Spin32 s = make_spin32();
    return s;
}

// <3/2 m_e | 1/2 m_g; 1 q> for m_e = 3/2 - e, m_g = 1/2 - g (all positive: stretched
// coupling), zero where q = m_e - m_g is outside -1..1.
constexpr double kClebsch[4][2] = {{1.0, 0.0},
                                   {0.816496580927726, 0.5773502691896258},
                                   {0.5773502691896258, 0.816496580927726},
                                   {0.0, 1.0}};

}  // namespace

SiteLines site_lines(const SiteFrame &f) noexcept {
    const Spin32 &s = spin32();
    // Excited state: (1/9) sum q_ij Q_ij + a B.I (a > 0: the excited g-factor is negative).
    Matrix4 h{};
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) h[r][c] += (f.quadrupole[a][b] / 9.0) * s.quad[a][b][r][c];
    for (int a = 0; a < 3; ++a)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) h[r][c] += (f.excited_per_tesla * f.field[a]) * s.i[a][r][c];
    double we[4];
    Complex ze[4][4];
    hermitian4(h, we, ze);

    // Ground doublet: -G B.S, closed form. The state of spin along +n (energy -G|B|/2)
    // first; with no field, m = +1/2 and -1/2.
    const double bx = f.field[0], by = f.field[1], bz = f.field[2];
    const double bmag = std::sqrt(bx * bx + by * by + bz * bz);
    Complex zg[2][2];  // zg[m][state]
    double wg[2];
    if (bmag == 0.0) {
        zg[0][0] = 1.0, zg[1][0] = 0.0, zg[0][1] = 0.0, zg[1][1] = 1.0;
        wg[0] = wg[1] = 0.0;
    } else {
        const double ct = bz / bmag;
        const double cos_half = std::sqrt((1.0 + ct) / 2.0), sin_half = std::sqrt((1.0 - ct) / 2.0);
        const double rho = std::hypot(bx, by);
        const Complex e_phi = rho > 0.0 ? Complex(bx / rho, by / rho) : Complex(1.0, 0.0);
        zg[0][0] = cos_half, zg[1][0] = e_phi * sin_half;                 // along +n
        zg[0][1] = -std::conj(e_phi) * sin_half, zg[1][1] = cos_half;     // along -n
        wg[0] = -f.ground_per_tesla * bmag / 2.0;
        wg[1] = f.ground_per_tesla * bmag / 2.0;
    }

    SiteLines out{};
    double total = 0.0;
    const double root_half = std::numbers::sqrt2 / 2.0;
    for (int g = 0; g < 2; ++g)
        for (int e = 0; e < 4; ++e) {
            // Spherical components <e|T_q|g>, q = +1, 0, -1.
            Complex t[3] = {0.0, 0.0, 0.0};
            for (int me = 0; me < 4; ++me)
                for (int mg = 0; mg < 2; ++mg) {
                    if (kClebsch[me][mg] == 0.0) continue;
                    // m_e - m_g = 1 - (me - mg): index me - mg is 0 for q = +1, 2 for q = -1
                    t[me - mg] += std::conj(ze[me][e]) * zg[mg][g] * kClebsch[me][mg];
                }
            const Complex v[3] = {(t[2] - t[0]) * root_half, Complex(0.0, 1.0) * (t[2] + t[0]) * root_half, t[1]};
            // Unpolarised magnetic-dipole radiation along k: |V|^2 - |k.V|^2, averaged.
            double w = 0.0;
            for (int i = 0; i < 3; ++i) w += std::norm(v[i]);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) w -= f.beam[i][j] * (v[i] * std::conj(v[j])).real();
            const int line = 4 * g + e;
            out.position[line] = we[e] - wg[g];
            out.weight[line] = w;
            total += w;
        }
    for (double &w : out.weight) w /= total;
    return out;
}

SiteFrame principal_frame(const PrincipalSite &p) noexcept {
    SiteFrame f{};
    const double d = p.quadrupole_coupling / 2.0;
    f.quadrupole[0][0] = -(1.0 - p.eta) * d;
    f.quadrupole[1][1] = -(1.0 + p.eta) * d;
    f.quadrupole[2][2] = 2.0 * d;
    const double rad = std::numbers::pi / 180.0;
    const double st = std::sin(p.field_theta * rad), ct = std::cos(p.field_theta * rad);
    f.field[0] = p.field * st * std::cos(p.field_phi * rad);
    f.field[1] = p.field * st * std::sin(p.field_phi * rad);
    f.field[2] = p.field * ct;
    const double sb = std::sin(p.beam_theta * rad);
    const double n[3] = {sb * std::cos(p.beam_phi * rad), sb * std::sin(p.beam_phi * rad),
                         std::cos(p.beam_theta * rad)};
    const double iso = (1.0 - p.texture_order) / 3.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) f.beam[i][j] = (i == j ? iso : 0.0) + p.texture_order * n[i] * n[j];
    return f;
}

}  // namespace mosslib::hamiltonian
