// The model catalogue: one description of every exported model — the array slots it
// reads, each parameter's name, unit, meaning, sign convention, example value and
// refused range, what it writes on which velocity scale, and what it returns. Every
// layer above the library (mosspec, the Python package, the tests' layout helpers,
// the README's tables) reads parameter layouts from here. Nothing on a model call
// reads it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "mosslib.h"

namespace mosslib::catalog {

// All models, in the order of the C API.
std::span<const mosslib_model> models() noexcept;

// The model of an exported function; nullptr when unknown.
const mosslib_model *find_model(std::string_view name) noexcept;

// Index into model.params of a parameter; -1 when unknown.
int find_param(const mosslib_model &model, std::string_view name) noexcept;

// Channels a call with these raw arrays writes (tkv: compares); -1 when the count the
// arrays give is refused.
int channel_count(const mosslib_model &model, const std::int32_t *ints, const double *reals) noexcept;

// Velocity of channels 1..n into velocity[0..n-1] by the model's own scale code;
// returns n, or -1 (nothing written) as mosslib_channel_velocities.
int channel_velocities(const mosslib_model &model, const std::int32_t *ints, const double *reals,
                       double *velocity) noexcept;

}  // namespace mosslib::catalog
