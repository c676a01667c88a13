// Cancelling an ordered run on several threads: the calling thread keeps asking the
// progress callback while it waits for a worker's chunk, so a request to cancel is
// heard even when that chunk takes long.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/parallel.h"

namespace mosslib::common {
namespace {

bool wait_for(const std::atomic<bool> &flag) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!flag.load() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    return flag.load();
}

// The first chunk a worker takes lasts until the run is cancelled (or 5 s); the calling
// thread starts once it is taken, computes instantly until every slot is taken, and
// then waits for that chunk. The callback cancels at its second report once the caller
// has run ahead: only a caller that reports while it waits gets there in time.
struct StuckWorker final : OrderedWork {
    static constexpr int kSlots = 8;  // ordered_slots(2)
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> worker_started{false};
    std::atomic<int> caller_chunks{0};
    mutable std::atomic<int> reports_ahead{0};
    mutable std::atomic<bool> cancelled{false};
    void compute(std::int64_t, std::int64_t, int) noexcept override {
        if (std::this_thread::get_id() == caller) {
            (void)wait_for(worker_started);
            ++caller_chunks;
        } else if (!worker_started.exchange(true)) {
            (void)wait_for(cancelled);
        }
    }
    bool commit(std::int64_t, std::int64_t, int) noexcept override { return true; }
};

bool report(double, const void *context) {
    const auto &w = *static_cast<const StuckWorker *>(context);
    if (w.caller_chunks.load() < StuckWorker::kSlots - 1 || ++w.reports_ahead < 2) return false;
    w.cancelled.store(true);
    return true;
}

TEST(OrderedRun, ACallerWaitingForAWorkersChunkStillHearsACancel) {
    StuckWorker work;
    ASSERT_EQ(ordered_slots(2), StuckWorker::kSlots);
    CallControl control;
    control.threads = 2;
    control.progress = {&report, &work};
    const auto start = std::chrono::steady_clock::now();
    const RunEnd end = run_ordered(work, 1000000, 1, StuckWorker::kSlots, control);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(end, RunEnd::cancelled);
    EXPECT_TRUE(work.worker_started.load());
    EXPECT_LT(seconds, 2.0);
}

}  // namespace
}  // namespace mosslib::common
