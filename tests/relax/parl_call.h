// A call of parl laid out by the library's catalogue; the defaults are the catalogue's
// high-spin Fe3+ sextet, seen along theta = 30 deg, phi = 20 deg, with no centre shift.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "catalog_call.h"
#include "mosslib.h"

namespace mosslib::testing {

struct ParlCall {
    std::vector<std::int32_t> ib;
    std::vector<double> db;

    ParlCall() {
        CatalogCall c("parl");
        c.set("centre_shift", 0.0).set("theta", 30).set("phi", 20);
        ib = c.ints;
        db = c.reals;
    }
    // Sets a parameter by its catalogue name.
    ParlCall &set(const char *name, double value) {
        CatalogCall c("parl");
        c.ints = ib;
        c.reals = db;
        c.set(name, value);
        ib = c.ints;
        db = c.reals;
        return *this;
    }
    std::vector<double> run(double fill = 0.0) const {
        std::vector<double> out(256, fill);
        parl(ib.data(), db.data(), out.data());
        return out;
    }
    // Channel velocity in double precision, the step's default applied as parl does.
    double velocity(int channel) const {
        const mosslib_model *m = mosslib_model_named("parl");
        const mosslib_param &step = m->params[m->step_param];
        const mosslib_param &zero = m->params[m->zero_param];
        const double s = db[static_cast<std::size_t>(step.index)];
        return (channel - db[static_cast<std::size_t>(zero.index)]) * (s == 0 ? step.zero_means : s);
    }
};

}  // namespace mosslib::testing
