// VM disk, NIC and volume records.
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_volume.h"

#include "vm_bodies.h"

using namespace records_test;
using smartx::VM_Disk;
using smartx::VM_NIC;
using smartx::VM_Volume;

TEST(VmDeviceRecords, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<VM_Volume>(
        volume_body(),
        {
            {drop("mounting"),
             {"Failed to parse VM volume, details: 'mounting' is expected as boolean.\n"}},
            {drop("path"), {"Failed to parse VM volume, details: 'path' is expected as string.\n"}},
            {drop("elf_storage_policy"),
             {"Failed to parse VM volume, details: 'elf_storage_policy' is expected as string.\n"}},
            {put("size", HUGE_NUMBER),
             {"Failed to parse VM volume, details: 'size' is expected as integer.\n"}},
            {put("size", "10G"),
             {"Failed to parse VM volume, details: 'size' is expected as integer.\n"}},
            {put("sharing", Value()),
             {"Failed to parse VM volume, details: 'sharing' is expected as boolean.\n"}},
            {drop("description"), {}},
            {drop("type"), {}},
            {drop("lun"), {}},
            {put("lun", Value()), {}},
            {drop("lun.name"), {ITEM_NAME, "Failed to parse lun in VM volume.\n"}},
            {drop("cluster"), {"Failed to parse cluster in VM volume.\n"}},
            {put("cluster", Value()), {"Failed to parse cluster in VM volume.\n"}},
            {put("vm_disks.0.id", 1), {LABEL_ID, "Failed to parse VM disks in VM volume.\n"}},
        });

    check_load_cases<VM_Disk>(
        disk_body(),
        {
            {drop("boot"),
             {"Failed to parse VM disk, details: 'boot' is expected as 32-bit integer.\n"}},
            {put("boot", HUGE_NUMBER),
             {"Failed to parse VM disk, details: 'boot' is expected as 32-bit integer.\n"}},
            {drop("bus"), {"Failed to parse VM disk, details: 'bus' is expected as string.\n"}},
            {put("type", Value()),
             {"Failed to parse VM disk, details: 'type' is expected as string.\n"}},
            {drop("device"), {}},
            {put("disabled", "no"), {}},
            {drop("elf_image"), {}},
            {drop("elf_image.name"), {ITEM_NAME, "Failed to parse ELF image in VM disk.\n"}},
            {drop("vm"), {"Failed to parse VM in VM disk.\n"}},
            {put("vm", Value()), {"Failed to parse VM in VM disk.\n"}},
            {drop("vm.name"), {ITEM_NAME, "Failed to parse VM in VM disk.\n"}},
            {drop("vm_volume"), {}},
            {put("vm_volume", Value()), {}},
            {drop("vm_volume.local_id"), {}},
            {put("vm_volume", body(R"({"name": "no id"})")),
             {"Failed to parse the 'id' of item vm_volume, details: 'id' is expected as string.\n",
              "Failed to parse VM volume in VM disk.\n"}},
            {drop("vm_volume.mounting"),
             {"Failed to parse VM volume, details: 'mounting' is expected as boolean.\n",
              "Failed to parse VM volume in VM disk.\n"}},
        });

    check_load_cases<VM_NIC>(
        nic_body(),
        {
            {drop("id"), {"Failed to parse VM NIC, details: 'id' is expected as string.\n"}},
            {put("local_id", Value()),
             {"Failed to parse VM NIC, details: 'local_id' is expected as string.\n"}},
            {put("enabled", "yes"), {}},
            {drop("model"), {}},
            {drop("vm"), {"Failed to parse VM in VM NIC.\n"}},
            {drop("vm.name"), {ITEM_NAME, "Failed to parse VM in VM NIC.\n"}},
            {put("vlan", Value()), {}},
            {drop("vlan.name"), {ITEM_NAME, "Failed to parse vlan in VM NIC.\n"}},
        });
}

