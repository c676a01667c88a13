// libFuzzer harness of the ten exports. The first byte picks the export, the rest fills
// its parameter arrays (special values, whole numbers near every limit, moderate values
// on many scales, raw bit patterns) and the host's floating-point state. Every call is
// checked against the contract of the header and README:
//  - the parameter arrays (allocated to exactly the documented extent) are unchanged;
//  - nothing is written outside the documented channels (guard elements on both sides,
//    untouched channels keep a signalling-NaN pattern no arithmetic produces);
//  - the host's MXCSR and x87 control word are as the host left them;
//  - mosslib_last_error() is a terminated string, non-empty after a refusal, empty
//    where the model has nothing to report;
//  - return values are the documented constants (NaN from a refusing tkv).
// Sizes that would make a call slow (large powder grids, relaxation grids of many
// orientations) are kept small; their limits are still crossed.
//
// Two profiles from this one source. The bounded one (MOSSLIB_FUZZ_BOUNDED=1,
// fuzz_exports) caps the work of an accepted call - at most 4 field directions, 12
// electronic levels and 64 channels for ttt, 4 orientations of at most 3 states or one
// of up to 6 for parl - so that the fuzzer spends its time on the variety of inputs
// rather than on large grids; every refused size is still drawn. It also runs one
// engine call in eight on two threads, the others on the calling thread. The unbounded one
// (fuzz_exports_unbounded) draws the accepted sizes up to the limits too.
#include <fuzzer/FuzzedDataProvider.h>
#include <immintrin.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "mosslib.h"

#ifndef MOSSLIB_FUZZ_BOUNDED
#define MOSSLIB_FUZZ_BOUNDED 0
#endif

namespace {

constexpr bool kBounded = MOSSLIB_FUZZ_BOUNDED != 0;

constexpr std::size_t kGuard = 8;
constexpr std::uint64_t kUntouched = 0x7ff4deadbeef0001ull;  // a signalling NaN
constexpr std::uint64_t kGuardBits = 0x7ff4deadbeef0002ull;
constexpr unsigned kIeeeDefault = 0x1F80;

[[noreturn]] void fail(const char *model, const char *what) {
    _mm_setcsr(kIeeeDefault);
    std::fprintf(stderr, "contract broken by %s: %s (last error: \"%s\")\n", model, what, mosslib_last_error());
    std::abort();
}

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

double from_bits(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// A real parameter: special values, moderate values over twelve decades, raw bits.
double real_value(FuzzedDataProvider &in) {
    static const double special[] = {0.0,
                                     -0.0,
                                     std::numeric_limits<double>::quiet_NaN(),
                                     std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::max(),
                                     -std::numeric_limits<double>::max(),
                                     std::numeric_limits<double>::denorm_min(),
                                     std::numeric_limits<double>::min(),
                                     1e300,
                                     3e38,
                                     -3e38,
                                     2147483648.0,
                                     -2147483649.0};
    constexpr int kSpecial = sizeof special / sizeof special[0];
    const int pick = in.ConsumeIntegralInRange(0, 63);
    if (pick < kSpecial) return special[pick];
    if (pick == kSpecial) return from_bits(in.ConsumeIntegral<std::uint64_t>());
    static const double scale[] = {1e-6, 1e-3, 0.01, 0.1, 1, 10, 100, 1e3, 1e4, 1e5, 1e6};
    return in.ConsumeIntegral<std::int16_t>() / 1024.0 * scale[pick % 11];
}

// A whole-number parameter: mostly in [lo, hi], sometimes an extreme.
std::int32_t int_value(FuzzedDataProvider &in, std::int32_t lo, std::int32_t hi) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
    case 0: return INT_MIN;
    case 1: return INT_MAX;
    case 2: return -1;
    default: return in.ConsumeIntegralInRange(lo, hi);
    }
}

// A double array of exactly n elements on the heap, filled from the input.
struct Reals {
    std::vector<double> values, copy;
    Reals(FuzzedDataProvider &in, std::size_t n) : values(n) {
        for (double &x : values) x = real_value(in);
        copy = values;
    }
    double *data() { return values.data(); }
    void check(const char *model) const {
        if (std::memcmp(values.data(), copy.data(), values.size() * sizeof(double)) != 0)
            fail(model, "a real parameter array was changed");
    }
};

