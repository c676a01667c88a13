#include "common/parallel.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

namespace mosslib::common {

namespace {

#if !defined(_WIN32)
// CPU quota of the cgroup (v2 cpu.max, else v1 cfs quota and period), in whole cores
// rounded up; 0 when there is none.
int cgroup_cores() noexcept {
    long long quota = -1, period = 0;
    if (std::FILE *f = std::fopen("/sys/fs/cgroup/cpu.max", "r")) {
        char q[32] = "";
        if (std::fscanf(f, "%31s %lld", q, &period) == 2 && q[0] != 'm') quota = std::atoll(q);
        std::fclose(f);
    } else {
        std::FILE *fq = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "r");
        std::FILE *fp = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "r");
        if (fq && fp && (std::fscanf(fq, "%lld", &quota) != 1 || std::fscanf(fp, "%lld", &period) != 1)) quota = -1;
        if (fq) std::fclose(fq);
        if (fp) std::fclose(fp);
    }
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<int>(std::min<long long>((quota + period - 1) / period, kMaxThreads));
}
#endif

int count_cores() noexcept {
    int cores = 0;
#if defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process != 0; process &= process - 1) ++cores;
#else
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cores = CPU_COUNT(&set);
    if (const int quota = cgroup_cores(); quota > 0 && (cores == 0 || quota < cores)) cores = quota;
#endif
    if (cores <= 0) cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores, 1, kMaxThreads);
}

int default_thread_count() noexcept {
    static const int count = [] {
        if (const char *env = std::getenv("MOSSLIB_THREADS")) {
            char *end = nullptr;
            const long n = std::strtol(env, &end, 10);
            if (end != env && *end == '\0' && n >= 1) return static_cast<int>(std::min<long>(n, kMaxThreads));
        }
        return available_cores();
    }();
    return count;
}

// The pool's lock and wake-up signal. On Windows those of the system: a worker asleep
// in the POSIX layer the DLL links in, when the process ends and kills it, leaves that
// layer's state such that the DLL's detach at exit waits for ever.
#if defined(_WIN32)
class PoolLock {
public:
    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK *native() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class PoolSignal {
public:
    void wait(std::unique_lock<PoolLock> &lock) noexcept {
        SleepConditionVariableSRW(&signal_, lock.mutex()->native(), INFINITE, 0);
    }
    void wait_for(std::unique_lock<PoolLock> &lock, std::chrono::milliseconds ms) noexcept {
        SleepConditionVariableSRW(&signal_, lock.mutex()->native(), static_cast<DWORD>(ms.count()), 0);
    }
    void notify_all() noexcept { WakeAllConditionVariable(&signal_); }

private:
    CONDITION_VARIABLE signal_ = CONDITION_VARIABLE_INIT;
};
#else
using PoolLock = std::mutex;

class PoolSignal {
public:
    void wait(std::unique_lock<PoolLock> &lock) { signal_.wait(lock); }
    void wait_for(std::unique_lock<PoolLock> &lock, std::chrono::milliseconds ms) { signal_.wait_for(lock, ms); }
    void notify_all() noexcept { signal_.notify_all(); }

private:
    std::condition_variable signal_;
};
#endif

std::atomic<int> g_setting{0};  // 0: the default
std::atomic<std::uint64_t> g_call_stamp{0};

// A job the pool's workers may join: `wanted` more helpers run share(arg).
struct PoolJob {
    void (*share)(void *) = nullptr;
    void *arg = nullptr;
    WorkerScope scope = nullptr;
    int wanted = 0;
    int inside = 0;
    PoolJob *next = nullptr;
    PoolSignal left;  // inside dropped to 0
};

class Pool {
public:
    // Offers the job to up to job.wanted workers, starting workers until the pool has
    // `size` of them (fewer when the system starts no more).
    void open(PoolJob &job, int size) {
        std::unique_lock lock(mutex_);
        while (workers_ < size && start_worker()) ++workers_;
        job.next = jobs_;
        jobs_ = &job;
        lock.unlock();
        available_.notify_all();
    }

