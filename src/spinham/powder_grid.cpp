#include "spinham/powder_grid.h"

#include <cmath>

namespace mosslib::spinham {

namespace {

// pi/4 as the single-precision literal of the polar step, widened.
constexpr double kQuarterPiSingle = static_cast<double>(0.785398f);
// pi/4 as the double literal of the azimuthal step.
constexpr double kQuarterPiDouble = 0.785398;

struct RingPoint {
    std::int64_t ring;   // k: ring k holds k points
    std::int64_t point;  // p = k, k-1, ..., 1
};

// Ring and position of the 0-based point index q of the two-angle grid.
RingPoint ring_of(std::int64_t q) {
    std::int64_t k = 1;
    std::int64_t p = q;
    do {
        p -= k;
        ++k;
    } while (p > -1);
    return {k - 1, -p};
}

}  // namespace

std::int64_t powder_point_count(int n, int m) {
    if (m == 0) return n;
    return static_cast<std::int64_t>(m) * n * (n + 1) / 2;
}

FieldDirection powdir(int n, std::int64_t j, int m, const FieldDirection &previous) {
    std::int64_t k = j;
    std::int64_t p = 0;
    if (m != 0) {
        // Split j into the point index q and the copy index r (1..m).
        const double c = static_cast<double>(j - 1) / static_cast<double>(m) + 0.01;
        const auto q = static_cast<std::int64_t>(c);
        const auto r = static_cast<std::int64_t>((c - static_cast<double>(q)) * m) + 1;
        if (r != 1) {
            FieldDirection d = previous;
            if (r == 3)
                d.ny = -d.ny;
            else
                d.nx = -d.nx;
            return d;
        }
        const RingPoint rp = ring_of(q);
        k = rp.ring;
        p = rp.point;
    }

    const double theta = static_cast<double>(2 * k - 1) * (kQuarterPiSingle / static_cast<double>(n));
    FieldDirection d;
    d.nz = std::cos(theta);
    d.nx = std::sin(theta);
    d.ny = 0.0;
    d.w = std::sin(theta);
    if (m == 0) return d;

    d.w = d.w / static_cast<double>(k);
    const float odd = 2.0f * static_cast<float>(p) - 1.0f;
    const double phi = static_cast<double>(odd) * (kQuarterPiDouble / static_cast<double>(k));
    d.ny = std::sin(phi) * d.nx;
    d.nx = std::cos(phi) * d.nx;
    return d;
}

}  // namespace mosslib::spinham
