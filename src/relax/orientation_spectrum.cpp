#include "relax/orientation_spectrum.h"

#include "relax/angular_factors.h"
#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

constexpr float kMinWeight = 0.001f;

// Rows r (0..7, ascending) of each column c of the 8x8 angular block whose factor has
// a non-zero modulus; the other pairs add nothing and are skipped.
struct NonZeroRows {
    int count[kNuclearLines];
    int row[kNuclearLines][kNuclearLines];
};

NonZeroRows non_zero_rows(const complex_f *angular) {
    NonZeroRows nz{};
    for (int c = 0; c < kNuclearLines; ++c)
        for (int r = 0; r < kNuclearLines; ++r)
            if (numeric::c_abs(angular[r + kNuclearLines * c]) != 0.0) nz.row[c][nz.count[c]++] = r;
    return nz;
}

// Complex strength of mode m: sum over the populated states of eig_right(i, m)
// eig_left(m, j) K(i, j), over j and then i in ascending order.
complex_f mode_strength(int n, int m, bool fast, const ParlElec &elec, const ParlMat &mat,
                        const complex_f *angular, const NonZeroRows &nz) {
    float sre = 0.0f;
    float sim = 0.0f;
    const complex_f *right = mat.eig_right + at(0, m);
    for (int j = 0; j < n; ++j) {
        const int state = j / kNuclearLines;
        const float w = fast ? 1.0f : elec.level_pop[state];
        if (!(w >= kMinWeight)) continue;
        const complex_f left = mat.eig_left[at(m, j)];
        const int c = j % kNuclearLines;
        const complex_f *k_col = angular + kNuclearLines * c;
        for (int block = 0; block < n; block += kNuclearLines)
            for (int q = 0; q < nz.count[c]; ++q) {
                const int r = nz.row[c][q];
                const complex_f t = cmul(right[block + r], left);
                const complex_f u = cmul(t, k_col[r]);
                sre = sre + w * u.r;
                sim = sim + w * u.i;
            }
    }
    return {sre, sim};
}

}  // namespace

void orientation_spectrum(int n, const ParlModel &model, const ParlOrient &orient, const ParlElec &elec,
                          const ParlMat &mat, int k, ParlSpec &spec, RelaxScratch &scratch) {
    // The angular factors of one 8x8 block; every block (e, f) of the full matrix
    // holds the same values.
    angular_factors(orient.cos_theta[k], orient.sin_theta[k], orient.cos_phi[k], orient.sin_phi[k],
                    model.beam_angle, scratch.angular);

    const int n_chan = model.n_chan;
    for (int ch = 0; ch < n_chan; ++ch) {
        spec.chan_vel[ch] = (static_cast<float>(ch + 1) - model.zero_chan) * model.vel_step;
        spec.spec_one[ch] = 0.0f;
    }
    const float h = model.line_width / 2.0f;
    const bool fast = model.relax_rate > 1000.0f;
    const NonZeroRows nz = non_zero_rows(scratch.angular);
    for (int m = 0; m < n; ++m) {
        const complex_f lambda = mat.trans_mat[at(m, m)];
        for (int ch = 0; ch < n_chan; ++ch) {
            const complex_f den = {h - lambda.r, spec.chan_vel[ch] - model.shift - lambda.i};
            const complex_f q = numeric::c_div({h, 0.0f}, den);
            scratch.q_re[ch] = q.r;
            scratch.q_im[ch] = q.i;
        }
        const complex_f s = mode_strength(n, m, fast, elec, mat, scratch.angular, nz);
        for (int ch = 0; ch < n_chan; ++ch)
            spec.spec_one[ch] = s.r * scratch.q_re[ch] + spec.spec_one[ch] - s.i * scratch.q_im[ch];
    }
}

}  // namespace mosslib::relax
