// Helpers shared by the test programs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

namespace mosslib::testing {

// Relative difference that treats equal non-finite values as equal and any other
// non-finite mismatch as infinitely wrong.
inline double rel_error(double got, double want) {
    if (std::isnan(got) || std::isnan(want)) return (std::isnan(got) && std::isnan(want)) ? 0.0 : INFINITY;
    if (std::isinf(got) || std::isinf(want)) return got == want ? 0.0 : INFINITY;
    if (got == want) return 0.0;
    return std::fabs(got - want) / std::fmax(std::fabs(want), std::numeric_limits<double>::min());
}

inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A spectrum buffer of n channels followed by guard values that a correct model
// never touches.
class GuardedSpectrum {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr double kGuardValue = -12345.678;

    explicit GuardedSpectrum(std::size_t n, double fill = 0.0) : n_(n), data_(n + kGuard, kGuardValue) {
        for (std::size_t i = 0; i < n; ++i) data_[i] = fill;
    }
    double *data() { return data_.data(); }
    const double *data() const { return data_.data(); }
    double operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return n_; }
    bool guard_intact() const {
        for (std::size_t i = n_; i < data_.size(); ++i)
            if (data_[i] != kGuardValue) return false;
        return true;
    }

private:
    std::size_t n_;
    std::vector<double> data_;
};

}  // namespace mosslib::testing
