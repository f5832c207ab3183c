// The console's lister against the simulated CloudTower over the shared
// fixtures: browse of every view, search, VM name checks and disk lists.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include "host/paths.h"

#include "smartx/rest/rest_test_support.h"
#include "smartx/websvcs_agent/lister.h"

namespace rest_test {
namespace {

using smartx::Lister;

const int64_t GiB = 1024LL * 1024 * 1024;

// Compared as text, so that a failure shows both.
std::string text(const Value& v) {
    return json_spirit::write(v);
}

// "Type name", " +" when expandable, a VM's status and size, " @cluster" for
// a host with its resources; items joined by "; ".
std::string describe(const Value& items) {
    std::string out;
    for (const Value& item : items.get_array()) {
        std::ostringstream s;
        s << ct_test::str(item, "type") << " " << ct_test::str(item, "name");
        if (ct_test::member(item, "has_children").get_bool())
            s << " +";
        if (ct_test::str(item, "type") == "VirtualMachine")
            s << " " << ct_test::str(item, "status") << " "
              << ct_test::member(item, "size").get_uint64();
        const std::string cluster =
            ct_test::str(ct_test::member(item, "extended_attrs"), "cluster_name");
        if (!cluster.empty())
            s << " @" << cluster;
        out += (out.empty() ? "" : "; ") + s.str();
    }
    return out;
}

using Server = sim::cloudtower::Server;
using Prepare = std::function<void(Server&)>;

// Changes one field of the fixture record of kind with that name.
void patch(Server& server, const std::string& kind, const std::string& name, const std::string& key,
           const Value& value) {
    Object record;
    ASSERT_TRUE(server.record(kind, fixture_id(kind, name), record)) << kind << " " << name;
    record[key] = value;
    ASSERT_TRUE(server.put_records(kind, Array{Value(record)}));
}

class ListerTest : public RestTest {
protected:
    void SetUp() override {
        RestTest::SetUp();
        // "$cluster-hz-01" and the like stand for fixture ids in fill().
        for (const char* kind :
             {"datacenters", "clusters", "hosts", "vm_folders", "labels", "vms"}) {
            const Value records = ct_test::read_fixture(std::string(kind) + ".json");
            for (const Value& r : records.get_array())
                ids_["$" + ct_test::str(r, "name") + ct_test::str(r, "key")] =
                    ct_test::str(r, "id");
        }
    }

    // One question per row: "list|view|type|id", "search|view|type|name",
    // "verify|[elements]" or "disk|vm id"; the answer as describe() gives it
    // or, when it starts with "[", as JSON; "!text": a failure logging text
    // that leaves the result alone.
    struct Ask {
        std::string what;
        std::string call;
        std::string want;
        Prepare setup = nullptr;
        std::string logged = "";  // a line a success must also log
        int vm_queries = -1;      // get-vms requests, when counted
    };

    bool ask(const std::vector<std::string>& a, Value& result) {
        Lister lister(client_);
        if (a[0] == "list")
            return lister.list(a[1], a[2], a[3], result);
        if (a[0] == "search")
            return lister.search(a[1], a[2], a[3], result);
        if (a[0] == "verify")
            return lister.verify(parse(a[1]).get_array(), result);
        return lister.disk(a[1], result);
    }

