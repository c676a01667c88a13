// Engine work spaces: one block per engine and thread, made on the heap at the thread's
// first call and kept until the thread ends, held through a thread_local pointer. A
// module's static thread-local storage would be reserved in every thread of the host
// (taken from each thread's stack), also in threads that never run the engine.
#pragma once

#include <memory>
#include <new>

namespace mosslib::common {

// True while simulate_out_of_memory(true) holds on the calling thread.
bool out_of_memory_simulated() noexcept;

// For tests: while on, every work-space allocation of the calling thread fails as if
// there were no memory. Not exported from the shared library.
void simulate_out_of_memory(bool on) noexcept;

// The calling thread's Workspace, value-initialised on its first call; nullptr if there
// is no memory for it (the next call tries again).
template <class Workspace>
Workspace *thread_workspace() noexcept {
    thread_local std::unique_ptr<Workspace> workspace;
    if (!workspace && !out_of_memory_simulated()) workspace.reset(new (std::nothrow) Workspace{});
    return workspace.get();
}

}  // namespace mosslib::common
