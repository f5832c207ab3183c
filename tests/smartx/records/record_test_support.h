// Table-driven load tests of the CloudTower records: a base body, one edit
// per case, and the exact lines the load logs (none when it must succeed).
#ifndef TESTS_SMARTX_RECORDS_RECORD_TEST_SUPPORT_H
#define TESTS_SMARTX_RECORDS_RECORD_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/value.h"
#include "json_spirit/json_spirit_helper.h"
#include "support/log_capture.h"

namespace records_test {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

inline const uint64_t HUGE_NUMBER = std::numeric_limits<uint64_t>::max();

// What the reference records log when one of their keys is missing.
inline const char* const ITEM_NAME =
    "Failed to load Item_Identity from JSON: 'name' is expected as string\n";
inline const char* const LABEL_ID =
    "Failed to load Item_Label from JSON: 'id' is expected as string\n";
inline const char* const HOST_IP =
    "Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n";

// A record's message for one bad key: prefix, "'key' is expected as type", suffix.
struct Fail {
    std::string prefix;
    std::string suffix = ".\n";
    std::string operator()(const std::string& key, const std::string& type) const {
        return prefix + "'" + key + "' is expected as " + type + suffix;
    }
};

// A body written in the test itself.
inline Object body(const char* json) {
    Value v;
    std::string error;
    if (!json_spirit::read(json, v, &error) || v.type() != json_spirit::obj_type) {
        ADD_FAILURE() << "bad test body: " << error;
        return Object();
    }
    return v.get_obj();
}

// The records of a CloudTower answer under tests/fixtures/cloudtower/: the
// array itself, or the first array member of an object answer.
inline Array fixture_records(const std::string& name) {
    std::ifstream in(std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower/" + name);
    Value v;
    EXPECT_TRUE(json_spirit::read(std::string(std::istreambuf_iterator<char>(in), {}), v)) << name;
    if (v.type() == json_spirit::array_type)
        return v.get_array();
    for (const auto& member : v.get_obj())
        if (member.second.type() == json_spirit::array_type)
            return member.second.get_array();
    return Array{v};
}

// One change to a body, at a path of keys and array indexes ("hosts.1.id").
struct Edit {
    std::string path;
    bool erase;
    Value value;
};

inline Edit drop(const std::string& path) {
    return Edit{path, true, Value()};
}

inline Edit put(const std::string& path, Value value) {
    return Edit{path, false, std::move(value)};
}

inline Object edited(Object base, const Edit& edit) {
    std::vector<std::string> parts;
    std::istringstream in(edit.path);
    for (std::string part; std::getline(in, part, '.');)
        parts.push_back(part);
    Value tree(std::move(base));
    Value* at = &tree;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        at = at->type() == json_spirit::array_type ? &at->get_array().at(std::stoul(parts[i]))
                                                   : &at->get_obj().at(parts[i]);
    if (at->type() == json_spirit::array_type) {
        Array& arr = at->get_array();
        const size_t index = std::stoul(parts.back());
        if (edit.erase)
            arr.erase(arr.begin() + static_cast<std::ptrdiff_t>(index));
        else
            arr.at(index) = edit.value;
    } else if (edit.erase)
        at->get_obj().erase(parts.back());
    else
        at->get_obj()[parts.back()] = edit.value;
    return std::move(tree.get_obj());
}

// Expected outcome: the exact log lines; no lines means the load succeeds.
struct Load_Case {
    Edit edit;
    std::vector<std::string> log;
};

// The base body loads silently; then every case on a fresh record and a
// fresh copy of `base`.
template <class R>
void check_load_cases(const Object& base, const std::vector<Load_Case>& cases) {
    SCOPED_TRACE(typeid(R).name());
    {
        Log_Capture log;
        R record;
        EXPECT_TRUE(record.load(base)) << "the base body must load";
        EXPECT_EQ(log.texts(), std::vector<std::string>());
    }
    for (const Load_Case& c : cases) {
        SCOPED_TRACE((c.edit.erase ? "without " : "with ") + c.edit.path);
        Log_Capture log;
        R record;
        EXPECT_EQ(record.load(edited(base, c.edit)), c.log.empty());
        EXPECT_EQ(log.texts(), c.log);
        for (const Log_Capture::Line& line : log.lines())
            EXPECT_EQ(line.priority, LM_ERROR);
    }
}

// A record loaded from `body` dumps the same body.
template <class R>
void expect_dump_is_body(const Object& body) {
    SCOPED_TRACE(typeid(R).name());
    R record;
    ASSERT_TRUE(record.load(body));
    EXPECT_EQ(record.dump(), body);
}

// CloudTower's creation time of a VM or a volume: loaded, never dumped.
inline const char* const CREATED_AT = "local_created_at";
inline const char* const CREATED_AT_VALUE = "2024-01-02T03:04:05Z";

// Bodies of a VM and its parts as CloudTower answers them.
inline Object volume_body() {
    return body(R"({"cluster": {"id": "c1", "name": "cl"}, "description": "system disk",
                    "elf_storage_policy": "REPLICA_2_THIN_PROVISION", "id": "vol1",
                    "local_created_at": "2024-01-02T03:04:05Z", "local_id": "lvol1",
                    "lun": {"id": "lun1", "name": "lun"}, "mounting": true, "name": "vm1-disk0",
                    "path": "/zbs/vol1", "sharing": false, "size": 10737418240, "type": "KVM_VOLUME",
                    "vm_disks": [{"id": "d1"}]})");
}

inline Object disk_body() {
    Object disk = body(R"({"boot": 1, "bus": "VIRTIO", "device": "vda", "disabled": false,
                           "elf_image": {"id": "img1", "name": "iso"}, "id": "d1", "serial": "S1", "type": "DISK",
                           "vm": {"id": "v1", "name": "vm1"}})");
    disk["vm_volume"] = volume_body();
    return disk;
}

