// Admission and dispatch counters with policy hooks. Every public operation
// runs under the strategy's own mutex, hooks included.
#ifndef MODELS_TASK_DETAILS_QUEUE_STRATEGY_H
#define MODELS_TASK_DETAILS_QUEUE_STRATEGY_H

#include <ctime>
#include <memory>

#include "ace/Guard_T.h"
#include "ace/Thread_Mutex.h"

class Queue_Strategy_Base {};

template <class T>
class Queue_Strategy : public Queue_Strategy_Base {
public:
    using Task_Ptr = std::shared_ptr<T>;

    Queue_Strategy() = default;
    virtual ~Queue_Strategy() = default;

    Queue_Strategy(const Queue_Strategy&) = delete;
    Queue_Strategy& operator=(const Queue_Strategy&) = delete;

    void reset_enqueue_limit(int limit) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        task_enqueued_limit_ = limit;
    }

    void reset_dequeue_limit(int limit) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        task_dequeued_limit_ = limit;
    }

    bool enqueue_able(const Task_Ptr& task) {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, false);
        return task_enqueued_ < task_enqueued_limit_ && enqueue_able_i(task);
    }

    bool dequeue_able(const Task_Ptr& task) {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, false);
        return task_dequeued_ < task_dequeued_limit_ && dequeue_able_i(task);
    }

    bool call_able(const Task_Ptr& task) {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, false);
        return call_able_i(task);
    }

    void notify_break(const Task_Ptr& task) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        notify_break_i(task);
    }

    void notify_enqueued(const Task_Ptr& task) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        task->enqueued_count(task->enqueued_count() + 1);
        task->last_enqueue_time(::time(nullptr));
        ++task_enqueued_;
        notify_enqueued_i(task);
    }

    void notify_dequeued(const Task_Ptr& task) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        task->last_dequeue_time(::time(nullptr));
        ++task_dequeued_;
        --task_enqueued_;
        notify_dequeued_i(task);
    }

    void notify_finished(const Task_Ptr& task) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        task->last_finished_time(::time(nullptr));
        task->last_finished_clock(T::Clock::now());
        --task_dequeued_;
        notify_finished_i(task);
    }

    int task_enqueued_count() {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, 0);
        return task_enqueued_;
    }

    int task_dequeued_count() {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, 0);
        return task_dequeued_;
    }

    // Policy hooks. Public so that a composite can ask its parts directly,
    // under the composite's lock.
    virtual bool enqueue_able_i(const Task_Ptr& task) = 0;
    virtual bool dequeue_able_i(const Task_Ptr& task) = 0;
    virtual bool call_able_i(const Task_Ptr&) { return true; }
    virtual void notify_break_i(const Task_Ptr&) {}
    virtual void notify_enqueued_i(const Task_Ptr& task) = 0;
    virtual void notify_dequeued_i(const Task_Ptr& task) = 0;
    virtual void notify_finished_i(const Task_Ptr& task) = 0;

protected:
    ACE_Thread_Mutex& mutex() { return mutex_; }

private:
    int task_enqueued_ = 0;
    int task_enqueued_limit_ = 1024;
    int task_dequeued_ = 0;
    int task_dequeued_limit_ = 1024;
    ACE_Thread_Mutex mutex_;
};

#endif
