#include "smartx/common/data_storage.h"

namespace smartx {

const Key2_Value_T<Data_Storage::Type> Data_Storage::TYPE_TABLE[] = {
    key2_value_row("ISCSI", Type::ISCSI),
    key2_value_row("NFS", Type::NFS),
    key2_value_row("NVMe", Type::NVMe),
    key2_value_end(Type::UNKNOWN),
};

bool Data_Storage::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse data storage, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("description", description, true)
                            ("external_use", external_use, true)
                            ("id", id, true)
                            ("internal", internal, true)
                            ("local_id", local_id, true)
                            ("name", name, true)
                            ("replica_num", replica_num, true)
                            ("thin_provision", thin_provision, true)
                            ("type", type, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, true),
                     "Failed to parse cluster in data storage.\n") &&
           load_part(load_item_in_object(obj, "iscsi_target", iscsi_target, false),
                     "Failed to parse ISCSI target in data storage.\n") &&
           load_part(load_item_in_object(obj, "nfs_export", nfs_export, false),
                     "Failed to parse NFS export in data storage.\n") &&
           load_part(load_item_in_object(obj, "nvmf_subsystem", nvmf_subsystem, false),
                     "Failed to parse NVMe subsystem in data storage.\n");
}

Data_Storage::Type Data_Storage::get_type() const {
    return get_value_by_key(TYPE_TABLE, type.c_str());
}

}  // namespace smartx
