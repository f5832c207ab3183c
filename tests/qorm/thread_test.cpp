#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qorm/backoff.h"
#include "qorm/scoped_deleter.h"
#include "qorm/thread_helper.h"

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

struct Counter {
    int* calls;
    void operator()() const { ++*calls; }
};
static_assert(!std::is_copy_constructible_v<Scoped_Deleter<Counter>>);
static_assert(!std::is_copy_assignable_v<Scoped_Deleter<Counter>>);

TEST(ScopedDeleter, CallsExactlyOnce) {
    int a = 0, b = 0, c = 0;
    {
        auto reset_early = make_deleter(Counter{&a});
        reset_early.reset();
        EXPECT_EQ(a, 1);
        auto moved_from = make_deleter(Counter{&b});
        auto moved_to = std::move(moved_from);
        moved_from.reset();
        EXPECT_EQ(b, 0);
        auto overwritten = make_deleter(Counter{&c});
        overwritten = std::move(moved_to);  // runs the callable it replaces
        EXPECT_EQ(c, 1);
    }
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(c, 1);
}

constexpr unsigned max_u32 = UINT32_MAX;
using V = std::vector<unsigned>;

V delays(unsigned slot, unsigned retries, unsigned cap, bool jitter) {
    V out;
    for (unsigned d : exponential_backoff(slot, retries, cap, jitter))
        out.push_back(d);
    return out;
}

TEST(Backoff, SequenceEdges) {
    // Doubling, the cap and zero retries: the ZBS connect parameters' tests.
    EXPECT_EQ(delays(50, 2, 10, false), (V{10, 10}));
    EXPECT_EQ(delays(max_u32, 3, 0, false), (V{max_u32, max_u32, max_u32}));
}

TEST(Backoff, HugeRetriesSaturateAndJitterStaysInRange) {
    for (unsigned cap : {0u, 600u}) {
        const V plain = delays(1, 1000, cap, false);
        const V jittered = delays(1, 1000, cap, true);
        ASSERT_EQ(plain.size(), 1000u);
        ASSERT_EQ(jittered.size(), 1000u);
        EXPECT_EQ(plain.back(), cap ? cap : max_u32);
        for (std::size_t i = 0; i < plain.size(); ++i) {
            ASSERT_GE(plain[i], i ? plain[i - 1] : 1u) << i;  // never wraps to 0
            ASSERT_TRUE(jittered[i] >= 1 && jittered[i] <= plain[i]) << i;
        }
    }
}

// Range-for stops exactly at the end, which stays the end.
TEST(Backoff, EndsExactlyAtTheEnd) {
    const Exponential_Backoff_Iterator end;
    Exponential_Backoff_Iterator it(1, 5, 0, false), before = it++;
    EXPECT_EQ(++before, it);
    EXPECT_EQ(std::distance(it, end), 4);
    std::advance(it, 4);
    EXPECT_EQ(++it, end);
}

}  // namespace
