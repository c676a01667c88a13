// Exported entry points of the thick absorber: the transmission integral for a
// cross-section of lines and for a sampled one. Both refuse impossible input (counts
// out of range, non-finite or out-of-domain values) with NaN in the n values they own
// and the reason for mosslib_last_error(); a count they cannot trust writes nothing.
#include <algorithm>
#include <limits>

#include "boundary/export_frame.h"
#include "mosslib.h"
#include "thickness/transmission.h"

namespace {

namespace th = mosslib::thickness;
constexpr std::int32_t kThicknessReturn = 1;

th::Absorber absorber_of(const double *reals) {
    return {reals[0], reals[1], reals[2], reals[3]};
}

void refuse(std::string_view reason, double *out, std::int32_t n) {
    if (out && n > 0) std::fill_n(out, n, std::numeric_limits<double>::quiet_NaN());
    mosslib::boundary::set_last_error(reason);
}

// The velocity count of ints[1] when the arrays can be trusted with it; else -1.
std::int32_t velocity_count(const std::int32_t *ints, const double *velocity, double *out) {
    if (!ints || !velocity || !out) return -1;
    const std::int32_t n = ints[1];
    return n >= 1 && n <= th::kMaxVelocities ? n : -1;
}

}  // namespace

extern "C" {

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_thick_lines(const int32_t *ints, const double *reals, const double *lines,
                                                    const double *velocity, double *out) {
    const mosslib::boundary::ExportScope scope;
    const std::int32_t n = velocity_count(ints, velocity, out);
    if (n < 0) {
        refuse("velocity count outside 1..2^20, or a NULL array", nullptr, 0);
        return kThicknessReturn;
    }
    if (!reals || !lines) {
        refuse("a NULL array", out, n);
        return kThicknessReturn;
    }
    const th::Outcome o = th::transmission_of_lines(absorber_of(reals), lines, ints[0], velocity, n, out);
    if (!o.ok()) refuse(o.reason, out, n);
    return kThicknessReturn;
}

MOSSLIB_API int32_t MOSSLIB_CALL mosslib_thick_sampled(const int32_t *ints, const double *reals,
                                                      const double *samples, const double *velocity, double *out) {
    const mosslib::boundary::ExportScope scope;
    const std::int32_t n = velocity_count(ints, velocity, out);
    if (n < 0) {
        refuse("velocity count outside 1..2^20, or a NULL array", nullptr, 0);
        return kThicknessReturn;
    }
    if (!reals || !samples) {
        refuse("a NULL array", out, n);
        return kThicknessReturn;
    }
    const th::Outcome o =
        th::transmission_of_samples(absorber_of(reals), samples, ints[0], reals[4], reals[5], velocity, n, out);
    if (!o.ok()) refuse(o.reason, out, n);
    return kThicknessReturn;
}

}  // extern "C"
