#include "smartx/job/restore_source_entry.h"

#include "json_spirit/json_spirit_helper.h"
#include "smartx/common/item.h"

namespace smartx {

namespace {

// The "id" string of the object member `key` ("vlan", "vm").
const std::string& nested_id(const json_spirit::Object& obj, const char* key) {
    return json_spirit::object_get_str_or_throw(json_spirit::object_get_object_or_throw(obj, key),
                                                "id");
}

json_spirit::Object id_object(const std::string& id) {
    json_spirit::Object obj;
    json_spirit::insert(obj)("id", id);
    return obj;
}

}  // namespace

bool Restore_Source_Entry::load(const json_spirit::Value& value) {
    return try_load("Failed to parse restore source entry : %s.\n", [&] {
        const json_spirit::Object& obj = value.get_obj();
        const json_spirit::Array* nics_arr = nullptr;
        const json_spirit::Array* volumes_arr = nullptr;
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("catalog_uuid", catalog_uuid, true)
            ("id", vm_src_id, true)
            ("name", vm_src_name, false)
            ("target_folder_id", vm_tgt_folder_id, false)
            ("tgt_cluster_id", vm_tgt_cluster_id, false)
            ("target_host_id", vm_tgt_host_id, false)
            ("target_vm_name", vm_tgt_name, false)
            ("target_vm_id", vm_tgt_id, false)
            ("cpu_cores", vm_tgt_cpu_cores, false)
            ("cpu_count", vm_tgt_cpu_count, false)
            ("mem_mbytes", vm_tgt_mem_mbytes, false)
            ("target_vm_vapp", vm_tgt_vapp, false)
            ("nics", nics_arr, false)
            ("volumes", volumes_arr, false);
        // clang-format on
        if (nics_arr != nullptr) {
            for (const json_spirit::Value& element : *nics_arr) {
                const json_spirit::Object& o = element.get_obj();
                NIC nic;
                // clang-format off
                json_spirit::extract_or_throw(o)
                    ("id", nic.src_id, true)
                    ("subnet_mask", nic.subnet_mask, true)
                    ("gateway", nic.gateway, true)
                    ("ip_address", nic.ip_address, true)
                    ("mirror", nic.mirror, true)
                    ("model", nic.model, true)
                    ("mac_address", nic.mac_address, true);
                // clang-format on
                nic.vlan_id = nested_id(o, "vlan");
                nic.vm_id = nested_id(o, "vm");
                nics.push_back(std::move(nic));
            }
        }
        if (volumes_arr != nullptr) {
            for (const json_spirit::Value& element : *volumes_arr) {
                Volume volume;
                // clang-format off
                json_spirit::extract_or_throw(element.get_obj())
                    ("id", volume.src_id, true)
                    ("restoreMode", volume.restore_mode, false)
                    ("vm_volume_local_id", volume.src_local_id, true)
                    ("target_volume_name", volume.tgt_volume_name, false)
                    ("target_volume_policy", volume.tgt_volume_policy, false)
                    ("tgt_cluster_id", volume.tgt_cluster_id, true);
                // clang-format on
                volumes.push_back(std::move(volume));
            }
        }
    });
}

json_spirit::Object Restore_Source_Entry::dump() const {
    json_spirit::Object obj;
    // clang-format off
    json_spirit::insert(obj)
        ("catalog_uuid", catalog_uuid)
        ("id", vm_src_id)
        ("name", vm_src_name)
        ("target_folder_id", vm_tgt_folder_id)
        ("tgt_cluster_id", vm_tgt_cluster_id)
        ("target_host_id", vm_tgt_host_id)
        ("target_vm_name", vm_tgt_name)
        ("target_vm_id", vm_tgt_id)
        ("cpu_cores", vm_tgt_cpu_cores)
        ("cpu_count", vm_tgt_cpu_count)
        ("mem_mbytes", vm_tgt_mem_mbytes)
        ("target_vm_vapp", vm_tgt_vapp);
    // clang-format on

    json_spirit::Array& nics_arr = json_spirit::to_new_array(obj["nics"]);
    nics_arr.reserve(nics.size());
    for (const NIC& nic : nics) {
        json_spirit::Object& o = json_spirit::append_object(nics_arr, json_spirit::Object());
        // clang-format off
        json_spirit::insert(o)
            ("id", nic.src_id)
            ("subnet_mask", nic.subnet_mask)
            ("gateway", nic.gateway)
            ("ip_address", nic.ip_address)
            ("mirror", nic.mirror)
            ("model", nic.model)
            ("mac_address", nic.mac_address)
            ("vlan", id_object(nic.vlan_id))
            ("vm", id_object(nic.vm_id));
        // clang-format on
    }

    json_spirit::Array& volumes_arr = json_spirit::to_new_array(obj["volumes"]);
    volumes_arr.reserve(volumes.size());
    for (const Volume& volume : volumes) {
        json_spirit::Object& o = json_spirit::append_object(volumes_arr, json_spirit::Object());
        // clang-format off
        json_spirit::insert(o)
            ("id", volume.src_id)
            ("tgt_cluster_id", volume.tgt_cluster_id)
            ("target_volume_name", volume.tgt_volume_name)
            ("target_volume_policy", volume.tgt_volume_policy)
            ("restoreMode", volume.restore_mode)
            ("vm_volume_local_id", volume.src_local_id);
        // clang-format on
    }
    return obj;
}

void Restore_Source_Entry::clear() {
    *this = Restore_Source_Entry();
}

}  // namespace smartx
