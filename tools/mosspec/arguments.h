// From name=value words to the raw arrays of one call, by the library's catalogue:
// every name, unit, slot, example value and refused range comes from there.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "mosslib.h"

namespace mosspec {

// A mistake of the user's: one line, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The raw arrays of one call, sized as the model's catalogue entry says.
struct Call {
    const mosslib_model *model = nullptr;
    std::vector<double> values;  // one per catalogue parameter, in its unit
    std::vector<std::int32_t> ints;
    std::vector<double> reals;
};

// The model named `name`; throws with the nearest valid name as a suggestion.
const mosslib_model &find_model(const std::string &name);

// Example values, overridden by the assignments; refuses unknown or repeated names,
// values that are not finite numbers, non-integers for integer options, values the
// library would refuse and values outside a quantity's physical domain.
Call collect(const mosslib_model &model, const std::vector<std::string> &assignments);

// The library's refusal reason with array positions replaced by catalogue names.
std::string rewrite_reason(const mosslib_model &model, const std::string &reason);

// The closest of `candidates` to `word` (edit distance), or "" when none is close.
std::string nearest(const std::string &word, const std::vector<std::string> &candidates);

// Whitespace-, comma- or semicolon-separated numbers, '#' starting a comment.
std::vector<double> read_numbers(const std::string &path);

}  // namespace mosspec
