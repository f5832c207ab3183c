#include "smartx/job/backup_executor.h"

#include <ace/Log_Msg.h>

namespace smartx {

Backup_Executor::Backup_Executor(Job& job) : Job_Executor_T(job) {}
Backup_Executor::~Backup_Executor() = default;

bool Backup_Executor::execute_i(const Action_Options*) {
    // VM backup is not wired in yet: fail the run rather than report a backup
    // that did not happen.
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to back up SmartX VMs: the backup executor is not "
                                  "available in this build.\n")));
    return false;
}

}  // namespace smartx