    void run_asks(const std::vector<Ask>& rows) {
        for (const Ask& row : rows) {
            SCOPED_TRACE(row.what);
            server_->reset_switches();
            if (row.setup) {
                ASSERT_TRUE(server_->load_inventory(ct_test::fixtures_dir() + "/inventory.json"));
                row.setup(*server_);
            }
            server_->clear_requests();
            std::vector<std::string> args;
            std::istringstream in(fill(row.call));
            for (std::string part; std::getline(in, part, '|');)
                args.push_back(part);
            args.resize(4);
            Value result("untouched");
            Log_Capture log;
            const bool done = ask(args, result);
            int vm_queries = 0;
            for (const auto& r : server_->requests())
                vm_queries += r.path == "/v2/api/get-vms";
            EXPECT_TRUE(row.vm_queries < 0 || row.vm_queries == vm_queries) << vm_queries;
            const std::string logs = ::testing::PrintToString(log.texts());
            if (!row.want.empty() && row.want[0] == '!') {
                EXPECT_FALSE(done);
                EXPECT_EQ("\"untouched\"", text(result));
                EXPECT_TRUE(log.has(fill(row.want.substr(1)))) << logs;
                continue;
            }
            ASSERT_TRUE(done) << logs;
            EXPECT_TRUE(log.has(row.logged)) << logs;
            if (!row.want.empty() && row.want[0] == '[') {
                EXPECT_EQ(text(parse(fill(row.want))), text(result));
                continue;
            }
            EXPECT_EQ(row.want, describe(result));
            // Datacenters and labels have no local id: no "uuid" key.
            for (const Value& item : result.get_array())
                EXPECT_EQ(ct_test::str(item, "type") != "Datacenter" &&
                              ct_test::str(item, "type") != "Tag",
                          item.get_obj().count("uuid") == 1);
        }
    }
};

const std::string WEB = "VirtualMachine web-01 powered_on " + std::to_string(48 * GiB);
const std::string DB = "VirtualMachine db-01 powered_on " + std::to_string(80 * GiB);
const std::string TEST = "VirtualMachine test-01 powered_off " + std::to_string(8 * GiB);
const std::string OLD = "VirtualMachine old-01 powered_off " + std::to_string(8 * GiB);

TEST_F(ListerTest, BrowsesEveryViewDownToVmsAndHosts) {
    run_asks({
        {"hosts root", "list|hosts||", "Datacenter dc-hangzhou +"},
        {"hosts datacenter", "list|hosts|Datacenter|$dc-hangzhou",
         "Cluster cluster-hz-01 +; Cluster cluster-hz-02 +"},
        {"hosts host", "list|hosts|HostSystem|$node-hz01-01", WEB + "; " + TEST},
        {"vms cluster: folders, then VMs without one", "list|vms|Cluster|$cluster-hz-01",
         "Folder production +; Folder testing +; " + TEST + "; " + OLD},
        {"vms folder", "list|vms|Folder|$production", WEB + "; " + DB},
        {"tags root: labels, not the system's", "list|tags||",
         "Tag env +; Tag owner +; Tag tier +"},
        {"a tag's members in kind order", "list|tags|Tag|$tier",
         "Datacenter dc-hangzhou; Cluster cluster-hz-01; HostSystem node-hz01-01"},
        {"a tag's VMs, without sizes and volumes", "list|tags|Tag|$owner",
         "VirtualMachine app-b1 powered_on 0"},
        {"recovery datacenter: every cluster", "list|recovery|Datacenter|anything",
         "Cluster cluster-hz-01 +; Cluster cluster-hz-02 +"},
        {"recovery cluster: hosts with resources", "list|recovery|Cluster|$cluster-hz-02",
         "HostSystem node-hz02-01 @cluster-hz-02"},
        {"recovery host: every host", "list|recovery|HostSystem|anything",
         "HostSystem node-hz01-01 @cluster-hz-01; HostSystem node-hz01-02 @cluster-hz-01; "
         "HostSystem node-hz02-01 @cluster-hz-02"},
        {"recovery folders of a cluster", "list|recovery|Folder|$cluster-hz-01",
         "Folder production; Folder testing"},
        {"networks of a cluster's VM switches", "list|storages|Network|$cluster-hz-01",
         "Network default; Network vm-vlan-100"},
        {"an unknown view browses plainly", "list|Hosts|Cluster|$cluster-hz-02",
         "HostSystem node-hz02-01 +"},
        {"a type in another case", "list|hosts|cluster|$cluster-hz-01",
         "!Failed to get list items function, details: not found."},
        {"VMs are leaves", "list|hosts|VirtualMachine|$web-01",
         "!Failed to get list items function, details: not found."},
        {"a cluster without hosts", "list|recovery_cluster|Hardware|no-such-cluster",
         "!Cluster hosts is empty."},
    });
}

TEST_F(ListerTest, SoundAnswersWhereCloudTowerIsOdd) {
    const auto hz01_host_used = [](int64_t first, int64_t second) {
        return [first, second](Server& t) {
            patch(t, "hosts", "node-hz01-01", "used_memory_bytes", Value(first));
            patch(t, "hosts", "node-hz01-02", "used_memory_bytes", Value(second));
        };
    };
    const int64_t total = 256 * GiB;
    run_asks({
        {"hardware hosts by free memory", "list|recovery_cluster|Hardware|$cluster-hz-01",
         "HostSystem node-hz01-02 @cluster-hz-01; HostSystem node-hz01-01 @cluster-hz-01",
         hz01_host_used(200 * GiB, 10 * GiB)},
        {"more used than total sorts last", "list|recovery_cluster|Hardware|$cluster-hz-01",
         "HostSystem node-hz01-01 @cluster-hz-01; HostSystem node-hz01-02 @cluster-hz-01",
         hz01_host_used(total - 1, total + 1)},
        {"a VLAN whose switch is no VM switch is dropped", "list|storages|Network|$cluster-hz-01",
         "Network default",
         [](Server& t) {
             patch(t, "vlans", "vm-vlan-100", "vds",
                   Object{{"id", Value(fixture_id("vdses", "vds-mgmt"))}, {"name", Value("x")}});
         }},
        {"a VLAN whose switch cannot be asked stays", "list|storages|Network|$cluster-hz-02",
         "Network default; Network default",
         [](Server& t) { t.fail_path("get-vdses", 500, "switch lookup down", 1); },
         "switch lookup down"},
        {"a negative volume size adds nothing", "list|vms|Folder|$production",
         "VirtualMachine web-01 powered_on " + std::to_string(16 * GiB) + "; " + DB,
         [](Server& t) { patch(t, "vm_volumes", "web-01-data", "size", Value(-32 * GiB)); }},
        {"a failed disk lookup counts 0", "list|vms|Folder|$production",
         "VirtualMachine web-01 powered_on " + std::to_string(32 * GiB) + "; " + DB,
         [](Server& t) { t.fail_path("get-vm-disks", 500, "disk lookup down", 1); },
         "disk lookup down"},
        {"another state shows in lower case", "list|hosts|HostSystem|$node-hz01-01",
         "VirtualMachine web-01 suspended " + std::to_string(48 * GiB) + "; " + TEST,
         [](Server& t) { patch(t, "vms", "web-01", "status", Value("SUSPENDED")); }},
    });
}

TEST_F(ListerTest, SearchesEachTypeByName) {
    const std::string invalid = "!Failed to search hosts view, details: invalid type.";
    run_asks({
        {"datacenters", "search|hosts|Datacenter|hang", "Datacenter dc-hangzhou +"},
        {"clusters", "search|hosts|Cluster|hz-02", "Cluster cluster-hz-02 +"},
        {"hosts", "search|hosts|HostSystem|hz01",
         "HostSystem node-hz01-01 +; HostSystem node-hz01-02 +"},
        {"hosts to restore to", "search|recovery|HostSystem|hz02", "HostSystem node-hz02-01"},
        {"folders", "search|vms|Folder|test", "Folder testing +"},
        {"folders to restore to", "search|recovery|Folder|prod", "Folder production"},
        {"VMs with sizes, not the management VM", "search|vms|VirtualMachine|-0",
         WEB + "; " + DB + "; " + TEST + "; " + OLD},
        {"data stores", "search|storages|Storage|nfs", "Storage nfs-share-a"},
        {"labels by key, not the system's", "search|tags|Tag|e",
         "Tag env +; Tag owner +; Tag tier +"},
        {"Hardware", "search|hosts|Hardware|node", invalid},
        {"a failed query", "search|vms|VirtualMachine|web",
         "!Failed to query vms by name contains web, details: ",
         [](Server& t) { t.fail_path("get-vms", 500, "down"); }},
    });
}

TEST_F(ListerTest, AnswersInfoHostsNameChecksAndDisksInFull) {
    const std::string hz01 = R"({"cluster_moid": "$cluster-hz-01", "vm_name": )";
    const std::string hz02 = R"({"cluster_moid": "$cluster-hz-02", "vm_name": )";
    const std::string info = R"([{"moid": "", "name": "", "type": "Info", "status": "", "size": 0,
        "has_children": false, "extended_attrs": {"zbs_versions": )";
    run_asks({
        {"no ZBS directory", "list|hosts|Info|", info + "[]}}]"},
        {"version directories and links to them, greatest text first", "list|vms|Info|",
         info + R"(["latest", "5.5.1", "5.10.0", "4.0.9"]}}])",
         [](Server&) {
             const std::string zbs = host_path("/opt/velmora/tarnvik3/zbs");
             for (const char* v : {"4.0.9", "5.5.1", "5.10.0"})
                 ASSERT_EQ(0, make_directories(zbs + "/" + v, 0750));
             ASSERT_EQ(0, ::symlink("5.5.1", (zbs + "/latest").c_str()));
             ASSERT_EQ(0, ::symlink("gone", (zbs + "/dangling").c_str()));
             std::ofstream(zbs + "/notes.txt") << "not a version";
         }},
        {"a host to restore to", "list|recovery|Hardware|$node-hz02-01",
         R"([{"moid": "$node-hz02-01", "uuid": "29d9314f-7e30-5083-b8a6-ccda8b49d3a9",
            "name": "node-hz02-01", "type": "HostSystem", "status": "CONNECTED_HEALTHY",
            "size": 0, "has_children": false, "extended_attrs": {"cpu_sockets": 2,
            "cpu_cores": 24, "cpu_hz": 57600000000, "used_cpu_hz": 8640000000.0,
            "memory_size": 274877906944, "used_memory_bytes": 68719476736,
            "cluster_name": "cluster-hz-02", "cluster_id": "$cluster-hz-02"}}])"},
        {"duplicates, case, other clusters, non-objects and the management VM",
         "verify|[" + hz01 + R"("web-01"}, )" + hz01 + R"("WEB-01"}, )" + hz01 + R"("web-01"}, )" +
             hz02 + R"("web-01"}, )" + hz02 + R"("app-b1"}, 5, "web-01", )" + hz01 +
             R"("CloudTower"}, )" + hz01 + R"("web"}])",
         R"(["web-01", "web-01", "app-b1"])", nullptr, "", 2},
        {"nothing to check", "verify|[]", "[]", nullptr, "", 0},
        {"an unknown cluster holds no names",
         R"(verify|[{"cluster_moid": "no-such", "vm_name": "web-01"}])", "[]", nullptr, "", 1},
        {"no cluster", "verify|[" + hz01 + R"("db-01"}, {"vm_name": "web-01"}])",
         "!'cluster_moid' is expected as string", nullptr, "", 1},
        {"a name that is no string", "verify|[" + hz01 + "7}]", "!'vm_name' is expected as string",
         nullptr, "", 0},
        {"a cluster that cannot be asked fails the check", "verify|[" + hz02 + R"("app-b1"}])",
         "!Failed to query vms in cluster $cluster-hz-02 to verify names, details: down",
         [](Server& t) { t.fail_path("get-vms", 500, "down", 1); }, "", 1},
        {"data disks only, with their volumes", "disk|$web-01", R"([
            {"disk_id": "cl08ig1q2n7vhczm145h86yq7", "disk_type": "DISK", "size": 17179869184,
             "volume_id": "cl0fkqej2k83934m4tu7e1sdx", "volume_name": "web-01-system",
             "lun_id": "cl0kt9myxqem022fodvgvehd5", "volume_policy": "REPLICA_2_THIN_PROVISION",
             "volume_local_id": "1605adc0-1094-5260-9891-6ddf451ecfda"},
            {"disk_id": "cl0xduhstly9cztojdmiydtl9", "disk_type": "DISK", "size": 34359738368,
             "volume_id": "cl0ny8xvvmbd3ftplire8ywl0", "volume_name": "web-01-data",
             "lun_id": "cl09sba3otq6ueqpqi984z9gs", "volume_policy": "REPLICA_2_THIN_PROVISION",
             "volume_local_id": "d8e1dcf4-6497-55c7-b118-ac65d4bdb50d"}])"},
        {"an unknown VM", "disk|no-such-vm", "!Failed to query vm to get disks, details: "},
    });
}

