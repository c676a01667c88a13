#include "relax/electronic_states.h"

#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

// Coefficients of the spin-S Hamiltonian in the basis m = S, S-1, ..., -S, written per
// multiplicity as products of single-precision square roots.
struct SpinCoefficients {
    float m[kMaxLevels];           // m_i
    float ladder[kMaxLevels - 1];  // k_i = sqrt(S(S+1) - m_i(m_i - 1))
    float second[kMaxLevels - 2];  // H(i+2, i) = (E/2) k_i k_(i+1)
    float diag[kMaxLevels];        // m_i hz + D (m_i^2 - S(S+1)/3)
};

SpinCoefficients spin_coefficients(int n, float hz, float d, float e) {
    const float r2 = static_cast<float>(dsqrt(2.0f));
    const float r3 = static_cast<float>(dsqrt(3.0f));
    const float r5 = static_cast<float>(dsqrt(5.0f));
    const float r6 = static_cast<float>(dsqrt(6.0f));
    SpinCoefficients c{};
    for (int i = 0; i < n; ++i) c.m[i] = static_cast<float>(n - 1) / 2.0f - static_cast<float>(i);
    switch (n) {
        case 3:
            c.diag[0] = hz + d / 3.0f;
            c.diag[1] = -2.0f * d / 3.0f;
            c.diag[2] = -hz + d / 3.0f;
            c.ladder[0] = r2;
            c.ladder[1] = r2;
            c.second[0] = e;
            break;
        case 4:
            c.diag[0] = 3.0f * hz / 2.0f + d;
            c.diag[1] = hz / 2.0f - d;
            c.diag[2] = -hz / 2.0f - d;
            c.diag[3] = -3.0f * hz / 2.0f + d;
            c.ladder[0] = r3;
            c.ladder[1] = 2.0f;
            c.ladder[2] = r3;
            c.second[0] = r3 * e;
            c.second[1] = r3 * e;
            break;
        case 5:
            c.diag[0] = 2.0f * hz + 2.0f * d;
            c.diag[1] = hz - d;
            c.diag[2] = -2.0f * d;
            c.diag[3] = -hz - d;
            c.diag[4] = -2.0f * hz + 2.0f * d;
            c.ladder[0] = 2.0f;
            c.ladder[1] = r6;
            c.ladder[2] = r6;
            c.ladder[3] = 2.0f;
            c.second[0] = r6 * e;
            c.second[1] = 3.0f * e;
            c.second[2] = r6 * e;
            break;
        default:  // 6
            c.diag[0] = 5.0f * hz / 2.0f + 10.0f * d / 3.0f;
            c.diag[1] = 3.0f * hz / 2.0f - 2.0f * d / 3.0f;
            c.diag[2] = hz / 2.0f - 8.0f * d / 3.0f;
            c.diag[3] = -hz / 2.0f - 8.0f * d / 3.0f;
            c.diag[4] = -3.0f * hz / 2.0f - 2.0f * d / 3.0f;
            c.diag[5] = -5.0f * hz / 2.0f + 10.0f * d / 3.0f;
            c.ladder[0] = r5;
            c.ladder[1] = r2 * 2.0f;
            c.ladder[2] = 3.0f;
            c.ladder[3] = r2 * 2.0f;
            c.ladder[4] = r5;
            c.second[0] = r2 * r5 * e;
            c.second[1] = r2 * 3.0f * e;
            c.second[2] = r2 * 3.0f * e;
            c.second[3] = r2 * r5 * e;
            break;
    }
    return c;
}

// S = 1/2 in closed form. For a field along the quantisation axis (p <= 1e-6) the upper
// state has <Sz> of the sign of hz, the limit of the general branch.
void doublet_states(float hx, float hy, float hz, ParlElec &elec, float *vr, float *vi) {
    const float p = hx * hx + hy * hy;
    const float r = static_cast<float>(dsqrt(hz * hz / 4.0f + p));
    elec.level_energy[0] = r;
    elec.level_energy[1] = -r;
    if (p <= 1e-6f) {
        const float upper = hz < 0.0f ? -0.5f : 0.5f;
        for (int j = 0; j < 2; ++j) {
            elec.spin_x[j] = 0.0f;
            elec.spin_y[j] = 0.0f;
        }
        elec.spin_z[0] = upper;
        elec.spin_z[1] = -upper;
        return;
    }
    for (int j = 0; j < 2; ++j) {
        const float t = hz / 2.0f + elec.level_energy[j];
        const float nu = static_cast<float>(dsqrt(t * t / p + 1.0f));
        const float pn = p * nu;
        const complex_f c1 = {hx * t / pn, hy * t / pn};
        const complex_f c2 = {1.0f / nu, 0.0f};
        vr[0 + kMaxLevels * j] = c1.r;
        vi[0 + kMaxLevels * j] = c1.i;
        vr[1 + kMaxLevels * j] = c2.r;
        vi[1 + kMaxLevels * j] = c2.i;
        const complex_f x = cmul(numeric::r_cnjg(c1), c2);
        elec.spin_x[j] = x.r;
        elec.spin_y[j] = x.i;
        elec.spin_z[j] = (c1.r * c1.r + c1.i * c1.i - (c2.r * c2.r + c2.i * c2.i)) / 2.0f;
    }
}

