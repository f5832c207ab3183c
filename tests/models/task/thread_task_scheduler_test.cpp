#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "models/task/thread_task_scheduler.h"
#include "task_test_support.h"

namespace {
using task_test::bounded;
using task_test::Log_Capture;
using task_test::Probe;
using ::testing::HasSubstr;
using ::testing::Not;

struct Item {
    std::string name;
    // Answers CODE_FAILED_RETRY this many times, then result.
    int retries = 0;
    Task_Base::Error result = Task_Base::CODE_SUCCESS;
};
using Item_Ptr = std::shared_ptr<Item>;
using Scheduler = Thread_Task_Scheduler<Item>;

// Enqueues an item under its name as the task's name.
bool add(Scheduler& s, const std::string& name, int retries = 0, const char* owner = nullptr,
         Task_Base::Error result = Task_Base::CODE_SUCCESS) {
    return s.enqueue_task(std::make_shared<Item>(Item{name, retries, result}), owner, 0,
                          name.c_str(), nullptr);
}

// The item's answer, taking one retry off it.
Task_Base::Error answer(const Item_Ptr& i) {
    if (i->retries <= 0)
        return i->result;
    --i->retries;
    return Task_Base::CODE_FAILED_RETRY;
}

// Runs on the workers; blocks in the probe until released.
Scheduler::Worker_Function probe_worker(Probe& probe) {
    return [&probe](const Item_Ptr& i) { return probe.run(i->name, answer(i)); };
}

bool wait_done(Scheduler& s) {
    return bounded([&s] { return s.wait(); }, "Thread_Task_Scheduler::wait");
}

// A scheduler admitting 1024 tasks whose workers run in the probe.
class SchedulerTest : public ::testing::Test {
protected:
    bool activate(int workers) { return s_.activate(workers, probe_worker(probe_)); }

