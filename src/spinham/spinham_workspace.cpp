#include "spinham/spinham_workspace.h"

#include "common/thread_workspace.h"

namespace mosslib::spinham {

SpinhamWorkspace *spinham_workspace() noexcept { return common::thread_workspace<SpinhamWorkspace>(); }

}  // namespace mosslib::spinham
