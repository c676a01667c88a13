#include "arguments.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace mosspec {

namespace {

std::string number(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", x);
    return buf;
}

std::size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string suggestion(const std::string &word, const std::vector<std::string> &candidates) {
    const std::string best = nearest(word, candidates);
    return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

// A finite number, the whole text; overflow is "too large", not "not a number".
double parse_number(const std::string &name, const std::string &text) {
    if (text.empty()) throw UsageError(name + ": no value given");
    errno = 0;
    char *end = nullptr;
    const double x = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) throw UsageError(name + ": not a number: '" + text + "'");
    if (std::isnan(x)) throw UsageError(name + ": NaN is not a value");
    if (std::isinf(x)) {
        if (errno == ERANGE) throw UsageError(name + ": '" + text + "' is too large");
        throw UsageError(name + ": must be finite, got '" + text + "'");
    }
    return x;
}

void check_value(const mosslib_param &p, double value) {
    const std::string name = p.name;
    if (p.integer && (value != std::floor(value) || std::fabs(value) > 2147483647.0))
        throw UsageError(name + ": must be a whole number, got " + number(value));
    const double raw = value * p.raw_per_unit;
    if (raw < p.min || raw > p.max) {
        std::string range = std::isinf(p.max) ? "at least " + number(p.min / p.raw_per_unit)
                            : std::isinf(p.min) ? "at most " + number(p.max / p.raw_per_unit)
                            : p.min == p.max    ? "exactly " + number(p.min / p.raw_per_unit)
                                                : number(p.min / p.raw_per_unit) + " to " + number(p.max / p.raw_per_unit);
        throw UsageError(name + ": must be " + range + ", got " + number(value));
    }
    if (p.domain == MOSSLIB_DOMAIN_POSITIVE && !(value > 0.0))
        throw UsageError(name + ": must be positive, got " + number(value));
    if (p.domain == MOSSLIB_DOMAIN_NON_NEGATIVE && value < 0.0)
        throw UsageError(name + ": must not be negative, got " + number(value));
}

}  // namespace

std::string nearest(const std::string &word, const std::vector<std::string> &candidates) {
    std::string best;
    std::size_t best_distance = std::max<std::size_t>(2, word.size() / 3) + 1;
    for (const std::string &c : candidates) {
        const std::size_t d = edit_distance(word, c);
        if (d < best_distance) best_distance = d, best = c;
    }
    return best;
}

const mosslib_model &find_model(const std::string &name) {
    if (const mosslib_model *m = mosslib_model_named(name.c_str())) return *m;
    std::vector<std::string> names;
    for (int i = 0; i < mosslib_model_count(); ++i) names.push_back(mosslib_model_at(i)->name);
    throw UsageError("unknown model '" + name + "'" + suggestion(name, names) + " (see mosspec --list)");
}

Call collect(const mosslib_model &model, const std::vector<std::string> &assignments) {
    Call call;
    call.model = &model;
    for (int i = 0; i < model.n_params; ++i) call.values.push_back(model.params[i].example);
    std::vector<std::string> names;
    for (int i = 0; i < model.n_params; ++i) names.push_back(model.params[i].name);
    std::set<std::string> seen;
    for (const std::string &a : assignments) {
        const auto eq = a.find('=');
        if (eq == std::string::npos) throw UsageError("expected name=value, got '" + a + "'");
        const std::string name = a.substr(0, eq);
        const int i = mosslib_param_index(&model, name.c_str());
        if (i < 0)
            throw UsageError(std::string(model.name) + " has no parameter '" + name + "'" + suggestion(name, names) +
                             " (see mosspec --list " + model.name + ")");
        if (!seen.insert(name).second) throw UsageError(name + ": given twice");
        call.values[static_cast<std::size_t>(i)] = parse_number(name, a.substr(eq + 1));
    }
    call.ints.assign(static_cast<std::size_t>(model.n_ints), 0);
    call.reals.assign(static_cast<std::size_t>(model.n_reals), 0.0);
    for (int i = 0; i < model.n_params; ++i) {
        const mosslib_param &p = model.params[i];
        const double value = call.values[static_cast<std::size_t>(i)];
        check_value(p, value);
        const double raw = value * p.raw_per_unit;
        if (p.array == MOSSLIB_ARRAY_INTS)
            call.ints[static_cast<std::size_t>(p.index)] = static_cast<std::int32_t>(raw);
        else
            call.reals[static_cast<std::size_t>(p.index)] = raw;
    }
    return call;
}

std::string rewrite_reason(const mosslib_model &model, const std::string &reason) {
    // "(integer index 5)", "(IB 1)", "(DB 7)": array positions as the library names them.
    static const std::regex position(R"(\s*\((integer index|real index|IB|DB) (\d+)\))");
    std::string out;
    auto begin = std::sregex_iterator(reason.begin(), reason.end(), position);
    std::size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const std::smatch &m = *it;
        const int array = (m[1] == "integer index" || m[1] == "IB") ? MOSSLIB_ARRAY_INTS : MOSSLIB_ARRAY_REALS;
        const int index = std::stoi(m[2]);
        std::string name;
        for (int i = 0; i < model.n_params; ++i)
            if (model.params[i].array == array && model.params[i].index == index) name = model.params[i].name;
        out += reason.substr(last, static_cast<std::size_t>(m.position(0)) - last);
        out += name.empty() ? m.str(0) : " (" + name + ")";
        last = static_cast<std::size_t>(m.position(0) + m.length(0));
    }
    out += reason.substr(last);
    // The caller names the model once; the library's own prefix is dropped.
    const std::string prefix = std::string(model.name) + ": ";
    if (out.rfind(prefix, 0) == 0) out.erase(0, prefix.size());
    return out;
}

std::vector<double> read_numbers(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw UsageError("cannot read '" + path + "'");
    std::vector<double> out;
    std::string line;
    while (std::getline(in, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::replace_if(line.begin(), line.end(), [](char c) { return c == ',' || c == ';' || c == '\t'; }, ' ');
        std::istringstream words(line);
        std::string w;
        while (words >> w) out.push_back(parse_number("'" + path + "'", w));
    }
    return out;
}

}  // namespace mosspec
