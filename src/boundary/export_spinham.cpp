// ttt and tkv: exported entry points of the spin-Hamiltonian engine (spinham_entry.h).
#include <limits>

#include "boundary/export_frame.h"
#include "mosslib.h"
#include "spinham/spinham_entry.h"

extern "C" {

MOSSLIB_API int32_t MOSSLIB_CALL ttt(const int32_t *ints, const double *reals, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    if (const mosslib::common::Fault f = mosslib::spinham::ttt_spectrum(ints, reals, spectrum))
        mosslib::boundary::report(f, spectrum);
    return 2;
}

MOSSLIB_API double MOSSLIB_CALL tkv(const int32_t *ints, const double *reals, const double *measured) {
    const mosslib::boundary::ExportScope scope;
    double sum = 0.0;
    if (const mosslib::common::Fault f = mosslib::spinham::tkv_residual(ints, reals, measured, sum)) {
        mosslib::boundary::report(f, nullptr);
        return std::numeric_limits<double>::quiet_NaN();
    }
    return sum;
}

}  // extern "C"
