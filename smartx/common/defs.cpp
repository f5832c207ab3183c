#include "smartx/common/defs.h"

namespace smartx {

const Key2_Value_T<Consistent_Type> consistent_type_table[] = {
    key2_value_row("CRASH_CONSISTENT", Consistent_Type::CRASH_CONSISTENT),
    key2_value_row("FILE_SYSTEM_CONSISTENT", Consistent_Type::FILE_SYSTEM_CONSISTENT),
    key2_value_end(Consistent_Type::UNKNOWN),
};

const Key2_Value_T<Bus> bus_table[] = {
    key2_value_row("IDE", Bus::IDE),
    key2_value_row("SCSI", Bus::SCSI),
    key2_value_row("VIRTIO", Bus::VIRTIO),
    key2_value_end(Bus::UNKNOWN),
};

const Key2_Value_T<VM_Disk_Type> vm_disk_type_table[] = {
    key2_value_row("CD_ROM", VM_Disk_Type::CD_ROM),
    key2_value_row("DISK", VM_Disk_Type::DISK),
    key2_value_end(VM_Disk_Type::UNKNOWN),
};

// For each replica count the thick row comes before the thin one.
const Key2_Value_T<ELF_Storage_Policy> elf_storage_policy_table[] = {
    key2_value_row("REPLICA_1_THICK_PROVISION", ELF_Storage_Policy::REPLICA_1_THICK_PROVISION),
    key2_value_row("REPLICA_1_THIN_PROVISION", ELF_Storage_Policy::REPLICA_1_THIN_PROVISION),
    key2_value_row("REPLICA_2_THICK_PROVISION", ELF_Storage_Policy::REPLICA_2_THICK_PROVISION),
    key2_value_row("REPLICA_2_THIN_PROVISION", ELF_Storage_Policy::REPLICA_2_THIN_PROVISION),
    key2_value_row("REPLICA_3_THICK_PROVISION", ELF_Storage_Policy::REPLICA_3_THICK_PROVISION),
    key2_value_row("REPLICA_3_THIN_PROVISION", ELF_Storage_Policy::REPLICA_3_THIN_PROVISION),
    key2_value_end(ELF_Storage_Policy::UNKNOWN),
};

const Key2_Value_T<VM_Volume_Type> vm_volume_type_table[] = {
    key2_value_row("KVM_VOLUME", VM_Volume_Type::KVM_VOLUME),
    key2_value_row("KVM_VOLUME_ISCSI", VM_Volume_Type::KVM_VOLUME_ISCSI),
    key2_value_end(VM_Volume_Type::UNKNOWN),
};

const Key2_Value_T<VM_NIC_Model> vm_nic_model_table[] = {
    key2_value_row("E1000", VM_NIC_Model::E1000),
    key2_value_row("SRIOV", VM_NIC_Model::SRIOV),
    key2_value_row("VIRTIO", VM_NIC_Model::VIRTIO),
    key2_value_end(VM_NIC_Model::UNKNOWN),
};

const Key2_Value_T<VM_Firmware> vm_firmware_table[] = {
    key2_value_row("BIOS", VM_Firmware::BIOS),
    key2_value_row("UEFI", VM_Firmware::UEFI),
    key2_value_end(VM_Firmware::UNKNOWN),
};

Consistent_Type consistent_type_name_to_type(const char* name) {
    return get_value_by_key(consistent_type_table, name);
}
const char* consistent_type_type_to_name(Consistent_Type type) {
    return get_key_by_value(consistent_type_table, type);
}

Bus bus_name_to_type(const char* name) {
    return get_value_by_key(bus_table, name);
}
const char* bus_type_to_name(Bus type) {
    return get_key_by_value(bus_table, type);
}

VM_Disk_Type vm_disk_type_name_to_type(const char* name) {
    return get_value_by_key(vm_disk_type_table, name);
}
const char* vm_disk_type_type_to_name(VM_Disk_Type type) {
    return get_key_by_value(vm_disk_type_table, type);
}

ELF_Storage_Policy elf_storage_policy_name_to_type(const char* name) {
    return get_value_by_key(elf_storage_policy_table, name);
}
const char* elf_storage_policy_type_to_name(ELF_Storage_Policy type) {
    return get_key_by_value(elf_storage_policy_table, type);
}

VM_Volume_Type vm_volume_type_name_to_type(const char* name) {
    return get_value_by_key(vm_volume_type_table, name);
}
const char* vm_volume_type_type_to_name(VM_Volume_Type type) {
    return get_key_by_value(vm_volume_type_table, type);
}

VM_NIC_Model vm_nic_model_name_to_type(const char* name) {
    return get_value_by_key(vm_nic_model_table, name);
}
const char* vm_nic_model_type_to_name(VM_NIC_Model type) {
    return get_key_by_value(vm_nic_model_table, type);
}

VM_Firmware vm_firmware_name_to_type(const char* name) {
    return get_value_by_key(vm_firmware_table, name);
}
const char* vm_firmware_type_to_name(VM_Firmware type) {
    return get_key_by_value(vm_firmware_table, type);
}

}  // namespace smartx
