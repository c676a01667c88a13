#include "relax/relax_workspace.h"

#include <memory>
#include <new>

namespace mosslib::relax {

RelaxWorkspace *relax_workspace() noexcept {
    thread_local std::unique_ptr<RelaxWorkspace> workspace;
    if (!workspace) workspace.reset(new (std::nothrow) RelaxWorkspace{});
    return workspace.get();
}

}  // namespace mosslib::relax
