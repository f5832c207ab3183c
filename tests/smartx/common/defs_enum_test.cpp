// The name tables of the resource enumerations: exact names, both ways.
#include "smartx/common/defs.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

using namespace smartx;

namespace {
// Every row converts both ways; other case, a trailing blank, a prefix and
// anything past the terminator are unknown.
template <class E>
void check_table(const Key2_Value_T<E>* table, E (*to_type)(const char*),
                 const char* (*to_name)(E)) {
    size_t rows = 0;
    for (; table[rows].key != nullptr; ++rows) {
        const std::string name = table[rows].key;
        SCOPED_TRACE(name);
        EXPECT_EQ(table[rows].len, name.size());
        EXPECT_NE(table[rows].value, E::UNKNOWN);
        EXPECT_EQ(to_type(name.c_str()), table[rows].value);
        EXPECT_STREQ(to_name(table[rows].value), table[rows].key);
        std::string lower = name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& miss : {lower, name + " ", name.substr(0, 2)})
            EXPECT_EQ(to_type(miss.c_str()), E::UNKNOWN) << miss;
    }
    EXPECT_GE(rows, 2u);
    EXPECT_EQ(table[rows].value, E::UNKNOWN);
    EXPECT_EQ(to_type(nullptr), E::UNKNOWN);
    EXPECT_EQ(to_type(""), E::UNKNOWN);
    EXPECT_EQ(to_name(E::UNKNOWN), nullptr);
    EXPECT_EQ(to_name(static_cast<E>(rows + 1)), nullptr);
    EXPECT_EQ(to_name(static_cast<E>(-1)), nullptr);
}
}  // namespace

TEST(ResourceEnumerations, NamesAreExactBothWays) {
    check_table(consistent_type_table, consistent_type_name_to_type, consistent_type_type_to_name);
    check_table(bus_table, bus_name_to_type, bus_type_to_name);
    check_table(vm_disk_type_table, vm_disk_type_name_to_type, vm_disk_type_type_to_name);
    check_table(elf_storage_policy_table, elf_storage_policy_name_to_type,
                elf_storage_policy_type_to_name);
    // "KVM_VOLUME" starts "KVM_VOLUME_ISCSI": each still finds its own row.
    check_table(vm_volume_type_table, vm_volume_type_name_to_type, vm_volume_type_type_to_name);
    check_table(vm_nic_model_table, vm_nic_model_name_to_type, vm_nic_model_type_to_name);
    check_table(vm_firmware_table, vm_firmware_name_to_type, vm_firmware_type_to_name);
}
