#include "world/listed_vm.h"

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace world {

namespace {
Object record_of(Backup_World& world, const std::string& kind, const std::string& id) {
    Object out;
    if (!world.tower().record(kind, id, out))
        throw std::runtime_error("CloudTower has no " + kind + " record " + id);
    return out;
}

std::string ref_id(const Object& record, const std::string& key) {
    return text_of(member_of(Value(record), key), "id");
}
}  // namespace

VM listed_vm(Backup_World& world, const std::string& vm_id) {
    const Object rec = record_of(world, "vms", vm_id);
    VM vm;
    vm.id = vm_id;
    vm.name = text_of(Value(rec), "name");
    vm.local_id = text_of(Value(rec), "local_id");
    vm.description = text_of(Value(rec), "description");
    vm.running = text_of(Value(rec), "status") == "RUNNING";
    std::vector<std::pair<int64_t, Disk>> disks;
    for (const Value& d : world.tower().records("vm_disks")) {
        const Object& disk = d.get_obj();
        if (ref_id(disk, "vm") != vm_id || text_of(d, "type") != "DISK")
            continue;
        const Object volume = record_of(world, "vm_volumes", ref_id(disk, "vm_volume"));
        const Object lun = record_of(world, "iscsi_luns", ref_id(volume, "lun"));
        Disk out;
        out.name = text_of(Value(volume), "name");
        out.size = member_of(Value(volume), "size").get_uint64();
        out.disk_id = text_of(d, "id");
        out.volume_id = text_of(Value(volume), "id");
        out.volume_local_id = text_of(Value(volume), "local_id");
        out.lun_id = text_of(Value(lun), "id");
        out.lun_local_id = text_of(Value(lun), "local_id");
        out.zbs_volume_id = text_of(Value(lun), "zbs_volume_id");
        out.serial = text_of(d, "serial");
        disks.emplace_back(member_of(d, "boot").get_int64(), std::move(out));
    }
    std::stable_sort(disks.begin(), disks.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& d : disks)
        vm.disks.push_back(std::move(d.second));
    return vm;
}

std::string vm_id_named(Backup_World& world, const std::string& name) {
    for (const Value& v : world.tower().records("vms"))
        if (text_of(v, "name") == name)
            return text_of(v, "id");
    return std::string();
}

uint64_t allocated_bytes(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path);
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

}  // namespace world
