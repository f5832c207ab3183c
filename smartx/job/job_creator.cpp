#include "smartx/job/job_creator.h"

#include "job_def/job_json_parser.h"
#include "job_def/object_creator_impl_t.h"
#include "smartx/common/factory.h"
#include "smartx/job/backup_options_parser.h"
#include "smartx/job/restore_options_parser.h"

Job_Creator* _make_SmartX_Job_Creator(Gobble_Function* gobble) {
    return smartx::make_exported<smartx::SmartX_Job_Creator, Job_Creator>(
        gobble, _gobble_SmartX_Job_Creator);
}

void _gobble_SmartX_Job_Creator(void* creator) {
    smartx::gobble_exported<Job_Creator>(creator);
}

namespace {
typedef Object_Creator_T<YAJL_Handler> Parser_Creator;
typedef Object_Creator_Impl_T<YAJL_Handler, smartx::Backup_Options_Parser>
    Backup_Options_Parser_Creator;
typedef Object_Creator_Impl_T<YAJL_Handler, smartx::Restore_Options_Parser>
    Restore_Options_Parser_Creator;
typedef Object_Creator_Impl_T<YAJL_Handler, Job_Source_Parser<smartx::Backup_Source>>
    Backup_Source_Parser_Creator;
typedef Object_Creator_Impl_T<YAJL_Handler, Job_Source_Parser<smartx::Restore_Source>>
    Restore_Source_Parser_Creator;
}  // namespace

Parser_Creator* _make_SmartX_Backup_Options_Parser_Creator(Gobble_Function* gobble) {
    return smartx::make_exported<Backup_Options_Parser_Creator, Parser_Creator>(
        gobble, _gobble_SmartX_Backup_Options_Parser_Creator);
}

void _gobble_SmartX_Backup_Options_Parser_Creator(void* creator) {
    smartx::gobble_creator<Parser_Creator>(creator);
}

Parser_Creator* _make_SmartX_Restore_Options_Parser_Creator(Gobble_Function* gobble) {
    return smartx::make_exported<Restore_Options_Parser_Creator, Parser_Creator>(
        gobble, _gobble_SmartX_Restore_Options_Parser_Creator);
}

void _gobble_SmartX_Restore_Options_Parser_Creator(void* creator) {
    smartx::gobble_creator<Parser_Creator>(creator);
}

Parser_Creator* _make_SmartX_Backup_Source_Parser_Creator(Gobble_Function* gobble) {
    return smartx::make_exported<Backup_Source_Parser_Creator, Parser_Creator>(
        gobble, _gobble_SmartX_Backup_Source_Parser_Creator);
}

void _gobble_SmartX_Backup_Source_Parser_Creator(void* creator) {
    smartx::gobble_creator<Parser_Creator>(creator);
}

Parser_Creator* _make_SmartX_Restore_Source_Parser_Creator(Gobble_Function* gobble) {
    return smartx::make_exported<Restore_Source_Parser_Creator, Parser_Creator>(
        gobble, _gobble_SmartX_Restore_Source_Parser_Creator);
}

void _gobble_SmartX_Restore_Source_Parser_Creator(void* creator) {
    smartx::gobble_creator<Parser_Creator>(creator);
}
