// The catalogue against the exports themselves: what it says a model reads is what
// the model reads, and what it says about velocities and raw slots puts a line where
// the model puts it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "catalog_call.h"
#include "mosslib.h"
#include "test_support.h"

namespace mosslib::testing {
namespace {

std::vector<const mosslib_model *> all_models() {
    std::vector<const mosslib_model *> out;
    for (int i = 0; i < mosslib_model_count(); ++i) out.push_back(mosslib_model_at(i));
    return out;
}

bool same_output(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A measured spectrum for tkv: anything finite.
std::vector<double> measured() {
    std::vector<double> m(256);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = 0.01 * static_cast<double>(i % 7);
    return m;
}

TEST(Catalog, DescribesEveryExportAndRefusesWhatItDoesNotKnow) {
    EXPECT_EQ(mosslib_catalog_version(), MOSSLIB_CATALOG_VERSION);
    const std::set<std::string> exports = {"sext", "sextgen", "sextgen_ss", "sextgen_sl", "doubl",
                                           "VogGenVel_ss", "CSTfdll", "ttt", "tkv", "parl",
                                           "mosslib_hamiltonian_site", "mosslib_field_distribution",
                                           "mosslib_splitting_distribution", "mosslib_thick_lines",
                                           "mosslib_thick_sampled"};
    std::set<std::string> described;
    for (const mosslib_model *m : all_models()) {
        ASSERT_NE(m, nullptr);
        described.insert(m->name);
        EXPECT_EQ(mosslib_model_named(m->name), m);
        EXPECT_NE(dlsym(RTLD_DEFAULT, m->name), nullptr) << m->name;
    }
    EXPECT_EQ(described, exports);
    EXPECT_EQ(mosslib_model_at(-1), nullptr);
    EXPECT_EQ(mosslib_model_at(mosslib_model_count()), nullptr);
    EXPECT_EQ(mosslib_model_named("sextet"), nullptr);
    EXPECT_EQ(mosslib_model_named(nullptr), nullptr);
    EXPECT_EQ(mosslib_param_index(mosslib_model_named("sext"), "field"), -1);
    EXPECT_EQ(mosslib_param_index(nullptr, "field_T"), -1);
    double v[8];
    EXPECT_EQ(mosslib_channel_velocities(nullptr, nullptr, nullptr, v), -1);
    EXPECT_EQ(mosslib_channel_velocities(mosslib_model_named("ttt"), nullptr, v, v), -1);
}

// One vocabulary: a name means one quantity in one unit; slots are distinct and inside
// the arrays; examples are values the library accepts; raw conversions are exact.
TEST(Catalog, NamesAndSlotsAreConsistent) {
    std::map<std::string, std::string> unit_of;
    for (const mosslib_model *m : all_models()) {
        std::set<std::string> names;
        std::set<std::pair<int, int>> slots;
        for (int i = 0; i < m->n_params; ++i) {
            const mosslib_param &p = m->params[i];
            SCOPED_TRACE(std::string(m->name) + "." + p.name);
            EXPECT_TRUE(names.insert(p.name).second);
            EXPECT_TRUE(slots.insert({p.array, p.index}).second);
            const int size = p.array == MOSSLIB_ARRAY_INTS ? m->n_ints : m->n_reals;
            EXPECT_TRUE(p.index >= 0 && p.index < size);
            EXPECT_TRUE(p.raw_per_unit == 1 || p.raw_per_unit == 2 || p.raw_per_unit == -1 || p.raw_per_unit == 0.5);
            const double raw = p.example * p.raw_per_unit;
            EXPECT_TRUE(raw >= p.min && raw <= p.max);
            if (p.min > -INFINITY || p.max < INFINITY) {
                EXPECT_STRNE(p.refusal, "");
            }
            EXPECT_NE(std::strlen(p.meaning), 0u);
            const auto [it, fresh] = unit_of.emplace(p.name, p.unit);
            EXPECT_TRUE(fresh || it->second == p.unit) << "unit " << p.unit << " vs " << it->second;
        }
    }
}

// Starting points that between them make every listed slot matter: a second spin for
// ttt/tkv, a one-direction and a grid call for parl.
std::vector<CatalogCall> bases(const mosslib_model &model) {
    const std::string name = model.name;
    std::vector<CatalogCall> out(1, CatalogCall(model.name));
    if (name == "ttt" || name == "tkv") {
        out[0].set("rings", 4);
        out.push_back(out[0]);
        out[1].set("multiplicity2", 3).set("J_invcm", 0.5).set("D2_invcm", -0.8).set("E_over_D2", 0.2);
    } else if (name == "parl") {
        out[0].set("theta", 30).set("phi", 20);
        out.push_back(out[0]);
        out[1].set("grid_level", 1).set("grid_symmetry", 11);
    } else if (name == "VogGenVel_ss") {
        out[0].set("spread", 0.05);
    } else if (name == "mosslib_field_distribution" || name == "mosslib_splitting_distribution") {
        out[0].set("components", 4);  // every component's slots read
    }
    return out;
}

std::string name_at(const mosslib_model &model, int array, int index) {
    for (int i = 0; i < model.n_params; ++i)
        if (model.params[i].array == array && model.params[i].index == index) return model.params[i].name;
    return "";
}

// Poisoning a slot the catalogue does not list leaves the output bit for bit alone;
// poisoning a listed one (NaN, an integer moved by one) changes it. The one
// exception is ttt's marker slot: any non-zero value, NaN included, reads the same.
TEST(Catalog, ListsExactlyTheSlotsEachModelReads) {
    const std::vector<double> m = measured();
    for (const mosslib_model *model : all_models()) {
        // The thick-absorber functions take arrays beside ints and reals (tests/thickness).
        if (model->scale == MOSSLIB_SCALE_NONE) continue;
        const std::vector<CatalogCall> starts = bases(*model);
        std::vector<std::vector<double>> want;
        for (const CatalogCall &b : starts) want.push_back(b.run(m));
        for (int array : {MOSSLIB_ARRAY_INTS, MOSSLIB_ARRAY_REALS}) {
            const int size = array == MOSSLIB_ARRAY_INTS ? model->n_ints : model->n_reals;
            for (int index = 0; index < size; ++index) {
                const std::string name = name_at(*model, array, index);
                SCOPED_TRACE(std::string(model->name) + (array == MOSSLIB_ARRAY_INTS ? " ints[" : " reals[") +
                             std::to_string(index) + "] " + name);
                bool changed = false;
                for (std::size_t b = 0; b < starts.size(); ++b) {
                    CatalogCall c = starts[b];
                    if (array == MOSSLIB_ARRAY_INTS)
                        c.ints[static_cast<std::size_t>(index)] += name.empty() ? 1000003 : 1;
                    else  // NaN, or a changed value where NaN stands for a default
                        c.reals[static_cast<std::size_t>(index)] =
                            name.empty() || std::isnan(model->params[mosslib_param_index(model, name.c_str())].zero_means)
                                ? std::nan("")
                                : 1.37 * c.reals[static_cast<std::size_t>(index)] + 0.5;
                    changed = changed || !same_output(c.run(m), want[b]);
                }
                if (name.empty()) {
                    EXPECT_FALSE(changed) << "not listed, but read";
                } else if (name != "hyperfine_shift_done") {
                    EXPECT_TRUE(changed) << "listed, but not read";
                }
            }
        }
    }
}

// With every line at one velocity (no field, no quadrupole term), the deepest line
// channel lies where the catalogue's axis has that velocity; this checks the axis, the
// zero-channel and step slots, and the raw form of the centre shift (sextgen's slot
// holds twice it).
TEST(Catalog, VelocityAxisPlacesALineWhereTheModelDrawsIt) {
    const double shift = 1.234;
    for (const char *name : {"sext", "sextgen", "sextgen_ss", "sextgen_sl", "doubl", "VogGenVel_ss", "CSTfdll"}) {
        SCOPED_TRACE(name);
        CatalogCall c(name);
        const mosslib_model *m = c.model;
        for (const char *zero : {"field_T", "quadrupole_shift", "quadrupole_splitting"})
            if (mosslib_param_index(m, zero) >= 0) c.set(zero, 0.0);
        for (const char *s : {"centre_shift", "offset1", "offset2"})
            if (mosslib_param_index(m, s) >= 0) c.set(s, shift);
        c.set("zero_channel", 100.3);
        if (mosslib_param_index(m, "spread") >= 0) c.set("spread", 0.05);
        const std::vector<double> y = c.run();
        const std::vector<double> v = c.velocities();
        ASSERT_EQ(v.size(), static_cast<std::size_t>(m->channels));
        std::size_t peak = 0;
        for (std::size_t i = 1; i < y.size(); ++i)
            if (y[i] > y[peak]) peak = i;
        const double spacing = std::fabs(v[peak + 1] - v[peak - 1]) / 2.0;
        EXPECT_LE(std::fabs(v[peak] - shift), spacing / 2.0 + 1e-12) << "peak at " << v[peak];
    }
}

}  // namespace
}  // namespace mosslib::testing
