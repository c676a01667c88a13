#include "relax/nuclear_matrix.h"

#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

// Quadrupole terms of the field gradient in the crystal frame: the axial part on the
// diagonal and the Delta m = 1 and 2 couplings.
struct QuadrupoleTerms {
    float zz;
    float q1_re, q1_im;
    float q2_re, q2_im;
};

QuadrupoleTerms quadrupole_terms(const ParlModel &model, float r2) {
    const auto [ca, sa, cb, sb, cg, sg] = euler_trig(model.efg_euler);
    const float q = model.quad_const;
    const float eta = model.eta;

    const float s2a = 2.0f * ca * sa;
    const float c2a = 2.0f * sq(ca) - 1.0f;
    const float c2g = 2.0f * sq(cg) - 1.0f;
    const float s2g = 2.0f * cg * sg;

    QuadrupoleTerms t;
    t.zz = q * 3.0f * ((1.5f * sq(cb) - 0.5f) + 0.5f * eta * c2a * sq(sb));
    const float p = (3.0f - eta * c2a) * sb * cb;
    const float qq = sb * s2a * eta;
    t.q1_re = (cg * p + sg * qq) * q * r2;
    t.q1_im = (sg * p - cg * qq) * q * r2;
    const float r = 0.5f * ((sq(cb) + 1.0f) * eta * c2a + 3.0f * sq(sb));
    const float u = s2a * cb * eta;
    t.q2_re = (c2g * r - s2g * u) * q;
    t.q2_im = (s2g * r + c2g * u) * q;
    return t;
}

}  // namespace

int build_nuclear_matrix(const ParlModel &model, const ParlOrient &orient, const ParlElec &elec, int k,
                         ParlMat &mat) {
    const float r2 = static_cast<float>(1.0 / dsqrt(2.0));
    const float r3 = static_cast<float>(dsqrt(3.0));
    const float r6 = static_cast<float>(dsqrt(6.0));

    const bool fast = model.relax_rate > 1000.0f;
    const int n = fast ? kNuclearLines : kNuclearLines * model.n_levels;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) mat.trans_mat[at(i, j)] = {0.0f, 0.0f};

    const float ct = orient.cos_theta[k];
    const float st = orient.sin_theta[k];
    const float cp = orient.cos_phi[k];
    const float sp = orient.sin_phi[k];
    const QuadrupoleTerms quad = quadrupole_terms(model, r2);
    const float qzz = quad.zz;
    const float h = model.field;
    const float ze = model.zeeman_e;
    const float zg = model.zeeman_g;

    const int first = fast ? kFastRelaxationSlot : 0;
    const int last = fast ? kFastRelaxationSlot : model.n_levels - 1;
    for (int state = first; state <= last; ++state) {
        const float spin[3] = {elec.spin_x[state], elec.spin_y[state], elec.spin_z[state]};
        float hf[3];
        for (int j = 0; j < 3; ++j) {
            float s = 0.0f;
            for (int l = 0; l < 3; ++l) s = s + spin[l] * model.hyp_tensor[l + 3 * j];
            hf[j] = s;
        }
        // Excited-level field terms (mm/s); the ground level scales them by zeeman_g/zeeman_e.
        const float bx = (h * st * cp + hf[0]) * ze;
        const float by = (hf[1] - h * st * sp) * ze;
        const float bz = (hf[2] - h * ct) * ze;
        const float gx = bx * zg / ze;
        const float gy = by * zg / ze;
        const float gz = bz * zg / ze;

        const int o = fast ? 0 : kNuclearLines * state;
        auto set = [&](int a, int b, float re, float im) { mat.trans_mat[at(o + a - 1, o + b - 1)] = {re, im}; };
        set(1, 1, 0.0f, 1.5f * bz - 0.5f * gz + qzz);
        set(2, 2, 0.0f, 0.5f * bz - 0.5f * gz - qzz);
        set(3, 3, 0.0f, -0.5f * bz - 0.5f * gz - qzz);
        set(4, 4, 0.0f, -1.5f * bz - 0.5f * gz + qzz);
        set(5, 5, 0.0f, 0.5f * gz + 1.5f * bz + qzz);
        set(6, 6, 0.0f, 0.5f * gz + 0.5f * bz - qzz);
        set(7, 7, 0.0f, 0.5f * gz - 0.5f * bz - qzz);
        set(8, 8, 0.0f, 0.5f * gz - 1.5f * bz + qzz);
        for (int g = 0; g <= 4; g += 4) {
            // Excited-sublevel couplings, the same under both ground sublevels.
            set(g + 1, g + 2, r6 * quad.q1_im + r3 * by / 2.0f, r3 * bx / 2.0f - r6 * quad.q1_re);
            set(g + 2, g + 1, -r3 * by / 2.0f - r6 * quad.q1_im, r3 * bx / 2.0f - r6 * quad.q1_re);
            set(g + 2, g + 3, by, bx);
            set(g + 3, g + 2, -by, bx);
            set(g + 3, g + 4, r3 * by / 2.0f - r6 * quad.q1_im, r6 * quad.q1_re + r3 * bx / 2.0f);
            set(g + 4, g + 3, r6 * quad.q1_im - r3 * by / 2.0f, r6 * quad.q1_re + r3 * bx / 2.0f);
            set(g + 1, g + 3, -r3 * quad.q2_im, r3 * quad.q2_re);
            set(g + 2, g + 4, -r3 * quad.q2_im, r3 * quad.q2_re);
            set(g + 3, g + 1, r3 * quad.q2_im, r3 * quad.q2_re);
            set(g + 4, g + 2, r3 * quad.q2_im, r3 * quad.q2_re);
        }
        // Coupling of the two ground sublevels by the transverse ground-state field.
        for (int t = 1; t <= 4; ++t) {
            set(t, t + 4, gy / 2.0f, -gx / 2.0f);
            set(t + 4, t, -gy / 2.0f, -gx / 2.0f);
        }
    }
    return n;
}

}  // namespace mosslib::relax
