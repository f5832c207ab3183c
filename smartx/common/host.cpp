#include "smartx/common/host.h"

#include "smartx/common/int64_double.h"

namespace smartx {

const Key2_Value_T<Host::State> Host::STATE_TABLE[] = {
    key2_value_row("IDLE", State::IDLE),
    key2_value_row("IN_USE", State::IN_USE),
    key2_value_row("REMOVING", State::REMOVING),
    key2_value_end(State::UNKNOWN),
};

const Key2_Value_T<Host::Status> Host::STATUS_TABLE[] = {
    key2_value_row("CONNECTED_ERROR", Status::CONNECTED_ERROR),
    key2_value_row("CONNECTED_HEALTHY", Status::CONNECTED_HEALTHY),
    key2_value_row("CONNECTED_WARNING", Status::CONNECTED_WARNING),
    key2_value_row("CONNECTING", Status::CONNECTING),
    key2_value_row("INITIALIZING", Status::INITIALIZING),
    key2_value_row("SESSION_EXPIRED", Status::SESSION_EXPIRED),
    key2_value_end(Status::UNKNOWN),
};

bool Host::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse host, details: %s.\n",
                    [&] {
                        auto read = json_spirit::extract_or_throw(obj);
                        read("chunk_id", chunk_id, true)("management_ip", management_ip, true)(
                            "data_ip", data_ip, false)("total_cpu_cores", cpu_cores, true)(
                            "total_cpu_hz", cpu_hz, true)("total_cpu_sockets", cpu_sockets, false);
                        get_int64_as_double(obj, "used_cpu_hz", used_cpu_hz, false);
                        read("total_memory_bytes", memory_bytes, true)(
                            "used_memory_bytes", used_memory_bytes, false)("id", id, true)(
                            "local_id", local_id, true)("name", name, true)("serial", serial, true)(
                            "state", state, true)("status", status, true);
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, true),
                     "Failed to parse cluster in host.\n") &&
           load_part(load_items_in_object(obj, "labels", labels, false),
                     "Failed to parse labels in host.\n") &&
           load_part(load_items_in_object(obj, "vms", vms, false),
                     "Failed to parse VMs in host.\n");
}

Host::State Host::get_state() const {
    return get_key_value_entry(STATE_TABLE, state.c_str(), state.size())->value;
}

Host::Status Host::get_status() const {
    return get_value_by_key(STATUS_TABLE, status.c_str());
}

}  // namespace smartx
