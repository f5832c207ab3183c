#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "models/task/details/queue_strategy_impl.h"
#include "models/task/details/retry_limit_queue_strategy.h"
#include "models/task/details/thread_task_worker.h"
#include "models/task/task_base.h"
#include "task_test_support.h"

namespace {

using ::testing::HasSubstr;
struct Task : Basic_Task<Task> {};
using Task_Ptr = std::shared_ptr<Task>;
using Composite = Queue_Strategy_Impl<Task>;
using Retry = Retry_Limit_Queue_Strategy<Task>;

Task_Ptr make_task(int id = 0) {
    auto t = std::make_shared<Task>();
    t->id(id);
    return t;
}

// Answers a fixed value to every predicate and records the hook calls.
struct Spy : Queue_Strategy<Task> {
    Spy(std::vector<std::string>& log, std::string name, bool answer)
        : log_(log), name_(std::move(name)), answer_(answer) {}
    bool enqueue_able_i(const Task_Ptr&) override { return record("enqueue_able"), answer_; }
    bool dequeue_able_i(const Task_Ptr&) override { return record("dequeue_able"), answer_; }
    bool call_able_i(const Task_Ptr&) override { return record("call_able"), answer_; }
    void notify_break_i(const Task_Ptr&) override { record("break"); }
    void notify_enqueued_i(const Task_Ptr&) override { record("enqueued"); }
    void notify_dequeued_i(const Task_Ptr&) override { record("dequeued"); }
    void notify_finished_i(const Task_Ptr&) override { record("finished"); }

    void record(const char* hook) { log_.push_back(name_ + "." + hook); }

    std::vector<std::string>& log_;
    std::string name_;
    bool answer_;
};

TEST(QueueStrategy, CountersBoundWaitingAndHandedOutTasks) {
    Composite s;
    auto t = make_task();
    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(s.enqueue_able(t)) << i;
        s.notify_enqueued(t);
    }
    EXPECT_FALSE(s.enqueue_able(t));
    EXPECT_EQ(1024u, t->enqueued_count());
    EXPECT_NE(0, t->last_enqueue_time());

    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(s.dequeue_able(t)) << i;
        s.notify_dequeued(t);
    }
    EXPECT_FALSE(s.dequeue_able(t));
    EXPECT_EQ(0, s.task_enqueued_count());
    EXPECT_EQ(1024, s.task_dequeued_count());
    // A handed-out task leaving makes room for dispatch, not for admission.
    s.notify_finished(t);
    EXPECT_EQ(1023, s.task_dequeued_count());
    EXPECT_EQ(0, s.task_enqueued_count());
    EXPECT_TRUE(s.dequeue_able(t));
    EXPECT_NE(0, t->last_finished_time());
}

TEST(QueueStrategyImpl, PartsMustAllAgreeAndAreAskedInOrderAfterTheCounters) {
    std::vector<std::string> log;
    Composite s;
    for (const auto& part :
         std::vector<std::pair<const char*, bool>>{{"a", true}, {"b", false}, {"c", true}})
        ASSERT_TRUE(s.add_strategy(std::make_unique<Spy>(log, part.first, part.second)));
    auto t = make_task();

    EXPECT_FALSE(s.enqueue_able(t));
    EXPECT_FALSE(s.dequeue_able(t));
    EXPECT_FALSE(s.call_able(t));
    // Asking stops at the first refusal.
    EXPECT_EQ((std::vector<std::string>{"a.enqueue_able", "b.enqueue_able", "a.dequeue_able",
                                        "b.dequeue_able", "a.call_able", "b.call_able"}),
              log);

    log.clear();
    s.notify_enqueued(t);
    s.notify_dequeued(t);
    s.notify_break(t);
    s.notify_finished(t);
    EXPECT_EQ((std::vector<std::string>{"a.enqueued", "b.enqueued", "c.enqueued", "a.dequeued",
                                        "b.dequeued", "c.dequeued", "a.break", "b.break", "c.break",
                                        "a.finished", "b.finished", "c.finished"}),
              log);
    // The counter limits refuse before any part is asked.
    log.clear();
    s.reset_enqueue_limit(0);
    s.reset_dequeue_limit(0);
    EXPECT_FALSE(s.enqueue_able(t));
    EXPECT_FALSE(s.dequeue_able(t));
    EXPECT_TRUE(log.empty());
}