inline Object nic_body() {
    return body(R"({"enabled": true, "gateway": "10.0.0.254", "id": "n1", "interface_id": "if1",
                    "ip_address": "10.0.0.10", "local_id": "ln1", "mac_address": "52:54:00:12:34:56",
                    "mirror": false, "model": "VIRTIO", "subnet_mask": "255.255.255.0",
                    "vlan": {"id": "vl1", "name": "default"}, "vm": {"id": "v1", "name": "vm1"}})");
}

// Disk 1 and the USB device are bare references, as CloudTower sends them
// when the query does not ask for the whole record.
inline Object vm_body() {
    Object vm = body(R"({"clock_offset": "UTC", "cluster": {"id": "c1", "name": "cl"},
                         "cpu": {"cores": 2, "sockets": 2}, "cpu_model": "host_passthrough", "description": "web",
                         "firmware": "BIOS", "folder": {"id": "f1", "name": "folder"},
                         "gpu_devices": [{"brand": "NVIDIA", "bus_location": "0000:3b:00.0", "description": "T4",
                                          "host": {"id": "h1", "name": "node1", "management_ip": "10.0.0.1"},
                                          "id": "g1", "local_created_at": "2024-01-02T03:04:05Z", "local_id": "lg1",
                                          "model": "T4", "name": "gpu0", "status": "IN_USE", "vms": []}],
                         "guest_cpu_model": "", "guest_os_type": "LINUX", "ha": false,
                         "host": {"id": "h1", "name": "node1", "management_ip": "10.0.0.1"}, "hostname": "web1",
                         "id": "v1", "in_recycle_bin": false, "labels": [{"id": "l1"}],
                         "local_created_at": "2024-01-02T03:04:05Z", "local_id": "lv1",
                         "memory": 8589934592, "name": "vm1", "node_ip": "10.0.0.1",
                         "snapshots": [{"id": "s1", "name": "snap"}], "status": "RUNNING",
                         "usb_devices": [{"id": "u1"}], "vcpu": 4, "video_type": "VGA",
                         "vm_disks": [], "vm_nics": [], "vm_placement_group": [{"id": "pg1", "name": "group"}],
                         "vm_tools_status": "RUNNING", "vm_tools_version": "3.0", "vm_usage": "BACKUP_CONTROLLER",
                         "win_opt": false})");
    vm["vm_disks"] = Array{disk_body(), body(R"({"id": "d2"})")};
    vm["vm_nics"] = Array{nic_body()};
    return vm;
}

}  // namespace records_test

#endif
