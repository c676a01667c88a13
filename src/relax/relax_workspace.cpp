#include "relax/relax_workspace.h"

namespace mosslib::relax {

RelaxWorkspace &relax_workspace() noexcept {
    thread_local RelaxWorkspace workspace{};
    return workspace;
}

}  // namespace mosslib::relax
