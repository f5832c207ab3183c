// The catalog row of one SmartX VM backup: the common backup-set members plus
// the VM's description, in the same JSON object.
#ifndef HOST_SMARTX_BACKUP_SET_H
#define HOST_SMARTX_BACKUP_SET_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/backup_set.h"
#include "host/json_spirit/value.h"
#include "host/secure_memory.h"

class SmartX_Backup_Set : public Backup_Set {
public:
    enum Aggregate_Type { FOLDER = 0, TAG = 1 };

    // The parts below dump every member under its own name. Their readers take
    // absent members as defaults and throw on mistyped ones; load() is read()
    // that returns false (reason in *error) and leaves the part unchanged.
    struct VM_Base {
        std::string boot_mode;
        std::string guest_os_type;
        std::string guest_os_label;
        std::string panick_policy;
        std::string start_priority;
        secure_string vnc_password;
        std::string vnc_shared_policy;
        std::string vm_description;
        uint64_t splash_time = 0;

        json_spirit::Object dump() const;
        void read(const json_spirit::Object& obj);
        bool load(const json_spirit::Object& obj, std::string* error = nullptr);
    };

    struct CPU_Info {
        std::string cpu_arch;
        uint64_t cpu_shares = 0;
        uint64_t cpu_count = 0;
        uint64_t cpu_cores = 0;
        uint64_t cpu_socket = 0;
        uint64_t cpu_core_num_per_socket = 0;
        uint64_t cpu_reservation = 0;
        uint64_t cpu_limit = 0;
        std::string cpu_model;
        bool cpu_hot_plug_enabled = false;
        bool cpu_model_enabled = false;

        json_spirit::Object dump() const;
        void read(const json_spirit::Object& obj);
        bool load(const json_spirit::Object& obj, std::string* error = nullptr);
    };

    struct Mem_Info {
        uint64_t memory = 0;  // MiB

        json_spirit::Object dump() const;
        void read(const json_spirit::Object& obj);
        bool load(const json_spirit::Object& obj, std::string* error = nullptr);
    };

    // A folder or tag the VM belongs to. JSON {"id", "type": 0 | 1}, both
    // required.
    struct Aggregate_Info {
        Aggregate_Info() = default;
        Aggregate_Info(std::string id_, Aggregate_Type type_) : id(std::move(id_)), type(type_) {}

        std::string id;
        Aggregate_Type type = FOLDER;

        json_spirit::Object dump() const;
        void read(const json_spirit::Object& obj);
        bool load(const json_spirit::Object& obj, std::string* error = nullptr);
    };

    SmartX_Backup_Set();  // set type "smartx"
    SmartX_Backup_Set(const SmartX_Backup_Set&) = default;
    SmartX_Backup_Set(SmartX_Backup_Set&&) = default;
    SmartX_Backup_Set& operator=(const SmartX_Backup_Set&) = default;
    SmartX_Backup_Set& operator=(SmartX_Backup_Set&&) = default;
    ~SmartX_Backup_Set() override;

    std::string vm_id;
    std::string vm_name;
    std::string cluster_id;
    std::string owner_host_id;
    std::string owner_host_ip;
    std::string owner_host_name;
    std::string snap_id;
    VM_Base base_info;
    CPU_Info cpu_info;
    Mem_Info mem_info;
    std::vector<Aggregate_Info> aggregates;
    json_spirit::Array nics;
    json_spirit::Array usbs;
    json_spirit::Array cdroms;
    json_spirit::Array floppys;
    json_spirit::Array boot_devices;
    json_spirit::Array gpus;
    json_spirit::Object vm_extended_attrs;

    json_spirit::Object dump() const override;
    // The base members as Backup_Set::read, then "vm_id", "vm_name",
    // "cluster_id", the three "owner_host_*" texts and the objects "base_info",
    // "cpu_info" and "mem_info" (required); "snap_id", "aggregates" and the
    // device lists and "vm_extended_attrs" are optional.
    void read(const json_spirit::Object& obj) override;
    bool load(const json_spirit::Object& obj, std::string* error = nullptr) override;
};

#endif
