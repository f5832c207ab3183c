#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/backup_set.h"
#include "host/json_spirit/json_io.h"
#include "host/smartx_backup_set.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

SmartX_Backup_Set filled_set() {
    SmartX_Backup_Set s;
    s.uuid = "3f1c0a6e-0000-4000-8000-000000000001";
    s.name = "nightly";
    s.job_instance_uuid = "job-1";
    s.definition_uuid = "def-1";
    s.uid = "uid-1";
    s.host_uuid = "host-1";
    s.resource_uuid = "res-1";
    s.minor_resource_id = "minor-1";
    s.minor_resource_name = "vm one";
    s.agent = "smartx";
    s.incarnation = "inc-1";
    s.type = "incremental";
    s.source_size = 5LL << 40;
    s.size = -1;  // signed on purpose: the row keeps it signed
    s.uri = "res-1";
    s.host = "backupd";
    s.instance = "tower";
    s.instance_version = "4.1.0";
    s.backup_start_time = 1700000000;
    s.backup_end_time = 1700000100;
    s.base_sets = {"base-a", "base-b"};
    Backup_Set_Storage st;
    st.pool_uuid = "pool-1";
    st.size = 4096;
    st.attributes["code_name"] = "vantor";
    s.storages.push_back(st);
    Backup_Piece p;
    p.path = "vm-1/disk0_incremental_20240101-000000.lz4";
    p.size = UINT64_MAX;  // above INT64_MAX: must stay unsigned
    p.object = "vol-1";
    p.extended_attrs["Tarnvik3"] = Object{{"block_set_size", Value(262144)}};
    s.pieces.push_back(p);
    s.vm_id = "vm-1";
    s.vm_name = "vm one";
    s.cluster_id = "cl-1";
    s.owner_host_id = "h-1";
    s.owner_host_ip = "10.0.0.1";
    s.owner_host_name = "node1";
    s.snap_id = "snap-1";
    s.base_info.vm_description = "web";
    s.base_info.vnc_password = "vnc-secret";
    s.base_info.splash_time = 7;
    s.cpu_info.cpu_arch = "x86_64";
    s.cpu_info.cpu_cores = 2;
    s.cpu_info.cpu_socket = 2;
    s.cpu_info.cpu_count = 4;
    s.cpu_info.cpu_model_enabled = true;
    s.mem_info.memory = 4096;
    s.aggregates.emplace_back("tag-1", SmartX_Backup_Set::TAG);
    s.aggregates.emplace_back("folder-1", SmartX_Backup_Set::FOLDER);
    s.nics.push_back(Object{{"id", Value("0")}});
    s.floppys.push_back(Object{{"id", Value("0")}});
    s.boot_devices.push_back(Object{{"bootdevice", Value("BIOS")}});
    s.gpus.push_back(Object{{"id", Value("0")}});
    s.vm_extended_attrs["name"] = "vm one";
    return s;
}

// Through JSON text, as the catalog stores it.
Object via_text(const Object& row) {
    Value v;
    std::string error;
    EXPECT_TRUE(json_spirit::read(json_spirit::write(Value(row)), v, &error)) << error;
    return v.get_obj();
}

}  // namespace

TEST(SmartX_Backup_Set, DefaultIsAnEmptySmartXSet) {
    SmartX_Backup_Set s;
    EXPECT_EQ("smartx", s.set_type);
    EXPECT_TRUE(s.aggregates.empty());
    EXPECT_TRUE(s.storages.empty());
    EXPECT_TRUE(s.pieces.empty());
    EXPECT_TRUE(s.nics.empty());
    EXPECT_TRUE(s.vm_extended_attrs.empty());
    EXPECT_EQ(0u, s.cpu_info.cpu_count);
    EXPECT_EQ("smartx", s.dump().at("set_type").get_str());
}

TEST(SmartX_Backup_Set, JsonRoundTripKeepsEveryMember) {
    const SmartX_Backup_Set original = filled_set();
    const Object row = original.dump();

    SmartX_Backup_Set loaded;
    std::string error;
    ASSERT_TRUE(loaded.load(via_text(row), &error)) << error;
    EXPECT_EQ(row, loaded.dump());
    EXPECT_EQ(UINT64_MAX, loaded.pieces.at(0).size);
    EXPECT_EQ(-1, loaded.size);
    EXPECT_EQ(SmartX_Backup_Set::TAG, loaded.aggregates.at(0).type);
    EXPECT_EQ("vnc-secret", loaded.base_info.vnc_password);
}

TEST(SmartX_Backup_Set, RowCarriesTheCatalogKeysWithTheirTypes) {
    const Object row = filled_set().dump();
    for (const char* key : {"uuid",
                            "name",
                            "job_instance_uuid",
                            "definition_uuid",
                            "uid",
                            "host_uuid",
                            "resource_uuid",
                            "minor_resource_id",
                            "minor_resource_name",
                            "agent",
                            "incarnation",
                            "type",
                            "uri",
                            "host",
                            "instance",
                            "instance_version",
                            "vm_id",
                            "vm_name",
                            "cluster_id",
                            "owner_host_id",
                            "owner_host_ip",
                            "owner_host_name"})
        EXPECT_EQ(json_spirit::str_type, row.at(key).type()) << key;
    for (const char* key : {"source_size", "size", "backup_start_time", "backup_end_time"})
        EXPECT_EQ(json_spirit::int_type, row.at(key).type()) << key;
    for (const char* key : {"base_info", "cpu_info", "mem_info", "vm_extended_attrs"})
        EXPECT_EQ(json_spirit::obj_type, row.at(key).type()) << key;
    for (const char* key :
         {"storages", "pieces", "aggregates", "nics", "usbs", "cdroms", "floppys", "boot_devices"})
        EXPECT_EQ(json_spirit::array_type, row.at(key).type()) << key;
    // The VNC password is a secret and stays in wiping storage.
    EXPECT_EQ(json_spirit::secure_str_type,
              row.at("base_info").get_obj().at("vnc_password").type());
}

