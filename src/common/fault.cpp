#include "common/fault.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace mosslib::common {

Fault::Fault(std::size_t nan_count, std::string_view reason) noexcept : failed_(true), nan_count_(nan_count) {
    const std::size_t n = std::min(reason.size(), kCapacity - 1);
    std::copy_n(reason.data(), n, reason_);
    reason_[n] = '\0';
}

Fault Fault::formatted(std::size_t nan_count, const char *format, ...) noexcept {
    Fault f(nan_count, std::string_view{});
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(f.reason_, kCapacity, format, args);
    va_end(args);
    return f;
}

}  // namespace mosslib::common
