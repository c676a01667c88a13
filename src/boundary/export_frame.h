// What every exported entry point shares: the priority step at entry and the
// thread's last-error text.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__x86_64__) && !defined(_WIN32)
#include <immintrin.h>
#endif

namespace mosslib::boundary {

// Moves the caller to the lowest scheduling priority; the result is ignored and the
// earlier priority is never restored.
//  - Windows: SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS = 0x40), the
//    whole process.
//  - Linux: nice 19 for the calling thread only. A nice value belongs to a thread on
//    Linux; lowering every thread of the host would reach into threads the library
//    does not own (a GUI or I/O thread) and cost a scan of /proc on every call.
//    The thread that runs the model is the one that does the heavy work.
//  Nothing happens while the process-wide switch is off (set_priority_step(0)).
void lower_priority() noexcept;

// The process-wide switch of the priority step; returns the previous setting.
std::int32_t set_priority_step(std::int32_t enabled) noexcept;
std::int32_t priority_step() noexcept;

// Clears the thread's last-error text; called first by every export.
void clear_last_error() noexcept;

// Records why the current call refused its input or failed (truncated to fit).
void set_last_error(std::string_view reason) noexcept;

// The text read by mosslib_last_error().
const char *last_error() noexcept;


// Runs a model in the IEEE default floating-point state and gives the host its own
// back: a host may unmask exceptions (a zero width would then end it with a signal
// instead of giving non-finite values) or change the rounding mode (results would no
// longer be reproducible). Flags the model raises are discarded with the rest. On
// Windows the DLL's entry wrappers do this (they also own the x87 state).
class ModelFloatEnvironment {
public:
#if defined(_WIN32)
    ModelFloatEnvironment() noexcept = default;
#elif defined(__x86_64__)
    // The models compute with SSE only: the MXCSR register holds the whole state
    // (masks, rounding, flush-to-zero, flags) and is far cheaper to swap than the
    // full environment.
    ModelFloatEnvironment() noexcept : host_(_mm_getcsr()) { _mm_setcsr(kIeeeDefault); }
    ~ModelFloatEnvironment() { _mm_setcsr(host_); }

private:
    static constexpr unsigned kIeeeDefault = 0x1F80;  // all masked, nearest, no FTZ/DAZ
    unsigned host_;
#else
    ModelFloatEnvironment() noexcept {
        std::fegetenv(&host_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~ModelFloatEnvironment() { std::fesetenv(&host_); }

private:
    std::fenv_t host_;
#endif
public:
    ModelFloatEnvironment(const ModelFloatEnvironment &) = delete;
    ModelFloatEnvironment &operator=(const ModelFloatEnvironment &) = delete;
};

// What every export does for the length of its call: clear the thread's last error,
// lower the priority (all exports but doubl), and run the model in the default
// floating-point state, the host's being restored when the scope ends.
enum class Priority { lower, keep };

class ExportScope {
public:
    explicit ExportScope(Priority priority = Priority::lower) noexcept {
        clear_last_error();
        if (priority == Priority::lower) lower_priority();
    }
    ExportScope(const ExportScope &) = delete;
    ExportScope &operator=(const ExportScope &) = delete;

private:
    ModelFloatEnvironment float_environment_;
};

// Fills out[0..n-1] with quiet NaN: the answer of a call that refuses its input.
void fill_nan(double *out, std::size_t n) noexcept;

}  // namespace mosslib::boundary
