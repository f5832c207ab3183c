#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "models/task/thread_task_scheduler.h"
#include "task_test_support.h"

namespace {
using task_test::bounded;
using task_test::Log_Capture;
using task_test::Probe;

struct Item {
    std::string name;
    // Answers CODE_FAILED_RETRY this many times, then result.
    int retries = 0;
    Task_Base::Error result = Task_Base::CODE_SUCCESS;
};
using Item_Ptr = std::shared_ptr<Item>;
using Scheduler = Thread_Task_Scheduler<Item>;

Item_Ptr item(const std::string& name, int retries = 0,
              Task_Base::Error result = Task_Base::CODE_SUCCESS) {
    auto i = std::make_shared<Item>();
    i->name = name;
    i->retries = retries;
    i->result = result;
    return i;
}

// Runs on the workers; blocks in the probe until released.
Scheduler::Worker_Function probe_worker(Probe& probe) {
    return [&probe](const Item_Ptr& i) {
        Task_Base::Error r = i->result;
        if (i->retries > 0) {
            --i->retries;
            r = Task_Base::CODE_FAILED_RETRY;
        }
        return probe.run(i->name, r);
    };
}

bool wait_done(Scheduler& s) {
    return bounded([&s] { return s.wait(); }, "Thread_Task_Scheduler::wait");
}

TEST(Thread_Task_Scheduler, never_more_tasks_run_than_workers) {
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(s.enqueue_task(item("t" + std::to_string(i)), nullptr, 0, nullptr, nullptr));
    ASSERT_TRUE(s.activate(3, probe_worker(probe)));

    // Hold three at a time and let one go at a time: a fourth would start
    // while three are still held.
    for (int done = 0; done < 12; ++done) {
        ASSERT_TRUE(probe.wait_running(std::min(3, 12 - done))) << "after " << done;
        probe.release();
        ASSERT_TRUE(probe.wait_finished(done + 1));
    }
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(3, probe.max_running());
    EXPECT_EQ(12, probe.finished());
}

TEST(Thread_Task_Scheduler, one_task_per_owner_per_pass) {
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    // All of "b" is enqueued after all of "a": a dispatcher draining one
    // owner first would start a0 and a1.
    for (const char* owner : {"b", "a"})
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(s.enqueue_task(item(std::string(owner) + std::to_string(i)), owner, 0,
                                       nullptr, nullptr));
    ASSERT_TRUE(s.activate(2, probe_worker(probe)));

    ASSERT_TRUE(probe.wait_running(2));
    auto first = probe.started();
    EXPECT_EQ((std::set<std::string>{"a0", "b0"}),
              std::set<std::string>(first.begin(), first.end()));
    probe.open();
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(6, probe.finished());
    EXPECT_LE(probe.max_running(), 2);
}

TEST(Thread_Task_Scheduler, admission_capacity_counts_waiting_tasks) {
    Log_Capture logs;
    Probe probe;
    Scheduler s(2);
    Probe::Opener opener{probe};
    ASSERT_TRUE(s.enqueue_task(item("w0"), nullptr, 0, "w0", nullptr));
    ASSERT_TRUE(s.enqueue_task(item("w1"), nullptr, 0, "w1", nullptr));
    // Refused for room, not for its arguments.
    EXPECT_FALSE(s.enqueue_task(item("w2"), nullptr, 0, "w2", nullptr));
    EXPECT_TRUE(logs.contains("Failed to enqueue task, id: 3, name: w2, count: 0.\n"))
        << logs.all();

    ASSERT_TRUE(s.activate(1, probe_worker(probe)));
    // w0 out with the worker leaves one task waiting: room for one more.
    ASSERT_TRUE(probe.wait_running(1));
    EXPECT_TRUE(s.enqueue_task(item("w3"), nullptr, 0, "w3", nullptr));
    EXPECT_FALSE(s.enqueue_task(item("w4"), nullptr, 0, "w4", nullptr));
    probe.open();
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ((std::vector<std::string>{"w0", "w1", "w3"}), probe.started());
}

TEST(Thread_Task_Scheduler, a_task_that_keeps_asking_for_retry_runs_limit_plus_one_times) {
    Log_Capture logs;
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    ASSERT_TRUE(s.enable_retry(3, 0));
    ASSERT_TRUE(s.enqueue_task(item("again", 1000), nullptr, 0, "again", nullptr));
    ASSERT_TRUE(s.enqueue_task(item("once"), nullptr, 0, "once", nullptr));
    probe.open();
    ASSERT_TRUE(s.activate(2, probe_worker(probe)));
    EXPECT_TRUE(wait_done(s));

    auto started = probe.started();
    EXPECT_EQ(4, std::count(started.begin(), started.end(), "again"));
    EXPECT_EQ(1, std::count(started.begin(), started.end(), "once"));
    EXPECT_EQ(1, logs.count(", name: again, count: 4, enqueuing again.\n")) << logs.all();
    EXPECT_EQ(1, logs.count("Failed to enqueue task, id: ")) << logs.all();
    EXPECT_TRUE(logs.contains(", name: again, count: 4.\n")) << logs.all();
    EXPECT_FALSE(logs.contains("count: 5")) << logs.all();
}

TEST(Thread_Task_Scheduler, without_retry_policy_a_retry_is_admitted_again) {
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    ASSERT_TRUE(s.enqueue_task(item("r", 7, Task_Base::CODE_FAILED), nullptr, 0, "r", nullptr));
    probe.open();
    ASSERT_TRUE(s.activate(1, probe_worker(probe)));
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(8, probe.finished());
}

TEST(Thread_Task_Scheduler, retry_waits_for_its_interval_and_lets_others_pass) {
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    ASSERT_TRUE(s.enable_retry(2, 1));
    ASSERT_TRUE(s.enqueue_task(item("slow", 1), nullptr, 0, "slow", nullptr));
    ASSERT_TRUE(s.enqueue_task(item("next"), nullptr, 0, "next", nullptr));
    probe.open();
    ASSERT_TRUE(s.activate(1, probe_worker(probe)));
    EXPECT_TRUE(wait_done(s));

    auto started = probe.started();
    ASSERT_EQ((std::vector<std::string>{"slow", "next", "slow"}), started);
    auto starts = probe.starts();
    auto ends = probe.ends();
    // From the end of the failed run to the start of the retry.
    EXPECT_GE(starts[2] - ends[0], std::chrono::seconds(1));
}

TEST(Thread_Task_Scheduler, stop_ends_dispatching_and_wait_returns) {
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    ASSERT_TRUE(s.register_stop_callback([&] {
        ++asked;
        return stop.load();
    }));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(s.enqueue_task(item("s" + std::to_string(i), 1), nullptr, 0, nullptr, nullptr));
    ASSERT_TRUE(s.activate(2, probe_worker(probe)));

    ASSERT_TRUE(probe.wait_running(2));
    stop = true;
    // Tasks already out still finish, and their retries are dropped.
    probe.open();
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(2, probe.finished());
    EXPECT_GT(asked.load(), 0);
    EXPECT_FALSE(s.enqueue_task(item("late"), nullptr, 0, nullptr, nullptr));
}

TEST(Thread_Task_Scheduler, a_scheduler_with_nothing_to_do_ends) {
    Probe probe;
    Scheduler s(1024);
    ASSERT_TRUE(s.activate(2, probe_worker(probe)));
    EXPECT_TRUE(wait_done(s));
    // Nothing would ever run a task admitted now.
    EXPECT_FALSE(s.enqueue_task(item("late"), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(0, probe.finished());
}

TEST(Thread_Task_Scheduler, bad_arguments_are_refused) {
    Log_Capture logs;
    Probe probe;
    Scheduler s(1024);
    Probe::Opener opener{probe};
    EXPECT_FALSE(s.enqueue_task(nullptr, "o", 0, "n", "u"));
    EXPECT_TRUE(logs.contains(", params is NULL:\n")) << logs.all();

    EXPECT_FALSE(s.activate(0, probe_worker(probe)));
    EXPECT_TRUE(logs.contains(", n_worker_threads(0) < 1:\n")) << logs.all();
    EXPECT_TRUE(wait_done(s)) << "nothing was started";

    EXPECT_FALSE(s.activate(1, nullptr));
    ASSERT_TRUE(s.enqueue_task(item("x"), nullptr, 0, nullptr, nullptr));
    probe.open();
    ASSERT_TRUE(s.activate(1, probe_worker(probe)));
    EXPECT_FALSE(s.activate(1, probe_worker(probe)));
    EXPECT_TRUE(logs.contains(", worker_ is true:\n")) << logs.all();
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(1, probe.finished());
}

TEST(Thread_Task_Scheduler, a_throwing_task_fails_alone) {
    Log_Capture logs;
    Scheduler s(1024);
    std::atomic<int> ran{0};
    for (const char* n : {"boom", "fine"})
        ASSERT_TRUE(s.enqueue_task(item(n), nullptr, 0, n, nullptr));
    ASSERT_TRUE(s.activate(1, [&ran](const Item_Ptr& i) {
        ++ran;
        if (i->name == "boom")
            throw std::runtime_error("bad chunk");
        return Task_Base::CODE_SUCCESS;
    }));
    EXPECT_TRUE(wait_done(s));
    EXPECT_EQ(2, ran.load());
    EXPECT_TRUE(logs.contains("Task failed, id: 1, name: boom, count: 1.\n")) << logs.all();
    EXPECT_TRUE(logs.contains("bad chunk")) << logs.all();
}

TEST(Thread_Task_Scheduler, destroying_without_wait_stops_and_joins) {
    Probe probe;
    {
        auto s = std::make_unique<Scheduler>(1024);
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(
                s->enqueue_task(item("d" + std::to_string(i)), nullptr, 0, nullptr, nullptr));
        ASSERT_TRUE(s->activate(2, probe_worker(probe)));
        ASSERT_TRUE(probe.wait_running(2));
        probe.open();
        bounded(
            [&s] {
                s.reset();
                return 0;
            },
            "~Thread_Task_Scheduler");
    }
    // Whatever ran, ran to its end before the scheduler was gone.
    EXPECT_EQ(static_cast<int>(probe.started().size()), probe.finished());
    EXPECT_LE(probe.finished(), 50);
}

TEST(Thread_Task_Scheduler, many_short_tasks) {
    Log_Capture quiet(false);
    constexpr int kOwners = 3, kPerOwner = 700, kWorkers = 4;
    Scheduler s(kOwners * kPerOwner);
    std::atomic<int> running{0}, max_running{0}, runs{0};
    std::vector<std::atomic<int>> seen(kOwners * kPerOwner);
    ASSERT_TRUE(s.enable_retry(1, 0));
    for (int o = 0; o < kOwners; ++o)
        for (int i = 0; i < kPerOwner; ++i) {
            const int n = o * kPerOwner + i;
            // Every fifth asks once for a retry.
            ASSERT_TRUE(s.enqueue_task(item(std::to_string(n), n % 5 == 0 ? 1 : 0),
                                       std::to_string(o).c_str(), 0, nullptr, nullptr));
        }
    ASSERT_TRUE(s.activate(kWorkers, [&](const Item_Ptr& i) {
        const int now = ++running;
        int seen_max = max_running.load();
        while (now > seen_max && !max_running.compare_exchange_weak(seen_max, now)) {
        }
        ++runs;
        ++seen[std::stoi(i->name)];
        Task_Base::Error r = Task_Base::CODE_SUCCESS;
        if (i->retries > 0) {
            --i->retries;
            r = Task_Base::CODE_FAILED_RETRY;
        }
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
