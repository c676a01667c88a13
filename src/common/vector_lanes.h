// Run-time choice of the vector width of channel loops. A kernel whose lanes are
// independent (every output element has its own chain of IEEE operations) is compiled
// twice from one body: for the baseline instruction set (SSE2 on x86-64) and for AVX2,
// which holds four doubles per register. Both give the same bits; the wider one is taken
// when the processor and the operating system support it. The AVX2 clones have no FMA;
// a kernel may add a third clone with AVX-512 mask registers (run_in_avx512_lanes),
// whose instruction set has FMA, which -ffp-contract=off keeps the compiler from using.
#pragma once

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MOSSLIB_AVX2_LANES 1
#endif

namespace mosslib::common {

// True when the AVX2 clones are to run: the processor has AVX2, the operating system
// saves its registers, and allow_avx2_lanes(false) is not in force.
bool avx2_lanes() noexcept;

// For tests: false makes every kernel chosen here take its baseline path, true returns
// to the processor's choice. Process-wide. Not exported from the shared library.
void allow_avx2_lanes(bool allowed) noexcept;

// True when, beside the AVX2 clones, the processor's AVX-512 mask registers may serve
// them: avx2_lanes(), and the processor and operating system support AVX-512 F, VL
// and DQ, and allow_avx512_lanes(false) is not in force. The registers stay 256 bits
// wide; the masks merge results into lanes without separate blends. Only kernels that
// ask for it (run_in_avx512_lanes) take this path.
bool avx512_lanes() noexcept;

// For tests: false makes those kernels take their AVX2 path. Process-wide.
void allow_avx512_lanes(bool allowed) noexcept;

// True when avx512_lanes() and the processor keeps its clock under 512-bit arithmetic,
// so that a kernel may use whole 512-bit registers: it has AVX-512 VBMI2 (Intel's cores
// since Ice Lake, AMD's since Zen 4; the Skylake and Cascade Lake server cores lower
// their clock for such arithmetic and lack it).
bool avx512_full_width() noexcept;

// For tests: false keeps such kernels on 256-bit registers. Process-wide.
void allow_avx512_full_width(bool allowed) noexcept;

// True where arithmetic that reads or yields subnormal numbers takes microcode assists
// of about a hundred cycles (Intel's processors), so that a kernel does better to form
// such values by another route that gives the same bits; false where the processor
// handles them at full speed (AMD's), or when a test has said so.
bool subnormals_are_slow() noexcept;

// For tests: which answer subnormals_are_slow() gives. Process-wide.
enum class SubnormalRoute { processor, avoid, plain };
void choose_subnormal_route(SubnormalRoute route) noexcept;

#ifdef MOSSLIB_AVX2_LANES
// Kernel::run inlined, with everything it calls, into a function compiled for AVX2.
template <class Kernel, class... Args>
__attribute__((target("avx2"), flatten)) void run_in_avx2_lanes(Args... args) {
    Kernel::run(args...);
}

// The same for AVX-512 on 256-bit registers. The instruction set has fused
// multiply-adds, but -ffp-contract=off keeps the compiler from forming them.
template <class Kernel, class... Args>
__attribute__((target("avx2,avx512f,avx512vl,avx512dq"), flatten)) void run_in_avx512_lanes(Args... args) {
    Kernel::run(args...);
}
#endif

// Kernel::run(args...) on the widest lanes available. Kernel::run must be an always-inline
// static function whose lanes are independent, so that both clones give the same bits.
template <class Kernel, class... Args>
inline void run_in_lanes(Args... args) {
#ifdef MOSSLIB_AVX2_LANES
    if (avx2_lanes()) return run_in_avx2_lanes<Kernel, Args...>(args...);
#endif
    Kernel::run(args...);
}

}  // namespace mosslib::common
