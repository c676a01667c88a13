// Engine work spaces: one block per engine and thread, made on the heap at the thread's
// first call and kept until the thread ends, held through a thread_local pointer. A
// module's static thread-local storage would be reserved in every thread of the host
// (taken from each thread's stack), also in threads that never run the engine.
//
// The pointer is a plain one: a thread_local with a destructor would have the C++
// run-time register that destructor at the thread's first use, an allocation whose
// failure glibc answers by aborting the process. Instead every work space of a thread
// is entered in the thread's list (on the heap), the value of a thread-specific key
// made once when the library is loaded, whose destructor frees them when the thread
// ends. Making the list or setting the key can fail; that is reported like any other
// lack of memory.
#pragma once

#include <new>

namespace mosslib::common {

// True while simulate_out_of_memory(true) holds on the calling thread.
bool out_of_memory_simulated() noexcept;

// For tests: while on, every work-space allocation of the calling thread fails as if
// there were no memory. Not exported from the shared library.
void simulate_out_of_memory(bool on) noexcept;

namespace detail {
// Enters *slot (a thread_local pointer of the calling thread) for deletion by
// destroy(*slot) when the thread ends; false if the thread's clean-up could not be
// arranged (no memory), and then nothing is entered.
bool enter_thread_workspace(void **slot, void (*destroy)(void *) noexcept) noexcept;

template <class Workspace>
void destroy_workspace(void *w) noexcept {
    delete static_cast<Workspace *>(w);
}
}  // namespace detail

// The calling thread's Workspace, value-initialised on its first call; nullptr if there
// is no memory for it (the next call tries again).
template <class Workspace>
Workspace *thread_workspace() noexcept {
    thread_local void *workspace = nullptr;  // trivially destructible: nothing registered
    if (workspace) return static_cast<Workspace *>(workspace);
    if (out_of_memory_simulated()) return nullptr;
    Workspace *const w = new (std::nothrow) Workspace{};
    if (!w) return nullptr;
    workspace = w;
    if (!detail::enter_thread_workspace(&workspace, &detail::destroy_workspace<Workspace>)) {
        workspace = nullptr;
        delete w;
        return nullptr;
    }
    return w;
}

}  // namespace mosslib::common
