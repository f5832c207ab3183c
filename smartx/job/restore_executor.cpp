#include "smartx/job/restore_executor.h"

#include <ace/Log_Msg.h>

namespace smartx {

Restore_Executor::Restore_Executor(Job& job) : Job_Executor_T(job) {}
Restore_Executor::~Restore_Executor() = default;

bool Restore_Executor::execute_i(const Action_Options*) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to restore SmartX VMs: the restore executor is not "
                                  "available in this build.\n")));
    return false;
}

}  // namespace smartx
