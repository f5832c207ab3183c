// Limits how often a task is admitted (first run plus retries) and how soon
// after its last run it may run again.
#ifndef MODELS_TASK_DETAILS_RETRY_LIMIT_QUEUE_STRATEGY_H
#define MODELS_TASK_DETAILS_RETRY_LIMIT_QUEUE_STRATEGY_H

#include <chrono>

#include "models/task/details/queue_strategy.h"

template <class T>
class Retry_Limit_Queue_Strategy : public virtual Queue_Strategy<T> {
public:
    using Task_Ptr = typename Queue_Strategy<T>::Task_Ptr;

    void reset(unsigned int limit, unsigned int interval) {
        retry_limit_ = limit;
        retry_interval_ = interval;
    }

    // Compared before the admission raises the count: limit 3 admits a task
    // four times.
    bool enqueue_able_i(const Task_Ptr& task) override {
        return task->enqueued_count() <= retry_limit_;
    }

    bool dequeue_able_i(const Task_Ptr&) override { return true; }

    void notify_enqueued_i(const Task_Ptr&) override {}
    void notify_dequeued_i(const Task_Ptr&) override {}
    void notify_finished_i(const Task_Ptr&) override {}

    bool call_able_i(const Task_Ptr& task) override {
        if (task->last_finished_time() == 0)
            return true;
        return T::Clock::now() - task->last_finished_clock() >=
               std::chrono::seconds(retry_interval_);
    }

private:
    unsigned int retry_limit_ = 3;
    unsigned int retry_interval_ = 0;
};

#endif
