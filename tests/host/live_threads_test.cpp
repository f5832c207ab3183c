// Waiting for a process's threads to end, thread-local clean-ups included.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "host/live_threads.h"

namespace {

using std::chrono::milliseconds;

// Far above what ending a thread takes.
constexpr milliseconds BOUND{10000};
// The clean-up a thread runs as it ends, slow enough to be cut short.
constexpr milliseconds SLOW_CLEAN_UP{300};

std::atomic<bool> cleaned_up{false};

void slow_clean_up(void*) {
    std::this_thread::sleep_for(SLOW_CLEAN_UP);
    cleaned_up = true;
}

// A detached thread tells that its work is done (as it leaves a thread
// manager's table), then ends through a slow thread-local clean-up: the
// wait returns once that has run.
TEST(LiveThreads, WaitEndsOnceDetachedThreadsHaveRunTheirCleanUps) {
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, slow_clean_up), 0);
    const std::set<pid_t> kept = note_threads();
    ASSERT_FALSE(kept.empty());
    std::promise<void> done;
    std::thread([&key, &done] {
        pthread_setspecific(key, &key);
        done.set_value();
    }).detach();
    done.get_future().wait();
    EXPECT_TRUE(wait_for_threads(kept, BOUND));
    EXPECT_TRUE(cleaned_up);
    EXPECT_EQ(live_threads(), kept);
    pthread_key_delete(key);
}

TEST(LiveThreads, WaitGivesUpOnAThreadThatRunsOn) {
    const std::set<pid_t> kept = note_threads();
    std::promise<void> release;
    std::thread running([&release] { release.get_future().wait(); });
    EXPECT_FALSE(wait_for_threads(kept, milliseconds(50)));
    EXPECT_EQ(live_threads().size(), kept.size() + 1);
    release.set_value();
    running.join();
    EXPECT_TRUE(wait_for_threads(kept, BOUND));
}

}  // namespace
