// Protection flags and catalog rows read from the simulated backup server,
// as the restore asks for them.
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/catalog.h"
#include "host/json_spirit/json_io.h"
#include "host/smartx_backup_set.h"
#include "sim/backup_server/backup_server.h"
#include "smartx/job/utils.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

const char* const kResource = "res-1";

class BackupServerQueries : public ::testing::Test {
protected:
    void SetUp() override {
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
    }

    // A set as the backup servant commits it: an incremental on a base.
    static SmartX_Backup_Set committed_set() {
        SmartX_Backup_Set set;
        set.uuid = "set-2";
        set.name = "nightly";
        set.resource_uuid = kResource;
        set.type = "incremental";
        set.incarnation = "inc-1";
        set.source_size = 4096;
        set.size = 4096;
        set.backup_start_time = 1700000000;
        set.backup_end_time = 1700000060;
        set.base_sets = {"set-1"};
        set.storages.resize(2);
        set.storages[0].pool_uuid = "pool-old";
        set.storages[1].pool_uuid = "pool-new";
        set.pieces.resize(1);
        set.pieces[0].path = "vm-1/disk-0";
        set.pieces[0].size = 4096;
        set.vm_id = "vm-1";
        set.vm_name = "web";
        set.cluster_id = "cl-1";
        set.cpu_info.cpu_count = 4;
        set.mem_info.memory = 2048;
        set.aggregates.emplace_back("folder-1", SmartX_Backup_Set::FOLDER);
        set.nics.push_back(json_spirit::Object{{"id", json_spirit::Value("nic-1")}});
        return set;
    }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(BackupServerQueries, ProtectionFlags) {
    const struct Row {
        const char* name;
        std::function<void(sim::Backup_Server&)> arrange;
        const char* uuid;
        bool ok;
        bool is_protected;
        const char* logged;  // "" : nothing
    } rows[] = {
        {"flagged", [](sim::Backup_Server& s) { s.set_resource_flags(kResource, {"protected"}); },
         kResource, true, true, ""},
        {"other flags only",
         [](sim::Backup_Server& s) { s.set_resource_flags(kResource, {"replicated"}); }, kResource,
         true, false, ""},
        {"unknown resource", [](sim::Backup_Server&) {}, kResource, true, false, ""},
        {"second row flagged",
         [](sim::Backup_Server& s) {
             s.set_resources_override(R"({"rows":[{"flags":["x"]},{"flags":["protected"]}]})");
         },
         kResource, true, true, ""},
        {"no rows", [](sim::Backup_Server& s) { s.set_resources_override(R"({"rows":[]})"); },
         kResource, true, false, ""},
        {"row without flags",
         [](sim::Backup_Server& s) { s.set_resources_override(R"({"rows":[{"uuid":"a"}]})"); },
         kResource, false, false, "Unrecognized resource info: "},
        {"flag not a string",
         [](sim::Backup_Server& s) { s.set_resources_override(R"({"rows":[{"flags":[1]}]})"); },
         kResource, false, false, "Unrecognized resource info: "},
        {"answer not an object", [](sim::Backup_Server& s) { s.set_resources_override("[1]"); },
         kResource, false, false, "Unrecognized resource info: "},
        {"refused", [](sim::Backup_Server& s) { s.set_access_key("another-key"); }, kResource,
         false, false, "Failed to get resource state from backupd.\n"},
        // The uuid goes into the query encoded: it cannot name another resource.
        {"uuid with query characters",
         [](sim::Backup_Server& s) {
             s.set_resource_flags("a&uuid=b", {"protected"});
             s.set_resource_flags("b", {});
         },
         "a&uuid=b", true, true, ""},
        {"empty uuid", [](sim::Backup_Server&) {}, "", false, false, "resource_uuid is empty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.arrange(*server_);
        Log_Capture log;
        bool is_protected = true;
        EXPECT_EQ(row.ok, smartx::get_vm_protected_flags(row.uuid, is_protected));
        EXPECT_EQ(row.is_protected, is_protected);
        EXPECT_TRUE(*row.logged ? log.has(row.logged) : log.lines().empty())
            << testing::PrintToString(log.texts());
    }
}

TEST_F(BackupServerQueries, CatalogRowsLoadOrFailWithTheirCause) {
    const SmartX_Backup_Set committed = committed_set();
    ASSERT_TRUE(Catalog_Operator(-1, -1).commit(committed, false));
    const std::string good = json_spirit::write(json_spirit::Value(committed.dump()));
    // The committed row with one member changed (null: removed).
    const auto row_with = [&committed](const char* key, const char* json) {
        json_spirit::Object row = committed.dump();
        json_spirit::Value v;
        if (json_spirit::read(json, v) && v.type() != json_spirit::null_type)
            row[key] = v;
        else
            row.erase(key);
        return "[" + json_spirit::write(json_spirit::Value(row)) + "]";
    };
    const struct Row {
        const char* name;
        std::string answer;  // "" : the catalog's own
        const char* resource;
        bool ok;
        const char* logged;
        bool vm_part_kept;  // a failed VM part leaves the set's VM members
    } rows[] = {
        {"committed", "", kResource, true, "", false},
        {"another resource's", "", "res-2", false, "arr is empty array", true},
        {"answer an object", "{}", kResource, false, "result is not array", true},
        {"answer empty", "[]", kResource, false, "arr is empty array", true},
        {"row not an object", "[1]", kResource, false, "is not object", true},
        {"type a number", row_with("type", "5"), kResource, false,
         "Failed to load base backup set: ", true},
        {"no end time", row_with("backup_end_time", "null"), kResource, false,
         "Failed to load base backup set: ", true},
        {"storage without size", row_with("storages", R"([{"pool_uuid":"p"}])"), kResource, false,
         "Failed to load base backup set: ", true},
        {"no storages", row_with("storages", "null"), kResource, true, "", false},
        {"no vm id", row_with("vm_id", "null"), kResource, false,
         "Failed to load vm backup set: ", true},
        {"aggregate not an object", row_with("aggregates", "[1]"), kResource, false,
         "Failed to load vm backup set: ", true},
        {"cpu info not an object", row_with("cpu_info", "[]"), kResource, false,
         "Failed to load vm backup set: ", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.answer.empty())
            server_->set_view_override(row.answer);
        SmartX_Backup_Set set;
        set.vm_name = "before";
        Log_Capture log;
        const bool ok = smartx::get_catalog_by_uuid("set-2", row.resource, set, -1, -1);
        EXPECT_EQ(row.ok, ok);
        EXPECT_TRUE(log.has(row.logged)) << testing::PrintToString(log.texts());
        if (!ok) {
            EXPECT_EQ(row.vm_part_kept ? "before" : "web", set.vm_name);
            continue;
        }
        EXPECT_TRUE(log.lines().empty()) << testing::PrintToString(log.texts());
        SmartX_Backup_Set expected = committed;
        if (row.answer.empty()) {
            EXPECT_EQ(good, json_spirit::write(json_spirit::Value(set.dump())));
        } else {
            expected.storages.clear();
            EXPECT_EQ(json_spirit::write(json_spirit::Value(expected.dump())),
                      json_spirit::write(json_spirit::Value(set.dump())));
        }
    }
    // The filter names the set, its resource and one row.
    const auto requests = server_->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("/zq/r/v2/catalogs/smartx/views/catalogs", requests.back().path);
    EXPECT_EQ(R"({"limit":1,"resource_uuid":"res-1","uuid":"set-2"})", requests.back().body);
}

}  // namespace
