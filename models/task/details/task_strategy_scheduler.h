// Dispatcher: keeps one priority queue per owner and hands tasks to a worker
// pool under a queue strategy's admission, dispatch and call rules.
#ifndef MODELS_TASK_DETAILS_TASK_STRATEGY_SCHEDULER_H
#define MODELS_TASK_DETAILS_TASK_STRATEGY_SCHEDULER_H

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "ace/Condition_Attributes.h"
#include "ace/Condition_Thread_Mutex.h"
#include "ace/Guard_T.h"
#include "ace/Log_Msg.h"
#include "ace/Monotonic_Time_Policy.h"
#include "ace/Task.h"
#include "ace/Thread_Mutex.h"
#include "models/task/task_base.h"
#include "qorm/guard.h"

// T: task type; W: worker pool over T; S: strategy over T with a Less
// comparator.
template <class T, class W, class S>
class Task_Strategy_Scheduler : public ACE_Task<ACE_MT_SYNCH> {
public:
    using Task_Ptr = std::shared_ptr<T>;
    using Task_Queue = std::priority_queue<Task_Ptr, std::vector<Task_Ptr>, typename S::Less>;

    Task_Strategy_Scheduler()
        : id_(0),
          stopped_(false),
          avail_cond_(mutex_, ACE_Condition_Attributes_T<ACE_Monotonic_Time_Policy>()) {
        worker_.register_callback([this](Task_Ptr& task) { complete_callback(task); });
    }

    // A dispatcher left running would outlive the members it uses: stop it
    // and wait for it, then for the workers.
    ~Task_Strategy_Scheduler() override {
        {
            ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
            stopped_ = true;
            avail_cond_.signal();
        }
        this->wait();
        worker_.shutdown();
    }

    Task_Strategy_Scheduler(const Task_Strategy_Scheduler&) = delete;
    Task_Strategy_Scheduler& operator=(const Task_Strategy_Scheduler&) = delete;

    void register_stop_callback(std::function<bool()> cb) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        stop_callback_ = std::move(cb);
    }

    void register_exit_callback(std::function<void()> cb) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        exit_callback_ = std::move(cb);
    }

    bool enqueue_task(const Task_Ptr& task) {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, false);
        if (!enqueue_task_i(task, false))
            return false;
        // A running dispatcher picks it up now rather than at its next time-out.
        avail_cond_.signal();
        return true;
    }

    S& strategy() { return strategy_; }
    W& worker() { return worker_; }

    int svc() override {
        svc_i();
        worker_.stop();
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, mutex_, 0);
        while (strategy_.task_dequeued_count() >= 1)
            wait_avail();
        if (exit_callback_)
            qorm::guarded_void("run the scheduler's exit callback", exit_callback_);
        return 0;
    }

private:
    // The longest the dispatcher sleeps without news: the stop test is asked
    // at least this often.
    enum { DISPATCH_WAIT_S = 3 };

    // Caller holds mutex_.
    bool enqueue_task_i(const Task_Ptr& task, bool repush) {
        if (stopped_)
            return false;
        task->id(static_cast<int>(++id_));
        if (repush) {
            queue_[task->owner()].push(task);
            return true;
        }
        task->error(Task_Base::CODE_SUCCESS);
        if (!strategy_.enqueue_able(task)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to enqueue task, id: %d, name: %s, count: %d.\n"),
                       task->id(), task->name().c_str(), static_cast<int>(task->enqueued_count())));
            return false;
        }
        strategy_.notify_enqueued(task);
        ACE_DEBUG((LM_DEBUG, ACE_TEXT("Enqueueing task, id: %d, name: %s, owner: %s, count: %d.\n"),
                   task->id(), task->name().c_str(), task->owner().c_str(),
                   static_cast<int>(task->enqueued_count())));
        queue_[task->owner()].push(task);
        return true;
    }

    // Caller holds mutex_. A stop test that throws stops the dispatch: the
    // dispatcher thread must not end on it.
    bool stopped() {
        if (stopped_)
            return true;
        if (stop_callback_) {
            const bool stop =
                qorm::guarded("ask the scheduler's stop callback", true, stop_callback_);
            stopped_ = stop;
            return stop;
        }
        return false;
    }

    // Caller holds mutex_; wakes on a completion, an admission or after
    // DISPATCH_WAIT_S.
    void wait_avail() {
        ACE_Time_Value deadline = ACE_Monotonic_Time_Policy()() + ACE_Time_Value(DISPATCH_WAIT_S);
        avail_cond_.wait(&deadline);
    }

    void svc_i() {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        for (;;) {
            if (stopped() ||
                (strategy_.task_enqueued_count() < 1 && strategy_.task_dequeued_count() < 1)) {
                // Nothing would run a task admitted from now on.
                stopped_ = true;
                return;
            }
            bool handed_out = false;
            if (strategy_.task_enqueued_count() > 0) {
                // At most one task per owner and pass, owners in key order.
                for (auto& entry : queue_) {
                    Task_Queue& queue = entry.second;
                    if (queue.empty())
                        continue;
                    Task_Ptr task = queue.top();
                    if (!strategy_.dequeue_able(task))
                        continue;
                    queue.pop();
                    if (strategy_.call_able(task)) {
                        strategy_.notify_dequeued(task);
                        if (worker_.enqueue(task)) {
                            handed_out = true;
                        } else {
                            ACE_ERROR((LM_ERROR,
                                       ACE_TEXT("Failed to enqueue task to worker, id: %d, name: "
                                                "%s, count: %d.\n"),
                                       task->id(), task->name().c_str(),
                                       static_cast<int>(task->enqueued_count())));
                            task->error(Task_Base::CODE_FAILED);
                            strategy_.notify_finished(task);
                        }
                    } else {
                        strategy_.notify_break(task);
                        enqueue_task_i(task, true);
                    }
                }
            }
            // After a pass that handed something out, free workers may take
            // more at once; otherwise only a completion, an admission or the
            // time-out can change anything.
            if (!handed_out)
                wait_avail();
        }
    }

    // Runs on the worker thread that finished the task.
    void complete_callback(Task_Ptr& task) {
        ACE_GUARD(ACE_Thread_Mutex, guard, mutex_);
        strategy_.notify_finished(task);
        const int count = static_cast<int>(task->enqueued_count());
        switch (task->error()) {
            case Task_Base::CODE_SUCCESS:
                ACE_DEBUG((LM_DEBUG, ACE_TEXT("Task succeeded, id: %d, name: %s, count: %d.\n"),
                           task->id(), task->name().c_str(), count));
                break;
            case Task_Base::CODE_FAILED:
                ACE_DEBUG((LM_DEBUG, ACE_TEXT("Task failed, id: %d, name: %s, count: %d.\n"),
                           task->id(), task->name().c_str(), count));
                break;
            case Task_Base::CODE_FAILED_RETRY:
                ACE_DEBUG((LM_DEBUG,
                           ACE_TEXT("Task failed, id: %d, name: %s, count: %d, enqueuing again.\n"),
                           task->id(), task->name().c_str(), count));
                enqueue_task_i(task, false);
                break;
            default:
                break;
        }
        avail_cond_.signal();
    }

    std::map<std::string, Task_Queue> queue_;
    W worker_;
    S strategy_;
    unsigned int id_;
    std::atomic<bool> stopped_;
    std::function<bool()> stop_callback_;
    std::function<void()> exit_callback_;
    ACE_Thread_Mutex mutex_;
    ACE_Condition_Thread_Mutex avail_cond_;
};

#endif
