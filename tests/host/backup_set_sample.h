// A SmartX backup set with a value in each kind of member, as a catalog row.
#ifndef TESTS_HOST_BACKUP_SET_SAMPLE_H
#define TESTS_HOST_BACKUP_SET_SAMPLE_H

#include <stdexcept>
#include <string>

#include "host/json_spirit/json_io.h"
#include "host/smartx_backup_set.h"

// Piece size above INT64_MAX, a negative set size: the row keeps both signs.
inline const char* sample_backup_set_row() {
    return R"({"uuid": "3f1c0a6e-0000-4000-8000-000000000001", "name": "nightly",
        "job_instance_uuid": "job-1", "definition_uuid": "def-1", "uid": "uid-1",
        "host_uuid": "host-1", "resource_uuid": "res-1", "minor_resource_id": "minor-1",
        "minor_resource_name": "vm one", "agent": "smartx", "incarnation": "inc-1",
        "type": "incremental", "source_size": 5497558138880, "size": -1, "uri": "res-1",
        "host": "backupd", "instance": "tower", "instance_version": "4.1.0",
        "backup_start_time": 1700000000, "backup_end_time": 1700000100,
        "base_sets": ["base-a", "base-b"],
        "storages": [{"pool_uuid": "pool-1", "size": 4096, "state": "",
                      "attributes": {"code_name": "vantor"}}],
        "pieces": [{"path": "vm-1/disk0_incremental_20240101-000000.lz4", "object": "vol-1",
                    "size": 18446744073709551615,
                    "extended_attrs": {"Tarnvik3": {"block_set_size": 262144}}}],
        "vm_id": "vm-1", "vm_name": "vm one", "cluster_id": "cl-1", "owner_host_id": "h-1",
        "owner_host_ip": "10.0.0.1", "owner_host_name": "node1", "snap_id": "snap-1",
        "base_info": {"vm_description": "web", "vnc_password": "vnc-secret", "splash_time": 7},
        "cpu_info": {"cpu_arch": "x86_64", "cpu_cores": 2, "cpu_socket": 2, "cpu_count": 4,
                     "cpu_model_enabled": true},
        "mem_info": {"memory": 4096},
        "aggregates": [{"id": "tag-1", "type": 1}, {"id": "folder-1", "type": 0}],
        "nics": [{"id": "0"}], "floppys": [{"id": "0"}], "boot_devices": [{"bootdevice": "BIOS"}],
        "gpus": [{"id": "0"}], "vm_extended_attrs": {"name": "vm one"}})";
}

inline SmartX_Backup_Set sample_backup_set() {
    json_spirit::Value row;
    SmartX_Backup_Set s;
    std::string error;
    if (!json_spirit::read(sample_backup_set_row(), row, &error) || !s.load(row.get_obj(), &error))
        throw std::runtime_error("sample backup set: " + error);
    return s;
}

#endif
