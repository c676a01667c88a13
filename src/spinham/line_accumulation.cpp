#include "spinham/line_accumulation.h"

#include "spinham/spinham_workspace.h"

namespace mosslib::spinham {

namespace {

// One line over all channels. Every channel has its own expression, so the loop
// vectorises over channels without changing any channel's arithmetic; the AVX clone
// is chosen at run time where the processor has it. Not under ThreadSanitizer: the
// clone's resolver runs while the library loads, before the sanitizer's run-time.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(_WIN32) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void add_line(int g, double centre, double amplitude, double half_width_sq, double delta, double *__restrict acc) {
    for (int c = 1; c <= g; ++c) {
        const double x = delta * static_cast<double>(c) - centre;
        acc[c - 1] += amplitude / (x * x + half_width_sq);
    }
}

}  // namespace

void addlines(int g, double c0, const double *enuc, const double *inuc, double w, double width, double delta,
              double *acc) {
    const double shift = c0 * delta;
    const double h = width * width / 4.0;
    for (int i = 0; i < kLinesPerPass; ++i) {
        const double centre = enuc[i] + shift;
        const double amplitude = inuc[i] * w;
        add_line(g, centre, amplitude, h, delta, acc);
    }
}

}  // namespace mosslib::spinham
