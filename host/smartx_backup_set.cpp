#include "host/smartx_backup_set.h"

#include <utility>

#include "host/json_record.h"

using json_record::read_optional;
using json_spirit::Object;
using json_spirit::object_get_object_or_throw;
using json_spirit::object_get_str_or_throw;

namespace {

json_spirit::Value u64(uint64_t n) {
    return json_spirit::Value(static_cast<unsigned long>(n));
}

}  // namespace

Object SmartX_Backup_Set::VM_Base::dump() const {
    Object out;
    out["boot_mode"] = boot_mode;
    out["guest_os_type"] = guest_os_type;
    out["guest_os_label"] = guest_os_label;
    out["panick_policy"] = panick_policy;
    out["start_priority"] = start_priority;
    out["vnc_password"] = vnc_password;
    out["vnc_shared_policy"] = vnc_shared_policy;
    out["vm_description"] = vm_description;
    out["splash_time"] = u64(splash_time);
    return out;
}

void SmartX_Backup_Set::VM_Base::read(const Object& obj) {
    read_optional(obj, "boot_mode", boot_mode);
    read_optional(obj, "guest_os_type", guest_os_type);
    read_optional(obj, "guest_os_label", guest_os_label);
    read_optional(obj, "panick_policy", panick_policy);
    read_optional(obj, "start_priority", start_priority);
    read_optional(obj, "vnc_password", vnc_password);
    read_optional(obj, "vnc_shared_policy", vnc_shared_policy);
    read_optional(obj, "vm_description", vm_description);
    read_optional(obj, "splash_time", splash_time);
}

bool SmartX_Backup_Set::VM_Base::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, VM_Base(), obj, error);
}

Object SmartX_Backup_Set::CPU_Info::dump() const {
    Object out;
    out["cpu_arch"] = cpu_arch;
    out["cpu_shares"] = u64(cpu_shares);
    out["cpu_count"] = u64(cpu_count);
    out["cpu_cores"] = u64(cpu_cores);
    out["cpu_socket"] = u64(cpu_socket);
    out["cpu_core_num_per_socket"] = u64(cpu_core_num_per_socket);
    out["cpu_reservation"] = u64(cpu_reservation);
    out["cpu_limit"] = u64(cpu_limit);
    out["cpu_model"] = cpu_model;
    out["cpu_hot_plug_enabled"] = cpu_hot_plug_enabled;
    out["cpu_model_enabled"] = cpu_model_enabled;
    return out;
}

void SmartX_Backup_Set::CPU_Info::read(const Object& obj) {
    read_optional(obj, "cpu_arch", cpu_arch);
    read_optional(obj, "cpu_shares", cpu_shares);
    read_optional(obj, "cpu_count", cpu_count);
    read_optional(obj, "cpu_cores", cpu_cores);
    read_optional(obj, "cpu_socket", cpu_socket);
    read_optional(obj, "cpu_core_num_per_socket", cpu_core_num_per_socket);
    read_optional(obj, "cpu_reservation", cpu_reservation);
    read_optional(obj, "cpu_limit", cpu_limit);
    read_optional(obj, "cpu_model", cpu_model);
    read_optional(obj, "cpu_hot_plug_enabled", cpu_hot_plug_enabled);
    read_optional(obj, "cpu_model_enabled", cpu_model_enabled);
}

bool SmartX_Backup_Set::CPU_Info::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, CPU_Info(), obj, error);
}

Object SmartX_Backup_Set::Mem_Info::dump() const {
    Object out;
    out["memory"] = u64(memory);
    return out;
}

void SmartX_Backup_Set::Mem_Info::read(const Object& obj) {
    read_optional(obj, "memory", memory);
}

bool SmartX_Backup_Set::Mem_Info::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, Mem_Info(), obj, error);
}

Object SmartX_Backup_Set::Aggregate_Info::dump() const {
    Object out;
    out["id"] = id;
    out["type"] = static_cast<int>(type);
    return out;
}

void SmartX_Backup_Set::Aggregate_Info::read(const Object& obj) {
    id = object_get_str_or_throw(obj, "id");
    const int t = json_spirit::object_get_int_or_throw(obj, "type");
    if (t != FOLDER && t != TAG)
        throw json_spirit::Json_Error("type", "0 (folder) or 1 (tag)");
    type = static_cast<Aggregate_Type>(t);
}

bool SmartX_Backup_Set::Aggregate_Info::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, Aggregate_Info(), obj, error);
}

SmartX_Backup_Set::SmartX_Backup_Set() : Backup_Set("smartx") {}

SmartX_Backup_Set::~SmartX_Backup_Set() = default;

Object SmartX_Backup_Set::dump() const {
    Object out = Backup_Set::dump();
    out["vm_id"] = vm_id;
    out["vm_name"] = vm_name;
    out["cluster_id"] = cluster_id;
    out["owner_host_id"] = owner_host_id;
    out["owner_host_ip"] = owner_host_ip;
    out["owner_host_name"] = owner_host_name;
    out["snap_id"] = snap_id;
    out["base_info"] = base_info.dump();
    out["cpu_info"] = cpu_info.dump();
    out["mem_info"] = mem_info.dump();
    out["aggregates"] = json_record::dump_records(aggregates);
    out["nics"] = nics;
    out["usbs"] = usbs;
    out["cdroms"] = cdroms;
    out["floppys"] = floppys;
    out["boot_devices"] = boot_devices;
    out["gpus"] = gpus;
    out["vm_extended_attrs"] = vm_extended_attrs;
    return out;
}

void SmartX_Backup_Set::read(const Object& obj) {
    Backup_Set::read(obj);
    vm_id = object_get_str_or_throw(obj, "vm_id");
    vm_name = object_get_str_or_throw(obj, "vm_name");
    cluster_id = object_get_str_or_throw(obj, "cluster_id");
    owner_host_id = object_get_str_or_throw(obj, "owner_host_id");
    owner_host_ip = object_get_str_or_throw(obj, "owner_host_ip");
    owner_host_name = object_get_str_or_throw(obj, "owner_host_name");
    base_info.read(object_get_object_or_throw(obj, "base_info"));
    cpu_info.read(object_get_object_or_throw(obj, "cpu_info"));
    mem_info.read(object_get_object_or_throw(obj, "mem_info"));
    read_optional(obj, "snap_id", snap_id);
    json_record::read_records(obj, "aggregates", aggregates);
    read_optional(obj, "nics", nics);
    read_optional(obj, "usbs", usbs);
    read_optional(obj, "cdroms", cdroms);
    read_optional(obj, "floppys", floppys);
    read_optional(obj, "boot_devices", boot_devices);
    read_optional(obj, "gpus", gpus);
    read_optional(obj, "vm_extended_attrs", vm_extended_attrs);
}

bool SmartX_Backup_Set::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, SmartX_Backup_Set(), obj, error);
}
