// Data storage, iSCSI LUN and LUN snapshot, storage policy.
#include "smartx/common/data_storage.h"
#include "smartx/common/defs.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/storage_policy.h"

#include "record_test_support.h"

#include <climits>

using namespace records_test;
using smartx::Data_Storage;
using smartx::ISCSI_LUN;
using smartx::ISCSI_LUN_Snapshot;
using smartx::Storage_Policy;

namespace {

Object data_storage_body() {
    return body(
        R"({"cluster": {"id": "c1", "name": "cl"}, "description": "store", "external_use": false,
                    "id": "ds1", "internal": true, "iscsi_target": {"id": "t1", "name": "target"},
                    "local_id": "lds1", "name": "ds", "nfs_export": {"id": "e1", "name": "export"},
                    "nvmf_subsystem": {"id": "s1", "name": "subsystem"}, "replica_num": 2,
                    "thin_provision": true, "type": "ISCSI"})");
}

Object lun_body() {
    return body(
        R"({"assigned_size": 10737418240, "id": "lun1", "iscsi_target": {"id": "t1", "name": "target"},
                    "local_id": "llun1", "lun_id": 3, "name": "lun", "replica_num": 2, "shared_size": 0,
                    "thin_provision": false, "unique_size": 1073741824, "zbs_volume_id": "zv1"})");
}

Object lun_snapshot_body() {
    return body(R"({"id": "ls1", "iscsi_lun": {"id": "lun1", "name": "lun"},
                    "iscsi_target": {"id": "t1", "name": "target"}, "local_created_at": "2024-01-02T03:04:05Z",
                    "local_id": "lls1", "name": "snap", "unique_size": 4096})");
}

Object policy_body() {
    return body(
        R"({"id": "p1", "local_id": "lp1", "name": "policy", "replica_num": 2, "thin_provision": false})");
}
}  // namespace

TEST(StorageRecords, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<Data_Storage>(
        data_storage_body(),
        {
            {drop("description"),
             {"Failed to parse data storage, details: 'description' is expected as string.\n"}},
            {put("external_use", "no"),
             {"Failed to parse data storage, details: 'external_use' is expected as boolean.\n"}},
            {put("internal", Value()),
             {"Failed to parse data storage, details: 'internal' is expected as boolean.\n"}},
            {put("replica_num", HUGE_NUMBER),
             {"Failed to parse data storage, details: 'replica_num' is expected as 32-bit "
              "integer.\n"}},
            {drop("type"),
             {"Failed to parse data storage, details: 'type' is expected as string.\n"}},
            {drop("cluster"), {"Failed to parse cluster in data storage.\n"}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in data storage.\n"}},
            {put("iscsi_target", Value()), {}},
            {drop("iscsi_target.name"),
             {ITEM_NAME, "Failed to parse ISCSI target in data storage.\n"}},
            {drop("nfs_export"), {}},
            {drop("nfs_export.name"), {ITEM_NAME, "Failed to parse NFS export in data storage.\n"}},
            {drop("nvmf_subsystem.name"),
             {ITEM_NAME, "Failed to parse NVMe subsystem in data storage.\n"}},
        });

    check_load_cases<ISCSI_LUN>(
        lun_body(),
        {
            {drop("assigned_size"),
             {"Failed to parse ISCSI LUN, details: 'assigned_size' is expected as integer.\n"}},
            {put("shared_size", 1.5),
             {"Failed to parse ISCSI LUN, details: 'shared_size' is expected as integer.\n"}},
            {put("unique_size", HUGE_NUMBER),
             {"Failed to parse ISCSI LUN, details: 'unique_size' is expected as integer.\n"}},
            {put("lun_id", "3"),
             {"Failed to parse ISCSI LUN, details: 'lun_id' is expected as 32-bit integer.\n"}},
            {put("thin_provision", Value()),
             {"Failed to parse ISCSI LUN, details: 'thin_provision' is expected as boolean.\n"}},
            // Fails on its own key, even though the target is valid.
            {drop("zbs_volume_id"),
             {"Failed to parse ISCSI LUN, details: 'zbs_volume_id' is expected as string.\n"}},
            {drop("iscsi_target"), {"Failed to parse ISCSI target in ISCSI LUN.\n"}},
            {put("iscsi_target", Value()), {"Failed to parse ISCSI target in ISCSI LUN.\n"}},
            {drop("iscsi_target.name"),
             {ITEM_NAME, "Failed to parse ISCSI target in ISCSI LUN.\n"}},
        });

    check_load_cases<ISCSI_LUN_Snapshot>(
        lun_snapshot_body(),
        {
            {drop("local_created_at"),
             {"Failed to parse iscsi lun snapshot, details: 'local_created_at' is expected as "
              "string.\n"}},
            {put("unique_size", HUGE_NUMBER),
             {"Failed to parse iscsi lun snapshot, details: 'unique_size' is expected as "
              "integer.\n"}},
            {drop("iscsi_lun"), {"Failed to parse iscsi lun in ISCSI LUN snapshot.\n"}},
            {put("iscsi_target", Value()),
             {"Failed to parse iscsi target in ISCSI LUN snapshot.\n"}},
            {drop("iscsi_target.name"),
             {ITEM_NAME, "Failed to parse iscsi target in ISCSI LUN snapshot.\n"}},
        });

    check_load_cases<Storage_Policy>(
        policy_body(),
        {
            {drop("id"), {"Failed to load Storage_Policy from JSON: 'id' is expected as string\n"}},
            {drop("local_id"),
             {"Failed to load Storage_Policy from JSON: 'local_id' is expected as string\n"}},
            {put("name", Value()),
             {"Failed to load Storage_Policy from JSON: 'name' is expected as string\n"}},
            {put("replica_num", "2"),
             {"Failed to load Storage_Policy from JSON: 'replica_num' is expected as 32-bit "
              "integer\n"}},
            {drop("thin_provision"),
             {"Failed to load Storage_Policy from JSON: 'thin_provision' is expected as "
              "boolean\n"}},
        },
        [](Storage_Policy& p, const Object& o) { return p.load(Value(o)); });

    Log_Capture log;
    Storage_Policy p;
    EXPECT_FALSE(p.load(Value(Array{Value(policy_body())})));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text.rfind("Failed to load Storage_Policy from JSON: ", 0), 0u);
}

