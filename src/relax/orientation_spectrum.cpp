#include "relax/orientation_spectrum.h"

// Vectors of eight floats stay inside this unit; no vector crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "relax/angular_factors.h"
#include "relax/argument_defaults.h"
#include "relax/single_precision.h"

namespace mosslib::relax {

namespace {

constexpr float kMinWeight = 0.001f;

template <int W>
struct Lanes {
    typedef float V __attribute__((vector_size(W * sizeof(float))));
};

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

// Complex strength of every mode m: the sum over the populated states of
// eig_right(i, m) eig_left(m, j) K(i, j), over j and then i in ascending order. The
// modes are independent sums, so eight of them run side by side in vector lanes, each
// lane with exactly the operations and order of a mode on its own.
template <int kLanes>
[[gnu::always_inline]] inline void mode_strengths_in_lanes(int n, bool fast, const ParlElec &elec, const ParlMat &mat,
                                                           const complex_f *angular, const NonZeroRows &nz,
                                                           RelaxScratch &scratch) {
    using V = typename Lanes<kLanes>::V;
    for (int i = 0; i < n; ++i)
        for (int m = 0; m < n; ++m) {
            scratch.right_t_re[i * kMaxDim + m] = mat.eig_right[at(i, m)].r;
            scratch.right_t_im[i * kMaxDim + m] = mat.eig_right[at(i, m)].i;
            scratch.left_re[i * kMaxDim + m] = mat.eig_left[at(m, i)].r;
            scratch.left_im[i * kMaxDim + m] = mat.eig_left[at(m, i)].i;
        }
    auto load = [](const float *p) __attribute__((always_inline)) {
        V v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    };
    for (int m0 = 0; m0 < n; m0 += kLanes) {
        V sre = V{} + 0.0f;
        V sim = V{} + 0.0f;
        for (int j = 0; j < n; ++j) {
            const int state = j / kNuclearLines;
            const float w = fast ? 1.0f : elec.level_pop[state];
            if (!(w >= kMinWeight)) continue;
            const V lr = load(scratch.left_re + j * kMaxDim + m0);
            const V li = load(scratch.left_im + j * kMaxDim + m0);
            const int c = j % kNuclearLines;
            const complex_f *k_col = angular + kNuclearLines * c;
            for (int block = 0; block < n; block += kNuclearLines)
                for (int q = 0; q < nz.count[c]; ++q) {
                    const int r = nz.row[c][q];
                    const int i = block + r;
                    const V rr = load(scratch.right_t_re + i * kMaxDim + m0);
                    const V ri = load(scratch.right_t_im + i * kMaxDim + m0);
                    const V tr = rr * lr - ri * li;
                    const V ti = rr * li + ri * lr;
                    const float br = k_col[r].r;
                    const float bi = k_col[r].i;
                    const V ur = tr * br - ti * bi;
                    const V ui = tr * bi + ti * br;
                    sre = sre + w * ur;
                    sim = sim + w * ui;
                }
        }
        for (int l = 0; l < kLanes && m0 + l < n; ++l) {
            scratch.strength_re[m0 + l] = sre[l];
            scratch.strength_im[m0 + l] = sim[l];
        }
    }
}

void mode_strengths_sse(int n, bool fast, const ParlElec &elec, const ParlMat &mat, const complex_f *angular,
                        const NonZeroRows &nz, RelaxScratch &scratch) {
    mode_strengths_in_lanes<4>(n, fast, elec, mat, angular, nz, scratch);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MOSSLIB_RELAX_WIDE_VECTORS 1
__attribute__((target("avx"), flatten)) void mode_strengths_avx(int n, bool fast, const ParlElec &elec,
                                                               const ParlMat &mat, const complex_f *angular,
                                                               const NonZeroRows &nz, RelaxScratch &scratch) {
    mode_strengths_in_lanes<8>(n, fast, elec, mat, angular, nz, scratch);
}
#endif

void mode_strengths(int n, bool fast, const ParlElec &elec, const ParlMat &mat, const complex_f *angular,
                    const NonZeroRows &nz, RelaxScratch &scratch) {
#ifdef MOSSLIB_RELAX_WIDE_VECTORS
    static const bool avx = (__builtin_cpu_init(), __builtin_cpu_supports("avx"));
    if (avx) return mode_strengths_avx(n, fast, elec, mat, angular, nz, scratch);
#endif
    mode_strengths_sse(n, fast, elec, mat, angular, nz, scratch);
}

}  // namespace

void orientation_spectrum(int n, const ParlModel &model, const ParlOrient &orient, const ParlElec &elec,
                          const ParlMat &mat, int k, ParlSpec &spectra, RelaxScratch &scratch) {
    // The angular factors of one 8x8 block; every block (e, f) of the full matrix
    // holds the same values.
    angular_factors(orient.cos_theta[k], orient.sin_theta[k], orient.cos_phi[k], orient.sin_phi[k],
                    model.beam_angle, scratch.angular);

    const int n_chan = model.n_chan;
    for (int ch = 0; ch < n_chan; ++ch) {
        spectra.chan_vel[ch] = channel_velocity(ch + 1, model.zero_chan, model.vel_step);
        spectra.spec_one[ch] = 0.0f;
    }
    const float h = model.line_width / 2.0f;
    const bool fast = model.relax_rate > 1000.0f;
    const NonZeroRows nz = non_zero_rows(scratch.angular);
    mode_strengths(n, fast, elec, mat, scratch.angular, nz, scratch);
    for (int m = 0; m < n; ++m) {
        const complex_f lambda = mat.trans_mat[at(m, m)];
        for (int ch = 0; ch < n_chan; ++ch) {
            const complex_f den = {h - lambda.r, spectra.chan_vel[ch] - model.shift - lambda.i};
            const complex_f q = numeric::c_div({h, 0.0f}, den);
            scratch.q_re[ch] = q.r;
            scratch.q_im[ch] = q.i;
        }
        const complex_f s = {scratch.strength_re[m], scratch.strength_im[m]};
        for (int ch = 0; ch < n_chan; ++ch)
            spectra.spec_one[ch] = s.r * scratch.q_re[ch] + spectra.spec_one[ch] - s.i * scratch.q_im[ch];
    }
}

}  // namespace mosslib::relax
