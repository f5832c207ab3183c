// Enumerated properties that CloudTower sends as upper-case names. Records
// keep the names; these convert them when a decision or a request needs one.
#ifndef SMARTX_COMMON_DEFS_H
#define SMARTX_COMMON_DEFS_H

#include <cstdint>

#include "qorm/key2_value.h"

namespace smartx {

enum class Consistent_Type : int32_t {
    UNKNOWN = 0,
    CRASH_CONSISTENT = 1,
    FILE_SYSTEM_CONSISTENT = 2
};

enum class Bus : int32_t { UNKNOWN = 0, IDE = 1, SCSI = 2, VIRTIO = 3 };

enum class VM_Disk_Type : int32_t { UNKNOWN = 0, CD_ROM = 1, DISK = 2 };

enum class ELF_Storage_Policy : int32_t {
    UNKNOWN = 0,
    REPLICA_1_THICK_PROVISION = 1,
    REPLICA_1_THIN_PROVISION = 2,
    REPLICA_2_THICK_PROVISION = 3,
    REPLICA_2_THIN_PROVISION = 4,
    REPLICA_3_THICK_PROVISION = 5,
    REPLICA_3_THIN_PROVISION = 6
};

enum class VM_Volume_Type : int32_t { UNKNOWN = 0, KVM_VOLUME = 1, KVM_VOLUME_ISCSI = 2 };

enum class VM_NIC_Model : int32_t { UNKNOWN = 0, E1000 = 1, SRIOV = 2, VIRTIO = 3 };

enum class VM_Firmware : int32_t { UNKNOWN = 0, BIOS = 1, UEFI = 2 };

// Each ends with a null-key row whose value, UNKNOWN, answers a failed lookup.
extern const Key2_Value_T<Consistent_Type> consistent_type_table[];
extern const Key2_Value_T<Bus> bus_table[];
extern const Key2_Value_T<VM_Disk_Type> vm_disk_type_table[];
extern const Key2_Value_T<ELF_Storage_Policy> elf_storage_policy_table[];
extern const Key2_Value_T<VM_Volume_Type> vm_volume_type_table[];
extern const Key2_Value_T<VM_NIC_Model> vm_nic_model_table[];
extern const Key2_Value_T<VM_Firmware> vm_firmware_table[];

// Name to value: exact, case-sensitive; an unknown or null name gives UNKNOWN.
// Value to name: UNKNOWN and values outside the table give null.
Consistent_Type consistent_type_name_to_type(const char* name);
const char* consistent_type_type_to_name(Consistent_Type type);

Bus bus_name_to_type(const char* name);
const char* bus_type_to_name(Bus type);

VM_Disk_Type vm_disk_type_name_to_type(const char* name);
const char* vm_disk_type_type_to_name(VM_Disk_Type type);

ELF_Storage_Policy elf_storage_policy_name_to_type(const char* name);
const char* elf_storage_policy_type_to_name(ELF_Storage_Policy type);

VM_Volume_Type vm_volume_type_name_to_type(const char* name);
const char* vm_volume_type_type_to_name(VM_Volume_Type type);

VM_NIC_Model vm_nic_model_name_to_type(const char* name);
const char* vm_nic_model_type_to_name(VM_NIC_Model type);

VM_Firmware vm_firmware_name_to_type(const char* name);
const char* vm_firmware_type_to_name(VM_Firmware type);

}  // namespace smartx

#endif