    Probe probe_;
    Scheduler s_{1024};
    Probe::Opener opener_{probe_};
};

TEST_F(SchedulerTest, NeverMoreTasksRunThanWorkers) {
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(add(s_, "t" + std::to_string(i)));
    ASSERT_TRUE(activate(3));
    // Hold three at a time and let one go at a time: a fourth would start
    // while three are still held.
    for (int done = 0; done < 12; ++done) {
        ASSERT_TRUE(probe_.wait_running(std::min(3, 12 - done))) << "after " << done;
        probe_.release();
        ASSERT_TRUE(probe_.wait_finished(done + 1));
    }
    EXPECT_TRUE(wait_done(s_));
    EXPECT_EQ(3, probe_.state().max_running);
    EXPECT_EQ(12, probe_.state().finished);
}

TEST_F(SchedulerTest, OneTaskPerOwnerPerPass) {
    // All of "b" is enqueued after all of "a": a dispatcher draining one
    // owner first would start a0 and a1.
    for (const char* owner : {"b", "a"})
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(add(s_, owner + std::to_string(i), 0, owner));
    ASSERT_TRUE(activate(2));
    ASSERT_TRUE(probe_.wait_running(2));
    auto first = probe_.state().started;
    EXPECT_EQ((std::set<std::string>{"a0", "b0"}),
              std::set<std::string>(first.begin(), first.end()));
    probe_.open();
    EXPECT_TRUE(wait_done(s_));
    EXPECT_EQ(6, probe_.state().finished);
    EXPECT_LE(probe_.state().max_running, 2);
}

TEST(SchedulerAdmission, CapacityCountsWaitingTasks) {
    Log_Capture logs;
    Probe probe;
    Scheduler s(2);
    Probe::Opener opener{probe};
    ASSERT_TRUE(add(s, "w0"));
    ASSERT_TRUE(add(s, "w1"));
    // Refused for room, not for its arguments.
    EXPECT_FALSE(add(s, "w2"));
    EXPECT_THAT(logs.all(), HasSubstr("Failed to enqueue task, id: 3, name: w2, count: 0.\n"));
    ASSERT_TRUE(s.activate(1, probe_worker(probe)));
    // w0 out with the worker leaves one task waiting: room for one more.
    ASSERT_TRUE(probe.wait_running(1));
    EXPECT_TRUE(add(s, "w3"));
    EXPECT_FALSE(add(s, "w4"));
    probe.open();
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ((std::vector<std::string>{"w0", "w1", "w3"}), probe.state().started);
}

TEST_F(SchedulerTest, ATaskThatKeepsAskingForRetryRunsLimitPlusOneTimes) {
    Log_Capture logs;
    ASSERT_TRUE(s_.enable_retry(3, 0));
    ASSERT_TRUE(add(s_, "again", 1000));
    ASSERT_TRUE(add(s_, "once"));
    probe_.open();
    ASSERT_TRUE(activate(2));
    EXPECT_TRUE(wait_done(s_));
    auto started = probe_.state().started;
    EXPECT_EQ(4, std::count(started.begin(), started.end(), "again"));
    EXPECT_EQ(1, std::count(started.begin(), started.end(), "once"));
    EXPECT_EQ(1, logs.count(", name: again, count: 4, enqueuing again.\n")) << logs.all();
    EXPECT_EQ(1, logs.count("Failed to enqueue task, id: ")) << logs.all();
    EXPECT_THAT(logs.all(), HasSubstr(", name: again, count: 4.\n"));
    EXPECT_THAT(logs.all(), Not(HasSubstr("count: 5")));
}

TEST_F(SchedulerTest, WithoutRetryPolicyARetryIsAdmittedAgain) {
    ASSERT_TRUE(add(s_, "r", 7, nullptr, Task_Base::CODE_FAILED));
    probe_.open();
    ASSERT_TRUE(activate(1));
    EXPECT_TRUE(wait_done(s_));
    EXPECT_EQ(8, probe_.state().finished);
}

TEST_F(SchedulerTest, RetryWaitsForItsIntervalAndLetsOthersPass) {
    ASSERT_TRUE(s_.enable_retry(2, 1));
    ASSERT_TRUE(add(s_, "slow", 1));
    ASSERT_TRUE(add(s_, "next"));
    probe_.open();
    ASSERT_TRUE(activate(1));
    EXPECT_TRUE(wait_done(s_));
    const Probe::State st = probe_.state();
    ASSERT_EQ((std::vector<std::string>{"slow", "next", "slow"}), st.started);
    // From the end of the failed run to the start of the retry.
    EXPECT_GE(st.starts[2] - st.ends[0], std::chrono::seconds(1));
}

TEST_F(SchedulerTest, StopEndsDispatchingAndWaitReturns) {
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    ASSERT_TRUE(s_.register_stop_callback([&] {
        ++asked;
        return stop.load();
    }));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(add(s_, "s" + std::to_string(i), 1));
    ASSERT_TRUE(activate(2));
    ASSERT_TRUE(probe_.wait_running(2));
    stop = true;
    // Tasks already out still finish, and their retries are dropped.
    probe_.open();
    EXPECT_TRUE(wait_done(s_));
    EXPECT_EQ(2, probe_.state().finished);
    EXPECT_GT(asked.load(), 0);
    EXPECT_FALSE(add(s_, "late"));
}

TEST_F(SchedulerTest, ASchedulerWithNothingToDoEnds) {
    ASSERT_TRUE(activate(2));
    EXPECT_TRUE(wait_done(s_));
    // Nothing would ever run a task admitted now.
    EXPECT_FALSE(add(s_, "late"));
    EXPECT_EQ(0, probe_.state().finished);
}

TEST_F(SchedulerTest, BadArgumentsAreRefused) {
    Log_Capture logs;
    EXPECT_FALSE(s_.enqueue_task(nullptr, "o", 0, "n", "u"));
    EXPECT_THAT(logs.all(), HasSubstr(", params is NULL:\n"));
    EXPECT_FALSE(activate(0));
    EXPECT_THAT(logs.all(), HasSubstr(", n_worker_threads(0) < 1:\n"));
    EXPECT_TRUE(wait_done(s_)) << "nothing was started";
    EXPECT_FALSE(s_.activate(1, nullptr));
    ASSERT_TRUE(add(s_, "x"));
    probe_.open();
    ASSERT_TRUE(activate(1));
    EXPECT_FALSE(activate(1));
    EXPECT_THAT(logs.all(), HasSubstr(", worker_ is true:\n"));
    EXPECT_TRUE(wait_done(s_));
    EXPECT_EQ(1, probe_.state().finished);
}

TEST_F(SchedulerTest, AThrowingTaskFailsAlone) {
    Log_Capture logs;
    std::atomic<int> ran{0};
    for (const char* n : {"boom", "fine"})
        ASSERT_TRUE(add(s_, n));
    ASSERT_TRUE(s_.activate(1, [&ran](const Item_Ptr& i) {
        ++ran;
        if (i->name == "boom")
            throw std::runtime_error("bad chunk");
        return Task_Base::CODE_SUCCESS;
    }));
    EXPECT_TRUE(wait_done(s_));
    EXPECT_EQ(2, ran.load());
    EXPECT_THAT(logs.all(), HasSubstr("Task failed, id: 1, name: boom, count: 1.\n"));
    EXPECT_THAT(logs.all(), HasSubstr("bad chunk"));
}

TEST(SchedulerLifetime, DestroyingWithoutWaitStopsAndJoins) {
    Probe probe;
    {
        auto s = std::make_unique<Scheduler>(1024);
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(add(*s, "d" + std::to_string(i)));
        ASSERT_TRUE(s->activate(2, probe_worker(probe)));
        ASSERT_TRUE(probe.wait_running(2));
        // The destructor stops the dispatcher while two tasks are held; they
        // are let go a moment later.
        std::thread opener([&probe] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            probe.open();
        });
        bounded(
            [&s] {
                s.reset();
                return 0;
            },
            "~Thread_Task_Scheduler");
        opener.join();
    }
    // Whatever ran, ran to its end before the scheduler was gone.
    const Probe::State st = probe.state();
    EXPECT_EQ(static_cast<int>(st.started.size()), st.finished);
    EXPECT_LE(st.finished, 50);
}

