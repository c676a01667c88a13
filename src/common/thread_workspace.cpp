#include "common/thread_workspace.h"

namespace mosslib::common {

namespace {
thread_local bool t_out_of_memory = false;
}  // namespace

bool out_of_memory_simulated() noexcept { return t_out_of_memory; }

void simulate_out_of_memory(bool on) noexcept { t_out_of_memory = on; }

}  // namespace mosslib::common
