#ifndef SMARTX_JOB_BACKUP_EXECUTOR_H
#define SMARTX_JOB_BACKUP_EXECUTOR_H

#include "job/job_executor_t.h"
#include "smartx/job/job_value.h"

namespace smartx {

class Backup_Executor : public Job_Executor_T<Backup_Source, Backup_Options> {
public:
    explicit Backup_Executor(Job& job);
    ~Backup_Executor() override;

    bool execute_i(const Action_Options* opts) override;
};

}  // namespace smartx

#endif
