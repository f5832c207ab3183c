// Worker pool that runs a task's call() on its own threads.
#ifndef MODELS_TASK_DETAILS_THREAD_TASK_WORKER_H
#define MODELS_TASK_DETAILS_THREAD_TASK_WORKER_H

#include <exception>

#include "models/task/details/task_worker.h"

template <class T>
class Thread_Task_Worker : public Task_Worker<T> {
public:
    using Task_Ptr = typename Task_Worker<T>::Task_Ptr;

    ~Thread_Task_Worker() override { this->shutdown(); }

    int svc_i(Task_Ptr& task) override {
        task->worker(this);
        task->error(run(task));
        this->complete(task);
        return 0;
    }

private:
    // An exception must not end the worker thread (and the process).
    static Task_Base::Error run(Task_Ptr& task) {
        try {
            return task->call();
        } catch (const std::exception& e) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Task threw, id: %d, name: %s, details: %C.\n"),
                       task->id(), task->name().c_str(), e.what()));
        } catch (...) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Task threw, id: %d, name: %s.\n"), task->id(),
                       task->name().c_str()));
        }
        return Task_Base::CODE_FAILED;
    }
};

#endif
