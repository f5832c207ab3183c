// Paged and filtered queries: "where", "orderBy", "first", "skip".
#include <algorithm>
#include <set>

#include "sim/cloudtower/inventory.h"
#include "sim/cloudtower/query.h"
#include "sim_test_support.h"

namespace ct_test {
namespace {

using sim::cloudtower::Inventory;

// Names of the records of kind a filter selects, in answer order.
class Filter_Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inv_ = new Inventory;
        std::string error;
        ASSERT_TRUE(inv_->load_file(fixtures_dir() + "/inventory.json", &error)) << error;
    }
    static void TearDownTestSuite() {
        delete inv_;
        inv_ = nullptr;
    }

    std::vector<std::string> names(const std::string& kind, const std::string& where_json) {
        Object body;
        body["where"] = parse(where_json);
        Array out;
        std::string error;
        EXPECT_TRUE(sim::cloudtower::run_query(*inv_, kind, body, false, out, &error))
            << error << where_json;
        std::vector<std::string> result;
        for (const Value& v : out)
            result.push_back(str(v, str(v, "name").empty() ? "key" : "name"));
        return result;
    }

    std::string error_of(const std::string& kind, const std::string& body_json) {
        Array out;
        std::string error;
        EXPECT_FALSE(sim::cloudtower::run_query(*inv_, kind, parse(body_json), false, out, &error))
            << body_json;
        return error;
    }

    std::string id_of(const std::string& kind, const std::string& name) {
        return str(fixture_record(kind, name), "id");
    }

    static Inventory* inv_;
};

Inventory* Filter_Test::inv_ = nullptr;

using Names = std::vector<std::string>;

TEST_F(Filter_Test, EqualityAndLists) {
    EXPECT_EQ(Names({"web-01"}), names("vms", R"({"name": "web-01"})"));
    EXPECT_EQ(Names({"CloudTower"}), names("vms", R"({"name": "CloudTower"})"));
    EXPECT_EQ(Names(), names("vms", R"({"name": "web"})"));
    std::string web = id_of("vms", "web-01"), db = id_of("vms", "db-01");
    EXPECT_EQ(Names({"web-01", "db-01"}),
              names("vms", "{\"id_in\": [\"" + db + "\", \"" + web + "\", \"nope\"]}"));
    EXPECT_EQ(Names(), names("vms", R"({"id_in": []})"));
    EXPECT_EQ(Names({"test-01", "old-01", "win-b2"}),
              names("vms", R"({"status_in": ["STOPPED", "SUSPENDED"]})"));
    EXPECT_EQ(Names({"web-01", "db-01", "CloudTower", "app-b1"}),
              names("vms", R"({"status_not_in": ["STOPPED"]})"));
    // JSON booleans and numbers compare by value.
    EXPECT_EQ(Names({"old-01"}), names("vms", R"({"in_recycle_bin": true})"));
    EXPECT_EQ(Names({"db-01", "CloudTower"}), names("vms", R"({"memory": 17179869184.0})"));
}

TEST_F(Filter_Test, TextOperators) {
    EXPECT_EQ(Names({"web-01", "db-01", "test-01", "old-01"}),
              names("vms", R"({"name_contains": "-01"})"));
    EXPECT_EQ(Names({"web-01", "db-01", "test-01", "old-01", "app-b1", "win-b2"}),
              names("vms", R"({"name_not": "CloudTower"})"));
    EXPECT_EQ(Names({"win-b2"}), names("vms", R"({"name_starts_with": "win"})"));
    EXPECT_EQ(Names({"app-b1"}), names("vms", R"({"name_ends_with": "b1"})"));
    // Case matters, as in CloudTower.
    EXPECT_EQ(Names(), names("vms", R"({"name_contains": "WEB"})"));
    EXPECT_EQ(Names({"default", "vm-vlan-100", "default"}),
              names("vlans", R"({"type": "VM", "name_not_contains": "internal"})"));
    EXPECT_EQ(Names({"env", "owner", "tier"}),
              names("labels", R"({"key_not_starts_with": "system.cloudtower/"})"));
    EXPECT_EQ(
        Names({"owner"}),
        names("labels", R"({"key_contains": "own", "key_not_starts_with": "system.cloudtower/"})"));
    EXPECT_EQ(Names({"db-01-system"}),
              names("vm_volumes", R"({"name_not_ends_with": "data", "name_starts_with": "db"})"));
}

