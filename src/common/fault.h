// What an engine's entry hands back to its export: nothing when the call computed its
// output; otherwise why it did not (a text for mosslib_last_error()) and how many
// leading elements of the output array the export fills with NaN. Every engine
// reports its refusals and failures this way; the export turns them into NaN and the
// thread's last error.
#pragma once

#include <cstddef>
#include <string_view>

// MinGW checks printf formats against Microsoft's run-time unless told otherwise; the
// library's formatting is the ISO one of libstdc++.
#if defined(__MINGW32__)
#define MOSSLIB_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define MOSSLIB_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace mosslib::common {

class Fault {
public:
    static constexpr std::size_t kCapacity = 256;  // longest reason kept, with its terminator

    // No fault.
    Fault() noexcept { reason_[0] = '\0'; }

    // Refusal or failure: fill output[0 .. nan_count-1] with NaN, report `reason`
    // (truncated to kCapacity - 1 characters).
    Fault(std::size_t nan_count, std::string_view reason) noexcept;

    // The same with a printf-formatted reason.
    static Fault formatted(std::size_t nan_count, const char *format, ...) noexcept
        MOSSLIB_PRINTF_FORMAT(2, 3);

    explicit operator bool() const noexcept { return failed_; }
    std::string_view reason() const noexcept { return reason_; }
    std::size_t nan_count() const noexcept { return nan_count_; }

private:
    bool failed_ = false;
    std::size_t nan_count_ = 0;
    char reason_[kCapacity];
};

}  // namespace mosslib::common