TEST(VmDeviceRecords, DefaultsAndReferences) {
    Log_Capture log;
    VM_Disk no_volume;
    ASSERT_TRUE(no_volume.load(edited(disk_body(), drop("vm_volume"))));
    EXPECT_EQ(no_volume.vm_volume.size, -1);
    EXPECT_TRUE(no_volume.vm_volume.mounting);
    EXPECT_FALSE(no_volume.vm_volume.sharing);
    EXPECT_TRUE(no_volume.vm_volume.id.empty());

    // A bare reference keeps only the volume's id.
    VM_Disk bare;
    ASSERT_TRUE(
        bare.load(edited(disk_body(), put("vm_volume", body(R"({"id": "vol9", "name": "x"})")))));
    EXPECT_EQ(bare.vm_volume.id, "vol9");
    EXPECT_TRUE(bare.vm_volume.name.empty());
    EXPECT_EQ(bare.vm_volume.size, -1);

    VM_Disk full;
    ASSERT_TRUE(full.load(disk_body()));
    EXPECT_EQ(full.vm_volume.size, 10737418240);
    EXPECT_EQ(full.vm_volume.vm_disks.at(0).id, "d1");

    VM_Disk cd;
    ASSERT_TRUE(cd.load(body(R"({"boot": 0, "bus": "IDE", "id": "cd", "type": "CD_ROM",
                                 "elf_image": {"id": "img", "name": "iso"}, "vm": {"id": "v", "name": "n"}})")));
    EXPECT_EQ(cd.get_type(), smartx::VM_Disk_Type::CD_ROM);
    EXPECT_EQ(cd.elf_image.id, "img");

    VM_NIC nic;
    ASSERT_TRUE(nic.load(body(R"({"id": "n", "local_id": "l", "vm": {"id": "v", "name": "n"}})")));
    EXPECT_FALSE(nic.enabled);
    EXPECT_FALSE(nic.mirror);
    EXPECT_TRUE(nic.vlan.id.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST(VmDeviceRecords, DumpsWriteEveryFieldAndLoadBack) {
    VM_Volume volume;
    ASSERT_TRUE(volume.load(volume_body()));
    EXPECT_EQ(volume.dump(), volume_body());
    EXPECT_EQ(keys_of(VM_Volume().dump()).size(), 13u);
    EXPECT_EQ(keys_of(VM_Volume().dump()), keys_of(volume_body()));

    VM_Disk disk;
    ASSERT_TRUE(disk.load(disk_body()));
    EXPECT_EQ(disk.dump(), disk_body());
    EXPECT_EQ(keys_of(VM_Disk().dump()), keys_of(disk_body()));
    EXPECT_EQ(keys_of(VM_Disk().dump()).size(), 10u);

    VM_NIC nic;
    ASSERT_TRUE(nic.load(nic_body()));
    EXPECT_EQ(nic.dump(), nic_body());
    EXPECT_EQ(keys_of(VM_NIC().dump()), keys_of(nic_body()));
    EXPECT_EQ(keys_of(VM_NIC().dump()).size(), 12u);

    // A disk holding only its volume's id nests that volume whole, and the
    // dump loads back into the same disk.
    VM_Disk bare;
    ASSERT_TRUE(bare.load(edited(disk_body(), drop("vm_volume.local_id"))));
    const Object dumped = bare.dump();
    EXPECT_EQ(dumped.at("vm_volume").get_obj(), VM_Volume{bare.vm_volume}.dump());
    EXPECT_EQ(dumped.at("vm_volume").get_obj().at("id"), Value("vol1"));
    EXPECT_EQ(dumped.at("vm_volume").get_obj().at("size"), Value(-1));
    VM_Disk again;
    ASSERT_TRUE(again.load(dumped));
    EXPECT_EQ(again.dump(), dumped);

    VM_NIC nic_again;
    ASSERT_TRUE(nic_again.load(VM_NIC().dump()));
    EXPECT_EQ(nic_again.dump(), VM_NIC().dump());
}

TEST(VmDeviceRecords, EnumerationGetters) {
    VM_Disk disk;
    const std::pair<const char*, smartx::Bus> buses[] = {{"IDE", smartx::Bus::IDE},
                                                         {"SCSI", smartx::Bus::SCSI},
                                                         {"VIRTIO", smartx::Bus::VIRTIO},
                                                         {"virtio", smartx::Bus::UNKNOWN},
                                                         {"", smartx::Bus::UNKNOWN}};
    for (const auto& b : buses) {
        disk.bus = b.first;
        EXPECT_EQ(disk.get_bus(), b.second) << b.first;
    }
    disk.type = "DISK";
    EXPECT_EQ(disk.get_type(), smartx::VM_Disk_Type::DISK);
    disk.type = "FLOPPY";
    EXPECT_EQ(disk.get_type(), smartx::VM_Disk_Type::UNKNOWN);

    VM_Volume volume;
    volume.elf_storage_policy = "REPLICA_3_THICK_PROVISION";
    volume.type = "KVM_VOLUME_ISCSI";
    EXPECT_EQ(volume.get_elf_storage_policy(),
              smartx::ELF_Storage_Policy::REPLICA_3_THICK_PROVISION);
    EXPECT_EQ(volume.get_type(), smartx::VM_Volume_Type::KVM_VOLUME_ISCSI);
    volume.elf_storage_policy = "REPLICA_-1_THIN_PROVISION";
    volume.type = "";
    EXPECT_EQ(volume.get_elf_storage_policy(), smartx::ELF_Storage_Policy::UNKNOWN);
    EXPECT_EQ(volume.get_type(), smartx::VM_Volume_Type::UNKNOWN);
}
