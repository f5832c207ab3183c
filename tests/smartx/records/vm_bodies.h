// Bodies of a VM and its parts as CloudTower answers them, shared by the
// VM-side record tests.
#ifndef TESTS_SMARTX_RECORDS_VM_BODIES_H
#define TESTS_SMARTX_RECORDS_VM_BODIES_H

#include "record_test_support.h"

namespace records_test {

inline Object volume_body() {
    return body(R"({"cluster": {"id": "c1", "name": "cl"}, "description": "system disk",
                    "elf_storage_policy": "REPLICA_2_THIN_PROVISION", "id": "vol1", "local_id": "lvol1",
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
                         "id": "v1", "in_recycle_bin": false, "labels": [{"id": "l1"}], "local_id": "lv1",
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
