#include "lineshape/sextgen_ss.h"

#include "lineshape/general_sextet.h"
#include "lineshape/sextet_constants.h"

namespace mosslib::lineshape {

void general_sextet_sine(const double *p, double *spectrum) {
    general_sextet(p, spectrum, VelocityScale::sine_fixed_step, kChannels);
}

}  // namespace mosslib::lineshape
