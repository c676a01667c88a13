// Regression guards: spectra the plain single-precision engine produced itself before
// any optimisation. Reproducing them bit for bit shows that nothing changed, not that
// anything is right; what they cover is checked independently in test_parl_physics.cpp
// (static and averaged fields, line positions, powder areas, beam angle, shift, the
// hyperfine frame) and test_parl_export.cpp (the single line in closed form). The first
// line of each file is the mosspec command that produced it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "parl_call.h"

namespace mosslib::testing {
namespace {

struct Reference {
    ParlCall call;
    std::vector<double> values;
};

Reference load(const std::string &name) {
    Reference r;
    std::ifstream in(std::string(MOSSLIB_RELAX_DATA_DIR) + "/" + name + ".txt");
    EXPECT_TRUE(in) << name;
    std::string line;
    std::getline(in, line);
    std::istringstream words(line);
    std::string w;
    while (words >> w) {
        const auto eq = w.find('=');
        if (eq == std::string::npos) continue;
        r.call.set(w.substr(0, eq).c_str(), std::stod(w.substr(eq + 1)));
    }
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') r.values.push_back(std::stod(line));
    return r;
}

void expect_reproduced(const std::string &name) {
    const Reference r = load(name);
    ASSERT_GT(r.values.size(), 0u);
    const auto out = r.call.run();
    for (std::size_t i = 0; i < r.values.size(); ++i)
        ASSERT_EQ(std::memcmp(&out[i], &r.values[i], sizeof(double)), 0)
            << name << " channel " << i + 1 << ": " << out[i] << " vs " << r.values[i];
}

TEST(ParlRegressionGuard, SextetSingleOrientation) { expect_reproduced("sextet_single"); }
TEST(ParlRegressionGuard, RhombicSextetOnACubicGrid) { expect_reproduced("rhombic_grid13"); }
TEST(ParlRegressionGuard, QuartetOnATrigonalGrid) { expect_reproduced("quartet_trigonal"); }
TEST(ParlRegressionGuard, TripletWithPowerZeroRates) { expect_reproduced("triplet_grid"); }
TEST(ParlRegressionGuard, DoubletFastRelaxation) { expect_reproduced("doublet_fast"); }

}  // namespace
}  // namespace mosslib::testing
