// The entry points of the Windows DLL. The module-definition file exports each model
// function under its plain name from the wrapper here, which runs the model in the
// floating-point environment the models are written for and gives the host its own
// back on return.
//
// A Windows host chooses the floating-point control state of the thread that calls
// the library, and hosts differ: Microsoft's run-time sets the x87 unit to 53-bit
// precision, other development systems unmask the invalid, zero-divide and overflow
// exceptions. With unmasked exceptions a zero width, which the models answer with
// non-finite values, would raise a hardware exception and end the host; with a
// reduced x87 precision or another rounding mode, the elementary functions (MinGW's
// run on the x87 unit) and the SSE2 arithmetic would round differently.
//
// So each wrapper saves the x87 environment and MXCSR, sets IEEE defaults (all
// exceptions masked, round to nearest, x87 64-bit precision as on Linux, no flush or
// denormals-are-zero), calls the model and restores both; the status flags the model
// raised are discarded with the rest, so the host sees its own flags unchanged.
//
// The first model call also pins the DLL in the process. A thread that has run a
// model holds per-thread state whose clean-up at thread exit is code of this DLL; a
// host that unloaded the DLL while such a thread lived would hang or crash when the
// thread ends. On Linux the dynamic loader keeps a library loaded for that reason; on
// Windows the pin does it: FreeLibrary still succeeds, the code stays.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "mosslib.h"

namespace {

#if defined(__i386__) || defined(__x86_64__)

// x87 environment as fnstenv stores it in 32-bit protected mode: control, status and
// tag words, instruction and operand pointers (28 bytes).
struct X87Environment {
    std::uint32_t words[7];
};

constexpr std::uint16_t kX87Default = 0x037F;  // all masked, 64-bit precision, nearest
constexpr std::uint32_t kMxcsrDefault = 0x1F80;  // all masked, nearest, no FTZ/DAZ

struct HostFloatEnvironment {
    X87Environment x87;
    std::uint32_t mxcsr;
};

HostFloatEnvironment enter_model_environment() noexcept {
    HostFloatEnvironment host;
    __asm__ __volatile__("fnstenv %0" : "=m"(host.x87) : : "memory");
    __asm__ __volatile__("stmxcsr %0" : "=m"(host.mxcsr) : : "memory");
    __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(kX87Default) : "memory");
    __asm__ __volatile__("ldmxcsr %0" : : "m"(kMxcsrDefault) : "memory");
    return host;
}

// fldenv restores the tag word too: the x87 register stack must be empty here, which
// the clobbers tell the compiler (a result returned in st(0) is loaded afterwards).
void leave_model_environment(const HostFloatEnvironment &host) noexcept {
    __asm__ __volatile__("fldenv %0" : : "m"(host.x87)
                         : "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)");
    __asm__ __volatile__("ldmxcsr %0" : : "m"(host.mxcsr) : "memory");
}

#else
#error "the Windows entry points know the floating-point state of x86 only"
#endif

std::atomic<bool> g_pinned{false};

void pin_dll_in_process() noexcept {
    if (g_pinned.load(std::memory_order_acquire)) return;
    HMODULE self = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&g_pinned), &self))
        g_pinned.store(true, std::memory_order_release);
}

// Runs f(args...) in the models' environment and returns its result in the host's.
template <typename F, typename... Args>
auto in_model_environment(F f, Args... args) {
    pin_dll_in_process();
    const HostFloatEnvironment host = enter_model_environment();
    const auto result = f(args...);
    leave_model_environment(host);
    return result;
}

}  // namespace

extern "C" {

#ifdef MOSSLIB_HAVE_LINESHAPE
double MOSSLIB_CALL mosslib_win_sext(const double *p, double *s) { return in_model_environment(sext, p, s); }
double MOSSLIB_CALL mosslib_win_sextgen(const double *p, double *s) { return in_model_environment(sextgen, p, s); }
double MOSSLIB_CALL mosslib_win_sextgen_ss(const double *p, double *s) {
    return in_model_environment(sextgen_ss, p, s);
}
double MOSSLIB_CALL mosslib_win_sextgen_sl(const double *p, double *s) {
    return in_model_environment(sextgen_sl, p, s);
}
double MOSSLIB_CALL mosslib_win_doubl(const double *p, double *s) { return in_model_environment(doubl, p, s); }
double MOSSLIB_CALL mosslib_win_VogGenVel_ss(const double *p, double *s) {
    return in_model_environment(VogGenVel_ss, p, s);
}
double MOSSLIB_CALL mosslib_win_CSTfdll(const double *p, double *s) { return in_model_environment(CSTfdll, p, s); }
#endif

#ifdef MOSSLIB_HAVE_SPINHAM
std::int32_t MOSSLIB_CALL mosslib_win_ttt(const std::int32_t *i, const double *r, double *s) {
    return in_model_environment(ttt, i, r, s);
}
double MOSSLIB_CALL mosslib_win_tkv(const std::int32_t *i, const double *r, const double *m) {
    return in_model_environment(tkv, i, r, m);
}
#endif

#ifdef MOSSLIB_HAVE_RELAX
std::int32_t MOSSLIB_CALL mosslib_win_parl(const std::int32_t *i, const double *d, double *o) {
    return in_model_environment(parl, i, d, o);
}
#endif

}  // extern "C"
