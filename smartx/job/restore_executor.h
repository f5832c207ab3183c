#ifndef SMARTX_JOB_RESTORE_EXECUTOR_H
#define SMARTX_JOB_RESTORE_EXECUTOR_H

#include "job/job_executor_t.h"
#include "smartx/job/job_value.h"

namespace smartx {

class Restore_Executor : public Job_Executor_T<Restore_Source, Restore_Options> {
public:
    explicit Restore_Executor(Job& job);
    ~Restore_Executor() override;

    bool execute_i(const Action_Options* opts) override;
};

}  // namespace smartx

#endif
