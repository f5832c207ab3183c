// Tasks run by the thread task scheduler: result codes, states and the task
// record the queue strategies read and update.
#ifndef MODELS_TASK_TASK_BASE_H
#define MODELS_TASK_TASK_BASE_H

#include <chrono>
#include <ctime>
#include <string>

class Task_Base {
public:
    // Also the value of every worker function and of a servant reply's "code".
    enum Error : int {
        CODE_SUCCESS = 0,
        CODE_FAILED = 1,
        CODE_FAILED_RETRY = 2,
    };

    enum State : int {
        STATE_INIT = 0,
        STATE_ENQUEUED = 1,
        STATE_DEQUEUED = 2,
        STATE_SUCCESS = 3,
        STATE_FAILED = 4,
        STATE_RUNNING = 5,
    };

    virtual ~Task_Base();
};

template <class T>
class Task_Worker;

// T is the concrete task type.
template <class T>
class Basic_Task : public Task_Base {
public:
    // Finish times for interval checks: the wall clock in whole seconds can
    // make an interval up to a second short, and it can jump.
    using Clock = std::chrono::steady_clock;

    int id() const { return id_; }
    void id(int v) { id_ = v; }
    int weight() const { return weight_; }
    void weight(int v) { weight_ = v; }
    const std::string& name() const { return name_; }
    void name(const std::string& v) { name_ = v; }
    const std::string& owner() const { return owner_; }
    void owner(const std::string& v) { owner_ = v; }
    const std::string& uuid() const { return uuid_; }
    void uuid(const std::string& v) { uuid_ = v; }
    unsigned int enqueued_count() const { return enqueued_count_; }
    void enqueued_count(unsigned int v) { enqueued_count_ = v; }
    time_t last_dequeue_time() const { return last_dequeue_time_; }
    void last_dequeue_time(time_t v) { last_dequeue_time_ = v; }
    time_t last_enqueue_time() const { return last_enqueue_time_; }
    void last_enqueue_time(time_t v) { last_enqueue_time_ = v; }
    // 0: never finished.
    time_t last_finished_time() const { return last_finished_time_; }
    void last_finished_time(time_t v) { last_finished_time_ = v; }
    Clock::time_point last_finished_clock() const { return last_finished_clock_; }
    void last_finished_clock(Clock::time_point v) { last_finished_clock_ = v; }
    Task_Worker<T>* worker() const { return worker_; }
    void worker(Task_Worker<T>* v) { worker_ = v; }
    State state() const { return state_; }
    void state(State v) { state_ = v; }
    Error error() const { return error_; }
    void error(Error v) { error_ = v; }

private:
    int id_ = 0;
    int weight_ = 0;
    std::string name_;
    std::string owner_;
    std::string uuid_;
    unsigned int enqueued_count_ = 0;
    time_t last_dequeue_time_ = 0;
    time_t last_enqueue_time_ = 0;
    time_t last_finished_time_ = 0;
    Task_Worker<T>* worker_ = nullptr;
    State state_ = STATE_INIT;
    Error error_ = CODE_SUCCESS;
    Clock::time_point last_finished_clock_{};
};

template <class T>
class Thread_Task : public Basic_Task<T> {
public:
    // Runs the task's work.
    virtual Task_Base::Error call() = 0;
};

#endif
