// Runs one worker function over many work items on a bounded pool of threads,
// with one queue per owner, admission and dispatch limits and retries.
#ifndef MODELS_TASK_THREAD_TASK_SCHEDULER_H
#define MODELS_TASK_THREAD_TASK_SCHEDULER_H

#include <cerrno>
#include <functional>
#include <memory>
#include <utility>

#include "ace/Log_Msg.h"
#include "models/task/details/queue_strategy_impl.h"
#include "models/task/details/retry_limit_queue_strategy.h"
#include "models/task/details/task_strategy_scheduler.h"
#include "models/task/details/thread_task_worker.h"
#include "models/task/task_base.h"
#include "qorm/check.h"

template <class P>
class Thread_Task_Scheduler {
public:
    using Params_Ptr = std::shared_ptr<P>;
    using Worker_Function = std::function<Task_Base::Error(const Params_Ptr&)>;

    class Thread_Task_Impl : public Thread_Task<Thread_Task_Impl> {
    public:
        Thread_Task_Impl(Thread_Task_Scheduler& self, Params_Ptr params)
            : self_(self), params_(std::move(params)) {}

        Task_Base::Error call() override { return self_.worker_(params_); }

    private:
        Thread_Task_Scheduler& self_;
        Params_Ptr params_;
    };

    using Scheduler =
        Task_Strategy_Scheduler<Thread_Task_Impl, Thread_Task_Worker<Thread_Task_Impl>,
                                Queue_Strategy_Impl<Thread_Task_Impl>>;

    explicit Thread_Task_Scheduler(int enqueue_limit) {
        scheduler_.strategy().reset_enqueue_limit(enqueue_limit);
    }

    Thread_Task_Scheduler(const Thread_Task_Scheduler&) = delete;
    Thread_Task_Scheduler& operator=(const Thread_Task_Scheduler&) = delete;

    // Asked on every dispatcher pass; once it answers true nothing more is
    // dispatched.
    bool register_stop_callback(std::function<bool()> cb) {
        scheduler_.register_stop_callback(std::move(cb));
        return true;
    }

    // limit: retries after the first run; interval: seconds from a task's
    // finish to its next run. Each call adds one more policy.
    bool enable_retry(unsigned int limit, unsigned int interval) {
        auto strategy = std::make_unique<Retry_Limit_Queue_Strategy<Thread_Task_Impl>>();
        strategy->reset(limit, interval);
        return scheduler_.strategy().add_strategy(std::move(strategy));
    }

    // owner, name and uuid may be null. False when refused: a null params,
    // the waiting limit or a stopped (or finished) scheduler.
    bool enqueue_task(const Params_Ptr& params, const char* owner, int weight, const char* name,
                      const char* uuid) {
        QORM_CHECK_NOT_NULL_RETURN(params, false);
        auto task = std::make_shared<Thread_Task_Impl>(*this, params);
        task->weight(weight);
        if (owner != nullptr && *owner != 0)
            task->owner(owner);
        if (name != nullptr && *name != 0)
            task->name(name);
        if (uuid != nullptr && *uuid != 0)
            task->uuid(uuid);
        return scheduler_.enqueue_task(task);
    }

    // Enqueue every item first: a dispatcher that finds nothing to do ends.
    bool activate(int n_worker_threads, Worker_Function worker) {
        QORM_CHECK_GE_RETURN(n_worker_threads, 1, false);
        QORM_CHECK_FALSE_RETURN(worker_, false);
        QORM_CHECK_TRUE_RETURN(worker, false);
        worker_ = std::move(worker);
        // Never more tasks out than workers to run them.
        scheduler_.strategy().reset_dequeue_limit(n_worker_threads);
        if (scheduler_.worker().activate(n_worker_threads) == -1) {
            ACE_ERROR(
                (LM_ERROR, ACE_TEXT("Failed to activate thread pool worker, errno=%d.\n"), errno));
            return false;
        }
        if (scheduler_.activate() == -1) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to activate thread pool scheduler, errno=%d.\n"),
                       errno));
            return false;
        }
        return true;
    }

    // Until the dispatcher has ended and every task handed out has finished.
    bool wait() { return scheduler_.wait() == 0; }

private:
    Worker_Function worker_;
    Scheduler scheduler_;
};

#endif
