#include "qorm/thread_helper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// The spawned function: records itself, then blocks until released.
struct Worker {
    std::mutex m;
    std::condition_variable cv;
    bool open = false, entered = false, finished = false;
    int calls = 0;
    std::thread::id ran_on;

    void work() {
        std::unique_lock<std::mutex> lock(m);
        ++calls;
        ran_on = std::this_thread::get_id();
        entered = true;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
        finished = true;
        cv.notify_all();  // under the lock: the waiter may destroy us afterwards
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
    void wait_for(const bool& flag) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&flag] { return flag; });
    }
};

struct Recording_Helper : Thread_Helper {
    Worker* worker = nullptr;
    std::thread::id starting_on;
    int calls_at_start = -1;

    void handle_starting() override {
        starting_on = std::this_thread::get_id();
        std::lock_guard<std::mutex> lock(worker->m);
        calls_at_start = worker->calls;
    }
};

}  // namespace

TEST(ThreadHelper, RunsOnceOnNewThreadAfterHandleStarting) {
    Worker w;
    w.release();
    Recording_Helper h;
    h.worker = &w;
    EXPECT_FALSE(h.exists() || h.running());
    ASSERT_GE(h.spawn(&Worker::work, &w), 0);
    EXPECT_TRUE(h.exists());
    h.join();
    EXPECT_FALSE(h.exists());
    EXPECT_EQ(w.calls, 1);
    EXPECT_NE(w.ran_on, std::this_thread::get_id());
    EXPECT_EQ(h.starting_on, w.ran_on);
    EXPECT_EQ(h.calls_at_start, 0);

    h.join();  // again: harmless; then the helper is reusable
    ASSERT_GE(h.spawn(&Worker::work, &w), 0);
    h.join();
    EXPECT_EQ(w.calls, 2);
}

TEST(ThreadHelper, RefusesSecondSpawnAndTracksRunning) {
    Worker w, other;
    Thread_Helper h;
    ASSERT_GE(h.spawn(&Worker::work, &w), 0);
    w.wait_for(w.entered);
    EXPECT_EQ(h.spawn(&Worker::work, &other), -1);
    EXPECT_TRUE(h.running());

    w.release();
    // Cleared after the function returns, with nothing to wait on: poll, with
    // a bound far beyond any scheduling delay so a stuck flag fails, not hangs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (h.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(h.running());
    EXPECT_TRUE(h.exists());  // until joined
    h.join();
    EXPECT_EQ(w.calls, 1);
    EXPECT_EQ(other.calls, 0);
}

TEST(ThreadHelper, DestructorJoinsAndADetachedThreadOutlivesTheHelper) {
    Worker joined, detached;
    {
        Thread_Helper h;
        ASSERT_GE(h.spawn(&Worker::work, &joined), 0);
        joined.release();
    }
    {
        std::lock_guard<std::mutex> lock(joined.m);
        EXPECT_TRUE(joined.finished);
    }
    {
        Thread_Helper h(THR_NEW_LWP | THR_DETACHED);
        ASSERT_GE(h.spawn(&Worker::work, &detached), 0);
        EXPECT_FALSE(h.exists() || h.running());
        h.join();  // would hang here on the still-blocked function if it waited
    }              // ASan reports any access to the helper from the thread after this
    detached.release();
    detached.wait_for(detached.finished);
    EXPECT_EQ(detached.calls, 1);
}
