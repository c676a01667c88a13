// What every exported entry point shares: the floating-point state of the models, the
// priority step at entry, the thread's last-error text and the report of a fault.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/fault.h"
#include "common/parallel.h"

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
// back: a host may unmask exceptions (a zero width would then end it with a signal or
// a hardware exception instead of giving non-finite values), change the rounding mode
// or, on Windows, reduce the x87 precision (results would no longer be reproducible).
// Flags the model raises are discarded with the rest, so the host sees its own flags
// unchanged.
class ModelFloatEnvironment {
public:
#if defined(_WIN32) && (defined(__i386__) || defined(__x86_64__))
    // Windows hosts differ: Microsoft's run-time sets the x87 unit to 53-bit precision,
    // other development systems unmask the invalid, zero-divide and overflow
    // exceptions. The elementary functions of the DLL (MinGW-w64's, and atan of
    // windows_atan.cpp) run on the x87 unit, the arithmetic on SSE2: both states are
    // saved and set to IEEE defaults (all masked, round to nearest, x87 64-bit
    // precision as on Linux, no flush-to-zero or denormals-are-zero).
    ModelFloatEnvironment() noexcept {
        __asm__ __volatile__("fnstenv %0" : "=m"(host_x87_) : : "memory");
        __asm__ __volatile__("stmxcsr %0" : "=m"(host_mxcsr_) : : "memory");
        __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(kX87Default) : "memory");
        __asm__ __volatile__("ldmxcsr %0" : : "m"(kMxcsrDefault) : "memory");
    }
    // fldenv restores the tag word too: the x87 register stack must be empty here, which
    // the clobbers tell the compiler (a result returned in st(0) is loaded afterwards).
    ~ModelFloatEnvironment() {
        __asm__ __volatile__("fldenv %0" : : "m"(host_x87_)
                             : "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)");
        __asm__ __volatile__("ldmxcsr %0" : : "m"(host_mxcsr_) : "memory");
    }

private:
    static constexpr std::uint16_t kX87Default = 0x037F;    // all masked, 64-bit precision, nearest
    static constexpr std::uint32_t kMxcsrDefault = 0x1F80;  // all masked, nearest, no FTZ/DAZ
    // x87 environment as fnstenv stores it in 32-bit protected mode: control, status and
    // tag words, instruction and operand pointers (28 bytes).
    struct X87Environment {
        std::uint32_t words[7];
    };
    X87Environment host_x87_;
    std::uint32_t host_mxcsr_;
#elif defined(_WIN32)
#error "the Windows DLL knows the floating-point state of x86 only"
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

#if defined(_WIN32)
// Pins the DLL in the process at the first model call. A thread that has run a model
// holds per-thread state whose clean-up at thread exit is code of this DLL; a host that
// unloaded the DLL while such a thread lived would hang or crash when the thread ends.
// On Linux the dynamic loader keeps a library loaded for that reason; on Windows the
// pin does it: FreeLibrary still succeeds, the code stays.
void pin_in_process() noexcept;
#endif

// What every export does for the length of its call: run the model in the default
// floating-point state (the host's is restored when the scope ends), pin the DLL
// (Windows), clear the thread's last error and lower the priority (all exports but
// doubl).
enum class Priority { lower, keep };

class ExportScope {
public:
    explicit ExportScope(Priority priority = Priority::lower) noexcept {
#if defined(_WIN32)
        pin_in_process();
#endif
        clear_last_error();
        if (priority == Priority::lower) lower_priority();
    }
    ExportScope(const ExportScope &) = delete;
    ExportScope &operator=(const ExportScope &) = delete;

private:
    ModelFloatEnvironment float_environment_;
};

// What every other exported function (texts, settings, the catalogue and its velocity
// scales) does for the length of its call: it runs in the models' floating-point
// state as well, so that a host's rounding mode, unmasked exceptions or flags never
// reach it and it leaves the host's state as it found it. The last error stays.
using HelperScope = ModelFloatEnvironment;

// How the calling thread's call of a powder engine runs: the thread count, the
// thread's progress callback, and workers that enter the models' floating-point state
// and take the priority step themselves.
common::CallControl call_control() noexcept;

// The answer of a call whose engine reports a fault: out[0 .. f.nan_count()-1] NaN (out
// may be null when the count is 0), the reason left for mosslib_last_error().
void report(const common::Fault &f, double *out) noexcept;

}  // namespace mosslib::boundary
