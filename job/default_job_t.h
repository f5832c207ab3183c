// A job that runs its executor E on a thread of its own per run. No
// exception leaves a member the engine calls, nor a thread of the job.
#ifndef JOB_DEFAULT_JOB_T_H
#define JOB_DEFAULT_JOB_T_H

#include <memory>

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>

#include "host/job/job.h"
#include "host/uuid.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "qorm/make_unique_nothrow.h"
#include "qorm/thread_helper.h"

// ACE flags of the run thread: new LWP, detached, inherited scheduling.
enum { JOB_RUN_THREAD_FLAGS = THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED };

template <class E>
class Default_Job_T : public Job {
public:
    explicit Default_Job_T(const Definition_Ptr& def) : Job(def), thr_id_(0) {}

    int handle_exception(ACE_HANDLE) override { return 0; }

protected:
    struct Run_Options {
        Default_Job_T* job = nullptr;
        Action_Options opts;
    };

    int start_i(const Action_Options* opts) override;
    int stop_i(const Action_Options*) override { return -1; }
    int resume_i(const Action_Options*) override { return -1; }
    int abort_i(const Action_Options*) override {
        int rc = Job::state_i(JOB_STATE_CANCELING);
        ACE_Thread_Manager::instance()->cancel(thr_id_, 0);
        return rc;
    }
    int remove_i(bool purge, const Action_Options* opts) override;
    int update_i(const Definition_Ptr& def) override {
        return qorm::guarded("update the job", -1, [&] {
            E executor(*this);
            executor.update(def);
            return 0;
        });
    }
    int rollback_i() override;
    int setup_ondemand_i() override {
        return qorm::guarded("set the job up on demand", -1, [&] {
            E executor(*this);
            return executor.setup_ondemand() ? 0 : -1;
        });
    }
    void* run_i(const Action_Options* opts) override;

    static ACE_THR_FUNC_RETURN run(void* arg);
    void run_rollback();
    int start_run(const Action_Options* opts);

    ACE_thread_t thr_id_;
};

template <class E>
int Default_Job_T<E>::start_i(const Action_Options* opts) {
    return qorm::guarded("start the job", -1, [&] { return start_run(opts); });
}

template <class E>
int Default_Job_T<E>::start_run(const Action_Options* opts) {
    std::unique_ptr<Run_Options> block = make_unique_nothrow<Run_Options>();
    QORM_CHECK_RETURN(block, "opt is NULL", -1);
    block->job = this;
    if (opts)
        block->opts = *opts;
    // The run thread keeps the job alive until it has completed, whatever the
    // engine does with its own reference meanwhile.
    this->add_reference();
    int rc = ACE_Thread_Manager::instance()->spawn(&Default_Job_T::run, block.get(),
                                                   JOB_RUN_THREAD_FLAGS, &thr_id_, nullptr,
                                                   ACE_DEFAULT_THREAD_PRIORITY, -1);
    if (rc < 0) {
        this->remove_reference();
        return -1;
    }
    block.release();
    return 0;
}

template <class E>
ACE_THR_FUNC_RETURN Default_Job_T<E>::run(void* arg) {
    std::unique_ptr<Run_Options> block(static_cast<Run_Options*>(arg));
    Default_Job_T* job = block->job;
    job->run_i(block->opts.empty() ? nullptr : &block->opts);
    block.reset();
    // A direct call: once the count drops, another thread may be destroying
    // the job, so not even its vtable may be read after the decrement.
    job->ACE_Event_Handler::remove_reference();
    return 0;
}

template <class E>
void* Default_Job_T<E>::run_i(const Action_Options* opts) {
    qorm::guarded_void("run the job", [&] {
        Job::set_job_thread();
        uuid_from_string(definition().uid, activity().uid);
        E executor(*this);
        executor.execute(opts);
    });
    // Whatever happened, the run is over: the engine waits for this.
    Job::complete();
    return nullptr;
}

template <class E>
int Default_Job_T<E>::remove_i(bool, const Action_Options*) {
    return qorm::guarded("remove the job", -1, [&] {
        if (definition().schedule.type == Job_Schedule::TYPE_ON_DEMAND) {
            E executor(*this);
            executor.remove_ondemand();
        }
        E executor(*this);
        executor.remove();
        return 0;
    });
}

template <class E>
void Default_Job_T<E>::run_rollback() {
    qorm::guarded_void("roll the job back", [this] {
        E executor(*this);
        executor.rollback();
    });
    this->ACE_Event_Handler::remove_reference();
}

template <class E>
int Default_Job_T<E>::rollback_i() {
    // The rollback thread holds a reference of its own.
    this->add_reference();
    const int rc = qorm::guarded("roll the job back", -1, [this] {
        Thread_Helper helper(JOB_RUN_THREAD_FLAGS, ACE_DEFAULT_THREAD_PRIORITY);
        return helper.spawn(&Default_Job_T::run_rollback, this);
    });
    if (rc < 0) {
        this->remove_reference();
        return -1;
    }
    return 0;
}

// Adds the engine's pause, resume, stop, switch and abort controls: each only
// changes the job's state; the executor watches it.
template <class E>
class Controllable_Job_T : public Default_Job_T<E> {
public:
    explicit Controllable_Job_T(const Job::Definition_Ptr& def) : Default_Job_T<E>(def) {}

    virtual int abort_i() { return Job::state_i(JOB_STATE_ABORTING); }

protected:
    using Default_Job_T<E>::abort_i;
    int stop_i(const Action_Options*) override { return Job::state_i(JOB_STATE_CANCELING); }
    int pause_i(const Action_Options*) override { return Job::state_i(JOB_STATE_PAUSING); }
    int resume_i(const Action_Options*) override { return Job::state_i(JOB_STATE_RUNNING); }
    int switch_i(const Action_Options*) override { return Job::state_i(JOB_STATE_SWITCHING); }
};

#endif