struct Ints {
    std::vector<std::int32_t> values, copy;
    explicit Ints(std::size_t n) : values(n) {}
    std::int32_t &operator[](std::size_t i) { return values[i]; }
    std::int32_t *data() { return values.data(); }
    void freeze() { copy = values; }
    void check(const char *model) const {
        if (values != copy) fail(model, "an integer parameter array was changed");
    }
};

// A spectrum of n channels between guard elements.
struct Spectrum {
    std::vector<double> raw;
    std::size_t n;
    explicit Spectrum(std::size_t channels) : raw(channels + 2 * kGuard, from_bits(kGuardBits)), n(channels) {
        for (std::size_t i = 0; i < n; ++i) raw[kGuard + i] = from_bits(kUntouched);
    }
    double *data() { return raw.data() + kGuard; }
    std::uint64_t at(std::size_t i) const { return bits(raw[kGuard + i]); }
    // Channels [0, written) written, [written, n) untouched, guards intact; `nan`: the
    // written ones are NaN.
    void check(const char *model, std::size_t written, bool nan) const {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (bits(raw[i]) != kGuardBits || bits(raw[kGuard + n + i]) != kGuardBits)
                fail(model, "wrote outside the spectrum array");
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t u = at(i);
            if (i >= written && u != kUntouched) fail(model, "wrote a channel it does not own");
            if (i < written && u == kUntouched) fail(model, "left a channel it owns unwritten");
            if (i < written && nan && !std::isnan(from_bits(u))) fail(model, "a refused call wrote a number");
        }
    }
    bool all_nan(std::size_t count) const {
        for (std::size_t i = 0; i < count; ++i)
            if (!std::isnan(from_bits(at(i)))) return false;
        return true;
    }
};

// The host's floating-point state for one call: rounding, flush-to-zero,
// denormals-are-zero, unmasked exceptions and raised flags as the input says.
struct HostFloat {
    unsigned mxcsr;
    unsigned short x87;
    explicit HostFloat(FuzzedDataProvider &in) {
        const unsigned b = in.ConsumeIntegral<std::uint16_t>();
        mxcsr = kIeeeDefault;
        mxcsr = (mxcsr & ~0x6000u) | ((b & 3u) << 13);  // rounding mode
        if (b & 4u) mxcsr |= 0x8000u;                   // flush to zero
        if (b & 8u) mxcsr |= 0x0040u;                   // denormals are zero
        mxcsr &= ~(((b >> 4) & 0x3Fu) << 7);            // unmask exceptions
        mxcsr |= (b >> 10) & 0x3Fu;                     // raised flags
    }
    template <class Call>
    auto run(const char *model, Call call) {
        unsigned short cw_before;
        __asm__ volatile("fnstcw %0" : "=m"(cw_before));
        _mm_setcsr(mxcsr);
        const auto result = call();
        const unsigned after = _mm_getcsr();
        _mm_setcsr(kIeeeDefault);
        unsigned short cw_after;
        __asm__ volatile("fnstcw %0" : "=m"(cw_after));
        if (after != mxcsr) fail(model, "the host's MXCSR was not restored");
        if (cw_after != cw_before) fail(model, "the host's x87 control word was changed");
        return result;
    }
};

// mosslib_last_error(): a string that ends within the library's 512-byte buffer.
const char *checked_error(const char *model) {
    const char *e = mosslib_last_error();
    if (!e) fail(model, "mosslib_last_error() returned NULL");
    if (strnlen(e, 512) >= 512) fail(model, "mosslib_last_error() is not terminated");
    return e;
}

void expect_refusal(const char *model, bool refused) {
    const bool has_reason = checked_error(model)[0] != '\0';
    if (refused && !has_reason) fail(model, "refused without a reason");
}

