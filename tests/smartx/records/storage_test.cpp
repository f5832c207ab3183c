// Data storage, iSCSI LUN and LUN snapshot, storage policy.
#include "smartx/common/data_storage.h"
#include "smartx/common/defs.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/storage_policy.h"

#include "record_test_support.h"

#include <climits>

using namespace records_test;
using smartx::ISCSI_LUN;
using smartx::Storage_Policy;

namespace {
Object lun_body() {
    return body(
        R"({"assigned_size": 10737418240, "id": "lun1", "iscsi_target": {"id": "t1", "name": "target"},
            "local_id": "llun1", "lun_id": 3, "name": "lun", "replica_num": 2, "shared_size": 0,
            "thin_provision": false, "unique_size": 1073741824, "zbs_volume_id": "zv1"})");
}

Object policy_body() {
    return body(
        R"({"id": "p1", "local_id": "lp1", "name": "policy", "replica_num": 2, "thin_provision": false})");
}
}  // namespace

TEST(StorageRecords, FaultyBodiesFailWithTheirMessages) {
    const Fail ds{"Failed to parse data storage, details: "};
    check_load_cases<smartx::Data_Storage>(
        body(
            R"({"cluster": {"id": "c1", "name": "cl"}, "description": "store", "external_use": false,
                 "id": "ds1", "internal": true, "iscsi_target": {"id": "t1", "name": "target"},
                 "local_id": "lds1", "name": "ds", "nfs_export": {"id": "e1", "name": "export"},
                 "nvmf_subsystem": {"id": "s1", "name": "subsystem"}, "replica_num": 2,
                 "thin_provision": true, "type": "ISCSI"})"),
        {
            {drop("description"), {ds("description", "string")}},
            {put("external_use", "no"), {ds("external_use", "boolean")}},
            {put("replica_num", HUGE_NUMBER), {ds("replica_num", "32-bit integer")}},
            {drop("cluster"), {"Failed to parse cluster in data storage.\n"}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in data storage.\n"}},
            {put("iscsi_target", Value()), {}},
            {drop("iscsi_target.name"),
             {ITEM_NAME, "Failed to parse ISCSI target in data storage.\n"}},
            {drop("nfs_export"), {}},
            {drop("nvmf_subsystem.name"),
             {ITEM_NAME, "Failed to parse NVMe subsystem in data storage.\n"}},
        });

    const Fail lun{"Failed to parse ISCSI LUN, details: "};
    check_load_cases<ISCSI_LUN>(
        lun_body(), {
                        {drop("assigned_size"), {lun("assigned_size", "integer")}},
                        {put("lun_id", "3"), {lun("lun_id", "32-bit integer")}},
                        // Fails on its own key, even though the target is valid.
                        {drop("zbs_volume_id"), {lun("zbs_volume_id", "string")}},
                        {drop("iscsi_target"), {"Failed to parse ISCSI target in ISCSI LUN.\n"}},
                        {drop("iscsi_target.name"),
                         {ITEM_NAME, "Failed to parse ISCSI target in ISCSI LUN.\n"}},
                    });

    const Fail snap{"Failed to parse iscsi lun snapshot, details: "};
    check_load_cases<smartx::ISCSI_LUN_Snapshot>(
        body(R"({"id": "ls1", "iscsi_lun": {"id": "lun1", "name": "lun"},
                 "iscsi_target": {"id": "t1", "name": "target"}, "local_created_at": "2024-01-02T03:04:05Z",
                 "local_id": "lls1", "name": "snap", "unique_size": 4096})"),
        {
            {drop("local_created_at"), {snap("local_created_at", "string")}},
            {put("unique_size", HUGE_NUMBER), {snap("unique_size", "integer")}},
            {drop("iscsi_lun"), {"Failed to parse iscsi lun in ISCSI LUN snapshot.\n"}},
            {put("iscsi_target", Value()),
             {"Failed to parse iscsi target in ISCSI LUN snapshot.\n"}},
            {drop("iscsi_target.name"),
             {ITEM_NAME, "Failed to parse iscsi target in ISCSI LUN snapshot.\n"}},
        });

    const Fail policy{"Failed to load Storage_Policy from JSON: ", "\n"};
    check_load_cases<Storage_Policy>(
        policy_body(), {
                           {drop("id"), {policy("id", "string")}},
                           {put("replica_num", "2"), {policy("replica_num", "32-bit integer")}},
                           {drop("thin_provision"), {policy("thin_provision", "boolean")}},
                       });
    expect_dump_is_body<Storage_Policy>(policy_body());

    Log_Capture log;
    EXPECT_FALSE(Storage_Policy().load(Value(Array{Value(policy_body())})));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text.rfind("Failed to load Storage_Policy from JSON: ", 0), 0u);
}

TEST(StorageRecords, ClearedLunHasItsDefaults) {
    ISCSI_LUN lun;
    ASSERT_TRUE(lun.load(lun_body()));
    lun.clear();
    EXPECT_TRUE(lun.id.empty() && lun.zbs_volume_id.empty() && lun.iscsi_target.id.empty());
    EXPECT_EQ(lun.lun_id, -1);
}

// Only the known replica counts name a policy, and that name is in the table.
TEST(StorageRecords, PolicyNamesOnlyForKnownReplicaCounts) {
    const struct {
        int replicas;
        bool thin;
        const char* name;
    } rows[] = {
        {1, false, "REPLICA_1_THICK_PROVISION"},
        {2, true, "REPLICA_2_THIN_PROVISION"},
        {3, true, "REPLICA_3_THIN_PROVISION"},
        {0, true, ""},
        {4, false, ""},
        {INT_MIN, true, ""},
        {INT_MAX, false, ""},
    };
    for (const auto& row : rows) {
        Storage_Policy p;
        p.replica_num = row.replicas;
        p.thin_provision = row.thin;
        EXPECT_EQ(p.elf_storage_policy(), row.name) << row.replicas;
        EXPECT_EQ(smartx::elf_storage_policy_name_to_type(row.name) ==
                      smartx::ELF_Storage_Policy::UNKNOWN,
                  *row.name == '\0');
    }
}
