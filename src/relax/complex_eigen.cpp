#include "relax/complex_eigen.h"

namespace mosslib::relax {

int eberlein_decompose(int n, ParlMat &mat, float *mod_sq) { return eberlein_decompose_plain(n, mat, mod_sq); }

}  // namespace mosslib::relax
