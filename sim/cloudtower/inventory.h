// The simulated CloudTower's records, one list per kind, each record a JSON
// object as CloudTower sends it. Reverse references and counts (a cluster's
// "vms", a VM's "vm_disks", "vm_num", the names in nested references) are
// derived from the forward references by refresh(), so mutations only touch
// the records they change.
#ifndef SIM_CLOUDTOWER_INVENTORY_H
#define SIM_CLOUDTOWER_INVENTORY_H

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/json_spirit/value.h"

namespace sim {
namespace cloudtower {

class Inventory {
public:
    using Records = std::vector<json_spirit::Object>;

    // Every kind, in file order: "organizations", "datacenters", "clusters",
    // "hosts", "vm_folders", "vms", "vm_disks", "vm_nics", "vm_volumes",
    // "vm_snapshots", "vm_volume_snapshots", "iscsi_targets", "iscsi_luns",
    // "iscsi_lun_snapshots", "labels", "data_stores", "elf_storage_policies",
    // "vdses", "vlans", "gpu_devices", "usb_devices", "users", "user_roles",
    // "tasks".
    static const std::vector<std::string>& kinds();
    static bool known_kind(const std::string& kind);
    // The kind a reference field points to ("cluster" -> "clusters",
    // "vm_volume" -> "vm_volumes"), or null.
    static const char* relation_kind(const std::string& field);

    // Replaces every kind from an inventory document: an object whose members
    // are kinds, each an array of records or the name of a file (relative to
    // base_dir) that holds one.
    bool load(const json_spirit::Object& doc, const std::string& base_dir, std::string* error);
    bool load_file(const std::string& path, std::string* error);
    // {kind: [records]} for every kind.
    json_spirit::Object dump() const;

    const Records& records(const std::string& kind) const;
    const json_spirit::Object* find(const std::string& kind, const std::string& id) const;
    json_spirit::Object* find(const std::string& kind, const std::string& id);
    // Adds a record, or replaces the one with the same "id".
    void put(const std::string& kind, json_spirit::Object record);
    bool erase(const std::string& kind, const std::string& id);
    void clear(const std::string& kind);

    // Recomputes the derived fields; call after changes.
    void refresh();

private:
    void reindex(const std::string& kind);

    std::map<std::string, Records> kinds_;
    std::map<std::string, std::unordered_map<std::string, size_t>> index_;
};

}  // namespace cloudtower
}  // namespace sim

#endif
