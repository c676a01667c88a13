// Sum of Lorentzian lines over a channel grid, the common core of the sextets.
#pragma once

#include <array>
#include <cstddef>

#include "numeric/lorentzian.h"

namespace mosslib::lineshape {

// One line in peak-height form: the arguments of numeric::lorentzian besides v.
struct LorentzianLine {
    double position;
    double height;
    double width;
};

// out[i] = ((0 + L_1(v[i])) + L_2(v[i])) + ... in line order, for i < Channels.
// The loop runs line by line over all channels, so each channel still sees its lines
// added in order; the channel loop has a fixed length and no aliasing, which lets the
// compiler use packed arithmetic (the same IEEE operations, lane by lane).
template <int Channels, std::size_t Lines>
void sum_lorentzian_lines(const std::array<LorentzianLine, Lines> &lines, const double *v, double *out) {
    double acc[Channels];
    for (int i = 0; i < Channels; ++i) acc[i] = 0.0;
    for (const LorentzianLine &line : lines) {
        const double x = line.position, h = line.height, w = line.width;
        for (int i = 0; i < Channels; ++i) acc[i] += numeric::lorentzian(v[i], x, h, w);
    }
    for (int i = 0; i < Channels; ++i) out[i] = acc[i];
}

}  // namespace mosslib::lineshape
