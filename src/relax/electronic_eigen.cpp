#include "relax/complex_eigen/complex_eigen.h"
#include "relax/electronic_states.h"
#include "relax/single_precision.h"

namespace mosslib::relax {

void electronic_eigenstates(int n, const complex_f *h, float *w, float *vr, float *vi, ParlMat &mat,
                            DecompositionScratch &scratch) {
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
            mat.trans_mat[at(i, j)] = i >= j ? h[i + kMaxLevels * j] : numeric::r_cnjg(h[j + kMaxLevels * i]);
    eberlein_decompose(n, mat, scratch);

    float e[kMaxLevels];
    int rank[kMaxLevels];
    for (int j = 0; j < n; ++j) e[j] = mat.trans_mat[at(j, j)].r;
    for (int j = 0; j < n; ++j) {
        rank[j] = 0;
        for (int l = 0; l < n; ++l)
            if (e[l] > e[j]) ++rank[j];
    }
    // Equal eigenvalues keep their order on the diagonal.
    for (int j = 0; j < n - 1; ++j)
        for (int l = j + 1; l < n; ++l)
            if (rank[l] == rank[j]) ++rank[l];
    // Non-finite eigenvalues can leave gaps in the ranking; never write past n.
    for (int j = 0; j < n; ++j)
        if (rank[j] >= n) rank[j] = n - 1;

    for (int j = 0; j < n; ++j) {
        w[rank[j]] = e[j];
        for (int i = 0; i < n; ++i) {
            vr[i + kMaxLevels * rank[j]] = mat.eig_right[at(i, j)].r;
            vi[i + kMaxLevels * rank[j]] = mat.eig_right[at(i, j)].i;
        }
    }
    for (int j = 0; j < n; ++j) {
        float s = 0.0f;
        for (int i = 0; i < n; ++i) s = s + vr[i + kMaxLevels * j] * vr[i + kMaxLevels * j] +
                                        vi[i + kMaxLevels * j] * vi[i + kMaxLevels * j];
        const float scale = static_cast<float>(1.0f / dsqrt(s));
        for (int i = 0; i < n; ++i) {
            vr[i + kMaxLevels * j] = vr[i + kMaxLevels * j] * scale;
            vi[i + kMaxLevels * j] = vi[i + kMaxLevels * j] * scale;
        }
    }
}

}  // namespace mosslib::relax