// The seven analytic models: p[0..extent-1], channels written, never refused.
void analytic(FuzzedDataProvider &in, int which) {
    struct Model {
        const char *name;
        double (*fn)(const double *, double *);
        std::size_t extent, channels;
    };
    static const Model models[] = {
        {"sext", sext, 14, 256},       {"sextgen", sextgen, 20, 256},           {"sextgen_ss", sextgen_ss, 20, 256},
        {"sextgen_sl", sextgen_sl, 21, 512}, {"doubl", doubl, 7, 256},        {"VogGenVel_ss", VogGenVel_ss, 23, 256},
        {"CSTfdll", CSTfdll, 21, 256}};
    const Model &m = models[which];
    HostFloat host(in);
    Reals p(in, m.extent);
    Spectrum s(m.channels);
    const double r = host.run(m.name, [&] { return m.fn(p.data(), s.data()); });
    if (bits(r) != bits(0.1)) fail(m.name, "did not return 0.1");
    p.check(m.name);
    s.check(m.name, m.channels, false);
    if (checked_error(m.name)[0] != '\0') fail(m.name, "an analytic model reported an error");
}

// The integer block of ttt and tkv, kept to small grids (in the bounded profile to
// a few directions, levels and channels).
void spinham_ints(FuzzedDataProvider &in, Ints &ints, bool objective) {
    ints[0] = int_value(in, -2, 2);
    ints[1] = int_value(in, 0, 8);
    ints[2] = int_value(in, 0, kBounded ? 2 : 8);
    const std::int64_t levels = static_cast<std::int64_t>(ints[1]) * ints[2];
    if (kBounded && ints[1] >= 1 && ints[2] >= 1 && levels > 12 && levels <= 36)
        ints[1] = 12 / ints[2];  // an accepted system of at most 12 levels
    ints[3] = int_value(in, 0, 3);
    ints[4] = int_value(in, -3, 3);
    ints[5] = objective && in.ConsumeBool() ? 256 : int_value(in, 0, kBounded ? 64 : 600);
    if (ints[5] == INT_MAX) ints[5] = in.ConsumeBool() && !kBounded ? 8192 : 8193;
    ints[6] = int_value(in, 0, kBounded ? 1 : 4);
    static const std::int32_t big_rings[] = {(1 << 20) + 1, 6587, 65536};
    ints[7] = in.ConsumeIntegralInRange(0, 15) == 0 ? big_rings[in.ConsumeIntegralInRange(0, 2)]
                                                    : int_value(in, 0, kBounded ? 2 : 6);
    if (ints[7] == 6587) ints[6] = 99;  // 99 n (n + 1)/2 > 2^31 - 1
    if (ints[7] == 65536) ints[6] = 1;
    if (kBounded && ints[6] > 1 && ints[6] <= 99 && ints[7] >= 1 && ints[7] <= (1 << 20) &&
        static_cast<std::int64_t>(ints[6]) * ints[7] * (ints[7] + 1) / 2 <= INT_MAX)
        ints[6] = 1;  // an accepted two-angle grid: m = 1, n <= 2, at most 3 directions
    if (kBounded && ints[6] == 0 && ints[7] > 4 && ints[7] <= (1 << 20)) ints[7] = 4;  // one-angle grid
    ints[8] = in.ConsumeIntegralInRange(0, 1);
    ints[9] = in.ConsumeIntegralInRange(0, 1);
    if (objective) ints[26] = int_value(in, 0, 3);
}

// The refusals of the spin-Hamiltonian engine as the README lists them.
bool spinham_refuses(const Ints &c) {
    const std::int32_t m1 = c.values[1], m2 = c.values[2], g = c.values[5], m = c.values[6], n = c.values[7];
    if (m1 < 1 || m2 < 1 || m1 > 36 || m2 > 36 || m1 * m2 > 36) return true;
    const bool lines_only = c.values[9] == 1;
    if (!lines_only && (g < 1 || g > 8192)) return true;
    if (c.values[8] == 0) {
        if (n < 1 || m < 0 || m > 99) return true;
        if (n > (1 << 20)) return true;  // rings (m = 0), or far too many directions
        if (m > 0 && static_cast<std::int64_t>(m) * n * (n + 1) / 2 > INT_MAX) return true;
    }
    return !lines_only && (c.values[4] < -2 || c.values[4] > 2);
}

