// Sum of Lorentzian lines over a channel grid, the common core of the sextets.
#pragma once

#include <array>

namespace mosslib::lineshape {

// One line in peak-height form: the arguments of numeric::lorentzian besides v.
struct LorentzianLine {
    double position;
    double height;
    double width;
};

using SextetLines = std::array<LorentzianLine, 6>;

// out[i] = ((0 + L_1(v[i])) + L_2(v[i])) + ... in line order, for i < channels, where
// channels is kChannels (256) or kLongChannels (512). Each channel sees its lines added
// in order; the channels run side by side in vector lanes, the same IEEE operations lane
// by lane, as wide as the processor allows.
void sum_lorentzian_lines(const SextetLines &lines, const double *v, int channels, double *out);

}  // namespace mosslib::lineshape
