#include "relax/relax_entry.h"

#include <algorithm>
#include <string_view>

#include "relax/relax_engine.h"

namespace mosslib::relax {

common::Fault parl_spectrum(const std::int32_t *ib, const double *db, double *out) {
    RelaxWorkspace *const ws = relax_workspace();
    if (!ws) return common::Fault(kChannels, "parl: no memory for the work space");
    copy_arguments(ib, db, ws->parl_args);
    if (const std::string_view fault = structural_fault(ws->parl_args); !fault.empty())
        return common::Fault(kChannels, fault);
    const int n_chan = run_relaxation(*ws);
    std::copy_n(ws->parl_spec.spec_out, n_chan, out);
    if (const std::string_view fault = numerical_fault(*ws); !fault.empty()) return common::Fault(n_chan, fault);
    return {};
}

}  // namespace mosslib::relax
