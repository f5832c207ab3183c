#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "models/task/details/thread_task_worker.h"
#include "task_test_support.h"

namespace {
struct Task : Thread_Task<Task> {
    std::atomic<int>* calls = nullptr;
    Task_Base::Error call() override {
        ++*calls;
        return CODE_SUCCESS;
    }
};
using Task_Ptr = std::shared_ptr<Task>;

struct ThreadTaskWorker : ::testing::Test {
    std::atomic<int> calls{0};
    std::mutex m;
    std::vector<Task_Base::Error> finished;
    std::atomic<int> callbacks{0};
    Thread_Task_Worker<Task> pool;

    void SetUp() override {
        pool.register_callback([this](Task_Ptr& t) {
            std::lock_guard<std::mutex> lock(m);
            finished.push_back(t->error());
            ++callbacks;
        });
    }
    Task_Ptr task() {
        auto t = std::make_shared<Task>();
        t->calls = &calls;
        return t;
    }
};

TEST_F(ThreadTaskWorker, StopRunsWhatWasQueuedBeforeIt) {
    std::vector<Task_Ptr> tasks;
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
