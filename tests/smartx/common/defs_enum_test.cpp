#include "smartx/common/defs.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace smartx;

namespace {
using Rows = std::vector<std::pair<std::string, int>>;

// The table holds exactly `expected`, in order, and both conversions agree with it.
template <class E>
void check_table(const Key2_Value_T<E>* table, E (*to_type)(const char*), const char* (*to_name)(E),
                 const Rows& expected) {
    size_t i = 0;
    for (; table[i].key != nullptr; ++i) {
        ASSERT_LT(i, expected.size());
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(table[i].key, expected[i].first);
        EXPECT_EQ(table[i].len, std::strlen(table[i].key));
        EXPECT_EQ(static_cast<int>(table[i].value), expected[i].second);
        const E e = to_type(expected[i].first.c_str());
        EXPECT_EQ(static_cast<int>(e), expected[i].second);
        EXPECT_STREQ(to_name(e), table[i].key);
        // Names are exact: other case, a trailing blank or a prefix are unknown.
        std::string lower = expected[i].first;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(to_type(lower.c_str()), E::UNKNOWN);
        EXPECT_EQ(to_type((expected[i].first + " ").c_str()), E::UNKNOWN);
        EXPECT_EQ(to_type(expected[i].first.substr(0, 2).c_str()), E::UNKNOWN);
    }
    EXPECT_EQ(i, expected.size());
    EXPECT_EQ(table[i].len, 0u);
    EXPECT_EQ(table[i].value, E::UNKNOWN);

    EXPECT_EQ(to_type(nullptr), E::UNKNOWN);
    EXPECT_EQ(to_type(""), E::UNKNOWN);
    EXPECT_EQ(to_name(E::UNKNOWN), nullptr);
    EXPECT_EQ(to_name(static_cast<E>(expected.size() + 1)), nullptr);
    EXPECT_EQ(to_name(static_cast<E>(-1)), nullptr);
}
}  // namespace

TEST(ResourceEnumerations, ConsistentType) {
    check_table(consistent_type_table, consistent_type_name_to_type, consistent_type_type_to_name,
                Rows{{"CRASH_CONSISTENT", 1}, {"FILE_SYSTEM_CONSISTENT", 2}});
}

TEST(ResourceEnumerations, Bus) {
    check_table(bus_table, bus_name_to_type, bus_type_to_name,
                Rows{{"IDE", 1}, {"SCSI", 2}, {"VIRTIO", 3}});
}

TEST(ResourceEnumerations, VMDiskType) {
    check_table(vm_disk_type_table, vm_disk_type_name_to_type, vm_disk_type_type_to_name,
                Rows{{"CD_ROM", 1}, {"DISK", 2}});
}

TEST(ResourceEnumerations, ELFStoragePolicy) {
    check_table(elf_storage_policy_table, elf_storage_policy_name_to_type,
                elf_storage_policy_type_to_name,
                Rows{{"REPLICA_1_THICK_PROVISION", 1},
                     {"REPLICA_1_THIN_PROVISION", 2},
                     {"REPLICA_2_THICK_PROVISION", 3},
                     {"REPLICA_2_THIN_PROVISION", 4},
                     {"REPLICA_3_THICK_PROVISION", 5},
                     {"REPLICA_3_THIN_PROVISION", 6}});
}

TEST(ResourceEnumerations, VMVolumeType) {
    check_table(vm_volume_type_table, vm_volume_type_name_to_type, vm_volume_type_type_to_name,
                Rows{{"KVM_VOLUME", 1}, {"KVM_VOLUME_ISCSI", 2}});
}

TEST(ResourceEnumerations, VMNICModel) {
    check_table(vm_nic_model_table, vm_nic_model_name_to_type, vm_nic_model_type_to_name,
                Rows{{"E1000", 1}, {"SRIOV", 2}, {"VIRTIO", 3}});
}

TEST(ResourceEnumerations, VMFirmware) {
    check_table(vm_firmware_table, vm_firmware_name_to_type, vm_firmware_type_to_name,
                Rows{{"BIOS", 1}, {"UEFI", 2}});
}

TEST(ResourceEnumerations, SharedAndPrefixedNames) {
    EXPECT_EQ(bus_name_to_type("VIRTIO"), Bus::VIRTIO);
    EXPECT_EQ(vm_nic_model_name_to_type("VIRTIO"), VM_NIC_Model::VIRTIO);
    EXPECT_EQ(static_cast<int>(Bus::VIRTIO), static_cast<int>(VM_NIC_Model::VIRTIO));
    // One name being the start of another must not match it.
    EXPECT_EQ(vm_volume_type_name_to_type("KVM_VOLUME"), VM_Volume_Type::KVM_VOLUME);
    EXPECT_EQ(vm_volume_type_name_to_type("KVM_VOLUME_ISCSI"), VM_Volume_Type::KVM_VOLUME_ISCSI);
}

TEST(ResourceEnumerations, StoragePolicyNamesBuiltFromReplicaAndProvisioning) {
    for (int replicas = 1; replicas <= 3; ++replicas) {
        const std::string base = "REPLICA_" + std::to_string(replicas);
        const auto thin = elf_storage_policy_name_to_type((base + "_THIN_PROVISION").c_str());
        const auto thick = elf_storage_policy_name_to_type((base + "_THICK_PROVISION").c_str());
        EXPECT_EQ(static_cast<int>(thick), 2 * replicas - 1);
        EXPECT_EQ(static_cast<int>(thin), 2 * replicas);
    }
    EXPECT_EQ(elf_storage_policy_name_to_type("REPLICA_4_THIN_PROVISION"),
              ELF_Storage_Policy::UNKNOWN);
}
