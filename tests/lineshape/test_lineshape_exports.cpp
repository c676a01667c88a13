// The seven analytic exports as a host calls them: return value, exactly the channels
// they own, parameters they do not read, the priority step, and concurrent calls.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "lineshape_cases.h"
#include "mosslib.h"
#include "test_support.h"

namespace {

using namespace mosslib::testing;

struct Export {
    const char *name;
    double (*fn)(const double *, double *);
    int channels;
    std::vector<int> reads;  // parameter indices the model reads
    bool lowers_priority;
    Params params;           // a realistic case
};

std::vector<int> range(std::initializer_list<std::pair<int, int>> spans) {
    std::vector<int> out;
    for (auto [a, b] : spans)
        for (int i = a; i <= b; ++i) out.push_back(i);
    return out;
}

const std::vector<Export> &exports() {
    static const std::vector<Export> all = [] {
        Params voigt = iron_general_sine();
        voigt[21] = 0.15, voigt[22] = 0.3;
        Params long_sine = iron_general_sine();
        long_sine[13] = 256.5, long_sine[20] = 512 / M_PI;
        return std::vector<Export>{
            {"sext", sext, 256, range({{1, 13}}), true, iron_sext()},
            {"sextgen", sextgen, 256, range({{1, 3}, {5, 19}}), true, iron_general()},
            {"sextgen_ss", sextgen_ss, 256, range({{1, 3}, {5, 19}}), true, iron_general_sine()},
            {"sextgen_sl", sextgen_sl, 512, range({{1, 3}, {5, 20}}), true, long_sine},
            {"doubl", doubl, 256, range({{1, 6}}), false, ferric_doublet()},
            {"VogGenVel_ss", VogGenVel_ss, 256, range({{1, 3}, {5, 19}, {21, 22}}), true, voigt},
            {"CSTfdll", CSTfdll, 256, range({{1, 20}}), true, iron_two_component()},
        };
    }();
    return all;
}

constexpr double kUnwritten = 7.25e77;  // a value no model produces here

TEST(LineshapeExports, ReturnPointOneWhateverTheInput) {
    for (const Export &e : exports()) {
        Params zero{};
        Params nan;
        nan.fill(kNaN);
        for (const Params *p : {&e.params, static_cast<const Params *>(&zero), static_cast<const Params *>(&nan)}) {
            GuardedSpectrum out(e.channels);
            EXPECT_EQ(e.fn(p->data(), out.data()), 0.1) << e.name;
            EXPECT_STREQ(mosslib_last_error(), "") << e.name;
        }
    }
}

TEST(LineshapeExports, WriteEveryChannelTheyOwnAndNothingBeyond) {
    for (const Export &e : exports()) {
        GuardedSpectrum out(e.channels, kUnwritten);
        const Params before = e.params;
        e.fn(e.params.data(), out.data());
        EXPECT_TRUE(out.guard_intact()) << e.name;
        for (int i = 0; i < e.channels; ++i) {
            EXPECT_NE(out[i], kUnwritten) << e.name << " channel " << i + 1;
            EXPECT_TRUE(std::isfinite(out[i])) << e.name << " channel " << i + 1;
        }
        EXPECT_EQ(std::memcmp(before.data(), e.params.data(), sizeof before), 0) << e.name;
    }
}

TEST(LineshapeExports, ParametersTheyDoNotReadHaveNoInfluence) {
    for (const Export &e : exports()) {
        GuardedSpectrum reference(e.channels);
        e.fn(e.params.data(), reference.data());
        for (double filler : {kNaN, -1e300, 0.0, 42.0}) {
            Params p;
            p.fill(filler);
            for (int i : e.reads) p[i] = e.params[i];
            GuardedSpectrum out(e.channels);
            e.fn(p.data(), out.data());
            for (int i = 0; i < e.channels; ++i)
                ASSERT_TRUE(same_bits(out[i], reference[i])) << e.name << " filler " << filler << " channel " << i + 1;
        }
        // And each index it does read matters somewhere.
        for (int i : e.reads) {
            Params p = e.params;
            p[i] = p[i] * 1.5 + 0.37;
            GuardedSpectrum out(e.channels);
            e.fn(p.data(), out.data());
            bool differs = false;
            for (int c = 0; c < e.channels; ++c) differs |= !same_bits(out[c], reference[c]);
            EXPECT_TRUE(differs) << e.name << " index " << i;
        }
    }
}

// Runs the export in a fresh child process and reports the child's nice value before
// and after the call.
std::pair<int, int> nice_around_call(const Export &e) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return {-100, -100};
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        errno = 0;
        int values[2];
        values[0] = getpriority(PRIO_PROCESS, 0);
        std::vector<double> out(e.channels);
        e.fn(e.params.data(), out.data());
        values[1] = getpriority(PRIO_PROCESS, 0);
        const bool ok = write(pipefd[1], values, sizeof values) == sizeof values;
        _exit(ok && errno == 0 ? 0 : 1);
    }
    close(pipefd[1]);
    int values[2] = {-100, -100};
    const bool got = read(pipefd[0], values, sizeof values) == sizeof values;
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {-100, -100};
    return {values[0], values[1]};
}

TEST(LineshapeExports, AllButDoublLowerThePriorityToNice19) {
    for (const Export &e : exports()) {
        const auto [before, after] = nice_around_call(e);
        ASSERT_NE(before, -100) << e.name << ": child failed";
        if (e.lowers_priority)
            EXPECT_EQ(after, 19) << e.name;
        else
            EXPECT_EQ(after, before) << e.name;
    }
}

TEST(LineshapeExports, ConcurrentCallsGiveTheSerialResults) {
    std::vector<std::vector<double>> serial;
    for (const Export &e : exports()) {
        serial.emplace_back(e.channels);
        e.fn(e.params.data(), serial.back().data());
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round)
                for (std::size_t k = 0; k < exports().size(); ++k) {
                    const Export &e = exports()[(k + t) % exports().size()];
                    std::vector<double> out(e.channels);
                    e.fn(e.params.data(), out.data());
                    for (int i = 0; i < e.channels; ++i)
                        mismatches[t] += !same_bits(out[i], serial[(k + t) % exports().size()][i]);
                }
        });
    for (auto &th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
