// Powder averages on several threads with every result bit what one thread computes:
// the items (orientations, field directions) are computed in chunks on any thread, and
// their contributions are committed strictly in item order, so every channel receives
// its additions in the order of the single-threaded loop.
//
// One pool of worker threads per process, made at the first call that wants it and
// shared by every call: a call runs on its own thread and on as many idle workers as
// its thread count allows, so several host threads calling at once never start more
// workers than the pool has. The pool is never torn down; its workers sleep between
// calls and end with the process, so it never holds up exit or the unloading of the
// library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace mosslib::common {

inline constexpr int kMaxThreads = 64;

// Cores the process may run on: its affinity mask, bounded by a cgroup CPU quota.
int available_cores() noexcept;

// The thread-count setting: n >= 1 sets it (at most kMaxThreads), n <= 0 returns to
// the default (MOSSLIB_THREADS when it holds a positive count, else
// available_cores()). Returns the previous setting, 0 for the default.
int set_thread_count(int n) noexcept;

// The thread count calls use now.
int thread_count() noexcept;

// A call's progress report: called on the calling thread with the fraction of the
// items committed; true asks to cancel.
struct Progress {
    bool (*report)(double fraction, const void *context) = nullptr;
    const void *context = nullptr;
};

// Runs share(job) on a worker inside the models' floating-point state, with the
// export's priority step taken.
using WorkerScope = void (*)(void (*share)(void *job), void *job);

// What an export hands its engine for one call.
struct CallControl {
    int threads = 1;  // 1: the calling thread alone, no pool
    Progress progress;
    WorkerScope worker_scope = nullptr;
};

// Reports progress at most every 10 ms; costs one predictable branch without a report.
class ProgressTicker {
public:
    // `before` items were done by an earlier stage of the same call.
    explicit ProgressTicker(const Progress &p, std::int64_t before = 0) noexcept : progress_(p), before_(before) {
        if (progress_.report) last_ = std::chrono::steady_clock::now();
    }
    // True when the caller asked to cancel; once it has, it is not asked again.
    bool tick(std::int64_t done, std::int64_t total) noexcept {
        if (!progress_.report || cancelled_) return cancelled_;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(10)) return false;
        last_ = now;
        cancelled_ = progress_.report(static_cast<double>(before_ + done) / static_cast<double>(before_ + total),
                                      progress_.context);
        return cancelled_;
    }
    // The closing report of a completed run (fraction 1).
    void finish() noexcept {
        if (progress_.report) (void)progress_.report(1.0, progress_.context);
    }

private:
    Progress progress_;
    std::int64_t before_;
    std::chrono::steady_clock::time_point last_{};
    bool cancelled_ = false;
};

// Items [0, items) in chunks of `chunk` consecutive items. compute() fills the chunk's
// slot and may run on any participant at the same time as others; commit() runs for
// one chunk at a time in chunk order and returns false to stop the run there (a
// failure). Chunk c uses slot c % slots.
class OrderedWork {
public:
    virtual void compute(std::int64_t first, std::int64_t end, int slot) noexcept = 0;
    virtual bool commit(std::int64_t first, std::int64_t end, int slot) noexcept = 0;

protected:
    ~OrderedWork() = default;
};

enum class RunEnd { complete, stopped, cancelled };

// Slots a run on `threads` threads wants: enough that a participant rarely waits for
// the chunk before it to be committed.
inline int ordered_slots(int threads) noexcept { return threads <= 1 ? 1 : 4 * threads; }

// Runs the work on the calling thread and up to control.threads - 1 workers (on the
// calling thread alone when control.threads <= 1 or there is one chunk). Progress is
// the fraction of items committed, reported from the calling thread; cancelling stops
// the run before its next chunk. A complete run reports fraction 1 last. `before`
// items of the same call were done before this run (they count in the fraction).
RunEnd run_ordered(OrderedWork &work, std::int64_t items, int chunk, int slots, const CallControl &control,
                   std::int64_t before = 0) noexcept;

// A number unique to each call of the process (for work spaces that cache per call).
std::uint64_t next_call_stamp() noexcept;

}  // namespace mosslib::common
