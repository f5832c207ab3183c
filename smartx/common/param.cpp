#include "smartx/common/param.h"

#include <initializer_list>
#include <string>

#include "json_spirit/json_spirit_helper.h"
#include "smartx/common/item.h"

namespace smartx {

namespace {

// Nested records are loaded after the plain members; a failure names the member.
template <class Record>
bool load_nested(Record& record, const json_spirit::Object* obj, const char* message) {
    return load_part(obj != nullptr && record.load(json_spirit::Value(*obj)), message);
}

}  // namespace

namespace {

const int64_t BUFFER_MIN = 262144;
const int64_t BUFFER_MAX = 67108864;
const int64_t MAX_CHANNELS = 64;

// The message for a member outside [low, high] or off the step, else empty.
template <class T>
std::string bounded(const char* member, T value, int64_t low, int64_t high, int64_t step = 1) {
    const __int128 v = value;
    if (v >= low && v <= high && v % step == 0)
        return std::string();
    std::string text = std::string(member) + " " + std::to_string(value) + " is out of range (" +
                       std::to_string(low) + ".." + std::to_string(high);
    if (step > 1)
        text += " in steps of " + std::to_string(step);
    return text + ")";
}

// The first message that is not empty.
std::string first_of(std::initializer_list<std::string> messages) {
    for (const std::string& m : messages)
        if (!m.empty())
            return m;
    return std::string();
}

}  // namespace

// ---- Retry_Param ----

json_spirit::Object Retry_Param::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("slot_time", slot_time)
        ("max_retries", max_retries)
        ("max_internal", max_internal);
    // clang-format on
    return obj;
}

bool Retry_Param::load(const json_spirit::Value& value) {
    return try_load("Failed to load Retry_Param from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("slot_time", slot_time, true)
            ("max_retries", max_retries, true)
            ("max_internal", max_internal, true);
        // clang-format on
    });
}

// ---- SOCK_Timeout_Param ----

json_spirit::Object SOCK_Timeout_Param::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("connect_timeout", connect_timeout)
        ("send_timeout", send_timeout)
        ("recv_timeout", recv_timeout);
    // clang-format on
    return obj;
}

bool SOCK_Timeout_Param::load(const json_spirit::Value& value) {
    return try_load("Failed to load SOCK_Timeout_Param from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("connect_timeout", connect_timeout, true)
            ("send_timeout", send_timeout, true)
            ("recv_timeout", recv_timeout, true);
        // clang-format on
    });
}

// ---- Parallelism_Param ----

json_spirit::Object Parallelism_Param::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("disks_per_vm", disks_per_vm)
        ("workers_per_disk", workers_per_disk)
        ("vms_per_host", vms_per_host)
        ("vms", vms);
    // clang-format on
    return obj;
}

bool Parallelism_Param::load(const json_spirit::Value& value) {
    return try_load("Failed to load Parallelism_Param from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("disks_per_vm", disks_per_vm, true)
            ("workers_per_disk", workers_per_disk, true)
            ("vms_per_host", vms_per_host, true)
            ("vms", vms, true);
        // clang-format on
    });
}

// ---- Catalog ----

json_spirit::Object Catalog::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("name", name)
        ("host_uuid", host_uuid)
        ("agent", agent)
        ("instance_version", instance_version)
        ("pool_uuid", pool_uuid);
    // clang-format on
    return obj;
}

bool Catalog::load(const json_spirit::Value& value) {
    return try_load("Failed to load Catalog from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("name", name, true)
            ("host_uuid", host_uuid, true)
            ("agent", agent, true)
            ("instance_version", instance_version, true)
            ("pool_uuid", pool_uuid, true);
        // clang-format on
    });
}

// ---- Control_Param ----

