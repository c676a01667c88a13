// Without memory for the thread's work space ttt and tkv refuse (a reason, and for ttt
// the NaN extent of the spectrum) instead of crashing, and the thread's next call with
// memory computes normally.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <thread>

#include "common/thread_workspace.h"
#include "spinham/spinham_entry.h"

namespace mosslib::spinham {
namespace {

TEST(SpinhamWorkspace, NoMemoryIsAFaultNotACrash) {
    std::array<std::int32_t, 27> ints{1, 1, 1, 1, -2, 256, 0, 2, 0, 0};
    ints[26] = 1;
    std::array<double, 37> reals{};
    reals[0] = 330.0;  // applied field, kG
    reals[1] = 4.2;
    for (int k = 8; k <= 13; ++k) reals[k] = 2.0;
    reals[19] = 1.0;
    reals[26] = 128.0;
    reals[27] = 0.1;
    reals[29] = 0.25;
    std::array<double, 256> spectrum{}, measured{};

    // A fresh thread: its work space does not exist yet.
    std::thread([&] {
        common::simulate_out_of_memory(true);
        const common::Fault f = ttt_spectrum(ints.data(), reals.data(), spectrum.data());
        EXPECT_TRUE(f);
        EXPECT_EQ(f.nan_count(), 256u);
        EXPECT_EQ(f.reason(), "ttt: no memory for the work space");
        double sum = -1.0;
        const common::Fault g = tkv_residual(ints.data(), reals.data(), measured.data(), sum);
        EXPECT_TRUE(g);
        EXPECT_EQ(g.nan_count(), 0u);
        EXPECT_EQ(g.reason(), "tkv: no memory for the work space");
        EXPECT_EQ(sum, -1.0);

        common::simulate_out_of_memory(false);
        EXPECT_FALSE(ttt_spectrum(ints.data(), reals.data(), spectrum.data()));
        EXPECT_FALSE(tkv_residual(ints.data(), reals.data(), measured.data(), sum));
        // The spectrum of a field along the powder grid: positive, finite lines.
        double total = 0.0;
        for (double v : spectrum) total += v;
        EXPECT_TRUE(std::isfinite(total));
        EXPECT_GT(total, 0.0);
        // Against a zero measurement the residual is the sum of squares of channels 2..256.
        double squares = 0.0;
        for (int k = 1; k < 256; ++k) squares += spectrum[k] * spectrum[k];
        EXPECT_EQ(sum, squares);
    }).join();
}

}  // namespace
}  // namespace mosslib::spinham
