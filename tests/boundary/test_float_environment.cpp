// A host's floating-point state (unmasked exceptions, another rounding mode) neither
// ends the host on degenerate input nor changes a result, and the host gets its own
// state back. Each case runs in a child process: unmasked exceptions would otherwise
// leak into the test runner.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mosslib.h"

namespace {

constexpr int kTrapped = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW;

std::vector<double> sext_params(double width) {
    return {0, 33.0, 0.02, 0.04, width, 1.0, 3, 2, 1, 1, 2, 3, 0.05, 128.5};
}

std::vector<double> doubl_params(double width) { return {0, 0.35, 0.7, width, 1.0, 0.02, 128.5}; }

void ttt_inputs(double temperature, std::vector<int32_t> &ints, std::vector<double> &reals) {
    ints = {1, 1, 1, 1, -2, 256, 0, 1, 0, 0};
    ints.resize(27, 0);
    reals.assign(37, 0.0);
    reals[0] = 330.0;  // applied field, kG: metallic-iron-like sextet from the field alone
    reals[1] = temperature;
    for (int k = 8; k <= 13; ++k) reals[k] = 2.0;
    reals[19] = 1.0;
    reals[26] = 128.0;
    reals[27] = 0.1;
    reals[29] = 0.25;
}

void parl_inputs(double line_width, std::vector<int32_t> &ib, std::vector<double> &db) {
    ib = {0, 2, 0, 0, 0};
    db.assign(29, 0.0);
    db[4] = 0.08;
    db[5] = 128.5;
    db[7] = line_width;
    db[9] = 5000.0;
    db[16] = -220000.0;
    db[27] = 30.0;
}

struct Spectra {
    std::vector<double> sext, doubl, ttt, parl;
};

Spectra compute_all(double width, double temperature) {
    Spectra s;
    s.sext.resize(256);
    sext(sext_params(width).data(), s.sext.data());
    s.doubl.resize(256);
    doubl(doubl_params(width).data(), s.doubl.data());
    std::vector<int32_t> ints;
    std::vector<double> reals;
    ttt_inputs(temperature, ints, reals);
    s.ttt.resize(256);
    ttt(ints.data(), reals.data(), s.ttt.data());
    std::vector<int32_t> ib;
    std::vector<double> db;
    parl_inputs(width, ib, db);
    s.parl.resize(256);
    parl(ib.data(), db.data(), s.parl.data());
    return s;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool same_spectra(const Spectra &a, const Spectra &b) {
    return same_bits(a.sext, b.sext) && same_bits(a.doubl, b.doubl) && same_bits(a.ttt, b.ttt) &&
           same_bits(a.parl, b.parl);
}

// In the child: the host state survives every call and the results do not depend on it.
[[noreturn]] void check_under_host_state(int rounding, double width, double temperature) {
    const Spectra reference = compute_all(width, temperature);
    std::feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(kTrapped);
    std::fesetround(rounding);
    const Spectra under_host = compute_all(width, temperature);  // would raise SIGFPE if trapped
    const bool state_kept = fegetexcept() == kTrapped && std::fegetround() == rounding &&
                            std::fetestexcept(FE_ALL_EXCEPT) == 0;
    fedisableexcept(FE_ALL_EXCEPT);
    std::fesetround(FE_TONEAREST);
    std::_Exit(state_kept && same_spectra(reference, under_host) ? 0 : 1);
}

}  // namespace

TEST(HostFloatEnvironment, ResultsIndependentOfHostRoundingAndHostStateRestored) {
    EXPECT_EXIT(check_under_host_state(FE_UPWARD, 0.28, 4.2), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(check_under_host_state(FE_TOWARDZERO, 0.28, 4.2), ::testing::ExitedWithCode(0), "");
}

TEST(HostFloatEnvironment, UnmaskedExceptionsDoNotEndTheHostOnDegenerateInput) {
    // Zero widths and zero temperature divide by zero and form 0/0 inside the models.
    EXPECT_EXIT(check_under_host_state(FE_TONEAREST, 0.0, 0.0), ::testing::ExitedWithCode(0), "");
}

// ---- every exported function --------------------------------------------------------

// The example inputs of every model, shared with the Windows host, whose driver is
// unused here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "example_calls.h"
#pragma GCC diagnostic pop

namespace {

// What a sequence of calls returned and wrote, bit for bit, and the first function
// after which the host's floating-point state was not what the host had set.
struct Trace {
    std::vector<std::uint64_t> bits;
    bool check_state = false;
    int rounding = FE_TONEAREST;
    int flags = 0;
    std::string broken;

    void add(double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        bits.push_back(b);
    }
    void add(const double *v, int n) {
        for (int i = 0; i < n; ++i) add(v[i]);
    }
    void add(const void *p) { bits.push_back(reinterpret_cast<std::uintptr_t>(p)); }
    void add(const char *s) {
        for (; s && *s; ++s) bits.push_back(static_cast<unsigned char>(*s));
        bits.push_back(0);
    }
    void after(const char *name) {
        if (check_state && broken.empty() &&
            (fegetexcept() != kTrapped || std::fegetround() != rounding || std::fetestexcept(FE_ALL_EXCEPT) != flags))
            broken = name;
    }
};

// Every exported function, each model with its example input; the velocity scales
// also with a zero phase rate, which divides by zero.
void every_export(Trace &t) {
    t.add(mosslib_version()), t.after("mosslib_version");
    t.add(mosslib_catalog_version()), t.after("mosslib_catalog_version");
    const int count = mosslib_model_count();
    t.add(count), t.after("mosslib_model_count");
    for (int i = -1; i <= count; ++i) t.add(mosslib_model_at(i)), t.after("mosslib_model_at");
    const std::int32_t step = mosslib_set_priority_step(0);
    t.after("mosslib_set_priority_step");
    t.add(mosslib_priority_step()), t.after("mosslib_priority_step");
    mosslib_set_priority_step(step);
    const std::int32_t threads = mosslib_set_threads(1);
    t.after("mosslib_set_threads");
    t.add(mosslib_threads()), t.after("mosslib_threads");
    mosslib_set_threads(threads);
    mosslib_set_progress(nullptr, nullptr), t.after("mosslib_set_progress");

    double out[EXAMPLE_MAX_CHANNELS], velocity[8192];
    const auto velocities = [&](const char *name, const std::int32_t *ints, const double *reals) {
        const mosslib_model *m = mosslib_model_named(name);
        t.after("mosslib_model_named");
        t.add(mosslib_param_index(m, m->params[m->n_params - 1].name)), t.after("mosslib_param_index");
        const int n = mosslib_channel_velocities(m, ints, reals, velocity);
        t.after("mosslib_channel_velocities");
        t.add(n), t.add(velocity, n);
        if (m->rate_param >= 0) {  // channels per radian 0
            std::vector<double> zero_rate(reals, reals + m->n_reals);
            zero_rate[static_cast<std::size_t>(m->rate_param)] = 0.0;
            t.add(mosslib_channel_velocities(m, ints, zero_rate.data(), velocity));
            t.add(velocity, n), t.after("mosslib_channel_velocities");
        }
    };
    const struct {
        const char *name;
        analytic_fn fn;
    } analytic[] = {{"sext", &sext},     {"sextgen", &sextgen}, {"sextgen_ss", &sextgen_ss},
                    {"sextgen_sl", &sextgen_sl}, {"doubl", &doubl}, {"VogGenVel_ss", &VogGenVel_ss},
                    {"CSTfdll", &CSTfdll}};
    for (const auto &a : analytic) {
        const analytic_example *e = analytic_example_named(a.name);
        t.add(a.fn(e->p, out)), t.add(out, e->channels), t.after(a.name);
        velocities(a.name, nullptr, e->p);
    }
    double reals[37], db[29], measured[256] = {};
    std::int32_t ints[27];
    ttt_reals(reals);
    t.add(ttt(ttt_ints, reals, out)), t.add(out, 256), t.after("ttt");
    velocities("ttt", ttt_ints, reals);
    tkv_ints(ints);
    t.add(tkv(ints, reals, measured)), t.after("tkv");
    velocities("tkv", ints, reals);
    parl_db(db);
    t.add(parl(parl_ib, db, out)), t.add(out, 256), t.after("parl");
    velocities("parl", parl_ib, db);
    ints[1] = 0;  // refused: a reason to read
    tkv(ints, reals, measured);
    t.add(mosslib_last_error()), t.after("mosslib_last_error");
}

// In the child: every exported function under round-toward-zero, unmasked exceptions
// and a raised underflow flag gives the bits of the default state and leaves that
// state as it was.
[[noreturn]] void every_export_under_host_state() {
    Trace reference, host;
    every_export(reference);
    host.check_state = true;
    host.rounding = FE_TOWARDZERO;
    host.flags = FE_UNDERFLOW;
    std::feclearexcept(FE_ALL_EXCEPT);
    std::feraiseexcept(FE_UNDERFLOW);
    feenableexcept(kTrapped);
    std::fesetround(FE_TOWARDZERO);
    every_export(host);
    fedisableexcept(FE_ALL_EXCEPT);
    std::fesetround(FE_TONEAREST);
    if (!host.broken.empty()) std::fprintf(stderr, "host state changed by %s\n", host.broken.c_str());
    if (host.bits != reference.bits) std::fprintf(stderr, "results depend on the host state\n");
    std::_Exit(host.broken.empty() && host.bits == reference.bits ? 0 : 1);
}

}  // namespace

TEST(HostFloatEnvironment, EveryExportedFunctionKeepsTheHostStateAndIgnoresIt) {
    EXPECT_EXIT(every_export_under_host_state(), ::testing::ExitedWithCode(0), "");
}
