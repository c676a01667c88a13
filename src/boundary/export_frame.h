// What every exported entry point shares: the priority step at entry and the
// thread's last-error text.
#pragma once

#include <cstddef>
#include <string_view>

namespace mosslib::boundary {

// Moves the caller to the lowest scheduling priority; the result is ignored and the
// earlier priority is never restored.
//  - Windows: SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS = 0x40), the
//    whole process.
//  - Linux: nice 19 for the calling thread only. A nice value belongs to a thread on
//    Linux; lowering every thread of the host would reach into threads the library
//    does not own (a GUI or I/O thread) and cost a scan of /proc on every call.
//    The thread that runs the model is the one that does the heavy work.
void lower_priority() noexcept;

// Clears the thread's last-error text; called first by every export.
void clear_last_error() noexcept;

// Records why the current call refused its input or failed (truncated to fit).
void set_last_error(std::string_view reason) noexcept;

// The text read by mosslib_last_error().
const char *last_error() noexcept;

// Entry of an export that lowers the priority: clears the error, then lowers.
inline void enter_export() noexcept {
    clear_last_error();
    lower_priority();
}

// Fills out[0..n-1] with quiet NaN: the answer of a call that refuses its input.
void fill_nan(double *out, std::size_t n) noexcept;

}  // namespace mosslib::boundary
