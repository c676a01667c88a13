// Field directions of the powder average.
#pragma once

#include <cstdint>

namespace mosslib::spinham {

struct FieldDirection {
    double nx = 0.0, ny = 0.0, nz = 0.0;  // unit vector of the applied field
    double w = 0.0;                        // weight, not normalised
};

// Grid point j (1-based) of the powder grid with n polar rings and m azimuthal quadrant
// copies (m = 0: one-angle grid in the xz plane). For m != 0 copies 2..m of a point
// are derived from `previous`, the point of call j - 1, so j must run 1, 2, 3, ...
FieldDirection powdir(int n, std::int64_t j, int m, const FieldDirection &previous);

// Number of grid points: n for m = 0, otherwise m n (n + 1) / 2.
std::int64_t powder_point_count(int n, int m);

}  // namespace mosslib::spinham
