// The frame every run of a job goes through: activity check, precondition,
// start report, pre-action, the executor's work, post-action, closing report.
#ifndef JOB_JOB_EXECUTOR_T_H
#define JOB_JOB_EXECUTOR_T_H

#include <ctime>

#include <ace/Log_Msg.h>

#include "host/job/execute_script.h"
#include "host/job/job.h"
#include "host/job/job_event_handler.h"
#include "qorm/check.h"
#include "qorm/guard.h"

// States in which an executor must stop its work.
inline bool job_state_is_stopping(Job_State s) {
    return s == JOB_STATE_CANCELING || s == JOB_STATE_CANCELED || s == JOB_STATE_ABORTING;
}

template <class Source, class Options, class Event_Handler = Job_Event_Handler>
class Job_Executor_T {
public:
    explicit Job_Executor_T(Job& job)
        : job_(job),
          def_(job.definition()),
          tgt_(job.definition().target),
          act_(job.activity()),
          evt_handler_(job),
          src_(dynamic_cast<Source*>(job.definition().source())),
          opts_(dynamic_cast<Options*>(job.definition().options())) {}

    virtual ~Job_Executor_T() = default;

    virtual bool remove() { return true; }
    virtual bool setup_ondemand() { return true; }
    virtual bool remove_ondemand() { return true; }
    virtual bool update(const Job::Definition_Ptr&) { return true; }
    virtual bool rollback() { return true; }
    virtual bool execute_i(const Action_Options* opts) = 0;
    virtual bool execute_pre_action();
    virtual bool execute_post_action();
    virtual bool check_condition() { return true; }
    virtual bool is_active(const Action_Options*) { return true; }

    // The whole frame; false also when something in it threw.
    bool execute(const Action_Options* opts);
    bool execute_precondition();

private:
    bool execute_frame(const Action_Options* opts);

protected:
    Job& job_;
    Job_Definition& def_;
    Job_Target& tgt_;
    Job_Activity& act_;
    Event_Handler evt_handler_;
    Source* src_;
    Options* opts_;
};

template <class S, class O, class H>
bool Job_Executor_T<S, O, H>::execute(const Action_Options* opts) {
    return qorm::guarded("execute the job", false, [&] { return execute_frame(opts); });
}

template <class S, class O, class H>
bool Job_Executor_T<S, O, H>::execute_frame(const Action_Options* opts) {
    QORM_CHECK_NOT_NULL_RETURN(src_, false);
    if (!is_active(opts)) {
        store_activity_field(act_.last_run_time, std::time(nullptr));
        store_job_state(act_, JOB_STATE_SKIPPED);
        return true;
    }
    if (!execute_precondition() || !check_condition()) {
        const time_t now = std::time(nullptr);
        store_activity_field(act_.start_time, now);
        store_activity_field(act_.last_run_time, now);
        store_job_state(act_, JOB_STATE_IDLE);
        job_.sync(nullptr);
        return true;
    }
    evt_handler_.handle_start_job();
    const bool pre = execute_pre_action();
    // Work that throws is failed work: the run still gets its closing report.
    const bool work =
        pre && qorm::guarded("do the job's work", false, [&] { return execute_i(opts); });
    bool post = true;
    if (work || def_.run_post_action_always)
        post = execute_post_action();
    if (pre && work && post) {
        evt_handler_.handle_success();
        return true;
    }
    if (load_job_state(act_) == JOB_STATE_CANCELING)
        evt_handler_.handle_canceled();
    else
        evt_handler_.handle_failure(-1, nullptr);
    return false;
}

template <class S, class O, class H>
bool Job_Executor_T<S, O, H>::execute_precondition() {
    return execute_script(def_.precondition, false, Log_Msg_Callback());
}

template <class S, class O, class H>
bool Job_Executor_T<S, O, H>::execute_pre_action() {
    if (!execute_script(def_.pre_action, false, job_.log_msg_callback()) &&
        !def_.ignore_pre_action_failure)
        return false;
    // A job stopped or paused during the pre-action does not go on.
    return load_job_state(act_) == JOB_STATE_RUNNING;
}

template <class S, class O, class H>
bool Job_Executor_T<S, O, H>::execute_post_action() {
    if (def_.post_action.empty())
        return true;
    // A cancelled run stays cancelled: the closing report depends on it.
    const Job_State state = load_job_state(act_);
    if (state != JOB_STATE_COMPLETING && !job_state_is_stopping(state))
        job_.state(JOB_STATE_COMPLETING);
    if (execute_script(def_.post_action, false, job_.log_msg_callback()))
        return true;
    return def_.ignore_post_action_failure;
}

#endif
