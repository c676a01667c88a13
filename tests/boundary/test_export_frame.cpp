#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "mosslib.h"

extern "C" const char *mosslib_c_version(void);

TEST(ExportFrame, VersionIsThreeNumbersAndReachableFromC) {
    const char *v = mosslib_version();
    int a = -1, b = -1, c = -1;
    ASSERT_EQ(std::sscanf(v, "%d.%d.%d", &a, &b, &c), 3) << v;
    EXPECT_STREQ(mosslib_c_version(), v);
}

TEST(ExportFrame, LastErrorStartsEmpty) { EXPECT_STREQ(mosslib_last_error(), ""); }

namespace {

struct Call {
    const char *name;
    bool lowers;
    std::function<void()> run;
};

// One small call of each of the ten exports.
std::vector<Call> every_export() {
    static std::array<double, 24> p = [] {
        std::array<double, 24> q{};
        const double v[24] = {0, 33, 0.1, 0.05, 0.25, 1, 3, 2, 1, 1, 2, 3,
                              0.05, 128.5, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 81.5, 0.15, 0.3, 0};
        std::copy(v, v + 24, q.begin());
        return q;
    }();
    static std::vector<double> out(512);
    static std::array<int32_t, 27> ints = {1, 2, 1, 1, -2, 256, 0, 1, 0, 0};
    static std::array<double, 37> reals = [] {
        std::array<double, 37> r{};
        r[0] = 20, r[1] = 4.2, r[10] = r[9] = r[8] = 2, r[19] = 1, r[26] = 128, r[27] = 0.1, r[29] = 0.3;
        r[30] = r[31] = r[32] = -200;
        return r;
    }();
    static const std::array<int32_t, 5> ib = {0, 1, 256, 15, 0};
    static const std::array<double, 29> db = [] {
        std::array<double, 29> d{};
        d[1] = 0.5, d[4] = 0.08, d[5] = 128.5, d[7] = 0.25, d[19] = 0.6;
        return d;
    }();
    ints[26] = 1;
    return {
        {"sext", true, [] { sext(p.data(), out.data()); }},
        {"sextgen", true, [] { sextgen(p.data(), out.data()); }},
        {"sextgen_ss", true, [] { sextgen_ss(p.data(), out.data()); }},
        {"sextgen_sl", true, [] { sextgen_sl(p.data(), out.data()); }},
        {"doubl", false, [] { doubl(p.data(), out.data()); }},
        {"VogGenVel_ss", true, [] { VogGenVel_ss(p.data(), out.data()); }},
        {"CSTfdll", true, [] { CSTfdll(p.data(), out.data()); }},
        {"ttt", true, [] { ttt(ints.data(), reals.data(), out.data()); }},
        {"tkv", true, [] { tkv(ints.data(), reals.data(), out.data()); }},
        {"parl", true, [] { parl(ib.data(), db.data(), out.data()); }},
    };
}

// In a fresh child process at nice 0: the nice value before and after the call, with
// the priority step on and, from nice 0 again, with it switched off. {-1, ...} when
// the child cannot return to nice 0 (not permitted once the test itself runs niced).
std::array<int, 4> nice_around_call(const Call &c) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return {-100, 0, 0, 0};
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        std::array<int, 4> v = {-1, 0, 0, 0};
        if (setpriority(PRIO_PROCESS, 0, 0) == 0) {
            errno = 0;
            v[0] = getpriority(PRIO_PROCESS, 0);
            c.run();
            v[1] = getpriority(PRIO_PROCESS, 0);
            setpriority(PRIO_PROCESS, 0, 0);
            mosslib_set_priority_step(0);
            c.run();
            v[2] = getpriority(PRIO_PROCESS, 0);
            v[3] = errno;
        }
        const bool ok = write(pipefd[1], v.data(), sizeof v) == static_cast<ssize_t>(sizeof v);
        _exit(ok ? 0 : 1);
    }
    close(pipefd[1]);
    std::array<int, 4> v = {-100, 0, 0, 0};
    if (read(pipefd[0], v.data(), sizeof v) != static_cast<ssize_t>(sizeof v)) v[0] = -100;
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) v[0] = -100;
    return v;
}

}  // namespace

TEST(ExportFrame, EveryExportButDoublLowersThePriorityFromNiceZeroTo19) {
    for (const Call &c : every_export()) {
        const auto [before, after, switched_off, err] = nice_around_call(c);
        ASSERT_NE(before, -100) << c.name << ": the child failed";
        if (before == -1) GTEST_SKIP() << "cannot return a child to nice 0 here (run as root, as CI does)";
        ASSERT_EQ(before, 0) << c.name;
        ASSERT_EQ(err, 0) << c.name;
        EXPECT_EQ(after, c.lowers ? 19 : 0) << c.name;
        EXPECT_EQ(switched_off, 0) << c.name << " with the priority step off";
    }
}
