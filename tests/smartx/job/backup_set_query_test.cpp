// Protection flags and catalog rows read from the simulated backup server,
// as the restore asks for them.
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

class BackupServerQueries : public ::testing::Test {
protected:
    void SetUp() override {
        server_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        ASSERT_TRUE(server_->start());
        write_host_settings(root_.path(), server_->port());
        // Flagged under a uuid holding query characters; "b" is not flagged.
        server_->set_resource_flags("a&uuid=b", {"replicated", "protected"});
        server_->set_resource_flags("b", {});
    }

    Temp_Root root_;
    std::unique_ptr<sim::Backup_Server> server_;
};

TEST_F(BackupServerQueries, ProtectionFlags) {
    const char* const unrecognized = "Unrecognized resource info: ";
    const struct Row {
        const char* uuid;
        const char* answer;  // instead of the server's own; "" : none
        bool ok;
        bool is_protected;
        const char* logged;
    } rows[] = {
        {"a&uuid=b", "", true, true, ""},
        {"b", "", true, false, ""},
        {"unknown", "", true, false, ""},
        {"b", R"({"rows":[{"flags":["x"]},{"flags":["protected"]}]})", true, true, ""},
        {"b", R"({"rows":[]})", true, false, ""},
        {"b", R"({"rows":[{"uuid":"b"}]})", false, false, unrecognized},
        {"b", R"({"rows":[{"flags":[1]}]})", false, false, unrecognized},
        {"b", "[1]", false, false, unrecognized},
        {"", "", false, false, "resource_uuid is empty"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.uuid) + " " + row.answer);
        if (*row.answer)
            server_->set_resources_override(row.answer);
        Log_Capture log;
        bool is_protected = true;
        EXPECT_EQ(smartx::get_vm_protected_flags(row.uuid, is_protected), row.ok);
        EXPECT_EQ(is_protected, row.is_protected);
        EXPECT_TRUE(*row.logged ? log.has(row.logged) : log.lines().empty())
            << testing::PrintToString(log.texts());
    }
    server_->set_access_key("another-key");
    bool is_protected = true;
    EXPECT_FALSE(smartx::get_vm_protected_flags("a&uuid=b", is_protected));
    EXPECT_FALSE(is_protected);
}

TEST_F(BackupServerQueries, CatalogRowsLoadOrFailWithTheirCause) {
    SmartX_Backup_Set committed;
    committed.uuid = "set-2";
    committed.resource_uuid = "res-1";
    committed.base_sets = {"set-1"};
    committed.storages.resize(1);
    committed.storages[0].pool_uuid = "pool-1";
    committed.vm_id = "vm-1";
    committed.vm_name = "web";
    committed.cpu_info.cpu_count = 4;
    committed.aggregates.emplace_back("folder-1", SmartX_Backup_Set::FOLDER);
    ASSERT_TRUE(Catalog_Operator(-1, -1).commit(committed, false));
    // The committed row with members changed (null: removed), as a view's answer.
    const auto change = [](json_spirit::Object& row, const char* key, const char* json) {
        json_spirit::Value v;
        json_spirit::read(json, v);
        if (v.type() == json_spirit::null_type)
            row.erase(key);
        else
            row[key] = v;
    };
    const auto answer2 = [&](const char* key, const char* json, const char* key2,
                             const char* json2) {
        json_spirit::Object row = committed.dump();
        change(row, key, json);
        if (key2)
            change(row, key2, json2);
        return "[" + json_spirit::write(json_spirit::Value(row)) + "]";
    };
    const auto answer = [&](const char* key, const char* json) {
        return answer2(key, json, nullptr, nullptr);
    };
    const struct Row {
        const char* name;
        std::string answer;  // "" : the catalog's own
        const char* resource;
        const char* logged;   // "" : loads
        const char* vm_name;  // after the call
    } rows[] = {
        {"committed", "", "res-1", "", "web"},
        {"another resource's", "", "res-2", "arr is empty array", "before"},
        {"answer an object", "{}", "res-1", "result is not array", "before"},
        {"type a number", answer("type", "5"), "res-1",
         "Failed to load base backup set: ", "before"},
        {"no end time", answer("backup_end_time", "null"), "res-1",
         "Failed to load time of backup set.\n", "before"},
        {"start time a text", answer("backup_start_time", R"("noon")"), "res-1",
         "Failed to load time of backup set.\n", "before"},
        // A member read before the times names the fault.
        {"no end time, a storage without its pool",
         answer2("backup_end_time", "null", "storages", "[{\"size\": 1}]"), "res-1",
         "Failed to load base backup set: ", "before"},
        {"no storages", answer("storages", "null"), "res-1", "", "web"},
        {"no vm id", answer("vm_id", "null"), "res-1", "Failed to load vm backup set: ", "before"},
        {"cpu count a text", answer("cpu_info", R"({"cpu_count": "4"})"), "res-1",
         "Failed to load  backup set info.\n", "before"},
        {"aggregate not an object", answer("aggregates", "[1]"), "res-1",
         "Failed to load vm backup set: ", "before"},
        {"aggregate of no kind", answer("aggregates", R"([{"id": "f-1", "type": 7}])"), "res-1",
         "Failed to load vm backup set: Failed to load Aggregate_Info from JSON Object..\n",
         "before"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.answer.empty())
            server_->set_view_override(row.answer);
        SmartX_Backup_Set set;
        set.vm_name = "before";
        Log_Capture log;
        EXPECT_EQ(smartx::get_catalog_by_uuid("set-2", row.resource, set, -1, -1), !*row.logged);
        EXPECT_TRUE(*row.logged ? log.has(row.logged) : log.lines().empty())
            << testing::PrintToString(log.texts());
        EXPECT_EQ(set.vm_name, row.vm_name);
        if (!*row.logged) {
            EXPECT_EQ(set.base_sets, committed.base_sets);
            EXPECT_EQ(set.storages.size(), row.answer.empty() ? 1u : 0u);
            EXPECT_EQ(json_spirit::write(json_spirit::Value(set.aggregates[0].dump())),
                      json_spirit::write(json_spirit::Value(committed.aggregates[0].dump())));
        }
    }
    // The filter names the set, its resource and one row.
    EXPECT_EQ(server_->requests().back().body,
              R"({"limit":1,"resource_uuid":"res-1","uuid":"set-2"})");
}

}  // namespace
