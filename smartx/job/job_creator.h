#ifndef SMARTX_JOB_JOB_CREATOR_H
#define SMARTX_JOB_JOB_CREATOR_H

#include "host/job/job_object.h"
#include "job/default_job_t.h"
#include "job_def/default_job_creator_t.h"
#include "smartx/common/export.h"
#include "smartx/job/backup_executor.h"
#include "smartx/job/restore_executor.h"

namespace smartx {

typedef Default_Job_Creator_T<Controllable_Job_T<Backup_Executor>,
                              Controllable_Job_T<Restore_Executor>>
    SmartX_Job_Creator;

}  // namespace smartx

SMARTX_EXPORT Job_Creator* _make_SmartX_Job_Creator(Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Job_Creator(void* creator);
SMARTX_EXPORT Object_Creator_T<YAJL_Handler>* _make_SmartX_Backup_Options_Parser_Creator(
    Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Backup_Options_Parser_Creator(void* creator);
SMARTX_EXPORT Object_Creator_T<YAJL_Handler>* _make_SmartX_Restore_Options_Parser_Creator(
    Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Restore_Options_Parser_Creator(void* creator);
SMARTX_EXPORT Object_Creator_T<YAJL_Handler>* _make_SmartX_Backup_Source_Parser_Creator(
    Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Backup_Source_Parser_Creator(void* creator);
SMARTX_EXPORT Object_Creator_T<YAJL_Handler>* _make_SmartX_Restore_Source_Parser_Creator(
    Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Restore_Source_Parser_Creator(void* creator);

#endif
