#include "smartx/job/backup_source_entry.h"

#include "json_spirit/json_spirit_helper.h"
#include "smartx/common/item.h"

namespace smartx {

bool Backup_Source_Entry::load(const json_spirit::Value& value) {
    return try_load("Failed to parse backup source entry : %s.\n", [&] {
        const json_spirit::Object& obj = value.get_obj();
        const json_spirit::Array* disks = nullptr;
        // clang-format off
        json_spirit::extract_or_throw(obj)
            ("id", id, true)
            ("name", name, true)
            ("type", type, true)
            ("disks", disks, false);
        // clang-format on
        if (disks == nullptr)
            return;
        for (const json_spirit::Value& element : *disks) {
            Disk_Volume disk;
            // clang-format off
            json_spirit::extract_or_throw(element.get_obj())
                ("disk_id", disk.disk_id, true)
                ("volume_id", disk.volume_id, true)
                ("volume_name", disk.volume_name, true)
                ("lun_id", disk.lun_id, true)
                ("volume_local_id", disk.volume_local_id, true)
                ("volume_policy", disk.volume_policy, true);
            // clang-format on
            volumes.push_back(std::move(disk));
        }
    });
}

json_spirit::Object Backup_Source_Entry::dump() const {
    json_spirit::Object obj;
    json_spirit::insert(obj)("id", id)("name", name)("type", type);
    if (!volumes.empty()) {
        json_spirit::Array& disks = json_spirit::to_new_array(obj["disks"]);
        disks.reserve(volumes.size());
        for (const Disk_Volume& disk : volumes) {
            json_spirit::Object& d = json_spirit::append_object(disks, json_spirit::Object());
            // clang-format off
            json_spirit::insert(d)
                ("disk_id", disk.disk_id)
                ("volume_id", disk.volume_id)
                ("volume_name", disk.volume_name)
                ("lun_id", disk.lun_id)
                ("volume_local_id", disk.volume_local_id)
                ("volume_policy", disk.volume_policy);
            // clang-format on
        }
    }
    return obj;
}

void Backup_Source_Entry::clear() {
    id.clear();
    name.clear();
    type.clear();
    volumes.clear();
}

}  // namespace smartx
