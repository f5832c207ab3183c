#include "smartx/common/iscsi_lun.h"

#include "smartx/common/int64_double.h"

namespace smartx {

bool ISCSI_LUN::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse ISCSI LUN, details: %s.\n",
                    [&] {
                        auto read = json_spirit::extract_or_throw(obj);
                        get_int64_as_double(obj, "assigned_size", assigned_size, true);
                        read("id", id, true)("local_id", local_id, true)("lun_id", lun_id, true)(
                            "name", name, true)("replica_num", replica_num, true);
                        get_int64_as_double(obj, "shared_size", shared_size, true);
                        read("thin_provision", thin_provision, true);
                        get_int64_as_double(obj, "unique_size", unique_size, true);
                        read("zbs_volume_id", zbs_volume_id, true);
                    }) &&
           load_part(load_item_in_object(obj, "iscsi_target", iscsi_target, true),
                     "Failed to parse ISCSI target in ISCSI LUN.\n");
}

void ISCSI_LUN::clear() {
    *this = ISCSI_LUN();
}

bool ISCSI_LUN_Snapshot::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse iscsi lun snapshot, details: %s.\n",
                    [&] {
                        // clang-format off
                        json_spirit::extract_or_throw(obj)
                            ("id", id, true)
                            ("local_created_at", local_created_at, true)
                            ("local_id", local_id, true)
                            ("name", name, true)
                            ("unique_size", unique_size, true);
                        // clang-format on
                    }) &&
           load_part(load_item_in_object(obj, "iscsi_lun", iscsi_lun, true),
                     "Failed to parse iscsi lun in ISCSI LUN snapshot.\n") &&
           load_part(load_item_in_object(obj, "iscsi_target", iscsi_target, true),
                     "Failed to parse iscsi target in ISCSI LUN snapshot.\n");
}

}  // namespace smartx