json_spirit::Object Control_Param::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("def_id", def_id)
        ("host_id", host_id)
        ("job_revision", job_revision)
        ("resource_uuid", resource_uuid)
        ("target_device_id", target_device_id)
        ("access_key", json_spirit::Value(access_key))
        ("backupd_host", backupd_host)
        ("backupd_port", static_cast<int>(backupd_port))
        ("backupd_ssl", backupd_ssl)
        ("max_seconds_retry", max_seconds_retry)
        ("zbs_version", zbs_version)
        ("rest_api_version", rest_api_version)
        ("allocated_blocks", allocated_blocks)
        ("zbs_block_size", zbs_block_size)
        ("trans_mode", trans_mode)
        ("retry", retry.dump())
        ("sock_timeout", sock_timeout.dump())
        ("parallelism", parallelism.dump())
        ("login_info", login_info.dump());
    // clang-format on
    json_spirit::to_new_object(obj["io_opts"]) << io_opts;
    return obj;
}

bool Control_Param::load(const json_spirit::Value& value) {
    const json_spirit::Object* retry_obj = nullptr;
    const json_spirit::Object* sock_timeout_obj = nullptr;
    const json_spirit::Object* parallelism_obj = nullptr;
    const json_spirit::Object* login_info_obj = nullptr;
    const json_spirit::Object* io_opts_obj = nullptr;
    if (!try_load("Failed to load Control_Param from JSON: %s\n", [&] {
            const json_spirit::Object& obj = value.get_obj();
            // clang-format off
            json_spirit::extract_or_throw(obj)
                ("def_id", def_id, true)
                ("host_id", host_id, true)
                ("job_revision", job_revision, true)
                ("resource_uuid", resource_uuid, true)
                ("target_device_id", target_device_id, true);
            // clang-format on
            // Straight into wiping storage.
            const std::string& key = json_spirit::object_get_str_or_throw(obj, "access_key");
            access_key.assign(key.data(), key.size());
            // clang-format off
            json_spirit::extract_or_throw(obj)
                ("backupd_host", backupd_host, true)
                ("backupd_port", backupd_port, true)
                ("backupd_ssl", backupd_ssl, true)
                ("max_seconds_retry", max_seconds_retry, true)
                ("zbs_version", zbs_version, true)
                ("rest_api_version", rest_api_version, true)
                ("allocated_blocks", allocated_blocks, true)
                ("zbs_block_size", zbs_block_size, true)
                ("trans_mode", trans_mode, true)
                ("retry", retry_obj, true)
                ("sock_timeout", sock_timeout_obj, true)
                ("parallelism", parallelism_obj, true)
                ("login_info", login_info_obj, false)
                ("io_opts", io_opts_obj, true);
            // clang-format on
        }))
        return false;
    return load_nested(retry, retry_obj, "Failed to load json obj retry.\n") &&
           load_nested(sock_timeout, sock_timeout_obj, "Failed to load json obj sock_timeout.\n") &&
           load_nested(parallelism, parallelism_obj, "Failed to load json obj parallelism.\n") &&
           (login_info_obj == nullptr ||
            load_part(login_info.load(*login_info_obj), "Failed to load json obj login_info.\n")) &&
           load_part(*io_opts_obj >> io_opts, "Failed to load json obj io_opts.\n");
}

std::string Control_Param::out_of_range() const {
    return first_of({
        bounded("zbs_block_size", zbs_block_size, ZBS_BLOCK_SIZE_UNIT, ZBS_BLOCK_SIZE_MAX,
                ZBS_BLOCK_SIZE_UNIT),
        bounded("disks_per_vm", parallelism.disks_per_vm, 1, MAX_CHANNELS),
        bounded("workers_per_disk", parallelism.workers_per_disk, 1, MAX_CHANNELS),
    });
}

// ---- Backup_Param ----

json_spirit::Object Backup_Param::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("backup_type", backup_type)
        ("pool_url", pool_url)
        ("vm_id", vm_id)
        ("vm_name", vm_name)
        ("cluster_id", cluster_id)
        ("read_buffer_size", read_buffer_size)
        ("storage_reserved_bytes", storage_reserved_bytes)
        ("storage_reserved_percent", storage_reserved_percent)
        ("restart_vm", restart_vm)
        ("reserve_snapshot", reserve_snapshot)
        ("snapshot", snapshot)
        ("dirty_snapshot_op", dirty_snapshot_op)
        ("control", control.dump())
        ("catalog", catalog.dump());
    // clang-format on
    return obj;
}

