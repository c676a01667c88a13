// Exported entry point of the relaxation engine.
#include <algorithm>
#include <string_view>

#include "boundary/export_frame.h"
#include "mosslib.h"
#include "relax/relax_engine.h"

extern "C" MOSSLIB_API int32_t MOSSLIB_CALL parl(const int32_t *ib, const double *db, double *out) {
    using namespace mosslib;
    const mosslib::boundary::ExportScope scope;
    relax::RelaxWorkspace *const work = relax::relax_workspace();
    if (!work) {
        boundary::fill_nan(out, relax::kChannels);
        boundary::set_last_error("parl: no memory for the work space");
        return 1;
    }
    relax::RelaxWorkspace &ws = *work;
    relax::copy_arguments(ib, db, ws.parl_args);
    if (const std::string_view fault = relax::structural_fault(ws.parl_args); !fault.empty()) {
        boundary::fill_nan(out, relax::kChannels);
        boundary::set_last_error(fault);
        return 1;
    }
    const int n_chan = relax::run_relaxation(ws);
    if (const std::string_view fault = relax::numerical_fault(ws); !fault.empty()) boundary::set_last_error(fault);
    // Channels beyond n_chan keep what the caller passed.
    std::copy_n(ws.parl_spec.spec_out, n_chan, out);
    return 1;
}
