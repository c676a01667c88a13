// Out of memory on a thread's first call: every allocation that call makes (on its own
// thread and, with two threads, on a worker of the pool) is made to fail in turn (this
// program replaces malloc and its relatives). Each time the call either computes the
// bits of a call with memory or refuses with NaN and "no memory for" its work space,
// and the host lives on; the thread's next call, with memory, computes normally.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The example inputs of every model, shared with the Windows host, whose driver is
// unused here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "example_calls.h"
#pragma GCC diagnostic pop

// glibc's own allocator, under the names it exports for replacements to call.
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
}

namespace {
// While armed, allocations (of any thread: the call's own and its pool workers') are
// counted and the one the countdown reaches fails (a countdown of -1 fails none).
std::atomic<bool> g_armed{false};
std::atomic<long> g_countdown{-1};
std::atomic<long> g_seen{0};

bool fail_now() {
    if (!g_armed.load(std::memory_order_relaxed)) return false;
    ++g_seen;
    if (g_countdown.fetch_sub(1) != 0) return false;
    errno = ENOMEM;
    return true;
}
}  // namespace

extern "C" {
void *malloc(std::size_t n) { return fail_now() ? nullptr : __libc_malloc(n); }
void *calloc(std::size_t k, std::size_t n) { return fail_now() ? nullptr : __libc_calloc(k, n); }
void *realloc(void *p, std::size_t n) { return fail_now() ? nullptr : __libc_realloc(p, n); }
void free(void *p) { __libc_free(p); }
void *memalign(std::size_t a, std::size_t n) { return fail_now() ? nullptr : __libc_memalign(a, n); }
void *aligned_alloc(std::size_t a, std::size_t n) { return memalign(a, n); }
int posix_memalign(void **p, std::size_t a, std::size_t n) {
    void *q = memalign(a, n);
    if (!q) return ENOMEM;
    *p = q;
    return 0;
}
}

namespace {

struct Outcome {
    std::vector<double> out;
    std::string error;
};

// One export's call, the length of what it fills, and whether it has a work space.
struct Case {
    const char *name;
    std::function<void(double *)> call;
    std::size_t n;
    bool engine;
};

std::vector<Case> cases() {
    const struct {
        const char *name;
        analytic_fn fn;
    } analytic[] = {{"sext", &sext},   {"sextgen", &sextgen},           {"sextgen_ss", &sextgen_ss},
                    {"sextgen_sl", &sextgen_sl}, {"doubl", &doubl}, {"VogGenVel_ss", &VogGenVel_ss},
                    {"CSTfdll", &CSTfdll}};
    std::vector<Case> c;
    for (const auto &a : analytic) {
        const analytic_example *e = analytic_example_named(a.name);
        c.push_back({a.name, [fn = a.fn, e](double *s) { fn(e->p, s); }, std::size_t(e->channels), false});
    }
    c.push_back({"ttt", [](double *s) {
                     double r[37];
                     ttt_reals(r);
                     ttt(ttt_ints, r, s);
                 }, 256, true});
    c.push_back({"tkv", [](double *s) {
                     int32_t ints[27];
                     tkv_ints(ints);
                     double r[37], measured[256] = {};
                     ttt_reals(r);
                     s[0] = tkv(ints, r, measured);
                 }, 1, true});
    c.push_back({"parl", [](double *s) {
                     double d[29];
                     parl_db(d);
                     parl(parl_ib, d, s);
                 }, 256, true});
    return c;
}

// Runs the case on a new thread; allocation number `fail_at` from the call's start
// fails; `allocations` is how many the first call made.
Outcome first_call(const Case &c, long fail_at, long &allocations, Outcome *second = nullptr) {
    Outcome o;
    o.out.assign(c.n, 0.0);
    std::thread([&] {
        g_seen = 0;
        g_countdown = fail_at;
        g_armed = true;
        c.call(o.out.data());
        g_armed = false;
        allocations = g_seen;
        o.error = mosslib_last_error();
        if (second) {
            second->out.assign(c.n, 0.0);
            c.call(second->out.data());
            second->error = mosslib_last_error();
        }
    }).join();
    return o;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(OutOfMemory, EveryAllocationOfAThreadsFirstCallFailsSafely) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
    const int32_t setting = mosslib_set_threads(1);
    for (int n : {1, 2}) {  // the calling thread alone, then with a worker of the pool
        mosslib_set_threads(n);
        for (const Case &c : cases()) {
            SCOPED_TRACE(c.name + std::string(" on ") + std::to_string(n) + " threads");
            long allocations = 0;
            const Outcome reference = first_call(c, -1, allocations);
            ASSERT_EQ(reference.error, "");
            long refused = 0;
            for (long k = 0; k <= allocations; ++k) {
                SCOPED_TRACE(k);
                long seen = 0;
                Outcome again;
                const Outcome o = first_call(c, k, seen, &again);
                if (o.error.empty()) {
                    EXPECT_TRUE(same_bits(o.out, reference.out));
                } else {
                    ++refused;
                    EXPECT_NE(o.error.find("no memory for "), std::string::npos) << o.error;
                    for (double v : o.out) EXPECT_TRUE(std::isnan(v));
                }
                EXPECT_EQ(again.error, "");
                EXPECT_TRUE(same_bits(again.out, reference.out));
            }
            // The engines allocate their work spaces on a thread's first call; the
            // analytic models allocate nothing.
            EXPECT_EQ(refused > 0, c.engine) << allocations << " allocations";
        }
    }
    mosslib_set_threads(setting);
}

}  // namespace