TEST_F(Filter_Test, IdsSerialsAndLocalIds) {
    Object policy = fixture_record("elf_storage_policies", "replica-3-thick");
    std::string part = str(policy, "local_id").substr(4, 12);
    EXPECT_EQ(Names({"replica-3-thick"}),
              names("elf_storage_policies", "{\"local_id_contains\": \"" + part + "\"}"));

    Value disks = read_fixture("vm_disks.json");
    const Value& disk = disks.get_array()[0];
    Array out;
    std::string error;
    Object body;
    body["where"] = parse("{\"serial\": \"" + str(disk, "serial") + "\"}");
    ASSERT_TRUE(sim::cloudtower::run_query(*inv_, "vm_disks", body, false, out, &error));
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(str(disk, "id"), str(out[0], "id"));

    Object volume = fixture_record("vm_volumes", "db-01-data");
    EXPECT_EQ(Names({"db-01-data"}),
              names("vm_volumes", "{\"local_id\": \"" + str(volume, "local_id") + "\"}"));
}

TEST_F(Filter_Test, SwitchesOfVmNetworks) {
    std::string vm_vds = id_of("vdses", "vds-vm");  // cluster A's VM switch comes first
    std::string internal = id_of("vdses", "vds-internal");
    std::string mgmt = id_of("vdses", "vds-mgmt");
    auto query = [](const std::string& id) {
        return "{\"type\": \"VM\", \"internal\": false, \"id\": \"" + id + "\"}";
    };
    EXPECT_EQ(Names({"vds-vm"}), names("vdses", query(vm_vds)));
    EXPECT_EQ(Names(), names("vdses", query(internal)));
    EXPECT_EQ(Names(), names("vdses", query(mgmt)));
}

TEST_F(Filter_Test, NestedRelations) {
    std::string a = id_of("clusters", "cluster-hz-01"), b = id_of("clusters", "cluster-hz-02");
    EXPECT_EQ(Names({"node-hz01-01", "node-hz01-02"}),
              names("hosts", "{\"cluster\": {\"id\": \"" + a + "\"}}"));
    EXPECT_EQ(Names({"app-b1", "win-b2"}),
              names("vms", "{\"name_not\": \"CloudTower\", \"cluster\": {\"id\": \"" + b + "\"}}"));
    EXPECT_EQ(7u,
              names("vms", "{\"cluster\": {\"id_in\": [\"" + a + "\", \"" + b + "\"]}}").size());
    EXPECT_EQ(Names(), names("vms", R"({"cluster": {"id_in": []}})"));
    EXPECT_EQ(Names({"web-01", "test-01"}),
              names("vms", "{\"host\": {\"id\": \"" + id_of("hosts", "node-hz01-01") + "\"}}"));
    EXPECT_EQ(
        Names({"web-01", "db-01"}),
        names("vms", "{\"folder\": {\"id\": \"" + id_of("vm_folders", "production") + "\"}}"));
    // A relation filter sees the whole related record, not only the reference.
    EXPECT_EQ(Names({"app-b1", "win-b2"}),
              names("vms", R"({"cluster": {"name_contains": "hz-02"}})"));
    EXPECT_EQ(Names({"web-01", "test-01"}),
              names("vms", R"({"host": {"data_ip": "10.10.10.21"}})"));
    // A VM without a folder matches no folder filter; null asks for none.
    EXPECT_EQ(Names({"test-01", "CloudTower", "old-01", "win-b2"}),
              names("vms", R"({"folder": null})"));
    EXPECT_EQ(Names({"web-01", "db-01"}), names("vms", R"({"labels_some": {"key": "env"}})"));
    EXPECT_EQ(Names({"test-01", "CloudTower", "old-01", "app-b1", "win-b2"}),
              names("vms", R"({"labels_none": {"key": "env"}})"));
    // Every label of the VM, vacuously true for a VM without labels.
    EXPECT_EQ(Names({"db-01", "test-01", "CloudTower", "old-01", "win-b2"}),
              names("vms", R"({"labels_every": {"key": "env"}})"));
}

TEST_F(Filter_Test, ComparisonsAndLogic) {
    EXPECT_EQ(Names({"db-01", "CloudTower"}), names("vms", R"({"memory_gt": 8589934592})"));
    EXPECT_EQ(Names({"web-01", "db-01", "CloudTower", "app-b1", "win-b2"}),
              names("vms", R"({"memory_gte": 8589934592})"));
    EXPECT_EQ(Names({"old-01"}), names("vms", R"({"memory_lt": 4294967296})"));
    EXPECT_EQ(
        Names({"web-01", "db-01"}),
        names("vms", R"({"OR": [{"name": "web-01"}, {"name": "db-01"}], "status": "RUNNING"})"));
    EXPECT_EQ(Names({"db-01"}),
              names("vms", R"({"AND": [{"name_contains": "-01"}, {"vcpu": 8}]})"));
    EXPECT_EQ(Names({"app-b1", "win-b2"}),
              names("vms", R"({"NOT": [{"name_contains": "-01"}, {"name": "CloudTower"}]})"));
    EXPECT_EQ(Names(), names("vms", R"({"OR": []})"));
}

