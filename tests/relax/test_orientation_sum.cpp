// The orientation average on the thread pool: the spectrum and the count of orientations
// taken by the resolvent route are those of the calling thread alone.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "relax/relax_engine.h"

namespace mosslib::relax {
namespace {

struct GridRun {
    std::unique_ptr<RelaxWorkspace> ws = std::make_unique<RelaxWorkspace>();
    int resolvent = 0;
    float out[kChannels] = {};
};

// The slowly relaxing S = 2 ion in 68 kG whose decomposition stops short of diagonal at
// theta = 45 deg, over a grid of level 2.
GridRun run_grid(int threads) {
    const std::int32_t ib[5] = {0, 5, 0, 15, 2};
    double db[29] = {0, 0.8, 4e-4, 3, 0.1, 128.5, 0, 0.25, 0, 68000, 65, 2, 2, 2, -55000, -220000, -55000, 5};
    GridRun r;
    copy_arguments(ib, db, r.ws->parl_args);
    common::CallControl control;
    control.threads = threads;
    const int n_chan = run_relaxation(*r.ws, control);
    EXPECT_TRUE(numerical_fault(*r.ws).empty());
    std::memcpy(r.out, r.ws->parl_spec.spec_out, sizeof(float) * n_chan);
    r.resolvent = r.ws->resolvent_orientations;
    return r;
}

TEST(OrientationSum, ThreadsKeepTheSpectrumAndTheResolventCount) {
    const GridRun alone = run_grid(1);
    EXPECT_GT(alone.resolvent, 0);
    for (int threads : {2, 3}) {
        const GridRun r = run_grid(threads);
        EXPECT_EQ(std::memcmp(r.out, alone.out, sizeof r.out), 0) << threads << " threads";
        EXPECT_EQ(r.resolvent, alone.resolvent) << threads << " threads";
    }
}

}  // namespace
}  // namespace mosslib::relax
