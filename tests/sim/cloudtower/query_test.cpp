// The inventory and its list queries: "where", "orderBy", the windows.
#include <sstream>

#include "sim/cloudtower/inventory.h"
#include "sim/cloudtower/query.h"
#include "sim_test_support.h"

namespace ct_test {
namespace {

using sim::cloudtower::Inventory;
using Names = std::vector<std::string>;

// The fixture inventory, loaded once.
const Inventory& inventory() {
    static const Inventory* inv = [] {
        auto* loaded = new Inventory;
        std::string error;
        EXPECT_TRUE(loaded->load_file(fixtures_dir() + "/inventory.json", &error)) << error;
        return loaded;
    }();
    return *inv;
}

struct Row {
    std::string kind;
    std::string body;
    std::string names;  // space-separated; "!" when the query is refused
};

// A row of a "where" on VMs.
Row vms(const std::string& where, const std::string& names) {
    return Row{"vms", "{\"where\": " + where + "}", names};
}

TEST(Inventory, QueriesSelectAndOrder) {
    const std::string web = fixture_id("vms", "web-01");
    const Row rows[] = {
        vms(R"({"name": "web-01"})", "web-01"),
        vms(R"({"name": "web"})", ""),
        vms(R"({"status_in": ["STOPPED", "SUSPENDED"]})", "test-01 old-01 win-b2"),
        vms(R"({"status_not_in": ["STOPPED"]})", "web-01 db-01 CloudTower app-b1"),
        // JSON booleans and numbers compare by value.
        vms(R"({"in_recycle_bin": true})", "old-01"),
        vms(R"({"memory": 17179869184.0})", "db-01 CloudTower"),
        vms(R"({"name_starts_with": "win"})", "win-b2"),
        vms(R"({"name_ends_with": "b1"})", "app-b1"),
        vms(R"({"name_contains": "WEB"})", ""),  // case matters, as in CloudTower
        {"vm_volumes", R"({"where": {"name_not_ends_with": "data", "name_starts_with": "db"}})",
         "db-01-system"},
        // A relation filter sees the whole related record, not only the reference.
        vms(R"({"cluster": {"name_contains": "hz-02"}})", "app-b1 win-b2"),
        vms(R"({"host": {"data_ip": "10.10.10.21"}})", "web-01 test-01"),
        // A VM without a folder matches no folder filter; null asks for none.
        vms(R"({"folder": null})", "test-01 CloudTower old-01 win-b2"),
        vms(R"({"labels_some": {"key": "env"}})", "web-01 db-01"),
        vms(R"({"labels_none": {"key": "env"}})", "test-01 CloudTower old-01 app-b1 win-b2"),
        // Every label of the VM, vacuously true for a VM without labels.
        vms(R"({"labels_every": {"key": "env"}})", "db-01 test-01 CloudTower old-01 win-b2"),
        vms(R"({"memory_gt": 8589934592})", "db-01 CloudTower"),
        vms(R"({"memory_gte": 8589934592})", "web-01 db-01 CloudTower app-b1 win-b2"),
        vms(R"({"memory_lt": 4294967296})", "old-01"),
        vms(R"({"OR": [{"name": "web-01"}, {"name": "db-01"}], "status": "RUNNING"})",
            "web-01 db-01"),
        vms(R"({"AND": [{"name_contains": "-01"}, {"vcpu": 8}]})", "db-01"),
        vms(R"({"NOT": [{"name_contains": "-01"}, {"name": "CloudTower"}]})", "app-b1 win-b2"),
        vms(R"({"OR": []})", ""),
        // Order and windows; equal keys keep inventory order.
        {"vms", R"({"orderBy": "name_DESC", "first": 3})", "win-b2 web-01 test-01"},
        {"vms", R"({"orderBy": "memory_ASC"})",
         "old-01 test-01 web-01 app-b1 win-b2 db-01 CloudTower"},
        {"vms", "{\"after\": \"" + web + "\", \"first\": 2}", "db-01 test-01"},
        {"vms", R"({"last": 2})", "app-b1 win-b2"},
        {"vms", R"({"skip": 6, "first": 100})", "win-b2"},
        {"vms", R"({"skip": 60})", ""},
        // Malformed queries.
        vms(R"({"id_in": "x"})", "!"),
        vms(R"({"name_contains": 3})", "!"),
        vms("[]", "!"),
        vms(R"({"AND": "x"})", "!"),
        {"vms", R"({"first": -1})", "!"},
        {"vms", R"({"skip": "10"})", "!"},
        {"vms", R"({"orderBy": "name"})", "!"},
        {"vms", R"({"limit": 10})", "!"},
        {"vms", "[]", "!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind + " " + row.body);
        Array out;
        std::string error;
        const bool done =
            sim::cloudtower::run_query(inventory(), row.kind, parse(row.body), false, out, &error);
        EXPECT_EQ(row.names != "!", done) << error;
        EXPECT_EQ(done, error.empty());
        Names names, want;
        for (const Value& v : out)
            names.push_back(str(v, "name"));
        std::istringstream in(row.names == "!" ? "" : row.names);
        for (std::string name; in >> name;)
            want.push_back(name);
        EXPECT_EQ(want, names);
    }
}

TEST(Inventory, FixturesAreSelfConsistentAndReferencesResolve) {
    // Loading derives every reverse reference and count from the forward
    // ones; a consistent fixture comes out unchanged.
    size_t references = 0;
    for (const std::string& kind : Inventory::kinds()) {
        SCOPED_TRACE(kind);
        Value file = read_fixture(kind + ".json");
        ASSERT_EQ(json_spirit::array_type, file.type());
        const auto& loaded = inventory().records(kind);
        ASSERT_EQ(file.get_array().size(), loaded.size());
        for (size_t i = 0; i < loaded.size(); ++i) {
            EXPECT_TRUE(Value(loaded[i]) == file.get_array()[i]) << "record " << i;
            for (const auto& m : loaded[i]) {
                const char* target = Inventory::relation_kind(m.first);
                // Elements of frozen snapshot disks and NICs carry no id.
                if (!target || kind == "vm_snapshots")
                    continue;
                const Array refs = m.second.type() == json_spirit::array_type ? m.second.get_array()
                                   : m.second.type() == json_spirit::obj_type ? Array{m.second}
                                                                              : Array();
                for (const Value& r : refs) {
                    ++references;
                    EXPECT_NE(nullptr, inventory().find(target, str(r, "id")))
                        << m.first << " -> " << str(r, "id");
                }
            }
        }
    }
    EXPECT_GT(references, 100u);
}

TEST(InventoryFile, ErrorsAreReported) {
    struct Row {
        const char* doc;
        const char* base;
        const char* error_holds;
    } rows[] = {{R"({"spaceships": []})", ".", "spaceships"},
                {R"({"vms": [{"name": "no id"}]})", ".", ""},
                {R"({"vms": [{"id": "a"}, {"id": "a"}]})", ".", "duplicate"},
                {R"({"vms": "missing.json"})", "/nonexistent", ""}};
    Inventory inv;
    std::string error;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.doc);
        EXPECT_FALSE(inv.load(parse(row.doc).get_obj(), row.base, &error));
        EXPECT_NE(std::string::npos, error.find(row.error_holds)) << error;
    }
    EXPECT_FALSE(inv.load_file("/nonexistent/inventory.json", &error));
}

}  // namespace
}  // namespace ct_test
