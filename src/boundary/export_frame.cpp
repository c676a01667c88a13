#include "boundary/export_frame.h"

#include <algorithm>
#include <atomic>
#include <limits>

#include "mosslib.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace mosslib::boundary {

namespace {
constexpr std::size_t kErrorCapacity = 512;
thread_local char t_last_error[kErrorCapacity] = "";

// The calling thread's progress callback (mosslib_set_progress).
struct ProgressHook {
    mosslib_progress_fn fn;
    void *user;
};
thread_local ProgressHook t_progress = {nullptr, nullptr};

bool report_progress(double fraction, const void *context) {
    const auto *hook = static_cast<const ProgressHook *>(context);
    return hook->fn(fraction, hook->user) != 0;
}

void worker_share(void (*share)(void *), void *job) {
    const ModelFloatEnvironment float_environment;
    lower_priority();
    share(job);
}
std::atomic<std::int32_t> g_priority_step{1};  // process-wide; 1 = on
}  // namespace

std::int32_t set_priority_step(std::int32_t enabled) noexcept {
    return g_priority_step.exchange(enabled != 0 ? 1 : 0, std::memory_order_relaxed);
}

std::int32_t priority_step() noexcept { return g_priority_step.load(std::memory_order_relaxed); }

void lower_priority() noexcept {
    if (g_priority_step.load(std::memory_order_relaxed) == 0) return;
#if defined(_WIN32)
    SetPriorityClass(GetCurrentProcess(), 0x40);
#else
    // PRIO_PROCESS with who = 0 addresses the calling thread on Linux.
    (void)setpriority(PRIO_PROCESS, 0, 19);
#endif
}

#if defined(_WIN32)
namespace {
std::atomic<bool> g_pinned{false};
}  // namespace

void pin_in_process() noexcept {
    if (g_pinned.load(std::memory_order_acquire)) return;
    HMODULE self = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&g_pinned), &self))
        g_pinned.store(true, std::memory_order_release);
}
#endif

void clear_last_error() noexcept { t_last_error[0] = '\0'; }

void set_last_error(std::string_view reason) noexcept {
    const std::size_t n = std::min(reason.size(), kErrorCapacity - 1);
    std::copy_n(reason.data(), n, t_last_error);
    t_last_error[n] = '\0';
}

const char *last_error() noexcept { return t_last_error; }

common::CallControl call_control() noexcept {
    common::CallControl control;
    control.threads = common::thread_count();
    if (t_progress.fn) control.progress = {&report_progress, &t_progress};
    control.worker_scope = &worker_share;
    return control;
}

void report(const common::Fault &f, double *out) noexcept {
    if (f.nan_count() != 0) std::fill_n(out, f.nan_count(), std::numeric_limits<double>::quiet_NaN());
    set_last_error(f.reason());
}

}  // namespace mosslib::boundary

extern "C" {

MOSSLIB_API const char *MOSSLIB_CALL mosslib_last_error(void) {
    const mosslib::boundary::HelperScope scope;
    return mosslib::boundary::last_error();
}

MOSSLIB_API const char *MOSSLIB_CALL mosslib_version(void) {
    const mosslib::boundary::HelperScope scope;
    return MOSSLIB_VERSION_STRING;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_set_priority_step(int32_t enabled) {
    const mosslib::boundary::HelperScope scope;
    return mosslib::boundary::set_priority_step(enabled);
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_priority_step(void) {
    const mosslib::boundary::HelperScope scope;
    return mosslib::boundary::priority_step();
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_set_threads(int32_t n) {
    const mosslib::boundary::HelperScope scope;
    return mosslib::common::set_thread_count(n);
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_threads(void) {
    const mosslib::boundary::HelperScope scope;
    int32_t n = mosslib::common::thread_count();
    // Returns itself rather than jumping into the library's code: the 32-bit DLL's
    // check of every export's stdcall return finds the ret here.
    __asm__ __volatile__("" : "+r"(n));
    return n;
}

MOSSLIB_API void MOSSLIB_CALL mosslib_set_progress(mosslib_progress_fn fn, void *user) {
    const mosslib::boundary::HelperScope scope;
    mosslib::boundary::t_progress = {fn, user};
}

}  // extern "C"
