// A strategy made of other strategies: a task passes when every part agrees.
// Only the composite's counters count; the parts are asked through their
// hooks under the composite's lock.
#ifndef MODELS_TASK_DETAILS_QUEUE_STRATEGY_IMPL_H
#define MODELS_TASK_DETAILS_QUEUE_STRATEGY_IMPL_H

#include <memory>
#include <utility>
#include <vector>

#include "models/task/details/queue_strategy.h"
#include "qorm/check.h"

template <class T>
class Queue_Strategy_Impl : public Queue_Strategy<T> {
public:
    using Task_Ptr = typename Queue_Strategy<T>::Task_Ptr;

    // Orders a priority queue so that the lowest id comes out first.
    struct Less {
        bool operator()(const Task_Ptr& a, const Task_Ptr& b) const { return a->id() > b->id(); }
    };

    bool add_strategy(std::unique_ptr<Queue_Strategy<T>> strategy) {
        QORM_CHECK_NOT_NULL_RETURN(strategy, false);
        // Parts may be added while a dispatcher asks the hooks.
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, this->mutex(), false);
        strategies_.push_back(std::move(strategy));
        return true;
    }

    bool enqueue_able_i(const Task_Ptr& task) override { return all(&Part::enqueue_able_i, task); }
    bool dequeue_able_i(const Task_Ptr& task) override { return all(&Part::dequeue_able_i, task); }
    bool call_able_i(const Task_Ptr& task) override { return all(&Part::call_able_i, task); }
    void notify_break_i(const Task_Ptr& task) override { each(&Part::notify_break_i, task); }
    void notify_enqueued_i(const Task_Ptr& task) override { each(&Part::notify_enqueued_i, task); }
    void notify_dequeued_i(const Task_Ptr& task) override { each(&Part::notify_dequeued_i, task); }
    void notify_finished_i(const Task_Ptr& task) override { each(&Part::notify_finished_i, task); }

private:
    using Part = Queue_Strategy<T>;

    // True when no part refuses; asking stops at the first refusal.
    bool all(bool (Part::*hook)(const Task_Ptr&), const Task_Ptr& task) {
        for (auto& s : strategies_)
            if (!((*s).*hook)(task))
                return false;
        return true;
    }

    void each(void (Part::*hook)(const Task_Ptr&), const Task_Ptr& task) {
        for (auto& s : strategies_)
            ((*s).*hook)(task);
    }

    std::vector<std::unique_ptr<Part>> strategies_;
};

#endif
