// A host linked with the library can start threads with small stacks, and those threads
// can call the models. glibc carves a module's static thread-local storage out of every
// thread's stack, also of threads that never call the library, so the library's
// per-thread work spaces must not live there.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <vector>

#include "mosslib.h"

namespace {

struct Job {
    double doublet[256];
    double sextet[256];
    double doubl_return = 0.0;
    double sext_return = 0.0;
};

// A ferric doublet and metallic iron.
void compute(Job &job) {
    const double doublet[7] = {0, 0.35, 0.8, 0.25, 1.0, 0.05, 128.5};
    double sextet[14] = {0, 33.0, -0.11, 0.0, 0.25, 1.0, 3, 2, 1, 1, 2, 3, 0.05, 128.5};
    job.doubl_return = doubl(doublet, job.doublet);
    job.sext_return = sext(sextet, job.sextet);
}

void *thread_main(void *arg) {
    compute(*static_cast<Job *>(arg));
    return nullptr;
}

TEST(SmallStackHost, ThreadsWith64KBStacksCallDoublAndSext) {
    mosslib_set_priority_step(0);
    Job expected;
    compute(expected);

    constexpr std::size_t kStack = 64 * 1024;
    constexpr int kThreads = 4;
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kStack), 0);
    std::vector<Job> jobs(kThreads);
    std::vector<pthread_t> threads(kThreads);
    int started = 0;
    for (; started < kThreads; ++started) {
        const int rc = pthread_create(&threads[started], &attr, thread_main, &jobs[started]);
        EXPECT_EQ(rc, 0) << "pthread_create with a 64 KB stack: " << std::strerror(rc);
        if (rc != 0) break;
    }
    for (int t = 0; t < started; ++t) ASSERT_EQ(pthread_join(threads[t], nullptr), 0);
    pthread_attr_destroy(&attr);
    mosslib_set_priority_step(1);
    ASSERT_EQ(started, kThreads);
    for (const Job &job : jobs) {
        EXPECT_EQ(job.doubl_return, 0.1);
        EXPECT_EQ(job.sext_return, 0.1);
        EXPECT_EQ(std::memcmp(job.doublet, expected.doublet, sizeof job.doublet), 0);
        EXPECT_EQ(std::memcmp(job.sextet, expected.sextet, sizeof job.sextet), 0);
    }
}

}  // namespace
