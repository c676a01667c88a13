#include "common/vector_lanes.h"

#include <atomic>

namespace mosslib::common {

namespace {

bool processor_has_avx2() noexcept {
#ifdef MOSSLIB_AVX2_LANES
    // libgcc's check includes the operating system's support for the wide registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool processor_has_avx512() noexcept {
#ifdef MOSSLIB_AVX2_LANES
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq");
#else
    return false;
#endif
}

// AMD's processors handle subnormal operands and results in hardware.
bool processor_assists_subnormals() noexcept {
#ifdef MOSSLIB_AVX2_LANES
    __builtin_cpu_init();
    return !__builtin_cpu_is("amd");
#else
    return false;
#endif
}

bool processor_keeps_clock_at_512() noexcept {
#ifdef MOSSLIB_AVX2_LANES
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vbmi2");
#else
    return false;
#endif
}

std::atomic<bool> g_allowed{true};
std::atomic<bool> g_allowed_full_width{true};
std::atomic<SubnormalRoute> g_subnormal_route{SubnormalRoute::processor};
std::atomic<bool> g_allowed_512{true};

}  // namespace

bool avx2_lanes() noexcept {
    static const bool has = processor_has_avx2();
    return has && g_allowed.load(std::memory_order_relaxed);
}

void allow_avx2_lanes(bool allowed) noexcept { g_allowed.store(allowed, std::memory_order_relaxed); }

bool avx512_lanes() noexcept {
    static const bool has = processor_has_avx512();
    return has && avx2_lanes() && g_allowed_512.load(std::memory_order_relaxed);
}

void allow_avx512_lanes(bool allowed) noexcept { g_allowed_512.store(allowed, std::memory_order_relaxed); }

bool avx512_full_width() noexcept {
    static const bool keeps = processor_keeps_clock_at_512();
    return keeps && avx512_lanes() && g_allowed_full_width.load(std::memory_order_relaxed);
}

void allow_avx512_full_width(bool allowed) noexcept {
    g_allowed_full_width.store(allowed, std::memory_order_relaxed);
}

bool subnormals_are_slow() noexcept {
    static const bool slow = processor_assists_subnormals();
    switch (g_subnormal_route.load(std::memory_order_relaxed)) {
        case SubnormalRoute::avoid: return true;
        case SubnormalRoute::plain: return false;
        default: return slow;
    }
}

void choose_subnormal_route(SubnormalRoute route) noexcept {
    g_subnormal_route.store(route, std::memory_order_relaxed);
}

}  // namespace mosslib::common