TEST_F(Filter_Test, MalformedQueriesAreRefused) {
    EXPECT_NE("", error_of("vms", R"({"where": {"id_in": "x"}})"));
    EXPECT_NE("", error_of("vms", R"({"where": {"name_contains": 3}})"));
    EXPECT_NE("", error_of("vms", R"({"where": []})"));
    EXPECT_NE("", error_of("vms", R"({"where": {"AND": "x"}})"));
    EXPECT_NE("", error_of("vms", R"({"first": -1})"));
    EXPECT_NE("", error_of("vms", R"({"skip": "10"})"));
    EXPECT_NE("", error_of("vms", R"({"orderBy": "name"})"));
    EXPECT_NE("", error_of("vms", R"({"limit": 10})"));
    EXPECT_NE("", error_of("vms", R"([])"));
}

TEST_F(Filter_Test, OrderAndWindows) {
    Array out;
    std::string error;
    ASSERT_TRUE(sim::cloudtower::run_query(
        *inv_, "vms", parse(R"({"orderBy": "name_DESC", "first": 3})"), false, out, &error));
    ASSERT_EQ(3u, out.size());
    EXPECT_EQ("win-b2", str(out[0], "name"));
    EXPECT_EQ("web-01", str(out[1], "name"));
    EXPECT_EQ("test-01", str(out[2], "name"));
    // Equal keys keep inventory order.
    ASSERT_TRUE(sim::cloudtower::run_query(*inv_, "vms", parse(R"({"orderBy": "memory_ASC"})"),
                                           false, out, &error));
    Names order;
    for (const Value& v : out)
        order.push_back(str(v, "name"));
    EXPECT_EQ(Names({"old-01", "test-01", "web-01", "app-b1", "win-b2", "db-01", "CloudTower"}),
              order);

    std::string web = id_of("vms", "web-01");
    ASSERT_TRUE(sim::cloudtower::run_query(
        *inv_, "vms", parse("{\"after\": \"" + web + "\", \"first\": 2}"), false, out, &error));
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ("db-01", str(out[0], "name"));
    ASSERT_TRUE(
        sim::cloudtower::run_query(*inv_, "vms", parse(R"({"last": 2})"), false, out, &error));
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ("app-b1", str(out[0], "name"));
    EXPECT_EQ("win-b2", str(out[1], "name"));
    ASSERT_TRUE(sim::cloudtower::run_query(*inv_, "vms", parse(R"({"skip": 6, "first": 100})"),
                                           false, out, &error));
    ASSERT_EQ(1u, out.size());
    ASSERT_TRUE(
        sim::cloudtower::run_query(*inv_, "vms", parse(R"({"skip": 60})"), false, out, &error));
    EXPECT_EQ(0u, out.size());
}

TEST(Fixture_Test, FilesAreConsistentWithEachOther) {
    // Loading derives every reverse reference and count from the forward
    // ones; a consistent fixture comes out unchanged.
    Inventory inv;
    std::string error;
    ASSERT_TRUE(inv.load_file(fixtures_dir() + "/inventory.json", &error)) << error;
    for (const std::string& kind : Inventory::kinds()) {
        Value file = read_fixture(kind + ".json");
        ASSERT_EQ(json_spirit::array_type, file.type()) << kind;
        const auto& loaded = inv.records(kind);
        ASSERT_EQ(file.get_array().size(), loaded.size()) << kind;
        for (size_t i = 0; i < loaded.size(); ++i)
            EXPECT_TRUE(Value(loaded[i]) == file.get_array()[i])
                << kind << " record " << i << " is not self-consistent";
    }
}

TEST(Fixture_Test, ReferencesPointAtRecords) {
    Inventory inv;
    std::string error;
    ASSERT_TRUE(inv.load_file(fixtures_dir() + "/inventory.json", &error)) << error;
    size_t checked = 0;
    for (const std::string& kind : Inventory::kinds()) {
        for (const Object& rec : inv.records(kind)) {
            for (const auto& m : rec) {
                const char* target = Inventory::relation_kind(m.first);
                // Elements of frozen snapshot disks and NICs carry no id.
                if (!target || kind == "vm_snapshots")
                    continue;
                std::vector<const Value*> refs;
                if (m.second.type() == json_spirit::obj_type)
                    refs.push_back(&m.second);
                if (m.second.type() == json_spirit::array_type)
                    for (const Value& v : m.second.get_array())
                        refs.push_back(&v);
                for (const Value* r : refs) {
                    ++checked;
                    EXPECT_NE(nullptr, inv.find(target, str(*r, "id")))
                        << kind << "." << m.first << " -> " << str(*r, "id");
                }
            }
        }
    }
    EXPECT_GT(checked, 100u);
}

