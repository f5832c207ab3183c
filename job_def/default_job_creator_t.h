// Makes a backup job (B) for a backup definition and a restore job (R) for a
// restore definition.
#ifndef JOB_DEF_DEFAULT_JOB_CREATOR_T_H
#define JOB_DEF_DEFAULT_JOB_CREATOR_T_H

#include <cerrno>
#include <new>

#include "host/job/job.h"
#include "host/job/job_creator.h"
#include "qorm/guard.h"

template <class B, class R>
class Default_Job_Creator_T : public Job_Creator {
public:
    ACE_Intrusive_Auto_Ptr<Job> create(
        ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex> def) override {
        return qorm::guarded("create a job", ACE_Intrusive_Auto_Ptr<Job>(),
                             [&] { return create_i(def); });
    }

private:
    ACE_Intrusive_Auto_Ptr<Job> create_i(
        const ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex>& def) {
        Job* job = nullptr;
        if (!def.get())
            return ACE_Intrusive_Auto_Ptr<Job>();
        switch (def->type) {
            case JOB_DEFINITION_BACKUP:
                job = new (std::nothrow) B(def);
                if (!job)
                    errno = ENOMEM;
                break;
            case JOB_DEFINITION_RESTORE:
                job = new (std::nothrow) R(def);
                if (!job)
                    errno = ENOMEM;
                break;
            default:
                break;
        }
        // The pointer takes over the new job's first reference.
        return ACE_Intrusive_Auto_Ptr<Job>(job, false);
    }
};

#endif