    // Takes the job off the offer and waits for the workers inside it to leave.
    void close(PoolJob &job) {
        std::unique_lock lock(mutex_);
        for (PoolJob **p = &jobs_; *p; p = &(*p)->next)
            if (*p == &job) {
                *p = job.next;
                break;
            }
        job.wanted = 0;
        while (job.inside != 0) job.left.wait(lock);
    }

private:
    // False when no thread can be started: the call runs on those it has.
    bool start_worker() noexcept {
#if defined(_WIN32)
        // A thread of the system's own, not of the POSIX layer the DLL links in.
        const HANDLE h = CreateThread(nullptr, 0, &Pool::worker_entry, this, 0, nullptr);
        if (!h) return false;
        CloseHandle(h);
        return true;
#else
        try {
            std::thread(&Pool::serve, this).detach();
            return true;
        } catch (...) {
            return false;
        }
#endif
    }

#if defined(_WIN32)
    static DWORD WINAPI worker_entry(LPVOID pool) { static_cast<Pool *>(pool)->serve(); }
#endif

    [[noreturn]] void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            PoolJob *job = jobs_;
            while (job && job->wanted == 0) job = job->next;
            if (!job) {
                available_.wait(lock);
                continue;
            }
            --job->wanted;
            ++job->inside;
            lock.unlock();
            if (job->scope)
                job->scope(job->share, job->arg);
            else
                job->share(job->arg);
            lock.lock();
            if (--job->inside == 0) job->left.notify_all();
        }
    }

    PoolLock mutex_;
    PoolSignal available_;
    PoolJob *jobs_ = nullptr;
    int workers_ = 0;
};

// The process's pool; never destroyed. A child made by fork() has none of its
// parent's workers and starts a pool of its own.
std::atomic<Pool *> g_pool{nullptr};
PoolLock g_pool_made;