// The Info node offers only what a job could name as its zbs_version: names
// that pass the version check, each a directory or a link that resolves to a
// directory inside the versions directory.
TEST_F(ListerTest, OffersOnlyZbsVersionsAJobCouldName) {
    const std::string zbs = host_path("/opt/velmora/tarnvik3/zbs");
    const std::string elsewhere = host_path("/opt/elsewhere");
    ASSERT_EQ(0, make_directories(elsewhere, 0750));
    const struct {
        std::string name;
        std::string is;  // "dir", "file" or "-> link target"
        bool offered;
    } entries[] = {
        {"5.5.1", "dir", true},
        {"4.0.9_hotfix-2", "dir", true},
        {"bad name;$(id)", "dir", false},
        {"6.0.0", "file", false},
        {"latest", "-> 5.5.1", true},
        {"lib-of-5.5.1", "-> 5.5.1/lib", true},
        {"round-trip", "-> ../zbs/5.5.1", true},
        {"root", "-> /", false},
        {"self", "-> .", false},
        {"parent", "-> ..", false},
        {"outside", "-> " + elsewhere, false},
        {"through-root", "-> root/tmp", false},
        {"to-a-file", "-> 6.0.0", false},
        {"dangling", "-> gone", false},
        {"$(id)", "-> 5.5.1", false},
    };
    ASSERT_EQ(0, make_directories(zbs + "/5.5.1/lib", 0750));
    std::vector<std::string> offered;
    for (const auto& e : entries) {
        const std::string path = zbs + "/" + e.name;
        if (e.is == "dir")
            ASSERT_EQ(0, make_directories(path, 0750)) << path;
        else if (e.is == "file")
            std::ofstream(path) << "not a version";
        else
            ASSERT_EQ(0, ::symlink(e.is.substr(3).c_str(), path.c_str())) << path;
        if (e.offered)
            offered.push_back(e.name);
    }
    std::sort(offered.begin(), offered.end(), std::greater<std::string>());

    Lister lister(client_);
    Value result;
    ASSERT_TRUE(lister.list("hosts", "Info", "", result));
    std::vector<std::string> listed;
    for (const Value& v :
         ct_test::member(ct_test::member(result.get_array().at(0), "extended_attrs"),
                         "zbs_versions")
             .get_array())
        listed.push_back(v.get_str());
    EXPECT_EQ(offered, listed);
}

}  // namespace
}  // namespace rest_test
