// The full static site as a host calls it: against the spin-Hamiltonian engine's own
// nuclear Hamiltonian (ttt with no electronic spin, only an applied field), its
// refusals, and its threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "catalog_call.h"
#include "hamiltonian/static_site.h"
#include "mosslib.h"

namespace mosslib::testing {
namespace {

// ttt with spin 0 sees the applied field alone (B = -H) along x, y and z in turn; the
// beam along the field (option 0) or spread over the plane perpendicular to it (-1).
// The site with the engine's Zeeman constants and texture order 1 or -1/2 about the
// field gives the same spectrum up to a common scale.
TEST(SiteExport, AgreesWithTheSpinHamiltonianEngineInAnAppliedField) {
    for (const auto &[option, order] : {std::pair{0, 1.0}, {-1, -0.5}}) {
        CatalogCall t("ttt");
        t.set("multiplicity", 1).set("axes", 1).set("nuclear_option", option).set("applied_field_kG", 60.0);
        t.set("quadrupole_splitting", 1.5).set("eta", 0.0).set("width", 0.28).set("centre_shift", 0.38);
        t.set("zero_channel", 127.0).set("velocity_step", 0.09).set("channels", 256);
        const std::vector<double> engine = t.run();

        std::vector<double> mine(256, 0.0);
        for (int axis = 0; axis < 3; ++axis) {
            hamiltonian::SiteFrame f{};
            f.quadrupole[0][0] = f.quadrupole[1][1] = -1.5 / 2.0;
            f.quadrupole[2][2] = 1.5;
            f.field[axis] = -6.0;  // 60 kG
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    f.beam[i][j] = (i == j ? (1.0 - order) / 3.0 : 0.0) + (i == axis && j == axis ? order : 0.0);
            f.ground_per_tesla = 2.0 * 0.0059146 * 10.0;
            f.excited_per_tesla = static_cast<double>(0.00676207f) * 10.0;
            const hamiltonian::SiteLines lines = hamiltonian::site_lines(f);
            for (int c = 1; c <= 256; ++c)
                for (int j = 0; j < hamiltonian::kSiteLines; ++j) {
                    const double x = 2.0 * ((c - 127.0) * 0.09 - (0.38 + lines.position[j])) / 0.28;
                    mine[static_cast<std::size_t>(c - 1)] += lines.weight[j] / (1.0 + x * x);
                }
        }
        const double scale = *std::max_element(engine.begin(), engine.begin() + 256) /
                             *std::max_element(mine.begin(), mine.end());
        for (std::size_t c = 0; c < 256; ++c)
            // The engine rounds a, 3a/2 and a sqrt(3)/2 separately to single precision: its
            // lines differ by some 1e-7 mm/s, a few 1e-6 of a channel on a steep flank.
            EXPECT_NEAR(engine[c], scale * mine[c], 1e-5 * engine[c] + 1e-9) << "option " << option << " ch " << c;
    }
}

bool all_nan(const std::vector<double> &s) {
    return std::all_of(s.begin(), s.end(), [](double x) { return std::isnan(x); });
}

// Structurally impossible input: every element NaN and a reason; the next good call
// clears it. Two threads computing the same site get the same bits.
TEST(SiteExport, RefusesImpossibleInputAndIsThreadSafe) {
    for (const char *model : {"mosslib_hamiltonian_site", "mosslib_field_distribution",
                              "mosslib_splitting_distribution"}) {
        SCOPED_TRACE(model);
        for (int channels : {0, 4097}) {
            CatalogCall c(model);
            c.set("channels", channels);
            EXPECT_TRUE(all_nan(c.run()));
            EXPECT_NE(std::strstr(mosslib_last_error(), "channels"), nullptr);
        }
        EXPECT_FALSE(std::isnan(CatalogCall(model).run()[0]));
        EXPECT_STREQ(mosslib_last_error(), "");
    }
    CatalogCall bad("mosslib_hamiltonian_site");
    bad.set("texture_order", 1.5);
    EXPECT_TRUE(all_nan(bad.run()));
    EXPECT_NE(std::strstr(mosslib_last_error(), "texture_order"), nullptr);
    for (const char *name : {"components", "field_sd1_T", "weight2"}) {
        CatalogCall d("mosslib_field_distribution");
        d.set(name, name[0] == 'c' ? 5.0 : -1.0);
        EXPECT_TRUE(all_nan(d.run())) << name;
        EXPECT_STRNE(mosslib_last_error(), "") << name;
    }
    double lines[4 * MOSSLIB_MAX_MODEL_LINES];
    EXPECT_EQ(mosslib_model_lines("sext", bad.ints.data(), bad.reals.data(), lines), -1);
    EXPECT_TRUE(std::isnan(lines[4 * MOSSLIB_MAX_MODEL_LINES - 1]));

    CatalogCall site("mosslib_hamiltonian_site");
    site.set("gauss_fwhm", 0.2);
    const std::vector<double> want = site.run();
    std::vector<double> other;
    std::thread th([&] { other = site.run(); });
    th.join();
    EXPECT_EQ(std::memcmp(want.data(), other.data(), want.size() * sizeof(double)), 0);
}

}  // namespace
}  // namespace mosslib::testing