Pool &pool() {
    if (Pool *p = g_pool.load(std::memory_order_acquire)) return *p;
    const std::lock_guard lock(g_pool_made);
    Pool *p = g_pool.load(std::memory_order_relaxed);
    if (!p) {
#if !defined(_WIN32)
        static const int registered = pthread_atfork(nullptr, nullptr, [] { g_pool.store(nullptr); });
        (void)registered;
#endif
        p = new Pool;
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

// One ordered run shared by its participants.
class OrderedRun {
public:
    OrderedRun(OrderedWork &work, std::int64_t items, int chunk, int slots, const Progress &progress,
               std::int64_t before)
        : work_(work), items_(items), chunk_(chunk), chunks_((items + chunk - 1) / chunk), slots_(slots),
          ticker_(progress, before) {
        for (int s = 0; s < slots_; ++s) done_[s].store(-1, std::memory_order_relaxed);
    }

    // The loop of every participant; the calling thread reports progress.
    void participate(bool caller) noexcept {
        for (;;) {
            if (stop_.load()) break;
            const std::int64_t c = next_.fetch_add(1);
            if (c >= chunks_) break;
            if (c - committed_.load(std::memory_order_acquire) >= slots_) try_commit(true, caller);
            if (c - committed_.load(std::memory_order_acquire) >= slots_) {
                std::unique_lock lock(wait_mutex_);
                while (c - committed_.load() >= slots_ && !stop_.load()) {
                    if (!caller) {
                        slot_free_.wait(lock);
                        continue;
                    }
                    // The caller waiting for a slot still answers for the call.
                    slot_free_.wait_for(lock, kPollInterval);
                    lock.unlock();
                    poll();
                    lock.lock();
                }
                if (stop_.load()) break;
            }
            const int slot = static_cast<int>(c % slots_);
            work_.compute(c * chunk_, std::min(items_, (c + 1) * chunk_), slot);
            done_[slot].store(c);
            try_commit(caller, caller);
            if (caller) poll();
        }
    }

    // After every participant has left: what the workers left to commit.
    RunEnd end() noexcept {
        try_commit(true, false);
        if (cancelled_.load()) return RunEnd::cancelled;
        if (failed_.load()) return RunEnd::stopped;
        ticker_.finish();
        return RunEnd::complete;
    }

    static void share(void *run) { static_cast<OrderedRun *>(run)->participate(false); }

private:
    // How long the calling thread goes without asking the progress callback at most,
    // beyond the chunk it computes or commits.
    static constexpr std::chrono::milliseconds kPollInterval{10};

    // The calling thread's report (at most every 10 ms); a request to cancel stops
    // every participant before its next chunk or commit.
    void poll() noexcept {
        if (ticker_.tick(std::min(items_, committed_.load() * chunk_), items_)) {
            cancelled_.store(true);
            halt();
        }
    }

    // Commits every computed chunk next in line. One participant commits at a time;
    // one that finds the committer busy leaves its chunk to it, and the committer
    // looks again after letting go. The calling thread commits eagerly; a worker
    // leaves the commits to it while fewer than half the slots are taken (the spectrum
    // then stays in one core's cache), and commits before it would wait for a slot;
    // what is left when all have finished the calling thread commits last. While the
    // workers keep computing, the committer may stay here for long: the calling thread
    // asks the progress callback after every chunk it commits (`caller`).
    void try_commit(bool eager, bool caller) noexcept {
        if (!eager && next_.load() - committed_.load() < slots_ / 2) return;
        for (;;) {
            if (committing_.exchange(true)) return;
            bool advanced = false;
            for (std::int64_t k = committed_.load(); k < chunks_ && !stop_.load(); ++k) {
                if (done_[k % slots_].load() != k) break;
                const bool ok = work_.commit(k * chunk_, std::min(items_, (k + 1) * chunk_), static_cast<int>(k % slots_));
                committed_.store(k + 1);
                advanced = true;
                if (!ok) {
                    failed_.store(true);
                    halt();
                }
                if (caller) poll();
            }
            committing_.store(false);
            if (advanced) wake();
            const std::int64_t k = committed_.load();
            if (k >= chunks_ || stop_.load() || done_[k % slots_].load() != k) return;
        }
    }

    void halt() noexcept {
        stop_.store(true);
        wake();
    }

    void wake() noexcept {
        { const std::lock_guard lock(wait_mutex_); }
        slot_free_.notify_all();
    }

    OrderedWork &work_;
    const std::int64_t items_;
    const std::int64_t chunk_;
    const std::int64_t chunks_;
    const int slots_;
    ProgressTicker ticker_;
    std::atomic<std::int64_t> next_{0};
    std::atomic<std::int64_t> committed_{0};
    std::atomic<std::int64_t> done_[4 * kMaxThreads];  // chunk computed into each slot
    std::atomic<bool> committing_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> cancelled_{false};
    PoolLock wait_mutex_;
    PoolSignal slot_free_;
};

RunEnd run_serial(OrderedWork &work, std::int64_t items, int chunk, const Progress &progress,
                  std::int64_t before) noexcept {
    ProgressTicker ticker(progress, before);
    for (std::int64_t first = 0; first < items; first += chunk) {
        const std::int64_t end = std::min(items, first + chunk);
        work.compute(first, end, 0);
        if (!work.commit(first, end, 0)) return RunEnd::stopped;
        if (ticker.tick(end, items)) return RunEnd::cancelled;
    }
    ticker.finish();
    return RunEnd::complete;
}

}  // namespace

int available_cores() noexcept {
    static const int cores = [] {
        const int host_errno = errno;  // the files read may not exist; the host's errno stays
        const int n = count_cores();
        errno = host_errno;
        return n;
    }();
    return cores;
}

int set_thread_count(int n) noexcept {
    return g_setting.exchange(n >= 1 ? std::min(n, kMaxThreads) : 0);
}

int thread_count() noexcept {
    const int n = g_setting.load(std::memory_order_relaxed);
    return n >= 1 ? n : default_thread_count();
}

std::uint64_t next_call_stamp() noexcept { return g_call_stamp.fetch_add(1) + 1; }

RunEnd run_ordered(OrderedWork &work, std::int64_t items, int chunk, int slots, const CallControl &control,
                   std::int64_t before) noexcept {
    chunk = std::max(chunk, 1);
    const std::int64_t chunks = (items + chunk - 1) / chunk;
    const int threads = std::clamp(control.threads, 1, kMaxThreads);
    if (threads == 1 || chunks <= 1 || slots < 2) return run_serial(work, items, chunk, control.progress, before);
    slots = std::min(slots, 4 * kMaxThreads);

    OrderedRun run(work, items, chunk, slots, control.progress, before);
    PoolJob job;
    job.share = &OrderedRun::share;
    job.arg = &run;
    job.scope = control.worker_scope;
    job.wanted = static_cast<int>(std::min<std::int64_t>(threads - 1, chunks - 1));
    Pool *p = nullptr;
    try {
        p = &pool();
        p->open(job, threads - 1);
    } catch (...) {
        return run_serial(work, items, chunk, control.progress, before);
    }
    run.participate(true);
    p->close(job);
    return run.end();
}

}  // namespace mosslib::common
