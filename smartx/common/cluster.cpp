#include "smartx/common/cluster.h"

namespace smartx {

const Key2_Value_T<Cluster::Connect_State> Cluster::CONNECT_STATE_TABLE[] = {
    key2_value_row("CONNECTED", Connect_State::CONNECTED),
    key2_value_row("DISCONNECTED", Connect_State::DISCONNECTED),
    key2_value_row("INITIALIZING", Connect_State::INITIALIZING),
    key2_value_row("REMOVING", Connect_State::REMOVING),
    key2_value_end(Connect_State::UNKNOWN),
};

const Key2_Value_T<Cluster::Software_Edition> Cluster::SOFTWARE_EDITION_TABLE[] = {
    key2_value_row("COMMUNITY", Software_Edition::COMMUNITY),
    key2_value_row("ENTERPRISE", Software_Edition::ENTERPRISE),
    key2_value_row("ESSENTIAL", Software_Edition::ESSENTIAL),
    key2_value_row("STANDARD", Software_Edition::STANDARD),
    key2_value_row("TRIAL", Software_Edition::TRIAL),
    key2_value_end(Software_Edition::UNKNOWN),
};

const Key2_Value_T<Cluster::Type> Cluster::TYPE_TABLE[] = {
    key2_value_row("BLUESHARK", Type::BLUESHARK),
    key2_value_row("SMTX_OS", Type::SMTX_OS),
    key2_value_row("SMTX_ZBS", Type::SMTX_ZBS),
    key2_value_end(Type::UNKNOWN),
};

bool Cluster::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse cluster, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("connect_state", connect_state, true)
                            ("host_num", host_num, false)
                            ("id", id, true)
                            ("ip", ip, true)
                            ("local_id", local_id, false)
                            ("name", name, true)
                            ("software_edition", software_edition, false)
                            ("total_cpu_cores", total_cpu_cores, false)
                            ("total_cpu_hz", total_cpu_hz, false)
                            ("total_cpu_sockets", total_cpu_sockets, false)
                            ("total_data_capacity", total_data_capacity, false)
                            ("total_memory_bytes", total_memory_bytes, false)
                            ("type", type, true)
                            ("used_data_space", used_data_space, false)
                            ("used_memory_bytes", used_memory_bytes, false)
                            ("valid_data_space", valid_data_space, false)
                            ("vm_num", vm_num, false);
                        // clang-format on
                        used_cpu_hz = json_spirit::object_get_num_or_throw(obj, "used_cpu_hz");
                    }) &&
           load_part(load_items_in_object(obj, "datacenters", datacenters, false),
                     "Failed to parse datacenters in cluster.\n") &&
           load_part(load_items_in_object(obj, "hosts", hosts, false),
                     "Failed to parse hosts in cluster.\n") &&
           load_part(load_items_in_object(obj, "labels", labels, false),
                     "Failed to parse labels in cluster.\n") &&
           load_part(load_items_in_object(obj, "vm_folders", vm_folders, false),
                     "Failed to parse VM folders in cluster.\n") &&
           load_part(load_items_in_object(obj, "vm_templates", vm_templates, false),
                     "Failed to parse VM templates in cluster.\n") &&
           load_part(load_items_in_object(obj, "vms", vms, false),
                     "Failed to parse vms in cluster.\n");
}

Cluster::Connect_State Cluster::get_connect_state() const {
    return get_value_by_key(CONNECT_STATE_TABLE, connect_state.c_str());
}

Cluster::Software_Edition Cluster::get_software_edition() const {
    return get_value_by_key(SOFTWARE_EDITION_TABLE, software_edition.c_str());
}

Cluster::Type Cluster::get_type() const {
    return get_value_by_key(TYPE_TABLE, type.c_str());
}

}  // namespace smartx
