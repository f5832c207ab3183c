// The settings of one job, carried from the executor to the servant that
// moves one VM's data, as the "param" member of the servant request. Every
// JSON key is the field's name.
#ifndef SMARTX_COMMON_PARAM_H
#define SMARTX_COMMON_PARAM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/client_io_options.h"
#include "host/job_definition_subtype.h"
#include "host/json_spirit/value.h"
#include "smartx/common/login_info.h"

namespace smartx {

// ZBS block sizes: multiples of 256 KiB from 256 KiB to 256 MiB.
constexpr size_t ZBS_BLOCK_SIZE_UNIT = 262144;
constexpr size_t ZBS_BLOCK_SIZE_MAX = 268435456;

// A servant takes its request only within bounds every job the executors
// make fits in (the job options' own bounds): threads, buffers and block
// sizes beyond them would exhaust the host or mean nothing. out_of_range()
// names the first member outside them, "<member> <value> is out of range
// (<bounds>)", or is empty.
//   backup_type           full, incremental or cumulative (1..3)
//   read/write_buffer_size 256 KiB..64 MiB
//   storage_reserved_percent 0..100
//   zbs_block_size        256 KiB..256 MiB, whole 256 KiB units (ZBS is
//                         queried in whole blocks)
//   disks_per_vm, workers_per_disk 1..64 (the most channels a job has)

// Every load takes a value holding an object, reads every member as
// required (Control_Param: "login_info" optional) and logs
// "Failed to load <record> from JSON: %s\n" on failure.

class Retry_Param {
public:
    uint32_t slot_time = 60;
    uint32_t max_retries = 3;
    uint32_t max_internal = 3;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
};

class SOCK_Timeout_Param {
public:
    int32_t connect_timeout = 10;
    int32_t send_timeout = 10;
    int32_t recv_timeout = 10;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
};

class Parallelism_Param {
public:
    int32_t disks_per_vm = 1;
    int32_t workers_per_disk = 1;
    int32_t vms_per_host = 2;
    int32_t vms = 2;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
};

// The catalog a backup set is recorded in.
class Catalog {
public:
    std::string name;
    std::string host_uuid;
    std::string agent;
    std::string instance_version;
    std::string pool_uuid;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
};

class Control_Param {
public:
    std::string def_id;
    std::string host_id;
    int64_t job_revision = 0;
    std::string resource_uuid;
    std::string target_device_id;
    secure_string access_key;  // the backup server's; dumped as a secure string
    std::string backupd_host;
    uint16_t backupd_port = 0;
    bool backupd_ssl = false;
    size_t max_seconds_retry = 3;
    std::string zbs_version = "5.5.1";
    std::string rest_api_version = "5.0";
    bool allocated_blocks = true;
    size_t zbs_block_size = ZBS_BLOCK_SIZE_UNIT;
    std::string trans_mode;
    Retry_Param retry;
    SOCK_Timeout_Param sock_timeout;
    Parallelism_Param parallelism;
    Login_Info login_info;
    Client_IO_Base::Options io_opts;

    // Carries the decrypted login: the dump is for the servant only.
    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
    std::string out_of_range() const;
};

class Backup_Param {
public:
    Job_Definition_Subtype backup_type = JOB_DEFINITION_SUBTYPE_NONE;
    std::string pool_url;
    std::string vm_id;
    std::string vm_name;
    std::string cluster_id;
    std::string snap_id;  // the servant's own; not carried
    int32_t read_buffer_size = 262144;
    size_t storage_reserved_bytes = 0;
    int32_t storage_reserved_percent = 0;
    bool restart_vm = false;
    bool reserve_snapshot = true;
    std::string snapshot = "auto";
    std::string dirty_snapshot_op = "exit";
    Control_Param control;
    Catalog catalog;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
    std::string out_of_range() const;
};

class Restore_Param {
public:
    Job_Definition_Subtype restore_type = JOB_DEFINITION_SUBTYPE_NONE;
    int32_t write_buffer_size = 262144;
    bool start_vm = false;
    bool original_restore = false;
    bool retain_id = false;
    bool retain_vm_version = true;
    bool restore_nics = true;
    bool reserve_mac = false;
    bool restore_cdroms = false;
    bool restore_tags = false;
    bool overwrite_bootable = true;
    std::string stop_vm_op = "force";
    std::string duplicate_vm = "ignore";
    Control_Param control;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Value& value);
    std::string out_of_range() const;
};

}  // namespace smartx

#endif
