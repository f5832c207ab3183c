// Runs named tasks, each in a servant process of its own: the host's
// "starter" program, which answers one JSON-RPC request and exits.
//
// Per task: the initialisation callback prepares a Servant (it may refuse
// the start), the program is started with a socket pair as its channel, the
// task's params go to it as one JSON-RPC request whose method is the
// scheduler's name, and its one reply (a response or an error) goes to the
// result callback, whose answer is the task's result: 0 success, 1 failed,
// 2 failed and may be retried. A servant that ends without a reply, or
// whose start fails or is refused, gives 1 without calling the result
// callback.
//
// Child command line: <program> --config <configuration> --name <name>
// --channel 3 [extra args]. Descriptor 3 is the channel, 0 reads /dev/null,
// 1 and 2 go to the servant's log callback line by line; nothing else is
// inherited.
#ifndef HOST_SERVANT_SERVANT_TASK_SCHEDULER_H
#define HOST_SERVANT_SERVANT_TASK_SCHEDULER_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"

class Servant;

class Servant_Task_Scheduler {
public:
    // A task's result.
    enum Result { RESULT_SUCCESS = 0, RESULT_FAILED = 1, RESULT_RETRY = 2 };

    typedef std::function<bool()> Stop_Callback;
    // The task's params; false refuses the start.
    typedef std::function<bool(Servant& servant, const json_spirit::Object& params)> Init_Callback;
    // The servant's reply; the task's result (0, 1 or 2).
    typedef std::function<int(const JSON_RPC_Object_Ptr& reply)> Result_Callback;

    // capacity: the most tasks waiting at once.
    Servant_Task_Scheduler(const std::string& name, size_t capacity);
    // Ends dispatching; servants still running get the stop grace and are
    // then killed.
    ~Servant_Task_Scheduler();
    Servant_Task_Scheduler(const Servant_Task_Scheduler&) = delete;
    Servant_Task_Scheduler& operator=(const Servant_Task_Scheduler&) = delete;

    // Polled between starts: once it answers true no further servant starts,
    // waiting tasks are dropped, and running ones get the stop grace.
    bool register_stop_callback(const Stop_Callback& callback);
    // At most limit servants per owner at once (limit >= 1).
    bool enable_owner_limit(int limit);
    // A result of 2 runs the task again, up to count more times, interval
    // seconds after it ended (count, interval >= 0).
    bool enable_retry(int count, int interval_seconds);
    // Host-wide: tasks with the same id (or, without an id, the same name)
    // under schedulers of this name never run at once, in this process or any
    // other (a lock file per id under
    // /var/opt/velmora/tarnvik3/$COMPONENT/servant/lock).
    bool enable_global_mutex();

    // Queues a task. flags: reserved (0). id: the task's identity, may be
    // null. False when the queue is full or dispatching has ended.
    bool enqueue_task(const json_spirit::Object& params, const std::string& owner, int flags,
                      const std::string& name, const char* id);

    // Starts dispatching with at most parallelism servants at once. False when
    // already activated or parallelism < 1.
    bool activate(int parallelism, const Init_Callback& init, const Result_Callback& result);

    // True from activation while tasks wait or run.
    bool is_running() const;
    // Blocks until dispatching has ended and no servant runs.
    bool wait();

    // Seconds a running servant is given to end after the stop callback
    // answered true (default 300); then it is terminated (SIGTERM, and SIGKILL
    // 10 s later).
    void set_stop_grace(int seconds);
    // Seconds a servant may take to exit once it has replied or closed its
    // channel (default 30) before it is killed.
    void set_exit_grace(int seconds);

    const std::string& name() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif
