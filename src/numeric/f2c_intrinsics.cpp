#include "numeric/f2c_intrinsics.h"

namespace mosslib::numeric {

double pow_ri(float x, std::int32_t n) {
    double result = 1;
    double base = x;
    if (n == 0) return result;
    std::uint32_t u = static_cast<std::uint32_t>(n);
    if (n < 0) {
        u = 0u - u;
        base = 1 / base;
    }
    for (;;) {
        if (u & 1u) result *= base;
        if ((u >>= 1) != 0u)
            base *= base;
        else
            break;
    }
    return result;
}

std::int32_t pow_ii(std::int32_t x, std::int32_t n) {
    if (n <= 0) {
        if (n == 0 || x == 1) return 1;
        if (x != -1) return 0;
        n = -n;
    }
    // Unsigned arithmetic gives the two's-complement wrap-around without overflow UB.
    std::uint32_t base = static_cast<std::uint32_t>(x);
    std::uint32_t result = 1;
    for (std::uint32_t u = static_cast<std::uint32_t>(n);;) {
        if (u & 1u) result *= base;
        if ((u >>= 1) != 0u)
            base *= base;
        else
            break;
    }
    return static_cast<std::int32_t>(result);
}

}  // namespace mosslib::numeric