TEST(SchedulerLoad, ManyShortTasks) {
    Log_Capture quiet;
    constexpr int kOwners = 3, kPerOwner = 700, kWorkers = 4;
    Scheduler s(kOwners * kPerOwner);
    std::atomic<int> running{0}, max_running{0}, runs{0};
    std::vector<std::atomic<int>> seen(kOwners * kPerOwner);
    ASSERT_TRUE(s.enable_retry(1, 0));
    for (int n = 0; n < kOwners * kPerOwner; ++n) {
        // Every fifth asks once for a retry.
        ASSERT_TRUE(
            add(s, std::to_string(n), n % 5 == 0 ? 1 : 0, std::to_string(n / kPerOwner).c_str()));
    }
    ASSERT_TRUE(s.activate(kWorkers, [&](const Item_Ptr& i) {
        const int now = ++running;
        int seen_max = max_running.load();
        while (now > seen_max && !max_running.compare_exchange_weak(seen_max, now)) {
        }
        ++runs;
        ++seen[std::stoi(i->name)];
        const Task_Base::Error r = answer(i);
        --running;
        return r;
    }));
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(kOwners * kPerOwner + kOwners * kPerOwner / 5, runs.load());
    EXPECT_LE(max_running.load(), kWorkers);
    for (int n = 0; n < kOwners * kPerOwner; ++n)
        ASSERT_EQ(n % 5 == 0 ? 2 : 1, seen[n].load()) << n;
}
}  // namespace
