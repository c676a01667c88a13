// One call of any export with named parameters, laid out by the library's catalogue:
// the examples of every parameter, overridden by name.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "mosslib.h"

namespace mosslib::testing {

struct CatalogCall {
    const mosslib_model *model;
    std::vector<std::int32_t> ints;
    std::vector<double> reals;

    explicit CatalogCall(const char *name) : model(mosslib_model_named(name)) {
        if (!model) throw std::invalid_argument(std::string("no model ") + name);
        ints.assign(static_cast<std::size_t>(model->n_ints), 0);
        reals.assign(static_cast<std::size_t>(model->n_reals), 0.0);
        for (int i = 0; i < model->n_params; ++i) put(model->params[i], model->params[i].example);
    }
    CatalogCall &set(const char *name, double value) {
        const int i = mosslib_param_index(model, name);
        if (i < 0) throw std::invalid_argument(std::string("no parameter ") + name);
        put(model->params[i], value);
        return *this;
    }
    // The raw slot of a parameter.
    double &real(const char *name) { return reals.at(static_cast<std::size_t>(param(name).index)); }

    // Runs the export; the spectrum (max_channels values, NaN-prefilled) or, for an
    // objective, {sum} against `measured`.
    std::vector<double> run(const std::vector<double> &measured = {}) const {
        void *fn = dlsym(RTLD_DEFAULT, model->name);
        if (!fn) throw std::runtime_error(std::string("not exported: ") + model->name);
        if (model->output == MOSSLIB_OUTPUT_OBJECTIVE) {
            using Objective = double (*)(const std::int32_t *, const double *, const double *);
            return {reinterpret_cast<Objective>(fn)(ints.data(), reals.data(), measured.data())};
        }
        std::vector<double> out(static_cast<std::size_t>(model->max_channels), std::numeric_limits<double>::quiet_NaN());
        if (model->n_ints == 0)
            reinterpret_cast<double (*)(const double *, double *)>(fn)(reals.data(), out.data());
        else
            reinterpret_cast<std::int32_t (*)(const std::int32_t *, const double *, double *)>(fn)(
                ints.data(), reals.data(), out.data());
        return out;
    }
    std::vector<double> velocities() const {
        std::vector<double> v(static_cast<std::size_t>(model->max_channels));
        v.resize(static_cast<std::size_t>(std::max(0, mosslib_channel_velocities(model, ints.data(), reals.data(), v.data()))));
        return v;
    }

private:
    const mosslib_param &param(const char *name) const {
        const int i = mosslib_param_index(model, name);
        if (i < 0) throw std::invalid_argument(std::string("no parameter ") + name);
        return model->params[i];
    }
    void put(const mosslib_param &p, double value) {
        const double raw = value * p.raw_per_unit;
        if (p.array == MOSSLIB_ARRAY_INTS)
            ints.at(static_cast<std::size_t>(p.index)) = static_cast<std::int32_t>(raw);
        else
            reals.at(static_cast<std::size_t>(p.index)) = raw;
    }
};

}  // namespace mosslib::testing
