#include "smartx/job/restore_options_parser.h"

#include "smartx/job/job_value.h"

namespace smartx {

namespace {

const Option_Rule restore_rules[] = {
    {"channels", Option_Rule::INT, 1, 64, 1},
    {"parallel_vms", Option_Rule::INT, 1, 64, 1},
    {"parallel_vms_per_host", Option_Rule::INT, 1, 64, 1},
    {"parallel_disks_per_vm", Option_Rule::INT, 1, 5, 1},
    {"write_buffer_size", Option_Rule::UINT64, Option_Rule::BUFFER_MIN, Option_Rule::BUFFER_MAX, 1},
    {"duplicate_vm", Option_Rule::STRING, 0, 0, 0},
    {"zbs_version", Option_Rule::STRING, 0, 0, 0},
    {"stop_vm_op", Option_Rule::STRING, 0, 0, 0},
    {"start_vm", Option_Rule::BOOL, 0, 0, 0},
    {"reserve_mac", Option_Rule::BOOL, 0, 0, 0},
    {"restore_cdroms", Option_Rule::BOOL, 0, 0, 0},
    {"retain_vm_version", Option_Rule::BOOL, 0, 0, 0},
    {"restore_nics", Option_Rule::BOOL, 0, 0, 0},
    {"restore_tags", Option_Rule::BOOL, 0, 0, 0},
    {"original_restore", Option_Rule::BOOL, 0, 0, 0},
    {"overwrite_bootable", Option_Rule::BOOL, 0, 0, 0},
    {"retain_id", Option_Rule::BOOL, 0, 0, 0},
    {"allocated_blocks", Option_Rule::BOOL, 0, 0, 0},
    {nullptr, Option_Rule::INT, 0, 0, 0},
};

}  // namespace

Restore_Options_Parser::Restore_Options_Parser() : Options_Parser(restore_rules) {
    make_result<Restore_Options>();
}

Restore_Options_Parser::~Restore_Options_Parser() = default;

}  // namespace smartx
