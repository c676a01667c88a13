#include "lineshape/sextgen.h"

#include "lineshape/general_sextet.h"
#include "lineshape/sextet_constants.h"

namespace mosslib::lineshape {

void general_sextet_linear(const double *p, double *spectrum) {
    general_sextet(p, spectrum, VelocityScale::linear, kChannels);
}

}  // namespace mosslib::lineshape