TEST(QueueStrategyImpl, NullPartIsRefusedWithCheckMessage) {
    task_test::Log_Capture logs;
    Composite s;
    EXPECT_FALSE(s.add_strategy(nullptr));
    EXPECT_THAT(logs.all(), HasSubstr("Unexpected error in "));
    EXPECT_THAT(logs.all(), HasSubstr(", strategy is NULL:\n"));
    // Nothing was added that could be called.
    auto t = make_task();
    EXPECT_TRUE(s.enqueue_able(t));
    EXPECT_TRUE(s.call_able(t));
}

// A composite with a retry policy.
std::unique_ptr<Composite> with_retry(int limit, unsigned interval) {
    auto s = std::make_unique<Composite>();
    auto retry = std::make_unique<Retry>();
    retry->reset(limit, interval);
    EXPECT_TRUE(s->add_strategy(std::move(retry)));
    return s;
}

TEST(RetryLimitQueueStrategy, IntervalRunsFromTheLastFinish) {
    Retry r;
    r.reset(3, 5);
    auto t = make_task();
    EXPECT_TRUE(r.call_able_i(t)) << "never finished";
    const auto now = Task::Clock::now();
    for (int ago : {4, 5}) {
        t->last_finished_time(::time(nullptr) - ago);
        t->last_finished_clock(now - std::chrono::seconds(ago));
        EXPECT_EQ(ago >= 5, r.call_able_i(t)) << ago;
    }
    // Just finished: the interval starts at the finish, not at a whole second.
    auto s = with_retry(3, 1);
    auto u = make_task();
    s->notify_enqueued(u);
    s->notify_dequeued(u);
    s->notify_finished(u);
    EXPECT_FALSE(s->call_able(u));
}

struct Worker_Task : Thread_Task<Worker_Task> {
    std::atomic<int>* calls = nullptr;
    Task_Base::Error call() override {
        ++*calls;
        return CODE_SUCCESS;
    }
};
using Worker_Task_Ptr = std::shared_ptr<Worker_Task>;

struct ThreadTaskWorker : ::testing::Test {
    std::atomic<int> calls{0};
    std::mutex m;
    std::vector<Task_Base::Error> finished;
    std::atomic<int> callbacks{0};
    Thread_Task_Worker<Worker_Task> pool;

    void SetUp() override {
        pool.register_callback([this](Worker_Task_Ptr& t) {
            std::lock_guard<std::mutex> lock(m);
            finished.push_back(t->error());
            ++callbacks;
        });
    }
    Worker_Task_Ptr task() {
        auto t = std::make_shared<Worker_Task>();
        t->calls = &calls;
        return t;
    }
};

TEST_F(ThreadTaskWorker, StopRunsWhatWasQueuedBeforeIt) {
    std::vector<Worker_Task_Ptr> tasks;
    for (int i = 0; i < 20; ++i) {
        tasks.push_back(task());
        ASSERT_TRUE(pool.enqueue(tasks.back()));
    }
    ASSERT_EQ(0, pool.activate(3));
    EXPECT_EQ(0, task_test::bounded([this] { return pool.stop(); }, "Task_Worker::stop"));
    EXPECT_EQ(20, calls.load());
    EXPECT_EQ(20, callbacks.load());
    for (auto& t : tasks) {
        EXPECT_EQ(Task_Base::STATE_RUNNING, t->state());
        EXPECT_EQ(&pool, t->worker());
    }
}

// Tasks that never run are reported finished as failed: a dispatcher counting
// handed-out tasks must not wait for them.
TEST_F(ThreadTaskWorker, TasksLeftAtShutdownAreFailedAndReported) {
    auto a = task(), b = task();
    ASSERT_TRUE(pool.enqueue(a));
    ASSERT_TRUE(pool.enqueue(b));
    pool.shutdown();
    EXPECT_EQ(0, calls.load());
    EXPECT_EQ(2, callbacks.load());
    EXPECT_EQ((std::vector<Task_Base::Error>{Task_Base::CODE_FAILED, Task_Base::CODE_FAILED}),
              finished);
    EXPECT_EQ(Task_Base::CODE_FAILED, a->error());
    // The copies the queue held are gone.
    EXPECT_EQ(1, a.use_count());
}

}  // namespace
