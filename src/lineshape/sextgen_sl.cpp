#include "lineshape/sextgen_sl.h"

#include "lineshape/general_sextet.h"
#include "lineshape/sextet_constants.h"

namespace mosslib::lineshape {

void general_sextet_sine_long(const double *p, double *spectrum) {
    general_sextet(p, spectrum, VelocityScale::sine_channels_per_radian, kLongChannels);
}

}  // namespace mosslib::lineshape
