// mosspec MODEL [name=value ...] — one spectrum as CSV (channel,velocity,value).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "model_registry.h"
#include "mosslib.h"

namespace {

using mosspec::Model;
using mosspec::UsageError;

void list_models(std::ostream &out) {
    std::vector<const Model *> sorted;
    for (const Model &m : mosspec::models()) sorted.push_back(&m);
    std::sort(sorted.begin(), sorted.end(), [](auto *a, auto *b) { return a->name < b->name; });
    for (const Model *m : sorted) {
        out << m->name << " — " << m->summary << "\n";
        for (const auto &p : m->params) {
            char def[64];
            std::snprintf(def, sizeof def, "%.10g", p.default_value);
            out << "    " << p.name << " = " << def;
            if (!p.unit.empty()) out << " " << p.unit;
            out << "    " << p.help << "\n";
        }
    }
}

double parse_value(const std::string &name, const std::string &text, bool integer) {
    std::size_t used = 0;
    double x = 0;
    try {
        x = std::stod(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (text.empty() || used != text.size()) throw UsageError("value of '" + name + "' is not a number: '" + text + "'");
    if (integer && (x != std::floor(x) || std::fabs(x) > 2147483647.0))
        throw UsageError("value of '" + name + "' must be a whole number: '" + text + "'");
    return x;
}

mosspec::Inputs collect_inputs(const Model &model, const std::vector<std::string> &assignments) {
    mosspec::Inputs in;
    for (const auto &p : model.params) in.values[p.name] = p.default_value;
    for (const auto &a : assignments) {
        const auto eq = a.find('=');
        if (eq == std::string::npos) throw UsageError("expected name=value, got '" + a + "'");
        const std::string name = a.substr(0, eq);
        const auto it = std::find_if(model.params.begin(), model.params.end(), [&](auto &p) { return p.name == name; });
        if (it == model.params.end())
            throw UsageError("model '" + model.name + "' has no parameter '" + name + "' (see mosspec --list)");
        in.values[name] = parse_value(name, a.substr(eq + 1), it->integer);
    }
    return in;
}

void write_result(const mosspec::Result &r, std::ostream &out) {
    char buf[128];
    if (r.scalar) {
        std::snprintf(buf, sizeof buf, "%s,%.17g\n", r.scalar_name.c_str(), *r.scalar);
        out << buf;
        return;
    }
    out << "channel,velocity,value\n";
    for (std::size_t i = 0; i < r.value.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%zu,%.17g,%.17g\n", i + 1, r.velocity[i], r.value[i]);
        out << buf;
    }
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"mosspec — compute one Moessbauer spectrum with mosslib.\n"
                 "Usage: mosspec MODEL [name=value ...]; every parameter has a built-in default."};
    std::string model_name;
    std::vector<std::string> assignments;
    std::string out_path;
    std::string measured_path;
    bool list = false;
    bool names = false;
    app.add_option("model", model_name, "model to compute (see --list)");
    app.add_option("parameters", assignments, "name=value pairs");
    app.add_option("-o,--out", out_path, "write the CSV to FILE instead of stdout");
    app.add_option("--measured", measured_path, "measured spectrum (text, one number per channel) for tkv");
    app.add_flag("--list", list, "list the models and their parameters with units and defaults");
    app.add_flag("--models", names, "print the model names only");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << "mosspec: " << e.what() << "\n";
        return 2;
    }

    try {
        if (list) {
            list_models(std::cout);
            return 0;
        }
        if (names) {
            for (const auto &m : mosspec::models()) std::cout << m.name << "\n";
            return 0;
        }
        if (model_name.empty()) throw UsageError("no model given (see mosspec --list)");
        const Model *model = mosspec::find_model(model_name);
        if (!model) throw UsageError("unknown model '" + model_name + "' (see mosspec --list)");
        mosspec::Inputs inputs = collect_inputs(*model, assignments);
        inputs.measured_path = measured_path;
        const mosspec::Result result = model->run(inputs);
        if (const char *why = mosslib_last_error(); why && *why) {
            std::cerr << "mosspec: " << model_name << ": " << why << "\n";
            return 1;
        }
        if (out_path.empty()) {
            write_result(result, std::cout);
        } else {
            std::ofstream out(out_path);
            if (!out) throw UsageError("cannot write '" + out_path + "'");
            write_result(result, out);
        }
    } catch (const UsageError &e) {
        std::cerr << "mosspec: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
