// The VM record, its CPU and its status, video and clock tables.
#include "smartx/common/vm.h"

#include "vm_bodies.h"

using namespace records_test;
using smartx::VM;
using smartx::VM_Status;

TEST(VmRecord, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<VM>(
        vm_body(),
        {
            {drop("win_opt"), {"Failed to parse VM, details: 'win_opt' is expected as boolean.\n"}},
            {put("ha", Value()), {"Failed to parse VM, details: 'ha' is expected as boolean.\n"}},
            {put("vcpu", HUGE_NUMBER),
             {"Failed to parse VM, details: 'vcpu' is expected as 32-bit integer.\n"}},
            {put("memory", "8G"),
             {"Failed to parse VM, details: 'memory' is expected as integer.\n"}},
            {put("memory", HUGE_NUMBER),
             {"Failed to parse VM, details: 'memory' is expected as integer.\n"}},
            {drop("vm_tools_status"),
             {"Failed to parse VM, details: 'vm_tools_status' is expected as string.\n"}},
            {drop("node_ip"), {"Failed to parse VM, details: 'node_ip' is expected as string.\n"}},
            {drop("clock_offset"),
             {"Failed to parse VM, details: 'clock_offset' is expected as string.\n"}},
            {drop("video_type"), {}},
            {put("guest_os_type", Value()), {}},
            {drop("cluster"), {}},
            {put("folder", Value()), {}},
            {put("host", Value()), {}},
            {put("cpu", Value()), {}},
            {put("cpu", 5),
             {"Failed to load CPU from JSON: json_spirit: value is an integer, not an object\n",
              "Failed to parse cpu in VM.\n"}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in VM.\n"}},
            {drop("cpu.sockets"),
             {"Failed to load CPU from JSON: 'sockets' is expected as 32-bit integer\n",
              "Failed to parse cpu in VM.\n"}},
            {put("cpu.cores", HUGE_NUMBER),
             {"Failed to load CPU from JSON: 'cores' is expected as 32-bit integer\n",
              "Failed to parse cpu in VM.\n"}},
            {drop("folder.name"), {ITEM_NAME, "Failed to parse folder in VM.\n"}},
            {put("gpu_devices.0.brand", Value()),
             {"Failed to parse GPU device, details: 'brand' is expected as string.\n",
              "Failed to parse GPU devices in VM.\n"}},
            {drop("host.management_ip"),
             {"Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n",
              "Failed to parse host in VM.\n"}},
            {put("labels.0.id", 1), {LABEL_ID, "Failed to parse labels in VM.\n"}},
            {drop("snapshots.0.name"), {ITEM_NAME, "Failed to parse snapshots in VM.\n"}},
            {put("usb_devices.0", body(R"({"name": "usb"})")),
             {"Failed to parse one 'id' of items usb_devices, details: 'id' is expected as "
              "string.\n",
              "Failed to parse USB devices in VM.\n"}},
            {put("usb_devices.0.local_id", "lu1"),
             {"Failed to parse USB device, details: 'binded' is expected as boolean.\n",
              "Failed to parse USB devices in VM.\n"}},
            {drop("vm_disks.0.vm"),
             {"Failed to parse VM in VM disk.\n", "Failed to parse VM disks in VM.\n"}},
            {put("vm_disks.1.bus", "IDE"),
             {"Failed to parse VM disk, details: 'boot' is expected as 32-bit integer.\n",
              "Failed to parse VM disks in VM.\n"}},
            {put("vm_disks.1", 7), {}},
            {put("vm_disks", "none"), {}},
            {drop("vm_nics.0.vm"),
             {"Failed to parse VM in VM NIC.\n", "Failed to parse VM nics in VM.\n"}},
            {drop("vm_placement_group.0.name"),
             {ITEM_NAME, "Failed to parse VM placement group in VM.\n"}},
        });
}

TEST(VmRecord, LoadsWholePartsAndBareReferences) {
    Log_Capture log;
    VM vm;
    ASSERT_TRUE(vm.load(vm_body()));
    EXPECT_FALSE(vm.ha);
    EXPECT_FALSE(vm.win_opt);
    EXPECT_EQ(vm.memory, 8589934592);
    EXPECT_EQ(vm.cpu.cores, 2);
    EXPECT_EQ(vm.size, 0);
    ASSERT_EQ(vm.vm_disks.size(), 2u);
    EXPECT_EQ(vm.vm_disks[0].vm_volume.size, 10737418240);
    // Without "bus" the disk is a reference: its id and defaults.
    EXPECT_EQ(vm.vm_disks[1].id, "d2");
    EXPECT_EQ(vm.vm_disks[1].boot, -1);
    EXPECT_TRUE(vm.vm_disks[1].bus.empty());
    ASSERT_EQ(vm.usb_devices.size(), 1u);
    EXPECT_EQ(vm.usb_devices[0].id, "u1");
    EXPECT_EQ(vm.usb_devices[0].size, -1);
    EXPECT_EQ(vm.gpu_devices.at(0).host.management_ip, "10.0.0.1");
    EXPECT_EQ(vm.vm_placement_group.at(0).id, "pg1");
    EXPECT_TRUE(log.lines().empty());

    // Optional parts sent as null are absent (a VM outside any folder).
    VM loose;
    ASSERT_TRUE(loose.load(edited(edited(vm_body(), put("folder", Value())), drop("vm_disks"))));
    EXPECT_TRUE(loose.folder.id.empty());
    EXPECT_TRUE(loose.vm_disks.empty());

    VM fresh;
    EXPECT_TRUE(fresh.ha);
    EXPECT_TRUE(fresh.win_opt);
    ASSERT_TRUE(fresh.load(edited(vm_body(), drop("video_type"))));
    EXPECT_EQ(fresh.video_type, "");
}

TEST(VmRecord, DumpIsTheWholeVmDescription) {
    const Object d = VM().dump();
    EXPECT_EQ(keys_of(d), (std::set<std::string>{"clock_offset",
                                                 "cluster",
                                                 "cpu",
                                                 "cpu_model",
                                                 "description",
                                                 "firmware",
                                                 "folder",
                                                 "gpu_devices",
                                                 "guest_cpu_model",
                                                 "guest_os_type",
                                                 "ha",
                                                 "host",
                                                 "hostname",
                                                 "id",
                                                 "in_recycle_bin",
                                                 "labels",
                                                 "local_id",
                                                 "memory",
                                                 "name",
                                                 "node_ip",
                                                 "snapshots",
                                                 "status",
                                                 "usb_devices",
                                                 "vcpu",
                                                 "video_type",
                                                 "vm_disks",
                                                 "vm_nics",
                                                 "vm_placement_group",
                                                 "vm_tools_status",
                                                 "vm_tools_version",
                                                 "vm_usage",
                                                 "win_opt"}));
    EXPECT_EQ(d.at("ha"), Value(true));
    EXPECT_EQ(d.at("win_opt"), Value(true));
    EXPECT_EQ(d.at("memory"), Value(-1));
    EXPECT_EQ(d.at("vcpu"), Value(-1));
    EXPECT_EQ(d.at("cpu"), Value(body(R"({"cores": -1, "sockets": -1})")));
    EXPECT_EQ(d.at("host"), Value(body(R"({"id": "", "name": "", "management_ip": ""})")));
    EXPECT_EQ(d.at("vm_nics"), Value(Array()));

    // A loaded VM's description loads back into the same VM, references included.
    VM vm;
    ASSERT_TRUE(vm.load(vm_body()));
    vm.size = 123;
    const Object dumped = vm.dump();
    EXPECT_EQ(dumped.count("size"), 0u);
    EXPECT_EQ(dumped.at("vm_disks").get_array().at(0), Value(disk_body()));
    VM again;
    ASSERT_TRUE(again.load(dumped));
    EXPECT_EQ(again.dump(), dumped);
    EXPECT_EQ(again.usb_devices.at(0).id, "u1");
}

TEST(VmRecord, StatusVideoAndClockTables) {
    VM vm;
    const std::pair<const char*, VM_Status> statuses[] = {
        {"RUNNING", VM_Status::RUNNING},     {"STOPPED", VM_Status::STOPPED},
        {"SUSPENDED", VM_Status::SUSPENDED}, {"DELETED", VM_Status::DELETED},
        {"UNKNOWN", VM_Status::UNKNOWN},     {"", VM_Status::NONE},
        {"running", VM_Status::NONE},        {"PAUSED", VM_Status::NONE}};
    for (const auto& s : statuses) {
        vm.status = s.first;
        EXPECT_EQ(vm.get_status(), s.second) << s.first;
    }
    EXPECT_EQ(static_cast<int>(VM_Status::RUNNING), 3);
    EXPECT_EQ(static_cast<int>(VM_Status::NONE), 1);
    EXPECT_STREQ(smartx::vm_status_type_to_name(VM_Status::STOPPED), "STOPPED");
    EXPECT_STREQ(smartx::vm_status_type_to_name(VM_Status::UNKNOWN), "UNKNOWN");
    EXPECT_EQ(smartx::vm_status_type_to_name(VM_Status::NONE), nullptr);
    EXPECT_EQ(smartx::vm_status_type_to_name(static_cast<VM_Status>(42)), nullptr);
    EXPECT_EQ(smartx::vm_status_name_to_type(nullptr), VM_Status::NONE);

    EXPECT_EQ(smartx::video_type_name_to_type("VGA"), smartx::Video_Type::VGA);
    EXPECT_EQ(static_cast<int>(smartx::video_type_name_to_type("VGA")), 3);
    EXPECT_EQ(smartx::video_type_name_to_type(""), smartx::Video_Type::UNKNOWN);
    EXPECT_EQ(smartx::video_type_name_to_type("vga"), smartx::Video_Type::UNKNOWN);
    EXPECT_STREQ(smartx::video_type_type_to_name(smartx::Video_Type::QXL), "QXL");
    EXPECT_EQ(smartx::video_type_type_to_name(smartx::Video_Type::UNKNOWN), nullptr);

    EXPECT_EQ(smartx::clock_offset_name_to_type("UTC"), smartx::Clock_Offset::UTC);
    EXPECT_EQ(static_cast<int>(smartx::clock_offset_name_to_type("UTC")), 2);
    EXPECT_EQ(smartx::clock_offset_name_to_type("GMT"), smartx::Clock_Offset::UNKNOWN);
    EXPECT_STREQ(smartx::clock_offset_type_to_name(smartx::Clock_Offset::LOCALTIME), "LOCALTIME");
    EXPECT_EQ(smartx::clock_offset_type_to_name(smartx::Clock_Offset::UNKNOWN), nullptr);

    vm.firmware = "UEFI";
    EXPECT_EQ(vm.get_firmware(), smartx::VM_Firmware::UEFI);
    vm.firmware = "EFI";
    EXPECT_EQ(vm.get_firmware(), smartx::VM_Firmware::UNKNOWN);
}