void ttt_call(FuzzedDataProvider &in) {
    Ints ints(10);
    spinham_ints(in, ints, false);
    ints.freeze();
    HostFloat host(in);
    Reals reals(in, 37);
    const std::int32_t g = ints[5];
    const bool lines_only = ints[9] == 1;
    const bool usable = g >= 1 && g <= 8192;
    Spectrum s(usable ? static_cast<std::size_t>(g) : 16);
    const bool refused = spinham_refuses(ints);
    const std::int32_t r = host.run("ttt", [&] { return ttt(ints.data(), reals.data(), s.data()); });
    if (r != 2) fail("ttt", "did not return 2");
    ints.check("ttt");
    reals.check("ttt");
    expect_refusal("ttt", refused);
    const bool failed = checked_error("ttt")[0] != '\0';
    if (failed && !refused && !std::strstr(mosslib_last_error(), "eigen-solver"))
        fail("ttt", "a reason without a refusal or a solver failure");
    const std::size_t written = lines_only || !usable ? 0 : static_cast<std::size_t>(g);
    s.check("ttt", written, failed);
}

void tkv_call(FuzzedDataProvider &in) {
    Ints ints(27);
    spinham_ints(in, ints, true);
    ints.freeze();
    HostFloat host(in);
    Reals reals(in, 37);
    Reals measured(in, 256);
    const bool refused = ints[5] != 256 || ints[9] == 1 || [&] {
        Ints as_ttt = ints;
        as_ttt[3] = ints[26];
        return spinham_refuses(as_ttt);
    }();
    const double r = host.run("tkv", [&] { return tkv(ints.data(), reals.data(), measured.data()); });
    ints.check("tkv");
    reals.check("tkv");
    measured.check("tkv");
    expect_refusal("tkv", refused);
    if (refused && !std::isnan(r)) fail("tkv", "a refusal did not return NaN");
    if (!refused && checked_error("tkv")[0] != '\0' && !std::strstr(mosslib_last_error(), "eigen-solver"))
        fail("tkv", "a reason without a refusal or a solver failure");
}

void parl_call(FuzzedDataProvider &in) {
    Ints ib(5);
    ib[0] = int_value(in, -1, 1);
    ib[1] = in.ConsumeBool() ? int_value(in, 0, 7) : int_value(in, 0, 3);  // mostly small matrices
    ib[2] = kBounded && in.ConsumeIntegralInRange(0, 7) != 0 ? int_value(in, -1, 64) : int_value(in, -1, 257);
    ib[4] = int_value(in, -1, 1);
    if (ib[4] == INT_MAX) ib[4] = 1;
    if (kBounded && ib[4] > 0 && ib[1] > 3 && ib[1] <= 6) ib[4] = 0;  // one orientation of 4 to 6 states
    // A grid: the identity subset only (4 orientations), or the trigonal setting.
    static const std::int32_t symmetry[] = {0, 1, 9, 20, 21};
    ib[3] = ib[4] > 0 ? symmetry[in.ConsumeIntegralInRange(0, 4)] : int_value(in, 0, 30);
    ib.freeze();
    HostFloat host(in);
    Reals db(in, 29);
    Spectrum s(256);
    const bool refused = ib[1] < 1 || ib[1] > 6 || ib[2] < 0 || ib[2] > 256 || ib[4] < 0;
    const std::int32_t r = host.run("parl", [&] { return parl(ib.data(), db.data(), s.data()); });
    if (r != 1) fail("parl", "did not return 1");
    ib.check("parl");
    db.check("parl");
    expect_refusal("parl", refused);
    const bool failed = checked_error("parl")[0] != '\0';
    const std::size_t written = refused ? 256 : (ib[2] == 0 ? 256 : static_cast<std::size_t>(ib[2]));
    s.check("parl", written, failed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    mosslib_set_priority_step(0);  // the fuzzer's own process stays at its priority
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int which = in.ConsumeIntegralInRange(0, 9);
    // The bounded profile runs most calls on the calling thread alone: waking the pool
    // costs more than a small call.
    if (kBounded && which >= 7) mosslib_set_threads(in.ConsumeIntegralInRange(0, 7) == 0 ? 2 : 1);
    if (which < 7)
        analytic(in, which);
    else if (which == 7)
        ttt_call(in);
    else if (which == 8)
        tkv_call(in);
    else
        parl_call(in);
    return 0;
}