void multiplet_states(int n, float hx, float hy, float hz, float d, float e, ParlElec &elec, ParlMat &mat,
                      RelaxScratch &scratch) {
    const SpinCoefficients c = spin_coefficients(n, hz, d, e);
    complex_f *h = scratch.elec_ham;
    for (int i = 0; i < n; ++i) h[i + kMaxLevels * i] = {c.diag[i], 0.0f};
    for (int i = 0; i + 1 < n; ++i) h[(i + 1) + kMaxLevels * i] = {c.ladder[i] * hx, -(c.ladder[i] * hy)};
    for (int i = 0; i + 2 < n; ++i) h[(i + 2) + kMaxLevels * i] = {c.second[i], 0.0f};

    float *vr = scratch.elec_vec_re;
    float *vi = scratch.elec_vec_im;
    electronic_eigenstates(n, h, elec.level_energy, vr, vi, mat, scratch.decomposition);

    for (int j = 0; j < n; ++j) {
        float sx = 0.0f;
        float sy = 0.0f;
        float sz = 0.0f;
        for (int i = 0; i < n; ++i) {
            const complex_f ci = {vr[i + kMaxLevels * j], vi[i + kMaxLevels * j]};
            sz = sz + c.m[i] * (ci.r * ci.r + ci.i * ci.i);
        }
        for (int i = 0; i + 1 < n; ++i) {
            const complex_f ci = {vr[i + kMaxLevels * j], vi[i + kMaxLevels * j]};
            const complex_f cn = {vr[i + 1 + kMaxLevels * j], vi[i + 1 + kMaxLevels * j]};
            const complex_f x = cmul(numeric::r_cnjg(ci), cn);
            sx = sx + c.ladder[i] * x.r;
            sy = sy + c.ladder[i] * x.i;
        }
        elec.spin_x[j] = sx;
        elec.spin_y[j] = sy;
        elec.spin_z[j] = sz;
    }
}

// Boltzmann populations relative to the lowest state, and the population averages of
// the spin expectation values.
void populations(int n, float temp, ParlElec &elec) {
    const float lowest = elec.level_energy[n - 1];
    float z = 0.0f;
    for (int i = 0; i < n; ++i) z = static_cast<float>(z + dexp(-(elec.level_energy[i] - lowest) / temp));
    for (int i = 0; i < n; ++i)
        elec.level_pop[i] = static_cast<float>(dexp(-(elec.level_energy[i] - lowest) / temp) / z);
    float ax = 0.0f;
    float ay = 0.0f;
    float az = 0.0f;
    for (int i = 0; i < n; ++i) {
        ax = ax + elec.spin_x[i] * elec.level_pop[i];
        ay = ay + elec.spin_y[i] * elec.level_pop[i];
        az = az + elec.spin_z[i] * elec.level_pop[i];
    }
    elec.spin_x[kFastRelaxationSlot] = ax;
    elec.spin_y[kFastRelaxationSlot] = ay;
    elec.spin_z[kFastRelaxationSlot] = az;
}

}  // namespace

void electronic_states(const ParlModel &model, const ParlOrient &orient, int k, int n, ParlElec &elec,
                       ParlMat &mat, RelaxScratch &scratch) {
    const float hx = -model.zeeman_x * orient.sin_theta[k] * orient.cos_phi[k];
    const float hy = -model.zeeman_y * orient.sin_theta[k] * orient.sin_phi[k];
    const float hz = model.zeeman_z * orient.cos_theta[k];
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            scratch.elec_ham[i + kMaxLevels * j] = {0.0f, 0.0f};
            scratch.elec_vec_re[i + kMaxLevels * j] = 0.0f;
            scratch.elec_vec_im[i + kMaxLevels * j] = 0.0f;
        }

    if (n == 1) {
        elec.spin_x[0] = 0.0f;
        elec.spin_y[0] = 0.0f;
        elec.spin_z[0] = 0.0f;
        elec.level_energy[0] = 0.0f;
    } else if (n == 2) {
        doublet_states(hx, hy, hz, elec, scratch.elec_vec_re, scratch.elec_vec_im);
    } else {
        multiplet_states(n, hx, hy, hz, model.zfs_d, model.zfs_e, elec, mat, scratch);
    }
    populations(n, model.temp, elec);
}

}  // namespace mosslib::relax
