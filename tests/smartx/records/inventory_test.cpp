// Organization, datacenter, cluster, host and folder records; the network
// (VDS, VLAN) and the devices of a host (GPU, USB).
#include "smartx/common/cluster.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/host.h"
#include "smartx/common/organization.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::Cluster;
using smartx::GPU_Device;
using smartx::Host;
using smartx::USB_Device;

namespace {
Object datacenter_body() {
    return body(
        R"({"cluster_num": 2, "clusters": [{"id": "c1", "name": "cl1"}, {"id": "c2", "name": "cl2"}],
            "id": "dc1", "labels": [{"id": "l1"}], "name": "DC", "organization": {"id": "o1", "name": "org"}})");
}

Object cluster_body() {
    return body(
        R"({"connect_state": "CONNECTED", "datacenters": [{"id": "d1", "name": "dc"}], "host_num": 3,
            "hosts": [{"id": "h1", "name": "n1", "management_ip": "10.0.0.1"},
                      {"id": "h2", "name": "n2", "management_ip": "10.0.0.2"}],
            "id": "c1", "ip": "10.0.0.100", "labels": [{"id": "l1"}], "local_id": "lc1", "name": "cl",
            "software_edition": "ENTERPRISE", "total_cpu_cores": 96, "total_cpu_hz": 230400000000,
            "total_cpu_sockets": 6, "total_data_capacity": 48000000000000,
            "total_memory_bytes": 1649267441664, "type": "SMTX_OS", "used_cpu_hz": 3000000000,
            "used_data_space": 1099511627776, "used_memory_bytes": 274877906944,
            "valid_data_space": 40000000000000, "vm_folders": [{"id": "f1", "name": "folder"}],
            "vm_num": 12, "vm_templates": [{"id": "t1", "name": "tpl"}],
            "vms": [{"id": "v1", "name": "vm1"}, {"id": "v2", "name": "vm2"}]})");
}

Object host_body() {
    return body(
        R"({"chunk_id": "1", "cluster": {"id": "c1", "name": "cl"}, "management_ip": "10.0.0.1",
            "data_ip": "10.1.0.1", "total_cpu_cores": 32, "total_cpu_hz": 76800000000,
            "total_cpu_sockets": 2, "used_cpu_hz": 1200000000, "total_memory_bytes": 549755813888,
            "used_memory_bytes": 68719476736, "id": "h1", "labels": [{"id": "l1"}], "local_id": "lh1",
            "name": "node1", "serial": "SN1", "state": "IN_USE", "status": "CONNECTED_HEALTHY",
            "vms": [{"id": "v1", "name": "vm1"}]})");
}
Object gpu_body() {
    return body(R"({"brand": "NVIDIA", "bus_location": "0000:3b:00.0", "description": "T4",
                    "host": {"id": "h1", "name": "node1", "management_ip": "10.0.0.1"}, "id": "g1",
                    "local_created_at": "2024-01-02T03:04:05Z", "local_id": "lg1", "model": "Tesla T4",
                    "name": "gpu0", "status": "IN_USE", "vms": [{"id": "v1", "name": "vm1"}]})");
}

Object usb_body() {
    return body(R"({"binded": true, "description": "key", "host": {"id": "h1", "name": "node1",
                    "management_ip": "10.0.0.1"}, "id": "u1", "local_created_at": "2024-01-02T03:04:05Z",
                    "local_id": "lu1", "manufacturer": "ACME", "name": "usb0", "size": 34359738368,
                    "status": "NORMAL", "usb_type": "USB 3.0", "vms": [{"id": "v1", "name": "vm1"}]})");
}
}  // namespace