TEST(SmartX_Backup_Set, FailedLoadLeavesTheRecordUnchanged) {
    SmartX_Backup_Set s = filled_set();
    const Object before = s.dump();

    Object bad_type = before;
    bad_type["type"] = 3;
    std::string error;
    EXPECT_FALSE(s.load(bad_type, &error));
    EXPECT_NE(std::string::npos, error.find("type")) << error;

    Object bad_aggregate = before;
    bad_aggregate["aggregates"] = Array{Value("tag-1")};
    EXPECT_FALSE(s.load(bad_aggregate));

    Object unknown_aggregate = before;
    unknown_aggregate["aggregates"] = Array{Object{{"id", Value("x")}, {"type", Value(2)}}};
    EXPECT_FALSE(s.load(unknown_aggregate));

    Object no_cpu = before;
    no_cpu.erase("cpu_info");
    EXPECT_FALSE(s.load(no_cpu));

    Object bad_piece = before;
    bad_piece["pieces"] =
        Array{Object{{"path", Value("p")}, {"size", Value(1)}, {"object", Value("o")}}};
    EXPECT_FALSE(s.load(bad_piece));

    Object bad_time = before;
    bad_time["backup_end_time"] = Array();
    EXPECT_FALSE(s.load(bad_time));

    EXPECT_EQ(before, s.dump());
}

TEST(SmartX_Backup_Set, OptionalListsMayBeAbsent) {
    Object row = filled_set().dump();
    for (const char* key :
         {"storages", "pieces", "base_sets", "aggregates", "nics", "usbs", "cdroms", "floppys",
          "boot_devices", "gpus", "vm_extended_attrs", "snap_id", "set_type"})
        row.erase(key);
    SmartX_Backup_Set s = filled_set();
    std::string error;
    ASSERT_TRUE(s.load(row, &error)) << error;
    // A load replaces the record: nothing of the earlier content survives.
    EXPECT_TRUE(s.storages.empty());
    EXPECT_TRUE(s.pieces.empty());
    EXPECT_TRUE(s.base_sets.empty());
    EXPECT_TRUE(s.aggregates.empty());
    EXPECT_TRUE(s.nics.empty());
    EXPECT_TRUE(s.snap_id.empty());
    EXPECT_EQ("smartx", s.set_type);
}

TEST(SmartX_Backup_Set, PartsLoadOnTheirOwn) {
    SmartX_Backup_Set::CPU_Info cpu;
    cpu.cpu_cores = 8;
    EXPECT_FALSE(cpu.load(Object{{"cpu_count", Value("four")}}));
    EXPECT_EQ(8u, cpu.cpu_cores);
    ASSERT_TRUE(cpu.load(Object{{"cpu_count", Value(4)}}));
    EXPECT_EQ(4u, cpu.cpu_count);
    EXPECT_EQ(0u, cpu.cpu_cores);

    SmartX_Backup_Set::Mem_Info mem;
    EXPECT_FALSE(mem.load(Object{{"memory", Value(-1)}}));
    SmartX_Backup_Set::VM_Base base;
    EXPECT_FALSE(base.load(Object{{"vnc_password", Value(1)}}));
}

TEST(Backup_Set, CopiesAreIndependentAndDestroyedThroughTheBase) {
    const SmartX_Backup_Set original = filled_set();
    std::unique_ptr<Backup_Set> copy(new SmartX_Backup_Set(original));
    copy->pieces.clear();
    static_cast<SmartX_Backup_Set&>(*copy).aggregates.clear();
    EXPECT_EQ(1u, original.pieces.size());
    EXPECT_EQ(2u, original.aggregates.size());
    // The row of a derived set comes whole through the base.
    EXPECT_EQ("vm-1", copy->dump().at("vm_id").get_str());
    ASSERT_TRUE(copy->load(original.dump()));
    EXPECT_EQ(original.dump(), copy->dump());
}

TEST(Backup_Set, LoadKeepsTheSetTypeWhenTheRowHasNone) {
    Backup_Set base("file");
    Object row = filled_set().Backup_Set::dump();
    row.erase("set_type");
    std::string error;
    ASSERT_TRUE(base.load(row, &error)) << error;
    EXPECT_EQ("file", base.set_type);
    EXPECT_EQ((std::vector<std::string>{"base-a", "base-b"}), base.base_sets);

    row["storages"] = Array{Object{{"pool_uuid", Value("p")}}};
    EXPECT_FALSE(base.load(row, &error));
    EXPECT_NE(std::string::npos, error.find("size")) << error;
}
