// Exported entry points of the analytic spectra. Each runs one model on the caller's
// arrays and returns the constant 0.1. The channel counts are fixed (256; 512 for
// sextgen_sl), so no input is structurally impossible and nothing is refused.
#include "boundary/export_frame.h"
#include "lineshape/doubl.h"
#include "lineshape/general_sextet.h"
#include "lineshape/sext.h"
#include "lineshape/two_component_sextet.h"
#include "lineshape/voigt_sextet.h"
#include "mosslib.h"

namespace {
constexpr double kAnalyticReturn = 0.1;
}  // namespace

extern "C" {

MOSSLIB_API double MOSSLIB_CALL sext(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    mosslib::lineshape::magnetic_sextet(p, spectrum);
    return kAnalyticReturn;
}

MOSSLIB_API double MOSSLIB_CALL sextgen(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    mosslib::lineshape::general_sextet_linear(p, spectrum);
    return kAnalyticReturn;
}

MOSSLIB_API double MOSSLIB_CALL sextgen_ss(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    mosslib::lineshape::general_sextet_sine(p, spectrum);
    return kAnalyticReturn;
}

MOSSLIB_API double MOSSLIB_CALL sextgen_sl(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    mosslib::lineshape::general_sextet_sine_long(p, spectrum);
    return kAnalyticReturn;
}

// The one export that leaves the scheduling priority as it was.
MOSSLIB_API double MOSSLIB_CALL doubl(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope(mosslib::boundary::Priority::keep);
    mosslib::lineshape::quadrupole_doublet(p, spectrum);
    return kAnalyticReturn;
}

MOSSLIB_API double MOSSLIB_CALL VogGenVel_ss(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    mosslib::lineshape::voigt_sextet(p, spectrum);
    return kAnalyticReturn;
}

MOSSLIB_API double MOSSLIB_CALL CSTfdll(const double *p, double *spectrum) {
    const mosslib::boundary::ExportScope scope;
    mosslib::lineshape::two_component_sextet(p, spectrum);
    return kAnalyticReturn;
}

}  // extern "C"