TEST(InventoryRecords, FaultyBodiesFailWithTheirMessages) {
    const Fail org{"Failed to load organization, details: "};
    check_load_cases<smartx::Organization>(
        body(R"({"id": "o1", "name": "org", "datacenters": [{"id": "d1", "name": "dc1"}]})"),
        {
            {drop("id"), {org("id", "string")}},
            {drop("datacenters"), {}},
            {put("datacenters.0", Object()),
             {"Failed to load Item_Identity from JSON: 'id' is expected as string\n",
              "Failed to load datacenters in organization.\n"}},
        });

    const Fail dc{"Failed to load datacenter, details: "};
    const char* const DC_ORG = "Failed to load organization in datacenter.\n";
    check_load_cases<smartx::Datacenter>(
        datacenter_body(),
        {
            {drop("id"), {dc("id", "string")}},
            {put("cluster_num", HUGE_NUMBER), {}},
            {put("clusters", Value()), {}},
            {drop("clusters.1.name"), {ITEM_NAME, "Failed to load clusters in datacenter.\n"}},
            {put("labels.0", 7), {}},
            {put("labels.0.id", 3), {LABEL_ID, "Failed to load labels in datacenter.\n"}},
            {drop("organization"), {DC_ORG}},
            {put("organization.name", Value()), {ITEM_NAME, DC_ORG}},
        });

    const Fail cluster{"Failed to parse cluster, details: "};
    check_load_cases<Cluster>(
        cluster_body(),
        {
            {drop("connect_state"), {cluster("connect_state", "string")}},
            {drop("used_cpu_hz"), {cluster("used_cpu_hz", "number")}},
            {put("used_cpu_hz", HUGE_NUMBER), {}},
            {drop("local_id"), {}},
            {put("total_cpu_hz", "many"), {}},
            {put("software_edition", Value()), {}},
            {drop("datacenters.0.name"), {ITEM_NAME, "Failed to parse datacenters in cluster.\n"}},
            {drop("hosts.1.management_ip"), {HOST_IP, "Failed to parse hosts in cluster.\n"}},
            {put("labels.0.id", Value()), {LABEL_ID, "Failed to parse labels in cluster.\n"}},
            {drop("vms.1.name"), {ITEM_NAME, "Failed to parse vms in cluster.\n"}},
            {put("vms", "none"), {}},
        });

    const Fail host{"Failed to parse host, details: "};
    const char* const HOST_CLUSTER = "Failed to parse cluster in host.\n";
    check_load_cases<Host>(
        host_body(),
        {
            {drop("chunk_id"), {host("chunk_id", "string")}},
            {drop("total_cpu_hz"), {host("total_cpu_hz", "integer")}},
            {put("total_cpu_cores", HUGE_NUMBER), {host("total_cpu_cores", "32-bit integer")}},
            {put("total_memory_bytes", HUGE_NUMBER), {host("total_memory_bytes", "integer")}},
            {drop("total_cpu_sockets"), {}},
            {put("used_cpu_hz", 2.5), {}},
            {drop("data_ip"), {}},
            {drop("cluster"), {HOST_CLUSTER}},
            {drop("cluster.name"), {ITEM_NAME, HOST_CLUSTER}},
            {put("labels.0", Object()), {LABEL_ID, "Failed to parse labels in host.\n"}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to parse VMs in host.\n"}},
        });

    const Fail folder{"Failed to load folder, details: "};
    check_load_cases<smartx::Folder>(
        body(
            R"({"cluster": {"id": "c1", "name": "cl"}, "id": "f1", "local_id": "lf1", "name": "folder",
                 "vm_num": 1, "vms": [{"id": "v1", "name": "vm1"}]})"),
        {
            {drop("id"), {folder("id", "string")}},
            {put("vm_num", "one"), {}},
            {drop("cluster"), {}},
            {put("cluster.id", 1),
             {"Failed to load Item_Identity from JSON: 'id' is expected as string\n",
              "Failed to load cluster in folder.\n"}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to load VMs in folder.\n"}},
        });
}

// Host rates are read as integers: a fraction is never kept.
TEST(InventoryRecords, HostRatesAreWholeNumbers) {
    Host host;
    ASSERT_TRUE(host.load(host_body()));
    EXPECT_EQ(host.used_cpu_hz, 1.2e9);
    Host fraction;
    ASSERT_TRUE(fraction.load(edited(host_body(), put("used_cpu_hz", 2.5))));
    EXPECT_EQ(fraction.used_cpu_hz, -1.0);
}

TEST(NetworkRecords, FaultyBodiesFailWithTheirMessages) {
    const Fail vds{"Failed to parse VDS, details: "};
    check_load_cases<smartx::VDS>(
        body(R"({"cluster": {"id": "c1", "name": "cl"}, "bond_mode": "active-backup", "id": "vds1",
                 "internal": false, "local_id": "lvds1", "name": "vds", "ovsbr_name": "ovsbr-mgt",
                 "type": "VM", "vlans_num": 4, "work_mode": "single"})"),
        {
            {drop("vlans_num"), {vds("vlans_num", "32-bit integer")}},
            {drop("internal"), {vds("internal", "boolean")}},
            {drop("work_mode"), {}},
            {drop("cluster"), {"Failed to parse cluster in VDS.\n"}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in VDS.\n"}},
        });

    const Fail vlan{"Failed to parse VLAN, details: "};
    check_load_cases<smartx::VLAN>(
        body(R"({"gateway_ip": "10.0.0.254", "gateway_subnetmask": "255.255.255.0", "id": "vl1",
                 "local_id": "lvl1", "mode_type": "VLAN_ACCESS", "name": "default", "subnetmask": "255.255.255.0",
                 "type": "VM", "vds": {"id": "vds1", "name": "vds"}, "vlan_id": 0})"),
        {
            {drop("gateway_ip"), {}},
            {drop("mode_type"), {}},
            {drop("vlan_id"), {vlan("vlan_id", "32-bit integer")}},
            {drop("type"), {vlan("type", "string")}},
            {drop("vds"), {"Failed to parse vds in VLAN.\n"}},
            {drop("vds.name"), {ITEM_NAME, "Failed to parse vds in VLAN.\n"}},
        });

    const Fail gpu{"Failed to parse GPU device, details: "};
    check_load_cases<GPU_Device>(
        gpu_body(),
        {
            {drop("brand"), {gpu("brand", "string")}},
            {drop("host"), {"Failed to parse host in GPU device.\n"}},
            {drop("host.management_ip"), {HOST_IP, "Failed to parse host in GPU device.\n"}},
            {drop("vms"), {}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to parse vms in GPU device.\n"}},
        });

    const Fail usb{"Failed to parse USB device, details: "};
    check_load_cases<USB_Device>(
        usb_body(),
        {
            {put("binded", "yes"), {usb("binded", "boolean")}},
            {put("size", HUGE_NUMBER), {usb("size", "integer")}},
            {put("host", Value()), {"Failed to parse host in USB device.\n"}},
            {drop("host.management_ip"), {HOST_IP, "Failed to parse host in USB device.\n"}},
            {put("vms", Value()), {}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to parse vms in USB device.\n"}},
        });
}

TEST(NetworkRecords, DeviceDumpsCarryTheLoadedKeys) {
    expect_dump_is_body<GPU_Device>(gpu_body());
    expect_dump_is_body<USB_Device>(usb_body());
}
