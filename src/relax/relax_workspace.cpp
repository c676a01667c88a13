#include "relax/relax_workspace.h"

#include "common/thread_workspace.h"

namespace mosslib::relax {

RelaxWorkspace *relax_workspace() noexcept { return common::thread_workspace<RelaxWorkspace>(); }

}  // namespace mosslib::relax
