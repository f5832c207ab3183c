// VDS, VLAN, GPU and USB device records.
#include "smartx/common/gpu_device.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::GPU_Device;
using smartx::USB_Device;
using smartx::VDS;
using smartx::VLAN;

namespace {

Object vds_body() {
    return body(
        R"({"cluster": {"id": "c1", "name": "cl"}, "bond_mode": "active-backup", "id": "vds1",
                    "internal": false, "local_id": "lvds1", "name": "vds", "ovsbr_name": "ovsbr-mgt",
                    "type": "VM", "vlans_num": 4, "work_mode": "single"})");
}

Object vlan_body() {
    return body(R"({"gateway_ip": "10.0.0.254", "gateway_subnetmask": "255.255.255.0", "id": "vl1",
                    "local_id": "lvl1", "mode_type": "VLAN_ACCESS", "name": "default", "subnetmask": "255.255.255.0",
                    "type": "VM", "vds": {"id": "vds1", "name": "vds"}, "vlan_id": 0})");
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

TEST(NetworkRecords, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<VDS>(
        vds_body(),
        {
            {drop("vlans_num"),
             {"Failed to parse VDS, details: 'vlans_num' is expected as 32-bit integer.\n"}},
            {put("vlans_num", HUGE_NUMBER),
             {"Failed to parse VDS, details: 'vlans_num' is expected as 32-bit integer.\n"}},
            {drop("internal"),
             {"Failed to parse VDS, details: 'internal' is expected as boolean.\n"}},
            {put("bond_mode", Value()),
             {"Failed to parse VDS, details: 'bond_mode' is expected as string.\n"}},
            {drop("ovsbr_name"),
             {"Failed to parse VDS, details: 'ovsbr_name' is expected as string.\n"}},
            {drop("work_mode"), {}},
            {put("work_mode", Value()), {}},
            {drop("cluster"), {"Failed to parse cluster in VDS.\n"}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in VDS.\n"}},
        });

    check_load_cases<VLAN>(
        vlan_body(),
        {
            {drop("gateway_ip"), {}},
            {drop("gateway_subnetmask"), {}},
            {drop("mode_type"), {}},
            {put("subnetmask", Value()), {}},
            {drop("vlan_id"),
             {"Failed to parse VLAN, details: 'vlan_id' is expected as 32-bit integer.\n"}},
            {put("vlan_id", "7"),
             {"Failed to parse VLAN, details: 'vlan_id' is expected as 32-bit integer.\n"}},
            {drop("type"), {"Failed to parse VLAN, details: 'type' is expected as string.\n"}},
            {drop("vds"), {"Failed to parse vds in VLAN.\n"}},
            {put("vds", Value()), {"Failed to parse vds in VLAN.\n"}},
            {drop("vds.name"), {ITEM_NAME, "Failed to parse vds in VLAN.\n"}},
        });

    check_load_cases<GPU_Device>(
        gpu_body(),
        {
            {drop("brand"),
             {"Failed to parse GPU device, details: 'brand' is expected as string.\n"}},
            {put("status", Value()),
             {"Failed to parse GPU device, details: 'status' is expected as string.\n"}},
            {drop("host"), {"Failed to parse host in GPU device.\n"}},
            {drop("host.management_ip"), {HOST_IP, "Failed to parse host in GPU device.\n"}},
            {drop("vms"), {}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to parse vms in GPU device.\n"}},
        });

    check_load_cases<USB_Device>(
        usb_body(),
        {
            {put("binded", "yes"),
             {"Failed to parse USB device, details: 'binded' is expected as boolean.\n"}},
            {put("size", HUGE_NUMBER),
             {"Failed to parse USB device, details: 'size' is expected as integer.\n"}},
            {put("size", 1.5),
             {"Failed to parse USB device, details: 'size' is expected as integer.\n"}},
            {drop("usb_type"),
             {"Failed to parse USB device, details: 'usb_type' is expected as string.\n"}},
            {put("host", Value()), {"Failed to parse host in USB device.\n"}},
            {drop("host.management_ip"), {HOST_IP, "Failed to parse host in USB device.\n"}},
            {put("vms", Value()), {}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to parse vms in USB device.\n"}},
        });
}

TEST(NetworkRecords, VdsHasDefinedValuesBeforeLoading) {
    const VDS fresh;
    EXPECT_EQ(fresh.vlans_num, -1);
    EXPECT_FALSE(fresh.internal);

    VDS vds;
    ASSERT_TRUE(vds.load(edited(vds_body(), drop("work_mode"))));
    EXPECT_EQ(vds.vlans_num, 4);
    EXPECT_TRUE(vds.work_mode.empty());
}

TEST(NetworkRecords, DeviceDumpsCarryTheLoadedKeysAndLoadBack) {
    GPU_Device gpu;
    ASSERT_TRUE(gpu.load(gpu_body()));
    EXPECT_EQ(gpu.dump(), gpu_body());
    GPU_Device gpu_again;
    ASSERT_TRUE(gpu_again.load(gpu.dump()));
    EXPECT_EQ(gpu_again.dump(), gpu.dump());

    USB_Device usb;
    ASSERT_TRUE(usb.load(usb_body()));
    EXPECT_EQ(usb.dump(), usb_body());
    USB_Device usb_again;
    ASSERT_TRUE(usb_again.load(usb.dump()));
    EXPECT_TRUE(usb_again.binded);
    EXPECT_EQ(usb_again.size, 34359738368);
    EXPECT_EQ(usb_again.host.management_ip, "10.0.0.1");
    EXPECT_EQ(usb_again.dump(), usb.dump());

    // A default device dumps every key too; its empty host does not load back.
    EXPECT_EQ(keys_of(GPU_Device().dump()), keys_of(gpu_body()));
    EXPECT_EQ(keys_of(USB_Device().dump()), keys_of(usb_body()));
    EXPECT_EQ(USB_Device().dump().at("size"), Value(-1));
    EXPECT_EQ(USB_Device().dump().at("vms"), Value(Array()));
}

TEST(NetworkRecords, EnumerationGetters) {
    VDS vds;
    VLAN vlan;
    vds.type = vlan.type = "VM";
    EXPECT_EQ(static_cast<int>(vds.get_type()), 5);
    EXPECT_EQ(static_cast<int>(vlan.get_type()), 5);
    vds.type = vlan.type = "STORAGE";
    EXPECT_EQ(vds.get_type(), VDS::Type::STORAGE);
    EXPECT_EQ(vlan.get_type(), VLAN::Type::STORAGE);
    vds.type = vlan.type = "vm";
    EXPECT_EQ(vds.get_type(), VDS::Type::UNKNOWN);
    EXPECT_EQ(vlan.get_type(), VLAN::Type::UNKNOWN);

    vlan.mode_type = "VXLAN";
    EXPECT_EQ(vlan.get_mode_type(), VLAN::Mode_Type::VXLAN);
    EXPECT_EQ(static_cast<int>(vlan.get_mode_type()), 4);
    vlan.mode_type = "GENEVE";
    EXPECT_EQ(vlan.get_mode_type(), VLAN::Mode_Type::GENEVE);
    vlan.mode_type = "";
    EXPECT_EQ(vlan.get_mode_type(), VLAN::Mode_Type::UNKNOWN);
    vlan.mode_type = "VLAN";
    EXPECT_EQ(vlan.get_mode_type(), VLAN::Mode_Type::UNKNOWN);
}
