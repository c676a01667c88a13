// The models mosspec knows: their named parameters and how to call the library.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mosspec {

struct Param {
    std::string name;       // what a spectroscopist calls it, e.g. "field"
    std::string unit;       // "mm/s", "kG", "deg", "" for a pure number
    double default_value;   // the built-in example
    std::string help;       // one line
    bool integer = false;   // must be a whole number
};

// Values of all parameters of one model, defaults filled in, plus tool options.
struct Inputs {
    std::map<std::string, double> values;
    std::string measured_path;  // --measured FILE, for models that compare with data
    double operator[](const std::string &name) const { return values.at(name); }
};

// A computed spectrum (channel i + 1 at index i) or a single number.
struct Result {
    std::vector<double> velocity;
    std::vector<double> value;
    std::optional<double> scalar;  // e.g. a sum of squared residuals
    std::string scalar_name;
};

struct Model {
    std::string name;
    std::string summary;
    std::vector<Param> params;
    std::function<Result(const Inputs &)> run;
};

// Thrown for input the user must correct (unknown names, unreadable files).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Models register themselves from their own translation unit at start-up.
bool register_model(Model model);
const std::vector<Model> &models();
const Model *find_model(const std::string &name);

// Reads whitespace- or comma-separated numbers, one spectrum, skipping '#' comments.
std::vector<double> read_numbers(const std::string &path);

}  // namespace mosspec
