// Backup and restore source entries: loading, dumping, failures, and round
// trips of random and mutated entries.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/random_text.h"
#include "smartx/job/restore_source_entry.h"
#include "support/log_capture.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

Value read_json(const std::string& text) {
    Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

const char* const kDisk =
    "{\"disk_id\": \"d1\", \"volume_id\": \"v1\", \"volume_name\": \"vol\", \"lun_id\": \"l1\", "
    "\"volume_local_id\": \"loc1\", \"volume_policy\": \"p1\"}";

// ---- backup entries ----

TEST(Backup_Source_Entry, LoadsWithAndWithoutDisks) {
    smartx::Backup_Source_Entry e;
    ASSERT_TRUE(
        e.load(read_json("{\"id\": \"vm-1\", \"name\": \"web\", \"type\": \"VirtualMachine\"}")));
    EXPECT_EQ("vm-1", e.id);
    EXPECT_EQ("web", e.name);
    EXPECT_EQ("VirtualMachine", e.type);
    EXPECT_TRUE(e.volumes.empty());
    Object d = e.dump();
    EXPECT_EQ(3u, d.size());
    EXPECT_EQ(0u, d.count("disks"));

    smartx::Backup_Source_Entry with;
    ASSERT_TRUE(with.load(
        read_json(std::string("{\"id\": \"vm-1\", \"name\": \"web\", \"type\": \"VirtualMachine\", "
                              "\"disks\": [") +
                  kDisk + "]}")));
    ASSERT_EQ(1u, with.volumes.size());
    const auto& v = with.volumes[0];
    EXPECT_EQ("d1", v.disk_id);
    EXPECT_EQ("v1", v.volume_id);
    EXPECT_EQ("vol", v.volume_name);
    EXPECT_EQ("l1", v.lun_id);
    EXPECT_EQ("loc1", v.volume_local_id);
    EXPECT_EQ("p1", v.volume_policy);
    EXPECT_EQ("", v.disk_type);
    EXPECT_EQ(read_json(std::string("[") + kDisk + "]"), with.dump().at("disks"));
}

TEST(Backup_Source_Entry, FailuresAreLogged) {
    const char* bad[] = {
        "{\"name\": \"web\", \"type\": \"Cluster\"}",
        "{\"id\": 5, \"name\": \"web\", \"type\": \"Cluster\"}",
        "{\"id\": \"c\", \"name\": \"web\"}",
        "{\"id\": \"c\", \"name\": \"web\", \"type\": \"VirtualMachine\", \"disks\": "
        "[{\"disk_id\": \"d1\", "
        "\"volume_id\": \"v1\", \"volume_name\": \"vol\", \"volume_local_id\": \"loc1\", "
        "\"volume_policy\": \"p1\"}]}",
        "{\"id\": \"c\", \"name\": \"web\", \"type\": \"VirtualMachine\", \"disks\": [\"d1\"]}",
        "[1]",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        Log_Capture log;
        smartx::Backup_Source_Entry e;
        EXPECT_FALSE(e.load(read_json(text)));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(LM_ERROR, log.lines()[0].priority);
        EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse backup source entry : "))
            << log.lines()[0].text;
    }
    Log_Capture log;
    smartx::Backup_Source_Entry e;
    EXPECT_FALSE(e.load(read_json(bad[3])));
    EXPECT_NE(std::string::npos, log.lines()[0].text.find("'lun_id'"));
}

TEST(Backup_Source_Entry, LoadAppendsUntilCleared) {
    Value v = read_json(
        std::string("{\"id\": \"a\", \"name\": \"b\", \"type\": \"VirtualMachine\", \"disks\": [") +
        kDisk + "]}");
    smartx::Backup_Source_Entry e;
    ASSERT_TRUE(e.load(v));
    ASSERT_TRUE(e.load(v));
    EXPECT_EQ(2u, e.volumes.size());
    e.clear();
    EXPECT_TRUE(e.id.empty() && e.name.empty() && e.type.empty() && e.volumes.empty());
    ASSERT_TRUE(e.load(v));
    EXPECT_EQ(1u, e.volumes.size());
}

// ---- restore entries ----

const char* const kNic =
    "{\"id\": \"n1\", \"subnet_mask\": \"255.255.255.0\", \"gateway\": \"10.0.0.1\", "
    "\"ip_address\": \"10.0.0.9\", "
    "\"mirror\": true, \"model\": \"VIRTIO\", \"mac_address\": \"52:54:00:00:00:01\", \"vlan\": "
    "{\"id\": \"vl1\"}, "
    "\"vm\": {\"id\": \"vm-1\"}}";
const char* const kVolume =
    "{\"id\": \"vol1\", \"vm_volume_local_id\": \"loc1\", \"tgt_cluster_id\": \"c2\", "
    "\"target_volume_name\": "
    "\"data\", \"target_volume_policy\": \"pol\", \"restoreMode\": \"new\"}";

TEST(Restore_Source_Entry, MinimalEntryLoadsAndDumpsEveryKey) {
    smartx::Restore_Source_Entry e;
    ASSERT_TRUE(e.load(read_json("{\"catalog_uuid\": \"cat-1\", \"id\": \"vm-1\"}")));
    EXPECT_EQ("cat-1", e.catalog_uuid);
    EXPECT_EQ("vm-1", e.vm_src_id);
    EXPECT_EQ(0, e.vm_tgt_cpu_cores);
    EXPECT_EQ(0, e.vm_tgt_mem_mbytes);
    EXPECT_EQ(
        read_json("{\"catalog_uuid\": \"cat-1\", \"id\": \"vm-1\", \"name\": \"\", "
                  "\"target_folder_id\": \"\", "
                  "\"tgt_cluster_id\": \"\", \"target_host_id\": \"\", \"target_vm_name\": \"\", "
                  "\"target_vm_id\": \"\", \"cpu_cores\": 0, \"cpu_count\": 0, \"mem_mbytes\": 0, "
                  "\"target_vm_vapp\": \"\", \"nics\": [], \"volumes\": []}"),
        Value(e.dump()));
}

TEST(Restore_Source_Entry, FullEntryLoadsEveryField) {
    std::string text =
        std::string(
            "{\"catalog_uuid\": \"cat\", \"id\": \"src\", \"name\": \"web\", \"target_folder_id\": "
            "\"f\", \"tgt_cluster_id\": \"c\", \"target_host_id\": \"h\", \"target_vm_name\": "
            "\"web2\", "
            "\"target_vm_id\": \"t\", \"cpu_cores\": 4, \"cpu_count\": 2, \"mem_mbytes\": 8192, "
            "\"target_vm_vapp\": \"app\", \"nics\": [") +
        kNic + "], \"volumes\": [" + kVolume + "]}";
    smartx::Restore_Source_Entry e;
    ASSERT_TRUE(e.load(read_json(text)));
    EXPECT_EQ("web2", e.vm_tgt_name);
    EXPECT_EQ(4, e.vm_tgt_cpu_cores);
    EXPECT_EQ(2, e.vm_tgt_cpu_count);
    EXPECT_EQ(8192, e.vm_tgt_mem_mbytes);
    ASSERT_EQ(1u, e.nics.size());
    EXPECT_EQ("vl1", e.nics[0].vlan_id);
    EXPECT_EQ("vm-1", e.nics[0].vm_id);
    EXPECT_TRUE(e.nics[0].mirror);
    ASSERT_EQ(1u, e.volumes.size());
    EXPECT_EQ("new", e.volumes[0].restore_mode);
    EXPECT_EQ("loc1", e.volumes[0].src_local_id);
    EXPECT_EQ("", e.volumes[0].tgt_volume_local_id);
    // The dump is the text itself.
    EXPECT_EQ(read_json(text), Value(e.dump()));
}

TEST(Restore_Source_Entry, OptionalKeysMayBeAbsentButRequiredOnesMayNot) {
    std::string vol_no_mode =
        "{\"id\": \"vol1\", \"vm_volume_local_id\": \"l\", \"tgt_cluster_id\": \"c\"}";
    smartx::Restore_Source_Entry e;
    ASSERT_TRUE(e.load(
        read_json("{\"catalog_uuid\": \"c\", \"id\": \"v\", \"volumes\": [" + vol_no_mode + "]}")));
    EXPECT_EQ("", e.volumes.at(0).restore_mode);

    const std::string bad[] = {
        "{\"id\": \"v\"}",
        "{\"catalog_uuid\": \"c\"}",
        "{\"catalog_uuid\": 1, \"id\": \"v\"}",
        "{\"catalog_uuid\": \"c\", \"id\": \"v\", \"volumes\": [{\"id\": \"vol1\", "
        "\"vm_volume_local_id\": \"l\"}]}",
        "{\"catalog_uuid\": \"c\", \"id\": \"v\", \"volumes\": [5]}",
        "{\"catalog_uuid\": \"c\", \"id\": \"v\", \"nics\": [{\"id\": \"n1\", \"subnet_mask\": "
        "\"m\", \"gateway\": "
        "\"g\", \"ip_address\": \"i\", \"mirror\": false, \"model\": \"E1000\", \"mac_address\": "
        "\"x\", \"vlan\": "
        "\"vl1\", \"vm\": {\"id\": \"vm\"}}]}",
        "{\"catalog_uuid\": \"c\", \"id\": \"v\", \"nics\": [{\"id\": \"n1\", \"subnet_mask\": "
        "\"m\", \"gateway\": "
        "\"g\", \"ip_address\": \"i\", \"mirror\": false, \"model\": \"E1000\", \"mac_address\": "
        "\"x\", \"vlan\": "
        "{\"id\": 3}, \"vm\": {\"id\": \"vm\"}}]}",
        "{\"catalog_uuid\": \"c\", \"id\": \"v\", \"nics\": [{\"id\": \"n1\", \"subnet_mask\": "
        "\"m\", \"gateway\": "
        "\"g\", \"ip_address\": \"i\", \"mirror\": \"no\", \"model\": \"E1000\", \"mac_address\": "
        "\"x\", \"vlan\": "
        "{\"id\": \"vl\"}, \"vm\": {\"id\": \"vm\"}}]}",
        "\"entry\"",
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        Log_Capture log;
        smartx::Restore_Source_Entry entry;
        EXPECT_FALSE(entry.load(read_json(text)));
        ASSERT_EQ(1u, log.lines().size());
        EXPECT_EQ(0u, log.lines()[0].text.find("Failed to parse restore source entry : "))
            << log.lines()[0].text;
    }
}

TEST(Restore_Source_Entry, OptionalNumbersOfAnotherKindKeepTheirValue) {
    smartx::Restore_Source_Entry e;
    e.vm_tgt_cpu_cores = 2;
    ASSERT_TRUE(e.load(
        read_json("{\"catalog_uuid\": \"c\", \"id\": \"v\", \"cpu_cores\": \"8\", \"mem_mbytes\": "
                  "4096, \"cpu_count\": 4294967296}")));
    EXPECT_EQ(2, e.vm_tgt_cpu_cores);
    EXPECT_EQ(0, e.vm_tgt_cpu_count);
    EXPECT_EQ(4096, e.vm_tgt_mem_mbytes);
}

TEST(Restore_Source_Entry, ClearEmptiesEverything) {
    smartx::Restore_Source_Entry e;
    ASSERT_TRUE(e.load(read_json(
        std::string("{\"catalog_uuid\": \"c\", \"id\": \"v\", \"cpu_cores\": 3, \"nics\": [") +
        kNic + "], \"volumes\": [" + kVolume + "]}")));
    e.clear();
    EXPECT_EQ(Value(smartx::Restore_Source_Entry().dump()), Value(e.dump()));
}

// ---- random and mutated entries ----

class Random_Entries {
public:
    explicit Random_Entries(unsigned seed) : rng_(seed) {}

    std::string text() { return random_text(rng_, "abZ09-_ .:/\"\\", 9); }

    smartx::Backup_Source_Entry backup() {
        static const char* const types[] = {"VirtualMachine", "HostSystem", "Cluster", "Folder"};
        smartx::Backup_Source_Entry e;
        e.id = text();
        e.name = text();
        e.type = types[rng_() % 4];
        for (int n = static_cast<int>(rng_() % 4); n > 0; --n) {
            smartx::Backup_Source_Entry::Disk_Volume d;
            d.disk_id = text();
            d.volume_id = text();
            d.lun_id = text();
            d.volume_name = text();
            d.volume_local_id = text();
            d.volume_policy = text();
            e.volumes.push_back(d);
        }
        return e;
    }

    smartx::Restore_Source_Entry restore() {
        smartx::Restore_Source_Entry e;
        e.vm_src_id = text();
        e.vm_src_name = text();
        e.catalog_uuid = text();
        e.vm_tgt_id = text();
        e.vm_tgt_name = text();
        e.vm_tgt_host_id = text();
        e.vm_tgt_folder_id = text();
        e.vm_tgt_cpu_cores = static_cast<int32_t>(rng_());
        e.vm_tgt_cpu_count = static_cast<int32_t>(rng_());
        e.vm_tgt_mem_mbytes = static_cast<int64_t>(std::uniform_int_distribution<uint64_t>()(rng_));
        e.vm_tgt_cluster_id = text();
        e.vm_tgt_vapp = text();
        for (int n = static_cast<int>(rng_() % 3); n > 0; --n) {
            smartx::Restore_Source_Entry::NIC nic;
            nic.src_id = text();
            nic.vlan_id = text();
            nic.vm_id = text();
            nic.subnet_mask = text();
            nic.gateway = text();
            nic.ip_address = text();
            nic.mirror = rng_() % 2 != 0;
            nic.model = text();
            nic.mac_address = text();
            e.nics.push_back(nic);
        }
        for (int n = static_cast<int>(rng_() % 3); n > 0; --n) {
            smartx::Restore_Source_Entry::Volume v;
            v.src_id = text();
            v.src_local_id = text();
            v.tgt_cluster_id = text();
            v.tgt_volume_name = text();
            v.tgt_volume_policy = text();
            v.restore_mode = text();
            e.volumes.push_back(v);
        }
        return e;
    }

    std::mt19937_64& rng() { return rng_; }

private:
    std::mt19937_64 rng_;
};

// dump, load from the dump's text, dump again: the same text.
template <class Entry>
void expect_round_trip(const Entry& e) {
    const std::string text = json_spirit::write(Value(e.dump()));
    Entry back;
    ASSERT_TRUE(back.load(read_json(text))) << text;
    EXPECT_EQ(text, json_spirit::write(Value(back.dump())));
}

TEST(Source_Entry_Property, RandomEntriesRoundTrip) {
    Random_Entries gen(4242);
    for (int i = 0; i < 300 && !HasFailure(); ++i) {
        expect_round_trip(gen.backup());
        expect_round_trip(gen.restore());
    }
}

TEST(Source_Entry_Property, MutatedEntriesLoadOrFailCleanly) {
    Random_Entries gen(31);
    Log_Capture log;
    int loaded = 0, failed = 0;
    for (int i = 0; i < 2000; ++i) {
        bool backup = i % 2 == 0;
        std::string text = mutate_json_text(
            json_spirit::write(Value(backup ? gen.backup().dump() : gen.restore().dump())),
            gen.rng());
        Value v;
        if (!json_spirit::read(text, v))
            continue;
        bool ok;
        if (backup) {
            smartx::Backup_Source_Entry e;
            ok = e.load(v);
            if (ok)
                expect_round_trip(e);
        } else {
            smartx::Restore_Source_Entry e;
            ok = e.load(v);
            if (ok)
                expect_round_trip(e);
        }
        ++(ok ? loaded : failed);
        log.clear();
        if (HasFailure())
            break;
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
