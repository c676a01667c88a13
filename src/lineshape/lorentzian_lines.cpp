#include "lineshape/lorentzian_lines.h"

#include <cassert>

#include "common/vector_lanes.h"
#include "lineshape/sextet_constants.h"
#include "numeric/lorentzian.h"

namespace mosslib::lineshape {

namespace {

// Line by line over all channels: the channel loop has a fixed length and no aliasing,
// so it runs on packed doubles.
template <int Channels>
struct SumLines {
    [[gnu::always_inline]] static inline void run(const SextetLines *lines, const double *v, double *out) {
        double acc[Channels];
        for (int i = 0; i < Channels; ++i) acc[i] = 0.0;
        for (const LorentzianLine &line : *lines) {
            const double x = line.position, h = line.height, w = line.width;
            for (int i = 0; i < Channels; ++i) acc[i] += numeric::lorentzian(v[i], x, h, w);
        }
        for (int i = 0; i < Channels; ++i) out[i] = acc[i];
    }
};

}  // namespace

void sum_lorentzian_lines(const SextetLines &lines, const double *v, int channels, double *out) {
    assert(channels == kChannels || channels == kLongChannels);
    if (channels == kLongChannels)
        common::run_in_lanes<SumLines<kLongChannels>>(&lines, v, out);
    else
        common::run_in_lanes<SumLines<kChannels>>(&lines, v, out);
}

}  // namespace mosslib::lineshape
