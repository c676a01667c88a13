#include "spinham/nuclear_transitions.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mosslib::spinham {

namespace {

struct Complex {
    double re, im;
};

Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
Complex operator*(Complex a, Complex b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
Complex scaled(double s, Complex a) { return {s * a.re, s * a.im}; }
Complex conj(Complex a) { return {a.re, -a.im}; }
double norm2(Complex a) { return a.re * a.re + a.im * a.im; }
// Re and Im of a conj(b).
double re_times_conj(Complex a, Complex b) { return a.re * b.re + a.im * b.im; }
double im_times_conj(Complex a, Complex b) { return a.im * b.re - a.re * b.im; }

// Intensity of one line from the three amplitudes of Delta m = +1, 0, -1.
double line_intensity(Complex ap, Complex a0, Complex am, double nx, double ny, double nz, int option) {
    const double pp = norm2(ap), p0 = norm2(a0), pm = norm2(am);
    const double k = re_times_conj(a0, ap);
    const double f = re_times_conj(a0, am);
    const double l = re_times_conj(am, ap);
    const double m = -im_times_conj(a0, ap);
    const double n = -im_times_conj(am, ap);
    const double g = im_times_conj(a0, am);

    const double txx = (pp + pm) / 4.0 + p0 + l / 2.0;
    const double tyy = (pp + pm) / 4.0 + p0 - l / 2.0;
    const double tzz = (pp + pm) / 2.0;
    const double cxy = -n, cxz = k - f, cyz = g - m;
    const double r = txx + tyy + tzz;
    const double k2 = nx * nx + ny * ny + nz * nz;
    const double s =
        (txx * (nx * nx) + tyy * (ny * ny) + tzz * (nz * nz) + cxy * nx * ny + cxz * nx * nz + cyz * ny * nz) / k2;
    const double vx = k + f, vy = -m - g, vz = (pp - pm) / 2.0;

    switch (option) {
    case -2:
        return r / 3.0;
    case -1:
        return (r - s) / 2.0;
    case 0:
        return s;
    case 1:
        return s + (vx * nx + vy * ny + vz * nz) / std::sqrt(k2);
    default:
        return r - 2.0 * s;
    }
}

bool is_zero_lower_triangle(const std::complex<double> *h) {
    for (int j = 0; j < 4; ++j)
        for (int i = j; i < 4; ++i)
            if (h[j * 4 + i] != 0.0) return false;
    return true;
}

}  // namespace

GroundDoublet gndstate(double hx, double hy, double hz) {
    GroundDoublet gd;
    double bs = std::sqrt(hx * hx + hy * hy + hz * hz);
    if (hz < 0.0) bs = -bs;
    const double denominator = bs * (bs + hz);
    if (denominator == 0.0) return gd;  // no field: the m = +-1/2 basis, degenerate at 0
    gd.ea = -kGroundZeeman * bs;
    gd.alpha = std::sqrt((1.0 + hz / bs) / 2.0);
    double gamma = std::sqrt(0.5 / denominator);
    if (hz < 0.0) gamma = -gamma;
    gd.beta_re = gamma * hx;
    gd.beta_im = gamma * hy;
    return gd;
}

void exham(double hx, double hy, double hz, const SymmetricTensor &v, std::complex<double> *h) {
    auto at = [](int i, int j) { return j * 4 + i; };
    const double zeeman_z = kExcitedZeemanThreeHalves * hz;
    h[at(0, 0)] = {v.zz / 2.0 + zeeman_z, 0.0};
    h[at(1, 1)] = {-v.zz / 2.0 + zeeman_z / 3.0, 0.0};
    h[at(2, 2)] = {-v.zz / 2.0 - zeeman_z / 3.0, 0.0};
    h[at(3, 3)] = {v.zz / 2.0 - zeeman_z, 0.0};

    const double plus_re = kExcitedZeemanHalfRoot3 * hx, plus_im = kExcitedZeemanHalfRoot3 * hy;
    h[at(1, 0)] = {v.xz / kRoot3Single + plus_re, v.yz / kRoot3Single + plus_im};
    h[at(3, 2)] = {-v.xz / kRoot3Single + plus_re, -v.yz / kRoot3Single + plus_im};
    h[at(2, 1)] = {kExcitedZeeman * hx, kExcitedZeeman * hy};

    const std::complex<double> rhombic{(v.xx - v.yy) / kTwoRoot3, v.xy / kRoot3Single};
    h[at(2, 0)] = rhombic;
    h[at(3, 1)] = rhombic;
    h[at(3, 0)] = {0.0, 0.0};
}

void lineint(const double *zr, const double *zi, const GroundDoublet &ground, double nx, double ny, double nz,
             int option, double *inuc) {
    const Complex a_plus{ground.alpha, 0.0}, a_minus{ground.beta_re, ground.beta_im};
    const Complex b_plus{-ground.beta_re, ground.beta_im}, b_minus{ground.alpha, 0.0};
    for (int j = 0; j < 4; ++j) {
        const Complex e1{zr[j * 4 + 0], zi[j * 4 + 0]};
        const Complex e2{zr[j * 4 + 1], zi[j * 4 + 1]};
        const Complex e3{zr[j * 4 + 2], zi[j * 4 + 2]};
        const Complex e4{zr[j * 4 + 3], zi[j * 4 + 3]};
        for (int from_b = 0; from_b < 2; ++from_b) {
            const Complex gp = conj(from_b ? b_plus : a_plus);
            const Complex gm = conj(from_b ? b_minus : a_minus);
            const Complex ap = scaled(kRoot3Single, e1) * gp + e2 * gm;
            const Complex a0 = e2 * gp + e3 * gm;
            const Complex am = e3 * gp + scaled(kRoot3Single, e4) * gm;
            inuc[j + 4 * from_b] = line_intensity(ap, a0, am, nx, ny, nz, option) / 4.0;
        }
    }
}

namespace {

// The Hamiltonian of a pass into work; false when it is zero (no field, no gradient):
// all four levels at 0, and the m basis is as good as any (the bisection route would
// hand back zero vectors and lose every line).
bool prepare_excited(const SymmetricTensor &v, double hx, double hy, double hz, NuclearWork &work) {
    exham(hx, hy, hz, v, work.h);
    std::fill_n(work.zr, 16, 0.0);
    std::fill_n(work.zi, 16, 0.0);
    if (!is_zero_lower_triangle(work.h)) return true;
    std::fill_n(work.w, 4, 0.0);
    for (int j = 0; j < 4; ++j) work.zr[j * 4 + j] = 1.0;
    return false;
}

// Lines from the solved excited state, or NaN lines after a solver failure.
void finish_lines(eigen::Status s, const GroundDoublet &ground, const NuclearWork &work, double nx, double ny,
                  double nz, int option, double *enuc, double *inuc) {
    if (s != eigen::Status::ok) {
        std::fill_n(enuc, kLinesPerPass, std::numeric_limits<double>::quiet_NaN());
        std::fill_n(inuc, kLinesPerPass, std::numeric_limits<double>::quiet_NaN());
        return;
    }
    for (int j = 0; j < 4; ++j) {
        enuc[j] = work.w[j] - ground.ea;
        enuc[j + 4] = work.w[j] + ground.ea;
    }
    lineint(work.zr, work.zi, ground, nx, ny, nz, option, inuc);
}

}  // namespace

eigen::Status nuctrans(const SymmetricTensor &v, double hx, double hy, double hz, double nx, double ny, double nz,
                       int option, NuclearWork &work, double *enuc, double *inuc) {
    const GroundDoublet ground = gndstate(hx, hy, hz);
    eigen::Status s = eigen::Status::ok;
    if (prepare_excited(v, hx, hy, hz, work)) s = eigen::hbisect(4, work.h, work.w, work.zr, work.zi);
    finish_lines(s, ground, work, nx, ny, nz, option, enuc, inuc);
    return s;
}

void nuctrans_lanes(const SymmetricTensor &v, int option, int count, const NuclearPass *passes, NuclearWork *work) {
    static_assert(kNuclearLanes == eigen::kHbisectLanes);
    if (count < 1 || count > kNuclearLanes) return;
    GroundDoublet ground[kNuclearLanes];
    eigen::Status status[kNuclearLanes];
    int solved_as[kNuclearLanes];
    std::complex<double> *a[kNuclearLanes];
    double *w[kNuclearLanes], *zr[kNuclearLanes], *zi[kNuclearLanes];
    eigen::Status solved[kNuclearLanes];
    int solves = 0;
    for (int m = 0; m < count; ++m) {
        const NuclearPass &p = passes[m];
        ground[m] = gndstate(p.hx, p.hy, p.hz);
        status[m] = eigen::Status::ok;
        solved_as[m] = -1;
        if (!prepare_excited(v, p.hx, p.hy, p.hz, work[m])) continue;
        a[solves] = work[m].h;
        w[solves] = work[m].w;
        zr[solves] = work[m].zr;
        zi[solves] = work[m].zi;
        solved_as[m] = solves++;
    }
    if (solves > 0) eigen::hbisect4(solves, a, w, zr, zi, solved);
    for (int m = 0; m < count; ++m) {
        const NuclearPass &p = passes[m];
        if (solved_as[m] >= 0) status[m] = solved[solved_as[m]];
        finish_lines(status[m], ground[m], work[m], p.nx, p.ny, p.nz, option, p.enuc, p.inuc);
    }
}

}  // namespace mosslib::spinham
