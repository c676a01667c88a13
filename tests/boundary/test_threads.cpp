// Thread counts, progress and cancellation through the C boundary: every thread count
// gives the bits of the calling thread alone, whatever the input and however it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "catalog_call.h"
#include "mosslib.h"

namespace {

using mosslib::testing::CatalogCall;

class Threads {
public:
    explicit Threads(int n) : previous_(mosslib_set_threads(n)) {}
    ~Threads() { mosslib_set_threads(previous_); }
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;

private:
    int previous_;
};

struct Outcome {
    std::vector<double> values;
    std::string error;
};

using Call = std::function<std::vector<double>()>;

Outcome run_on(int threads, const Call &call) {
    const Threads t(threads);
    Outcome o;
    o.values = call();
    o.error = mosslib_last_error();
    return o;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// 2, 3 and 8 threads against the calling thread alone.
void expect_same_for_every_count(const char *what, const Call &call) {
    const Outcome alone = run_on(1, call);
    for (int n : {2, 3, 8}) {
        const Outcome o = run_on(n, call);
        EXPECT_TRUE(same_bits(o.values, alone.values)) << what << " on " << n << " threads";
        EXPECT_EQ(o.error, alone.error) << what << " on " << n << " threads";
    }
}

Call ttt_call(CatalogCall c) {
    return [c] {
        std::vector<double> s(8192, 0.0);
        EXPECT_EQ(ttt(c.ints.data(), c.reals.data(), s.data()), 2);
        return s;
    };
}

Call parl_call(CatalogCall c) {
    return [c] {
        std::vector<double> s(256, 0.0);
        EXPECT_EQ(parl(c.ints.data(), c.reals.data(), s.data()), 1);
        return s;
    };
}

CatalogCall ttt_input() { return CatalogCall("ttt"); }

// Spin 1 with g far above any physical value: the Zeeman elements overflow once the
// field leaves the z axis far enough, so directions 9 and up of this one-angle grid
// fail and 1 to 8 do not.
CatalogCall ttt_failing_from_direction_9() {
    CatalogCall c = ttt_input();
    c.set("copies", 0).set("rings", 40);
    c.reals[8] = c.reals[9] = 1.9683e154;  // gx1, gy1
    return c;
}

TEST(ThreadCount, EveryCountGivesTheSameBitsForTtt) {
    expect_same_for_every_count("representative input", ttt_call(ttt_input()));
    CatalogCall given = ttt_input(), automatic = ttt_input();
    given.reals[19] = -130.0;  // hyperfine shift given
    automatic.reals[19] = 0.0;  // chosen at the first pass of the first direction
    expect_same_for_every_count("given hyperfine shift", ttt_call(given));
    expect_same_for_every_count("automatic hyperfine shift", ttt_call(automatic));
    for (int route : {2, -1}) {
        CatalogCall c = ttt_input();
        c.ints[0] = route;
        expect_same_for_every_count(route == 2 ? "route B" : "route H", ttt_call(c));
    }
    CatalogCall two_spins = ttt_input();
    two_spins.ints[2] = 6;
    two_spins.set("rings", 6);
    two_spins.reals[5] = -0.8;
    two_spins.reals[25] = 0.5;
    expect_same_for_every_count("two spins, 36 levels", ttt_call(two_spins));
    CatalogCall wide = ttt_input();
    wide.ints[5] = 8192;
    expect_same_for_every_count("8192 channels", ttt_call(wide));
    CatalogCall by_level = ttt_input();
    by_level.ints[3] = 2;
    expect_same_for_every_count("level mode 2", ttt_call(by_level));
}

TEST(ThreadCount, TheLowestFailingDirectionIsReportedOnEveryCount) {
    const Call call = ttt_call(ttt_failing_from_direction_9());
    for (int n : {1, 2, 3, 8}) {
        const Outcome o = run_on(n, call);
        EXPECT_NE(o.error.find("field direction 9 "), std::string::npos) << n << " threads: " << o.error;
        EXPECT_TRUE(std::all_of(o.values.begin(), o.values.begin() + 256, [](double x) { return std::isnan(x); }));
    }
}

TEST(ThreadCount, TkvGivesTheSameBitsOnEveryCount) {
    const CatalogCall t = ttt_input();
    CatalogCall k("tkv");
    std::copy(t.reals.begin(), t.reals.end(), k.reals.begin());
    std::copy(t.ints.begin(), t.ints.begin() + 10, k.ints.begin());
    k.ints[26] = t.ints[3];
    std::vector<double> measured(256, 0.5);
    expect_same_for_every_count("tkv", [&] { return std::vector<double>{tkv(k.ints.data(), k.reals.data(), measured.data())}; });
}

TEST(ThreadCount, EveryCountGivesTheSameBitsForParl) {
    CatalogCall two_levels("parl");
    two_levels.set("multiplicity", 2).set("grid_level", 5);
    expect_same_for_every_count("2 levels, grid level 5", parl_call(two_levels));
    CatalogCall six_levels("parl");
    six_levels.set("multiplicity", 6).set("grid_level", 2);
    expect_same_for_every_count("6 levels, grid level 2", parl_call(six_levels));
    // An S = 2 ion whose decomposition stops short of diagonal at some orientations:
    // those take the resolvent route.
    CatalogCall stubborn("parl");
    const double v[] = {0, 0.8, 4e-4, 3, 0.1, 128.5, 0, 0.25, 0, 68000, 65, 2, 2, 2, -55000, -220000, -55000, 5};
    std::fill(stubborn.reals.begin(), stubborn.reals.end(), 0.0);
    std::copy(std::begin(v), std::end(v), stubborn.reals.begin());
    stubborn.ints = {0, 5, 0, 15, 2};
    expect_same_for_every_count("slowly converging S = 2, grid level 2", parl_call(stubborn));
}

// A progress callback that keeps the fractions and cancels at the first report when
// told to.
struct Progress {
    std::vector<double> fractions;
    bool cancel = false;
    static int32_t MOSSLIB_CALL report(double fraction, void *user) {
        auto &p = *static_cast<Progress *>(user);
        p.fractions.push_back(fraction);
        return p.cancel ? 1 : 0;
    }
    explicit Progress(bool c) : cancel(c) { mosslib_set_progress(&report, this); }
    ~Progress() { mosslib_set_progress(nullptr, nullptr); }
};

// About 20,000 directions: a few hundred milliseconds.
CatalogCall long_ttt() {
    CatalogCall c = ttt_input();
    c.set("copies", 99).set("rings", 20);
    return c;
}

TEST(Progress, FractionsNeverDecreaseAndEndAtOne) {
    for (int n : {1, 2}) {
        const Threads t(n);
        const Outcome want = run_on(1, ttt_call(long_ttt()));
        Progress p(false);
        const std::vector<double> got = ttt_call(long_ttt())();
        EXPECT_TRUE(same_bits(got, want.values)) << n << " threads";
        ASSERT_GE(p.fractions.size(), 2u) << n << " threads";
        EXPECT_TRUE(std::is_sorted(p.fractions.begin(), p.fractions.end())) << n << " threads";
        EXPECT_GE(p.fractions.front(), 0.0);
        EXPECT_EQ(p.fractions.back(), 1.0);
    }
}

TEST(Progress, ANonZeroAnswerCancelsWithNaNAndSaysSo) {
    CatalogCall grid("parl");
    grid.set("multiplicity", 6).set("grid_level", 5);
    CatalogCall k("tkv");
    const CatalogCall t = long_ttt();
    std::copy(t.reals.begin(), t.reals.end(), k.reals.begin());
    std::copy(t.ints.begin(), t.ints.begin() + 10, k.ints.begin());
    for (int n : {1, 2, 8}) {
        const Threads threads(n);
        Progress p(true);
        const std::vector<double> s = ttt_call(t)();
        EXPECT_STREQ(mosslib_last_error(), "cancelled");
        EXPECT_TRUE(std::all_of(s.begin(), s.begin() + 256, [](double x) { return std::isnan(x); }));
        EXPECT_TRUE(std::all_of(s.begin() + 256, s.end(), [](double x) { return x == 0.0; }));
        const std::vector<double> q = parl_call(grid)();
        EXPECT_STREQ(mosslib_last_error(), "cancelled");
        EXPECT_TRUE(std::all_of(q.begin(), q.end(), [](double x) { return std::isnan(x); }));
        std::vector<double> measured(256, 0.5);
        EXPECT_TRUE(std::isnan(tkv(k.ints.data(), k.reals.data(), measured.data())));
        EXPECT_STREQ(mosslib_last_error(), "cancelled");
        EXPECT_EQ(p.fractions.size(), 3u);
    }
    // The callback belongs to the thread that set it.
    Progress p(true);
    std::thread([&] { EXPECT_FALSE(std::isnan(ttt_call(ttt_input())()[0])); }).join();
}

// A callback slower than the reporting interval: once it has said cancel, it is not
// asked again while the call winds down.
TEST(Progress, ACancelIsAskedOnceEvenWhenTheCallbackIsSlow) {
    struct Slow {
        int calls = 0;
        static int32_t MOSSLIB_CALL report(double, void *user) {
            ++static_cast<Slow *>(user)->calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            return 1;
        }
    };
    CatalogCall grid("parl");
    grid.set("multiplicity", 6).set("grid_level", 5);
    for (int n : {1, 2, 8}) {
        const Threads threads(n);
        Slow slow;
        mosslib_set_progress(&Slow::report, &slow);
        const std::vector<double> q = parl_call(grid)();
        const std::vector<double> s = ttt_call(long_ttt())();
        mosslib_set_progress(nullptr, nullptr);
        EXPECT_TRUE(std::isnan(q[0]) && std::isnan(s[0])) << n << " threads";
        EXPECT_EQ(slow.calls, 2) << n << " threads";
    }
}

std::size_t threads_of_process() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

TEST(ThreadPool, HostThreadsCallingAtOnceShareOnePool) {
    const CatalogCall a = ttt_input();
    CatalogCall b("parl");
    b.set("multiplicity", 2).set("grid_level", 5);
    const Outcome want_a = run_on(1, ttt_call(a)), want_b = run_on(1, parl_call(b));
    const Threads t(3);
    // A first thread start may start a helper of the runtime (ThreadSanitizer's).
    std::thread([] {}).join();
    const std::size_t before = threads_of_process();
    std::vector<Outcome> got(8);
    std::vector<std::thread> hosts;
    for (std::size_t i = 0; i < got.size(); ++i)
        hosts.emplace_back([&, i] {
            got[i].values = i % 2 ? parl_call(b)() : ttt_call(a)();
            got[i].error = mosslib_last_error();
        });
    for (auto &h : hosts) h.join();
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(same_bits(got[i].values, i % 2 ? want_b.values : want_a.values)) << "host thread " << i;
        EXPECT_EQ(got[i].error, "");
    }
    // At most the two workers of a 3-thread count were started, not two per host thread.
    EXPECT_LE(threads_of_process(), before + 2);
}

// Run by CTest alone, with MOSSLIB_THREADS set and under a one-core affinity mask.
TEST(ThreadCount, DISABLED_DefaultFollowsTheEnvironmentAndTheAffinity) {
    const char *expected = std::getenv("MOSSLIB_EXPECTED_THREADS");
    ASSERT_NE(expected, nullptr) << "run by CTest with MOSSLIB_EXPECTED_THREADS";
    mosslib_set_threads(0);
    EXPECT_EQ(mosslib_threads(), std::atoi(expected));
    EXPECT_EQ(mosslib_set_threads(5), 0);
    EXPECT_EQ(mosslib_threads(), 5);
    EXPECT_EQ(mosslib_set_threads(0), 5);
    EXPECT_EQ(mosslib_threads(), std::atoi(expected));
}

}  // namespace
