#include "world/listed_vm.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace world {

namespace {
const Array& records_of(const Object& inventory, const std::string& kind) {
    static const Array none;
    const Array* list = json_spirit::object_get_array(inventory, kind);
    return list != nullptr ? *list : none;
}

Object record_of(const Object& inventory, const std::string& kind, const std::string& id) {
    for (const Value& r : records_of(inventory, kind))
        if (text_of(r, "id") == id)
            return r.get_obj();
    throw std::runtime_error("CloudTower has no " + kind + " record " + id);
}

std::string ref_id(const Object& record, const std::string& key) {
    return text_of(member_of(Value(record), key), "id");
}
}  // namespace

VM listed_vm(Backup_World& world, const std::string& vm_id) {
    return listed_vm(world.tower().inventory(), vm_id);
}

VM listed_vm(const Object& inventory, const std::string& vm_id) {
    const Object rec = record_of(inventory, "vms", vm_id);
    VM vm;
    vm.id = vm_id;
    vm.name = text_of(Value(rec), "name");
    vm.local_id = text_of(Value(rec), "local_id");
    vm.description = text_of(Value(rec), "description");
    vm.running = text_of(Value(rec), "status") == "RUNNING";
    std::vector<std::pair<int64_t, Disk>> disks;
    for (const Value& d : records_of(inventory, "vm_disks")) {
        const Object& disk = d.get_obj();
        if (ref_id(disk, "vm") != vm_id || text_of(d, "type") != "DISK")
            continue;
        const Object volume = record_of(inventory, "vm_volumes", ref_id(disk, "vm_volume"));
        const Object lun = record_of(inventory, "iscsi_luns", ref_id(volume, "lun"));
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
    return vm_id_named(world.tower().inventory(), name);
}

std::string vm_id_named(const Object& inventory, const std::string& name) {
    for (const Value& v : records_of(inventory, "vms"))
        if (text_of(v, "name") == name)
            return text_of(v, "id");
    return std::string();
}

uint64_t allocated_bytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    uint64_t bytes = 0;
    off_t at = 0;
    for (;;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;  // ENXIO: no data past at
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole <= data)
            break;
        bytes += static_cast<uint64_t>(hole - data);
        at = hole;
    }
    ::close(fd);
    return bytes;
}

}  // namespace world
