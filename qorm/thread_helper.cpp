#include "qorm/thread_helper.h"

#include "ace/Auto_Event.h"
#include "ace/Thread_Manager.h"

namespace {
// Value-initialised: the "no thread" id on every ACE platform we build for.
const ACE_thread_t null_tid = ACE_thread_t();
}  // namespace

Thread_Helper::Thread_Helper(long flags, long priority)
    : _tid(null_tid), _started(nullptr), _flag(flags), _priority(priority) {}

Thread_Helper::~Thread_Helper() {
    join();
}

int Thread_Helper::spawn() {
    const bool detached = (_flag & THR_DETACHED) != 0;
    // Overwriting a live id would leave that thread unjoinable.
    if (!detached && exists())
        return -1;

    ACE_Auto_Event started;
    _started = &started;

    int result;
    if (detached) {
        ACE_thread_t local_tid = null_tid;
        result = ACE_Thread_Manager::instance()->spawn(&Thread_Helper::thread_fn, this, _flag,
                                                       &local_tid, 0, _priority);
    } else {
        if (!_running)
            _running = std::make_unique<std::atomic<bool>>(false);
        *_running = true;
        result = ACE_Thread_Manager::instance()->spawn(&Thread_Helper::thread_fn, this, _flag,
                                                       &_tid, 0, _priority);
        if (result < 0) {
            *_running = false;
            _tid = null_tid;
        }
    }

    // The thread reads _function and _started; both must outlive that read.
    if (result >= 0)
        started.wait();

    _started = nullptr;
    return result;
}

ACE_THR_FUNC_RETURN Thread_Helper::thread_fn(void* arg) {
    Thread_Helper* self = static_cast<Thread_Helper*>(arg);
    self->handle_starting();

    std::function<void()> fn = self->_function;
    std::atomic<bool>* running = (self->_flag & THR_DETACHED) ? nullptr : self->_running.get();

    // After this a detached helper may already be gone: use locals only.
    if (self->_started)
        self->_started->signal();

    if (fn)
        fn();

    if (running)
        *running = false;
    return 0;
}

void Thread_Helper::join() {
    if (!exists())
        return;
    ACE_Thread_Manager::instance()->join(_tid);
    _tid = null_tid;
}

bool Thread_Helper::exists() const {
    return !ACE_OS::thr_equal(_tid, null_tid);
}

bool Thread_Helper::running() const {
    return _running && _running->load();
}