TEST(Fixture_Test, InventoryFileErrorsAreReported) {
    Inventory inv;
    std::string error;
    EXPECT_FALSE(inv.load(parse(R"({"spaceships": []})").get_obj(), ".", &error));
    EXPECT_NE(std::string::npos, error.find("spaceships"));
    EXPECT_FALSE(inv.load(parse(R"({"vms": [{"name": "no id"}]})").get_obj(), ".", &error));
    EXPECT_FALSE(inv.load(parse(R"({"vms": [{"id": "a"}, {"id": "a"}]})").get_obj(), ".", &error));
    EXPECT_NE(std::string::npos, error.find("duplicate"));
    EXPECT_FALSE(inv.load(parse(R"({"vms": "missing.json"})").get_obj(), "/nonexistent", &error));
    EXPECT_FALSE(inv.load_file("/nonexistent/inventory.json", &error));
}

// The module's paged query: pages of 100 until a page is not full.
class Paging_Test : public Sim_Test {
protected:
    void fill_vms(int n) {
        server_->clear_records("vms");
        Object vm = fixture_record("vms", "test-01");
        Array vms;
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "bulk-%03d", i);
            vm["id"] = std::string("bulkvm") + name;
            vm["name"] = name;
            vms.push_back(vm);
        }
        std::string error;
        ASSERT_TRUE(server_->put_records("vms", vms, &error)) << error;
    }

    // Requests made and names collected.
    std::pair<int, Names> page_through() {
        server_->clear_requests();
        Names got;
        int requests = 0;
        for (int page = 0; requests < 50; ++page) {
            Object body;
            body["where"] = parse(R"({"name_not": "CloudTower"})");
            body["skip"] = 100 * page;
            body["first"] = 100;
            Array rows = list("get-vms", body);
            ++requests;
            for (const Value& v : rows)
                got.push_back(str(v, "name"));
            if (rows.size() != 100)
                break;
        }
        return {requests, got};
    }
};

TEST_F(Paging_Test, PagesOfAHundred) {
    for (int n : {0, 99, 100, 250}) {
        fill_vms(n);
        auto result = page_through();
        EXPECT_EQ(n / 100 + 1, result.first) << n << " records";
        ASSERT_EQ(static_cast<size_t>(n), result.second.size()) << n << " records";
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "bulk-%03d", i);
            EXPECT_EQ(name, result.second[i]);
        }
        // The log shows the windows asked for.
        std::vector<sim::cloudtower::Logged_Request> log = server_->requests();
        ASSERT_EQ(static_cast<size_t>(result.first), log.size());
        for (size_t i = 0; i < log.size(); ++i)
            EXPECT_EQ(static_cast<int64_t>(100 * i),
                      member(parse(log[i].body), "skip").get_int64());
    }
}

TEST_F(Paging_Test, IgnoredSkipRepeatsTheFirstPage) {
    fill_vms(250);
    server_->ignore_skip("get-vms", true);
    Object body;
    body["skip"] = 100;
    body["first"] = 100;
    Array rows = list("get-vms", body);
    ASSERT_EQ(100u, rows.size());
    EXPECT_EQ("bulk-000", str(rows[0], "name"));
    // Only that path.
    body["skip"] = 1;
    EXPECT_EQ(2u, list("get-hosts", body).size());
    server_->ignore_skip("/v2/api/get-vms", false);
    body["skip"] = 100;
    EXPECT_EQ("bulk-100", str(list("get-vms", body)[0], "name"));
}

TEST_F(Paging_Test, MalformedBodiesAnswerBadRequest) {
    for (const char* text :
         {R"({"where": {"id_in": "x"}})", R"({"first": -5})", R"({"wherever": {}})", "{oops"}) {
        Reply r = exchange("POST", "/v2/api/get-vms", text, &token_);
        EXPECT_EQ(400, r.status) << text;
        EXPECT_EQ(400, member(r.json, "status").get_int());
        EXPECT_EQ("/v2/api/get-vms", str(r.json, "path"));
    }
    // An empty body is an empty query.
    EXPECT_EQ(200, exchange("POST", "/v2/api/get-vms", "", &token_).status);
}

TEST_F(Paging_Test, DataStoresAnswerOnBothPaths) {
    // The module asks get-data-stores; CloudTower 4.1.0 publishes the same
    // records as get-elf-data-stores. Both are served.
    EXPECT_EQ(3u, list("get-data-stores").size());
    EXPECT_EQ(3u, list("get-elf-data-stores").size());
}

}  // namespace
}  // namespace ct_test
