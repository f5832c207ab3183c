#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "backup_set_sample.h"
#include "host/backup_set.h"
#include "host/json_spirit/json_io.h"
#include "host/smartx_backup_set.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

Object parse(const std::string& text) {
    Value v;
    std::string error;
    EXPECT_TRUE(json_spirit::read(text, v, &error)) << error;
    return v.get_obj();
}

TEST(SmartXBackupSet, CatalogRowRoundTripKeepsEveryMemberWithItsType) {
    const SmartX_Backup_Set original = sample_backup_set();
    const Object row = original.dump();
    // Every member is read from and written under the catalog's key.
    for (const auto& member : parse(sample_backup_set_row())) {
        SCOPED_TRACE(member.first);
        const Value& written = row.at(member.first);
        if (written.type() == json_spirit::obj_type)
            for (const auto& inner : member.second.get_obj())
                EXPECT_EQ(json_spirit::write(inner.second),
                          json_spirit::write(written.get_obj().at(inner.first)));
        else
            EXPECT_EQ(json_spirit::write(member.second), json_spirit::write(written));
    }
    EXPECT_EQ("smartx", row.at("set_type").get_str());
    // The VNC password is a secret and stays in wiping storage.
    EXPECT_EQ(json_spirit::secure_str_type,
              row.at("base_info").get_obj().at("vnc_password").type());

    // Through JSON text, as the catalog stores it.
    SmartX_Backup_Set loaded;
    std::string error;
    ASSERT_TRUE(loaded.load(parse(json_spirit::write(Value(row))), &error)) << error;
    EXPECT_EQ(row, loaded.dump());
    EXPECT_EQ(UINT64_MAX, loaded.pieces.at(0).size);
    EXPECT_EQ(-1, loaded.size);
    EXPECT_EQ(SmartX_Backup_Set::TAG, loaded.aggregates.at(0).type);
    EXPECT_EQ("vnc-secret", loaded.base_info.vnc_password);
}

TEST(SmartXBackupSet, FailedLoadSaysWhyAndLeavesTheRecordUnchanged) {
    SmartX_Backup_Set s = sample_backup_set();
    const Object before = s.dump();
    struct Row {
        const char* key;
        Value bad;  // null: absent
        const char* error;
    };
    const Row rows[] = {
        {"type", Value(3), "'type' is expected as string"},
        {"aggregates", Value(Array{Value("tag-1")}),
         "'aggregates' is expected as array of objects"},
        {"aggregates", Value(Array{Object{{"id", Value("x")}, {"type", Value(2)}}}),
         "'type' is expected as 0 (folder) or 1 (tag)"},
        {"cpu_info", Value(), "'cpu_info' is expected as object"},
        {"pieces", Value(Array{Object{{"path", Value("p")}, {"size", Value(1)}}}),
         "'object' is expected as string"},
        {"backup_end_time", Value(Array()), "'backup_end_time' is expected as time"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.error);
        Object bad = before;
        if (r.bad.is_null())
            bad.erase(r.key);
        else
            bad[r.key] = r.bad;
        std::string error;
        EXPECT_FALSE(s.load(bad, &error));
        EXPECT_EQ(r.error, error);
        EXPECT_EQ(before, s.dump());
    }
}

TEST(SmartXBackupSet, LoadReplacesTheRecordAndListsMayBeAbsent) {
    Object row = sample_backup_set().dump();
    for (const char* key :
         {"storages", "pieces", "base_sets", "aggregates", "nics", "usbs", "cdroms", "floppys",
          "boot_devices", "gpus", "vm_extended_attrs", "snap_id", "set_type"})
        row.erase(key);
    SmartX_Backup_Set s = sample_backup_set();
    std::string error;
    ASSERT_TRUE(s.load(row, &error)) << error;
    EXPECT_TRUE(s.storages.empty());
    EXPECT_TRUE(s.pieces.empty());
    EXPECT_TRUE(s.base_sets.empty());
    EXPECT_TRUE(s.aggregates.empty());
    EXPECT_TRUE(s.nics.empty());
    EXPECT_TRUE(s.snap_id.empty());
    EXPECT_EQ("smartx", s.set_type);

    // The parts load on their own, all or nothing.
    SmartX_Backup_Set::CPU_Info cpu;
    cpu.cpu_cores = 8;
    EXPECT_FALSE(cpu.load(Object{{"cpu_count", Value("four")}}));
    EXPECT_EQ(8u, cpu.cpu_cores);
    ASSERT_TRUE(cpu.load(Object{{"cpu_count", Value(4)}}));
    EXPECT_EQ(4u, cpu.cpu_count);
    EXPECT_EQ(0u, cpu.cpu_cores);
    EXPECT_FALSE(SmartX_Backup_Set::Mem_Info().load(Object{{"memory", Value(-1)}}));
    EXPECT_FALSE(SmartX_Backup_Set::VM_Base().load(Object{{"vnc_password", Value(1)}}));
}

TEST(BackupSet, CopiesAreIndependentAndTheBaseKeepsItsSetType) {
    const SmartX_Backup_Set original = sample_backup_set();
    std::unique_ptr<Backup_Set> copy(new SmartX_Backup_Set(original));
    copy->pieces.clear();
    static_cast<SmartX_Backup_Set&>(*copy).aggregates.clear();
    EXPECT_EQ(1u, original.pieces.size());
    EXPECT_EQ(2u, original.aggregates.size());
    // The row of a derived set comes whole through the base.
    EXPECT_EQ("vm-1", copy->dump().at("vm_id").get_str());
    ASSERT_TRUE(copy->load(original.dump()));
    EXPECT_EQ(original.dump(), copy->dump());

    Backup_Set base("file");
    Object row = original.Backup_Set::dump();
    row.erase("set_type");
    std::string error;
    ASSERT_TRUE(base.load(row, &error)) << error;
    EXPECT_EQ("file", base.set_type);
    EXPECT_EQ((std::vector<std::string>{"base-a", "base-b"}), base.base_sets);
    row["storages"] = Array{Object{{"pool_uuid", Value("p")}}};
    EXPECT_FALSE(base.load(row, &error));
    EXPECT_NE(std::string::npos, error.find("size")) << error;
}

}  // namespace
