// All ten exports called at once from several threads, each thread with its own
// arrays, some of them refused: every result equals the one computed alone, and each
// thread reads its own last error. Run under ThreadSanitizer by ./run check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../lineshape/lineshape_cases.h"
#include "../relax/parl_call.h"
#include "mosslib.h"

namespace {

using namespace mosslib::testing;

struct Call {
    std::string name;
    std::function<double(std::vector<double> &)> run;  // fills the spectrum, returns the return value
    std::size_t channels;
    bool refused;
};

std::vector<Call> calls() {
    std::vector<Call> c;
    auto analytic = [&](const char *name, double (*fn)(const double *, double *), Params p, std::size_t n) {
        c.push_back({name, [fn, p](std::vector<double> &out) { return fn(p.data(), out.data()); }, n, false});
    };
    Params voigt = iron_general_sine();
    voigt[21] = 0.1;
    voigt[22] = 0.2;
    Params sl = iron_general_sine();
    sl[20] = 80.0;
    analytic("sext", sext, iron_sext(), 256);
    analytic("sextgen", sextgen, iron_general(), 256);
    analytic("sextgen_ss", sextgen_ss, iron_general_sine(), 256);
    analytic("sextgen_sl", sextgen_sl, sl, 512);
    analytic("doubl", doubl, ferric_doublet(), 256);
    analytic("VogGenVel_ss", VogGenVel_ss, voigt, 256);
    analytic("CSTfdll", CSTfdll, iron_two_component(), 256);

    // The representative spin-Hamiltonian input on a smaller grid, and its objective.
    std::vector<std::int32_t> ints = {1, 6, 1, 1, -1, 256, 1, 6, 0, 0};
    ints.resize(27);
    ints[26] = 1;
    std::vector<double> reals(37);
    reals[0] = 53.4, reals[1] = 4.2, reals[3] = -1.1;
    for (int i = 8; i <= 13; ++i) reals[i] = 2.0;
    reals[14] = 0.13, reals[19] = 6000.0, reals[26] = 127.0, reals[27] = 0.09, reals[28] = 0.38, reals[29] = 0.28;
    reals[30] = -187.0, reals[31] = -243.0, reals[32] = -227.0;
    c.push_back({"ttt", [=](std::vector<double> &out) { return double(ttt(ints.data(), reals.data(), out.data())); },
                 256, false});
    c.push_back({"tkv",
                 [=](std::vector<double> &out) {
                     std::vector<double> measured(256, 0.5);
                     out[0] = tkv(ints.data(), reals.data(), measured.data());
                     return 0.0;
                 },
                 1, false});
    std::vector<std::int32_t> too_many = ints;
    too_many[2] = 7;  // 6 x 7 levels
    c.push_back(
        {"ttt refused", [=](std::vector<double> &out) { return double(ttt(too_many.data(), reals.data(), out.data())); },
         256, true});
    ParlCall p;
    p.ib[1] = 2;
    c.push_back({"parl", [=](std::vector<double> &out) { return double(parl(p.ib.data(), p.db.data(), out.data())); },
                 256, false});
    ParlCall bad = p;
    bad.ib[2] = 300;
    c.push_back({"parl refused",
                 [=](std::vector<double> &out) { return double(parl(bad.ib.data(), bad.db.data(), out.data())); }, 256,
                 true});
    return c;
}

TEST(ConcurrentCalls, AllExportsAtOnceMatchTheirResultsAlone) {
    mosslib_set_priority_step(0);
    const std::vector<Call> all = calls();
    std::vector<std::vector<double>> alone;
    for (const Call &c : all) {
        alone.emplace_back(c.channels);
        c.run(alone.back());
        EXPECT_EQ(std::string(mosslib_last_error()).empty(), !c.refused) << c.name;
    }
    constexpr int kThreads = 4;
    std::vector<std::vector<std::string>> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (std::size_t k = 0; k < all.size(); ++k) {
                    const std::size_t i = (k + t * 3) % all.size();
                    std::vector<double> out(all[i].channels);
                    all[i].run(out);
                    if (std::memcmp(out.data(), alone[i].data(), out.size() * sizeof(double)) != 0)
                        faults[t].push_back(all[i].name + ": another spectrum");
                    if (std::string(mosslib_last_error()).empty() == all[i].refused)
                        faults[t].push_back(all[i].name + ": another thread's last error");
                }
        });
    for (std::thread &th : threads) th.join();
    mosslib_set_priority_step(1);
    for (int t = 0; t < kThreads; ++t)
        for (const std::string &f : faults[t]) ADD_FAILURE() << "thread " << t << ": " << f;
}

}  // namespace
