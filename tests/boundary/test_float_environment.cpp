// A host's floating-point state (unmasked exceptions, another rounding mode) neither
// ends the host on degenerate input nor changes a result, and the host gets its own
// state back. Each case runs in a child process: unmasked exceptions would otherwise
// leak into the test runner.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstring>
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
