// Over a powder grid the engine solves its electronic and nuclear Hamiltonians four at
// a time in AVX2 lanes; with the lanes refused it takes the one-matrix routines, one
// problem after another, as every earlier version computed. Both must give the same
// spectrum to the bit and the same failure report, on every route and thread count.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "catalog_call.h"
#include "common/vector_lanes.h"
#include "spinham/spinham_entry.h"

namespace {

using mosslib::testing::CatalogCall;
namespace sh = mosslib::spinham;

struct Result {
    std::vector<double> spectrum;
    bool failed;
    std::string reason;
};

Result run(const CatalogCall &c, int threads, bool lanes) {
    Result r{std::vector<double>(8192, 0.0), false, {}};
    mosslib::common::CallControl control;
    control.threads = threads;
    mosslib::common::allow_avx2_lanes(lanes);
    const mosslib::common::Fault f = sh::ttt_spectrum(c.ints.data(), c.reals.data(), r.spectrum.data(), control);
    mosslib::common::allow_avx2_lanes(true);
    r.failed = static_cast<bool>(f);
    r.reason = std::string(f.reason());
    return r;
}

void expect_lanes_change_nothing(const CatalogCall &c, const char *what) {
    for (const int threads : {1, 2}) {
        const Result one_by_one = run(c, threads, false), side_by_side = run(c, threads, true);
        EXPECT_EQ(std::memcmp(one_by_one.spectrum.data(), side_by_side.spectrum.data(), 8192 * sizeof(double)), 0)
            << what << ", " << threads << " thread(s)";
        EXPECT_EQ(one_by_one.failed, side_by_side.failed) << what;
        EXPECT_EQ(one_by_one.reason, side_by_side.reason) << what;
    }
}

TEST(SideBySide, SpectraAsOneProblemAtATime) {
    for (const int route : {1, 2, -1}) {
        for (const int mult : {2, 4, 6}) {
            for (const int level_mode : {0, 1, 2}) {
                CatalogCall c("ttt");
                c.set("solver_route", route).set("multiplicity", mult).set("level_mode", level_mode);
                c.set("rings", 7).set("E_over_D", 0.2).set("nuclear_option", level_mode - 1);
                expect_lanes_change_nothing(c, "single spin");
            }
        }
    }
    CatalogCall two_spins("ttt");  // 2 x 3 = 6 levels in lanes, 6 x 6 = 36 one by one
    two_spins.set("multiplicity", 2).set("multiplicity2", 3).set("J_invcm", 0.4).set("rings", 5);
    expect_lanes_change_nothing(two_spins, "two spins, 6 levels");
    two_spins.set("multiplicity", 6).set("multiplicity2", 6).set("rings", 3);
    expect_lanes_change_nothing(two_spins, "two spins, 36 levels");
    CatalogCall bare("ttt");  // no field, no gradient: degenerate levels everywhere
    bare.set("applied_field_kG", 0.0).set("quadrupole_splitting", 0.0).set("A_xx_kG", 0.0).set("A_yy_kG", 0.0);
    bare.set("A_zz_kG", 0.0);
    expect_lanes_change_nothing(bare, "no field, no gradient");
    CatalogCall automatic("ttt");
    automatic.set("hyperfine_shift_done", 0.0);
    expect_lanes_change_nothing(automatic, "automatic hyperfine shift");
}

// g far above any physical value: the Zeeman elements overflow from direction 9 of this
// one-angle grid on (the last of a group of four solved side by side, whose first three
// succeed), or from direction 13 for spin 1.
TEST(SideBySide, TheSameDirectionFailsFirst) {
    CatalogCall c("ttt");
    c.set("copies", 0).set("rings", 40);
    c.reals[8] = c.reals[9] = 1.9683e154;  // gx1, gy1
    const Result r = run(c, 1, true);
    ASSERT_TRUE(r.failed);
    EXPECT_NE(r.reason.find("direction 9"), std::string::npos) << r.reason;
    expect_lanes_change_nothing(c, "failing from direction 9");
    c.set("multiplicity", 3);
    expect_lanes_change_nothing(c, "spin 1, failing from direction 13");
}

}  // namespace
