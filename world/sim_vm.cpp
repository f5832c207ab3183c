#include "world/sim_vm.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/json_spirit/json_io.h"

namespace world {

namespace {
// prefix, then the number, zero-padded to width characters.
std::string padded(const std::string& prefix, uint64_t number, size_t width) {
    const std::string digits = std::to_string(number);
    if (prefix.size() + digits.size() > width)
        throw std::invalid_argument("id too long: " + prefix + digits);
    return prefix + std::string(width - prefix.size() - digits.size(), '0') + digits;
}

// CloudTower ids are 25 characters.
std::string cuid(const std::string& tag, const std::string& what, uint64_t n) {
    return padded("cl0" + tag + what, n, 25);
}
std::string uuid(const std::string& head, uint64_t n) {
    return padded(head + "-0000-4000-8000-", n, 36);
}
}  // namespace

VM numbered_vm(const std::string& tag, uint64_t number, const std::string& name,
               const std::vector<uint64_t>& sizes, const std::string& description) {
    VM vm;
    const uint64_t base = number * 100;
    vm.id = cuid(tag, "vm", base + 1);
    vm.name = name;
    vm.local_id = uuid("9d9d0000", base + 1);
    vm.description = description;
    vm.cdrom_id = cuid(tag, "cdrom", base + 1);
    for (size_t i = 0; i < sizes.size(); ++i) {
        const uint64_t n = base + i + 1;
        Disk d;
        d.name = name + "-disk" + std::to_string(i + 1);
        d.size = sizes[i];
        d.disk_id = cuid(tag, "disk", n);
        d.volume_id = cuid(tag, "volume", n);
        d.volume_local_id = uuid("6b6b0000", n);
        d.lun_id = cuid(tag, "lun", n);
        d.lun_local_id = uuid("8c8c0000", n);
        d.zbs_volume_id = uuid("7a7a0000", n);
        d.serial = uuid("5e5e0000", n);
        vm.disks.push_back(d);
    }
    return vm;
}

uint64_t touched_block_bytes(const VM& vm, const std::vector<Disk_Range>& ranges, uint64_t unit) {
    std::vector<std::pair<size_t, uint64_t>> blocks;
    for (const Disk_Range& r : ranges)
        if (r.length > 0)
            for (uint64_t b = r.offset / unit; b <= (r.offset + r.length - 1) / unit; ++b)
                blocks.emplace_back(r.disk, b);
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    uint64_t total = 0;
    for (const auto& b : blocks) {
        const uint64_t size = vm.disks.at(b.first).size;
        const uint64_t start = b.second * unit;
        if (start < size)
            total += std::min(unit, size - start);
    }
    return total;
}

std::string text_of(const Value& v, const std::string& key) {
    if (v.type() != json_spirit::obj_type)
        return std::string();
    const std::string* s = json_spirit::object_get_str(v.get_obj(), key);
    return s != nullptr ? *s : std::string();
}

const Value& member_of(const Value& v, const std::string& key) {
    if (v.type() != json_spirit::obj_type)
        return Value::null;
    const Value* m = json_spirit::object_get_value(v.get_obj(), key);
    return m != nullptr ? *m : Value::null;
}

Object ref(const std::string& id, const std::string& name) {
    Object o;
    o["id"] = id;
    o["name"] = name;
    return o;
}

Array Fixtures::all(const std::string& kind) const {
    const std::string path = dir_ + "/" + kind + ".json";
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    Value v;
    std::string why;
    if (!in || !json_spirit::read(text.str(), v, &why) || v.type() != json_spirit::array_type)
        throw std::runtime_error("cannot read the records of " + path +
                                 (why.empty() ? "" : ": " + why));
    return v.get_array();
}

Object Fixtures::record(const std::string& kind, const std::string& name) const {
    for (const Value& v : all(kind))
        if (text_of(v, "name") == name || text_of(v, "key") == name)
            return v.get_obj();
    throw std::runtime_error("no " + kind + " record named " + name + " in " + dir_);
}

Object Fixtures::reference(const std::string& kind, const std::string& name) const {
    const Object r = record(kind, name);
    return ref(r.at("id").get_str(), r.at("name").get_str());
}

std::vector<std::pair<std::string, Array>> vm_records(const Fixtures& fixtures,
                                                      const std::vector<VM>& vms) {
    const Object lun_template =
        fixtures.record("iscsi_luns", "1605adc0-1094-5260-9891-6ddf451ecfda");
    const Object volume_template = fixtures.record("vm_volumes", "web-01-system");
    const Object vm_template = fixtures.record("vms", "test-01");
    const Object folder = fixtures.reference("vm_folders", "production");
    Object cdrom_template;
    for (const Value& d : fixtures.all("vm_disks"))
        if (text_of(d, "type") == "CD_ROM")
            cdrom_template = d.get_obj();
    Object label = fixtures.record("labels", "env");
    Object label_ref;
    label_ref["id"] = label.at("id");
    label_ref["key"] = label.at("key");
    label_ref["value"] = label.at("value");
    Array label_vms =
        json_spirit::object_get_array(label, "vms") ? label["vms"].get_array() : Array();

    Array luns, volumes, vm_list, disks;
    for (const VM& v : vms) {
        Array vm_disks;
        for (size_t i = 0; i < v.disks.size(); ++i) {
            const Disk& d = v.disks[i];
            Object lun = lun_template;
            lun["id"] = d.lun_id;
            lun["local_id"] = d.lun_local_id;
            lun["name"] = d.volume_local_id;
            lun["lun_id"] = static_cast<int>(100 + luns.size());
            lun["assigned_size"] = static_cast<long long>(d.size);
            lun["zbs_volume_id"] = d.zbs_volume_id;
            lun["snapshot_num"] = 0;
            luns.push_back(lun);

            Object volume = volume_template;
            volume["id"] = d.volume_id;
            volume["local_id"] = d.volume_local_id;
            volume["name"] = d.name;
            volume["lun"] = ref(d.lun_id, d.volume_local_id);
            volume["size"] = static_cast<long long>(d.size);
            volume["path"] =
                "iscsi://iqn.2016-02.com.smartx:system:" + v.name + "/" + std::to_string(i + 1);
            volume["vm_disks"] = Array();
            volumes.push_back(volume);

            Object disk;
            disk["boot"] = static_cast<int>(i + 1);
            disk["bus"] = "VIRTIO";
            disk["device"] = std::string("vd") + static_cast<char>('a' + i);
            disk["disabled"] = false;
            disk["elf_image"] = Value();
            disk["id"] = d.disk_id;
            disk["key"] = static_cast<int>(i);
            disk["max_bandwidth"] = 0;
            disk["max_bandwidth_policy"] = "DYNAMIC";
            disk["max_iops"] = 0;
            disk["max_iops_policy"] = "DYNAMIC";
            disk["serial"] = d.serial;
            disk["type"] = "DISK";
            disk["vm"] = ref(v.id, v.name);
            disk["vm_volume"] = ref(d.volume_id, d.name);
            vm_disks.push_back(disk);
        }
        // Never backed up, yet part of the VM.
        Object cdrom = cdrom_template;
        cdrom["id"] = v.cdrom_id;
        cdrom["vm"] = ref(v.id, v.name);
        cdrom["key"] = static_cast<int>(v.disks.size());
        vm_disks.insert(vm_disks.begin() + (vm_disks.empty() ? 0 : 1), cdrom);
        disks.insert(disks.end(), vm_disks.begin(), vm_disks.end());

        Object vm = vm_template;
        vm["id"] = v.id;
        vm["name"] = v.name;
        vm["hostname"] = v.name;
        vm["local_id"] = v.local_id;
        vm["description"] = v.description;
        vm["folder"] = folder;
        vm["labels"] = Array{label_ref};
        vm["vm_disks"] = Array();
        vm["vm_nics"] = Array();
        vm["snapshots"] = Array();
        if (v.running) {
            vm["status"] = "RUNNING";
            vm["vm_tools_status"] = "RUNNING";
        }
        vm_list.push_back(vm);
        // CloudTower keeps the binding on the label.
        label_vms.push_back(ref(v.id, v.name));
    }
    label["vms"] = label_vms;
    return {{"iscsi_luns", luns},
            {"vm_volumes", volumes},
            {"vms", vm_list},
            {"vm_disks", disks},
            {"labels", Array{label}}};
}

}  // namespace world