TEST(StorageRecords, DefaultsLoadedValuesAndClear) {
    ISCSI_LUN lun;
    EXPECT_EQ(lun.unique_size, -1.0);
    EXPECT_TRUE(lun.thin_provision);
    EXPECT_EQ(ISCSI_LUN_Snapshot().unique_size, 0);
    EXPECT_TRUE(Storage_Policy().thin_provision);

    ASSERT_TRUE(lun.load(lun_body()));
    EXPECT_EQ(lun.assigned_size, 10737418240.0);
    EXPECT_EQ(lun.shared_size, 0.0);
    EXPECT_EQ(lun.lun_id, 3);
    EXPECT_FALSE(lun.thin_provision);
    EXPECT_EQ(lun.iscsi_target.name, "target");
    lun.entity_async_status = "PENDING";
    lun.clear();
    EXPECT_EQ(lun.assigned_size, -1.0);
    EXPECT_EQ(lun.shared_size, -1.0);
    EXPECT_EQ(lun.unique_size, -1.0);
    EXPECT_EQ(lun.lun_id, -1);
    EXPECT_EQ(lun.replica_num, -1);
    EXPECT_TRUE(lun.thin_provision);
    EXPECT_TRUE(lun.id.empty() && lun.local_id.empty() && lun.name.empty() &&
                lun.zbs_volume_id.empty());
    EXPECT_TRUE(lun.entity_async_status.empty());
    EXPECT_TRUE(lun.iscsi_target.id.empty() && lun.iscsi_target.name.empty());

    Data_Storage ds;
    ASSERT_TRUE(ds.load(edited(data_storage_body(), drop("nfs_export"))));
    EXPECT_TRUE(ds.nfs_export.id.empty());
    EXPECT_EQ(ds.iscsi_target.id, "t1");
    EXPECT_TRUE(ds.internal);
    EXPECT_EQ(ds.replica_num, 2);
}

TEST(StorageRecords, DataStorageType) {
    Data_Storage ds;
    const std::pair<const char*, Data_Storage::Type> names[] = {
        {"ISCSI", Data_Storage::Type::ISCSI},   {"NFS", Data_Storage::Type::NFS},
        {"NVMe", Data_Storage::Type::NVMe},     {"NVME", Data_Storage::Type::UNKNOWN},
        {"iscsi", Data_Storage::Type::UNKNOWN}, {"", Data_Storage::Type::UNKNOWN}};
    for (const auto& n : names) {
        ds.type = n.first;
        EXPECT_EQ(ds.get_type(), n.second) << n.first;
    }
    EXPECT_EQ(static_cast<int>(Data_Storage::Type::NVMe), 3);
}

TEST(StorageRecords, PolicyNamesOnlyForKnownReplicaCounts) {
    Storage_Policy p;
    ASSERT_TRUE(p.load(Value(policy_body())));
    EXPECT_EQ(p.elf_storage_policy(), "REPLICA_2_THICK_PROVISION");
    p.thin_provision = true;
    EXPECT_EQ(p.elf_storage_policy(), "REPLICA_2_THIN_PROVISION");

    // Every count and provisioning that names a policy names one in the table.
    for (int n = 1; n <= 3; ++n)
        for (bool thin : {false, true}) {
            p.replica_num = n;
            p.thin_provision = thin;
            const std::string name = p.elf_storage_policy();
            EXPECT_NE(smartx::elf_storage_policy_name_to_type(name.c_str()),
                      smartx::ELF_Storage_Policy::UNKNOWN)
                << name;
        }

    // Anything else names nothing, which converts to UNKNOWN.
    for (int n : {-1, 0, 4, 10, INT_MIN, INT_MAX}) {
        p.replica_num = n;
        EXPECT_EQ(p.elf_storage_policy(), "") << n;
    }
    EXPECT_EQ(Storage_Policy().elf_storage_policy(), "");
}

TEST(StorageRecords, PolicyDumpLoadsBack) {
    Storage_Policy p;
    ASSERT_TRUE(p.load(Value(policy_body())));
    const Object dumped = p.dump();
    EXPECT_EQ(dumped, policy_body());

    Storage_Policy again;
    ASSERT_TRUE(again.load(Value(dumped)));
    EXPECT_EQ(again.dump(), dumped);
    EXPECT_EQ(again.replica_num, 2);
    EXPECT_FALSE(again.thin_provision);
}