bool Backup_Param::load(const json_spirit::Value& value) {
    const json_spirit::Object* control_obj = nullptr;
    const json_spirit::Object* catalog_obj = nullptr;
    if (!try_load("Failed to load Backup_Param from JSON: %s\n", [&] {
            // clang-format off
            json_spirit::extract_or_throw(value.get_obj())
                ("backup_type", backup_type, true)
                ("pool_url", pool_url, true)
                ("vm_id", vm_id, true)
                ("vm_name", vm_name, true)
                ("cluster_id", cluster_id, true)
                ("read_buffer_size", read_buffer_size, true)
                ("storage_reserved_bytes", storage_reserved_bytes, true)
                ("storage_reserved_percent", storage_reserved_percent, true)
                ("restart_vm", restart_vm, true)
                ("reserve_snapshot", reserve_snapshot, true)
                ("snapshot", snapshot, true)
                ("dirty_snapshot_op", dirty_snapshot_op, true)
                ("control", control_obj, true)
                ("catalog", catalog_obj, true);
            // clang-format on
        }))
        return false;
    return load_nested(control, control_obj, "Failed to load json obj control.\n") &&
           load_nested(catalog, catalog_obj, "Failed to load json obj catalog.\n");
}

std::string Backup_Param::out_of_range() const {
    return first_of({
        bounded("backup_type", static_cast<int>(backup_type), JOB_DEFINITION_SUBTYPE_FULL,
                JOB_DEFINITION_SUBTYPE_CUMULATIVE),
        bounded("read_buffer_size", read_buffer_size, BUFFER_MIN, BUFFER_MAX),
        bounded("storage_reserved_percent", storage_reserved_percent, 0, 100),
        control.out_of_range(),
    });
}

// ---- Restore_Param ----

json_spirit::Object Restore_Param::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("restore_type", restore_type)
        ("write_buffer_size", write_buffer_size)
        ("start_vm", start_vm)
        ("original_restore", original_restore)
        ("retain_id", retain_id)
        ("retain_vm_version", retain_vm_version)
        ("restore_nics", restore_nics)
        ("reserve_mac", reserve_mac)
        ("restore_cdroms", restore_cdroms)
        ("restore_tags", restore_tags)
        ("overwrite_bootable", overwrite_bootable)
        ("stop_vm_op", stop_vm_op)
        ("duplicate_vm", duplicate_vm)
        ("control", control.dump());
    // clang-format on
    return obj;
}

bool Restore_Param::load(const json_spirit::Value& value) {
    const json_spirit::Object* control_obj = nullptr;
    if (!try_load("Failed to load Restore_Param from JSON: %s\n", [&] {
            // clang-format off
            json_spirit::extract_or_throw(value.get_obj())
                ("restore_type", restore_type, true)
                ("write_buffer_size", write_buffer_size, true)
                ("start_vm", start_vm, true)
                ("stop_vm_op", stop_vm_op, true)
                ("original_restore", original_restore, true)
                ("retain_id", retain_id, true)
                ("retain_vm_version", retain_vm_version, true)
                ("restore_nics", restore_nics, true)
                ("reserve_mac", reserve_mac, true)
                ("restore_tags", restore_tags, true)
                ("restore_cdroms", restore_cdroms, true)
                ("overwrite_bootable", overwrite_bootable, true)
                ("duplicate_vm", duplicate_vm, true)
                ("control", control_obj, true);
            // clang-format on
        }))
        return false;
    return load_nested(control, control_obj, "Failed to load json obj control.\n");
}

std::string Restore_Param::out_of_range() const {
    return first_of({
        bounded("write_buffer_size", write_buffer_size, BUFFER_MIN, BUFFER_MAX),
        control.out_of_range(),
    });
}

}  // namespace smartx
