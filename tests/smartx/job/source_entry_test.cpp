// Backup and restore source entries: loading, dumping, failures, and round
// trips of random and mutated entries.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/random_text.h"
#include "smartx/job/restore_source_entry.h"
#include "support/log_capture.h"

namespace {

using json_spirit::Value;

Value read_json(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    return s.replace(s.find(from), from.size(), to);
}

const std::string kDisk =
    "{\"disk_id\": \"d1\", \"volume_id\": \"v1\", \"volume_name\": \"vol\", \"lun_id\": \"l1\", "
    "\"volume_local_id\": \"loc1\", \"volume_policy\": \"p1\"}";
const std::string kBackup =
    "{\"id\": \"vm-1\", \"name\": \"web\", \"type\": \"VirtualMachine\", \"disks\": [" + kDisk +
    "]}";
const std::string kNic =
    "{\"id\": \"n1\", \"subnet_mask\": \"255.255.255.0\", \"gateway\": \"10.0.0.1\", "
    "\"ip_address\": \"10.0.0.9\", \"mirror\": true, \"model\": \"VIRTIO\", \"mac_address\": "
    "\"52:54:00:00:00:01\", \"vlan\": {\"id\": \"vl1\"}, \"vm\": {\"id\": \"vm-1\"}}";
const std::string kVolume =
    "{\"id\": \"vol1\", \"vm_volume_local_id\": \"loc1\", \"tgt_cluster_id\": \"c2\", "
    "\"target_volume_name\": \"data\", \"target_volume_policy\": \"pol\", \"restoreMode\": "
    "\"new\"}";
const std::string kRestoreHead = "{\"catalog_uuid\": \"cat\", \"id\": \"src\"";
const std::string kRestore =
    kRestoreHead +
    ", \"name\": \"web\", \"target_folder_id\": \"f\", \"tgt_cluster_id\": \"c\", "
    "\"target_host_id\": \"h\", \"target_vm_name\": \"web2\", \"target_vm_id\": \"t\", "
    "\"cpu_cores\": 4, \"cpu_count\": 2, \"mem_mbytes\": 8192, \"target_vm_vapp\": \"app\", "
    "\"nics\": [" +
    kNic + "], \"volumes\": [" + kVolume + "]}";

TEST(SourceEntry, OptionalPartsMayBeAbsent) {
    smartx::Backup_Source_Entry b;
    ASSERT_TRUE(b.load(read_json(replaced(kBackup, ", \"disks\": [" + kDisk + "]", ""))));
    EXPECT_EQ(read_json("{\"id\": \"vm-1\", \"name\": \"web\", \"type\": \"VirtualMachine\"}"),
              Value(b.dump()));

    smartx::Restore_Source_Entry r;
    ASSERT_TRUE(r.load(read_json(kRestoreHead + "}")));
    EXPECT_EQ(
        read_json(kRestoreHead +
                  ", \"name\": \"\", \"target_folder_id\": \"\", \"tgt_cluster_id\": \"\", "
                  "\"target_host_id\": \"\", \"target_vm_name\": \"\", \"target_vm_id\": \"\", "
                  "\"cpu_cores\": 0, \"cpu_count\": 0, \"mem_mbytes\": 0, \"target_vm_vapp\": "
                  "\"\", \"nics\": [], \"volumes\": []}"),
        Value(r.dump()));
    ASSERT_TRUE(r.load(read_json(kRestoreHead + ", \"volumes\": [" +
                                 replaced(kVolume, ", \"restoreMode\": \"new\"", "") + "]}")));
    EXPECT_EQ("", r.volumes.at(0).restore_mode);
    // Optional numbers of another kind or range keep their value.
    r.vm_tgt_cpu_cores = 2;
    ASSERT_TRUE(r.load(read_json(kRestoreHead + ", \"cpu_cores\": \"8\", \"mem_mbytes\": 4096, "
                                                "\"cpu_count\": 4294967296}")));
    EXPECT_EQ((std::vector<int64_t>{2, 0, 4096}),
              (std::vector<int64_t>{r.vm_tgt_cpu_cores, r.vm_tgt_cpu_count, r.vm_tgt_mem_mbytes}));
}

TEST(SourceEntry, RefusedEntriesLogWhy) {
    const std::string nic = kRestoreHead + ", \"nics\": [";
    const struct Row {
        bool backup;
        std::string text;
        const char* details;
    } rows[] = {
        {true, "{\"name\": \"web\", \"type\": \"Cluster\"}", "'id' is expected as string"},
        {true, "{\"id\": \"c\", \"name\": \"web\"}", "'type' is expected as string"},
        {true, replaced(kBackup, "\"lun_id\": \"l1\", ", ""), "'lun_id' is expected as string"},
        {true, replaced(kBackup, kDisk, "\"d1\""), "json_spirit: value is a string, not an object"},
        {true, "[1]", "json_spirit: value is an array, not an object"},
        {false, "{\"id\": \"v\"}", "'catalog_uuid' is expected as string"},
        {false, "{\"catalog_uuid\": \"c\"}", "'id' is expected as string"},
        {false,
         kRestoreHead + ", \"volumes\": [" + replaced(kVolume, "\"tgt_cluster_id\"", "\"x\"") +
             "]}",
         "'tgt_cluster_id' is expected as string"},
        {false, kRestoreHead + ", \"volumes\": [5]}",
         "json_spirit: value is an integer, not an object"},
        {false, nic + replaced(kNic, "{\"id\": \"vl1\"}", "\"vl1\"") + "]}",
         "'vlan' is expected as object"},
        {false, nic + replaced(kNic, "{\"id\": \"vl1\"}", "{\"id\": 3}") + "]}",
         "'id' is expected as string"},
        {false, nic + replaced(kNic, "\"mirror\": true", "\"mirror\": \"no\"") + "]}",
         "'mirror' is expected as boolean"},
        {false, "\"entry\"", "json_spirit: value is a string, not an object"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        Log_Capture log;
        smartx::Backup_Source_Entry b;
        smartx::Restore_Source_Entry e;
        EXPECT_FALSE(r.backup ? b.load(read_json(r.text)) : e.load(read_json(r.text)));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(LM_ERROR, log.lines()[0].priority);
        EXPECT_EQ(std::string("Failed to parse ") + (r.backup ? "backup" : "restore") +
                      " source entry : " + r.details + ".\n",
                  log.lines()[0].text);
    }
}

TEST(SourceEntry, LoadAppendsUntilCleared) {
    smartx::Backup_Source_Entry b;
    ASSERT_TRUE(b.load(read_json(kBackup)) && b.load(read_json(kBackup)));
    EXPECT_EQ(2u, b.volumes.size());
    b.clear();
    EXPECT_EQ(Value(smartx::Backup_Source_Entry().dump()), Value(b.dump()));
    smartx::Restore_Source_Entry r;
    ASSERT_TRUE(r.load(read_json(kRestore)));
    r.clear();
    EXPECT_EQ(Value(smartx::Restore_Source_Entry().dump()), Value(r.dump()));
}

// The template with every string, number and boolean drawn afresh and every
// array holding one to three copies of its first element.
Value randomized(const Value& v, std::mt19937_64& rng) {
    switch (v.type()) {
        case json_spirit::str_type:
            return Value(random_text(rng, "abZ09-_ .:/\"\\", 9));
        case json_spirit::int_type:
            return Value(static_cast<int>(rng()));
        case json_spirit::bool_type:
            return Value(rng() % 2 == 0);
        case json_spirit::array_type: {
            json_spirit::Array a;
            for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n)
                a.push_back(randomized(v.get_array().at(0), rng));
            return Value(a);
        }
        case json_spirit::obj_type: {
            json_spirit::Object o;
            for (const auto& kv : v.get_obj())
                o[kv.first] = randomized(kv.second, rng);
            return Value(o);
        }
        default:
            return v;
    }
}

// The entry's dump of v (null when v does not load); the dump loads again to
// the same dump.
template <class Entry>
Value dump_of(const Value& v) {
    Entry e, back;
    if (!e.load(v))
        return Value();
    const Value dump(e.dump());
    EXPECT_TRUE(back.load(dump));
    EXPECT_EQ(dump, Value(back.dump()));
    return dump;
}

TEST(SourceEntryProperty, RandomEntriesDumpTheirTextAndMutatedOnesLoadOrFailCleanly) {
    std::mt19937_64 rng(4242);
    const Value backup = read_json(kBackup), restore = read_json(kRestore);
    Log_Capture log;
    int loaded = 0, failed = 0;
    for (int i = 0; i < 2000 && !HasFailure(); ++i) {
        const bool is_backup = i % 2 == 0;
        auto dump = is_backup ? dump_of<smartx::Backup_Source_Entry>
                              : dump_of<smartx::Restore_Source_Entry>;
        const Value v = randomized(is_backup ? backup : restore, rng);
        EXPECT_EQ(v, dump(v)) << json_spirit::write(v);
        Value m;
        if (json_spirit::read(mutate_json_text(json_spirit::write(v), rng), m))
            ++(dump(m).is_null() ? failed : loaded);
        log.clear();
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
