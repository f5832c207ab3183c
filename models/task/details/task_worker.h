// A pool of threads that take tasks from a message queue and run them.
#ifndef MODELS_TASK_DETAILS_TASK_WORKER_H
#define MODELS_TASK_DETAILS_TASK_WORKER_H

#include <cerrno>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "ace/Log_Msg.h"
#include "ace/Task_Ex_T.h"
#include "models/task/task_base.h"

template <class T>
class Task_Worker : public ACE_Task_Ex<ACE_MT_SYNCH, std::shared_ptr<T>> {
public:
    using Task_Ptr = std::shared_ptr<T>;
    using Callback = std::function<void(Task_Ptr&)>;

    // The queue never blocks the dispatcher, which adds to it under its own
    // lock: the dispatch limit already bounds how many tasks wait here.
    Task_Worker() { this->msg_queue()->high_water_mark(std::numeric_limits<size_t>::max() / 2); }
    ~Task_Worker() override { shutdown(); }

    Task_Worker(const Task_Worker&) = delete;
    Task_Worker& operator=(const Task_Worker&) = delete;

    using ACE_Task_Ex<ACE_MT_SYNCH, Task_Ptr>::activate;

    int activate(int n_threads) {
        return this->activate(THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, n_threads);
    }

    bool enqueue(const Task_Ptr& task) {
        Task_Ptr* copy = new (std::nothrow) Task_Ptr(task);
        if (copy == nullptr) {
            errno = ENOMEM;
            return false;
        }
        if (this->putq(copy) == -1) {
            delete copy;
            return false;
        }
        return true;
    }

    int svc() override {
        while (pull_task() == 0) {
        }
        return 0;
    }

    // 0 after running a task; -1 when the queue failed or the pool stops.
    int pull_task(ACE_Time_Value* timeout = nullptr) {
        Task_Ptr* msg = nullptr;
        if (this->getq(msg, timeout) == -1 || msg == nullptr)
            return -1;
        if (msg == sentinel()) {
            // Left in place for the other workers.
            this->ungetq(msg);
            return -1;
        }
        std::unique_ptr<Task_Ptr> holder(msg);
        Task_Ptr& task = *msg;
        task->state(Task_Base::STATE_RUNNING);
        ACE_DEBUG((LM_DEBUG, ACE_TEXT("Processing task, id: %d, name %s, count: %d.\n"), task->id(),
                   task->name().c_str(), static_cast<int>(task->enqueued_count())));
        svc_i(task);
        return 0;
    }

    virtual int svc_i(Task_Ptr& task) = 0;

    // Lets the workers finish what is queued, waits for them, then drops
    // anything left.
    virtual int stop() {
        if (this->putq(sentinel()) == -1) {
            clear();
            return -1;
        }
        const int rc = this->wait();
        clear();
        return rc;
    }

    // Tasks that will never run are failed and reported finished, so that
    // whoever counts them out does not wait for them.
    void clear() {
        while (!this->msg_queue()->is_empty()) {
            Task_Ptr* msg = nullptr;
            ACE_Time_Value no_wait(ACE_Time_Value::zero);
            if (this->getq(msg, &no_wait) == -1 || msg == nullptr)
                break;
            if (msg == sentinel())
                continue;
            Task_Ptr task = std::move(*msg);
            delete msg;
            task->error(Task_Base::CODE_FAILED);
            complete(task);
        }
    }

    void register_callback(Callback cb) { cb_ = std::move(cb); }

    // Wakes blocked workers, joins every thread and fails what is left.
    // Derived pools call it from their own destructor, before the thread
    // body they provide is gone.
    void shutdown() {
        this->msg_queue()->deactivate();
        this->wait();
        this->msg_queue()->activate();
        clear();
    }

protected:
    void complete(Task_Ptr& task) {
        if (cb_)
            cb_(task);
    }

private:
    Task_Ptr* sentinel() { return const_cast<Task_Ptr*>(&EMPTY); }

    const Task_Ptr EMPTY;
    Callback cb_;
};

#endif
