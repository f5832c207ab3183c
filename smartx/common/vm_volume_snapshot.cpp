#include "smartx/common/vm_volume_snapshot.h"

#include "smartx/common/int64_double.h"

namespace smartx {

bool VM_Volume_Snapshot::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse VM volume snapshot, details: %s.\n",
                    [&] {
                        auto read = json_spirit::extract_or_throw(obj);
                        read("createAt", create_time, false)("description", description, true)(
                            "elf_storage_policy", elf_storage_policy, true)("id", id, true)(
                            "local_id", local_id, true)("name", name, true)("size", size, false)(
                            "type", type, true)("volume_sharing", volume_sharing, false);
                        get_int64_as_double(obj, "volume_size", volume_size, false);
                        read("zbs_snapshot_uuid", zbs_snapshot_uuid, false);
                    }) &&
           load_part(load_item_in_object(obj, "cluster", cluster, true),
                     "Failed to parse cluster in VM volume snapshot.\n") &&
           load_part(load_item_in_object(obj, "vm_volume", vm_volume, false),
                     "Failed to parse vm volume in VM volume snapshot.\n");
}

}  // namespace smartx
