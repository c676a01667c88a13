// parl: exported entry point of the relaxation engine (relax_entry.h).
#include "boundary/export_frame.h"
#include "mosslib.h"
#include "relax/relax_entry.h"

extern "C" MOSSLIB_API int32_t MOSSLIB_CALL parl(const int32_t *ib, const double *db, double *out) {
    const mosslib::boundary::ExportScope scope;
    if (const mosslib::common::Fault f = mosslib::relax::parl_spectrum(ib, db, out)) mosslib::boundary::report(f, out);
    return 1;
}
