// One entry of a restore source: the backup set of one VM and where and how
// to restore it.
#ifndef SMARTX_JOB_RESTORE_SOURCE_ENTRY_H
#define SMARTX_JOB_RESTORE_SOURCE_ENTRY_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

namespace smartx {

class Restore_Source_Entry {
public:
    class NIC {
    public:
        std::string src_id;   // "id"
        std::string vlan_id;  // "vlan": {"id"}
        std::string vm_id;    // "vm": {"id"}
        std::string subnet_mask;
        std::string gateway;
        std::string ip_address;
        bool mirror = false;
        std::string model;
        std::string mac_address;
    };

    class Volume {
    public:
        std::string src_id;               // "id"
        std::string src_local_id;         // "vm_volume_local_id"
        std::string tgt_cluster_id;       // "tgt_cluster_id"
        std::string tgt_volume_name;      // "target_volume_name"
        std::string tgt_volume_local_id;  // the servant's own; not carried
        std::string tgt_volume_policy;    // "target_volume_policy"
        std::string restore_mode;         // "restoreMode"
    };

    std::string vm_src_id;          // "id"
    std::string vm_src_name;        // "name"
    std::string catalog_uuid;       // "catalog_uuid"
    std::string vm_tgt_id;          // "target_vm_id"
    std::string vm_tgt_name;        // "target_vm_name"
    std::string vm_tgt_host_id;     // "target_host_id"
    std::string vm_tgt_folder_id;   // "target_folder_id"
    int32_t vm_tgt_cpu_cores = 0;   // "cpu_cores"
    int32_t vm_tgt_cpu_count = 0;   // "cpu_count"
    int64_t vm_tgt_mem_mbytes = 0;  // "mem_mbytes"
    std::string vm_tgt_cluster_id;  // "tgt_cluster_id"
    std::string vm_tgt_vapp;        // "target_vm_vapp"
    std::vector<NIC> nics;
    std::vector<Volume> volumes;

    // Required "catalog_uuid" and "id"; the rest optional. NICs and volumes
    // are appended (call clear first to reuse an entry).
    bool load(const json_spirit::Value& value);
    // Every key, "nics" and "volumes" even when empty.
    json_spirit::Object dump() const;
    void clear();
};

}  // namespace smartx

#endif
