#ifndef QORM_THREAD_HELPER_H
#define QORM_THREAD_HELPER_H

#include <atomic>
#include <functional>
#include <memory>

#include "ace/Event.h"
#include "ace/OS_NS_Thread.h"

// Runs one member function on its own ACE thread.
//
// Joinable (default flags): exists() is true from spawn until join(); the
// destructor joins. Detached (THR_DETACHED in flags): the helper keeps no
// thread id, join() returns at once and the helper may be destroyed as soon
// as spawn() returns, because the new thread copies what it needs before
// spawn() is released.
//
// A derived class whose members the thread uses should join() in its own
// destructor: the base destructor runs after the derived members are gone.
class Thread_Helper {
public:
    explicit Thread_Helper(long flags = THR_NEW_LWP | THR_JOINABLE,
                           long priority = ACE_DEFAULT_THREAD_PRIORITY);
    virtual ~Thread_Helper();

    Thread_Helper(const Thread_Helper&) = delete;
    Thread_Helper& operator=(const Thread_Helper&) = delete;

    // -1 while a joinable thread exists (running or not yet joined).
    template <class T>
    int spawn(void (T::*fn)(), T* obj) {
        if (exists())
            return -1;
        _function = [fn, obj] { (obj->*fn)(); };
        return spawn();
    }

    // Starts _function; returns once the new thread has taken its copy.
    // Negative on failure.
    int spawn();

    // Waits for the joinable thread, if any.
    void join();

    bool exists() const;

    // True while a joinable thread runs its function.
    bool running() const;

protected:
    // Called first on the new thread, before the function.
    virtual void handle_starting() {}

private:
    static ACE_THR_FUNC_RETURN thread_fn(void* arg);

    ACE_thread_t _tid;
    std::function<void()> _function;
    std::unique_ptr<std::atomic<bool>> _running;
    ACE_Event* _started;
    long _flag;
    long _priority;
};

#endif
