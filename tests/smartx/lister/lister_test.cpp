// The console's lister against the simulated CloudTower over the shared
// fixtures: browse of every view, search, VM name checks and disk lists.
#include <sys/stat.h>
#include <unistd.h>

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
        // "$cluster:cluster-hz-01" and the like stand for fixture ids in fill().
        const std::pair<std::string, std::string> kinds[] = {
            {"datacenters", "dc"},    {"clusters", "cluster"}, {"hosts", "node"},
            {"vm_folders", "folder"}, {"labels", "label"},     {"vms", "vm"}};
        for (const auto& kind : kinds) {
            const Value records = ct_test::read_fixture(kind.first + ".json");
            for (const Value& r : records.get_array()) {
                const std::string name = ct_test::str(r, kind.first == "labels" ? "key" : "name");
                ids_["$" + kind.second + ":" + name] = ct_test::str(r, "id");
            }
        }
    }

    // One question per row ("list" or "search" with three words, "|" between
    // them), its setup, and the items it answers; "!text" wants a failure
    // that logs text, leaving the result alone.
    struct Ask {
        std::string what;
        std::string call;
        std::string want;
        Prepare setup = nullptr;
        std::string logged = "";  // a line a success must also log
    };

    void run_asks(const std::vector<Ask>& rows) {
        for (const Ask& row : rows) {
            SCOPED_TRACE(row.what);
            server_->reset_switches();
            if (row.setup) {
                ASSERT_TRUE(server_->load_inventory(ct_test::fixtures_dir() + "/inventory.json"));
                row.setup(*server_);
            }
            std::vector<std::string> args;
            std::istringstream in(fill(row.call));
            for (std::string part; std::getline(in, part, '|');)
                args.push_back(part);
            args.resize(4);
            Lister lister(client_);
            Value result("untouched");
            Log_Capture log;
            const bool done = args[0] == "list" ? lister.list(args[1], args[2], args[3], result)
                                                : lister.search(args[1], args[2], args[3], result);
            if (!row.want.empty() && row.want[0] == '!') {
                EXPECT_FALSE(done);
                EXPECT_EQ("\"untouched\"", text(result));
                EXPECT_TRUE(log.has(fill(row.want.substr(1))))
                    << ::testing::PrintToString(log.texts());
                continue;
            }
            ASSERT_TRUE(done) << ::testing::PrintToString(log.texts());
            EXPECT_EQ(row.want, describe(result));
            EXPECT_TRUE(log.has(row.logged)) << ::testing::PrintToString(log.texts());
            for (const Value& item : result.get_array()) {
                const std::string type = ct_test::str(item, "type");
                // Datacenters and labels have no local id: no "uuid" key.
                const bool has_uuid = type != "Datacenter" && type != "Tag";
                EXPECT_EQ(has_uuid, item.get_obj().count("uuid") == 1) << type;
                EXPECT_FALSE(ct_test::str(item, "moid").empty());
            }
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
        {"hosts datacenter", "list|hosts|Datacenter|$dc:dc-hangzhou",
         "Cluster cluster-hz-01 +; Cluster cluster-hz-02 +"},
        {"hosts cluster", "list|hosts|Cluster|$cluster:cluster-hz-01",
         "HostSystem node-hz01-01 +; HostSystem node-hz01-02 +"},
        {"hosts host", "list|hosts|HostSystem|$node:node-hz01-01", WEB + "; " + TEST},
        {"the management VM is never listed", "list|hosts|HostSystem|$node:node-hz01-02", DB},
        {"vms cluster: folders, then VMs without one", "list|vms|Cluster|$cluster:cluster-hz-01",
         "Folder production +; Folder testing +; " + TEST + "; " + OLD},
        {"vms folder", "list|vms|Folder|$folder:production", WEB + "; " + DB},
        {"an empty folder", "list|vms|Folder|$folder:testing", ""},
        {"tags root: labels, not the system's", "list|tags||",
         "Tag env +; Tag owner +; Tag tier +"},
        {"a tag's members in kind order", "list|tags|Tag|$label:tier",
         "Datacenter dc-hangzhou; Cluster cluster-hz-01; HostSystem node-hz01-01"},
        {"a tag's VMs, without sizes and volumes", "list|tags|Tag|$label:owner",
         "VirtualMachine app-b1 powered_on 0"},
        {"recovery datacenter: every cluster", "list|recovery|Datacenter|anything",
         "Cluster cluster-hz-01 +; Cluster cluster-hz-02 +"},
        {"recovery cluster: hosts with resources", "list|recovery|Cluster|$cluster:cluster-hz-02",
         "HostSystem node-hz02-01 @cluster-hz-02"},
        {"recovery host: every host", "list|recovery|HostSystem|anything",
         "HostSystem node-hz01-01 @cluster-hz-01; HostSystem node-hz01-02 @cluster-hz-01; "
         "HostSystem node-hz02-01 @cluster-hz-02"},
        {"recovery folders of a cluster", "list|recovery|Folder|$cluster:cluster-hz-01",
         "Folder production; Folder testing"},
        {"hardware of a host", "list|hosts|Hardware|$node:node-hz01-02",
         "HostSystem node-hz01-02 @cluster-hz-01"},
        {"networks of a cluster's VM switches", "list|storages|Network|$cluster:cluster-hz-01",
         "Network default; Network vm-vlan-100"},
        {"networks of the other cluster", "list|storages|Network|$cluster:cluster-hz-02",
         "Network default"},
        {"an unknown view browses plainly", "list|Hosts|Cluster|$cluster:cluster-hz-02",
         "HostSystem node-hz02-01 +"},
        {"a type in another case", "list|hosts|cluster|$cluster:cluster-hz-01",
         "!Failed to get list items function, details: not found."},
        {"VMs are leaves", "list|hosts|VirtualMachine|$vm:web-01",
         "!Failed to get list items function, details: not found."},
        {"data stores are leaves", "list|storages|Storage|x",
         "!Failed to get list items function, details: not found."},
        {"an unknown datacenter", "list|hosts|Datacenter|no-such-dc",
         "!Failed to query clusters in datacenter no-such-dc, details: "},
        {"a cluster without hosts", "list|recovery_cluster|Hardware|no-such-cluster",
         "!Cluster hosts is empty."},
        {"an unknown label", "list|tags|Tag|no-such-label",
         "!Failed to query label no-such-label, details: "},
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
        {"hardware hosts by free memory", "list|recovery_cluster|Hardware|$cluster:cluster-hz-01",
         "HostSystem node-hz01-02 @cluster-hz-01; HostSystem node-hz01-01 @cluster-hz-01",
         hz01_host_used(200 * GiB, 10 * GiB)},
        {"more used than total sorts last", "list|recovery_cluster|Hardware|$cluster:cluster-hz-01",
         "HostSystem node-hz01-01 @cluster-hz-01; HostSystem node-hz01-02 @cluster-hz-01",
         hz01_host_used(total - 1, total + 1)},
        {"a VLAN whose switch is no VM switch is dropped",
         "list|storages|Network|$cluster:cluster-hz-01", "Network default; Network vm-vlan-100",
         [](Server& t) {
             Object vlan = ct_test::fixture_record("vlans", "vm-vlan-100");
             vlan["id"] = "vlan-on-mgmt";
             vlan["name"] = "vm-on-mgmt";
             vlan["vds"] = Object{{"id", Value(fixture_id("vdses", "vds-mgmt"))},
                                  {"name", Value("vds-mgmt")}};
             ASSERT_TRUE(t.put_records("vlans", Array{Value(vlan)}));
         }},
        {"a VLAN whose switch cannot be asked stays",
         "list|storages|Network|$cluster:cluster-hz-02", "Network default; Network default",
         [](Server& t) { t.fail_path("get-vdses", 500, "switch lookup down", 1); },
         "switch lookup down"},
        {"a negative volume size adds nothing", "list|vms|Folder|$folder:production",
         "VirtualMachine web-01 powered_on " + std::to_string(16 * GiB) + "; " + DB,
         [](Server& t) { patch(t, "vm_volumes", "web-01-data", "size", Value(-32 * GiB)); }},
        {"a failed disk lookup counts 0", "list|vms|Folder|$folder:production",
         "VirtualMachine web-01 powered_on " + std::to_string(32 * GiB) + "; " + DB,
         [](Server& t) { t.fail_path("get-vm-disks", 500, "disk lookup down", 1); },
         "disk lookup down"},
        {"a failed volume lookup counts 0", "list|vms|Folder|$folder:production",
         "VirtualMachine web-01 powered_on " + std::to_string(32 * GiB) + "; " + DB,
         [](Server& t) { t.fail_path("get-vm-volumes", 500, "volume down", 1); }, "volume down"},
        {"another state shows in lower case", "list|hosts|HostSystem|$node:node-hz01-01",
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
        {"names match in their case", "search|tags|Tag|ENV", ""},
        {"Hardware", "search|hosts|Hardware|node", invalid},
        {"Network", "search|hosts|Network|default", invalid},
        {"Info", "search|hosts|Info|x", invalid},
        {"the root", "search|hosts||x", invalid},
        {"a type in another case", "search|hosts|cluster|hz", invalid},
        {"a failed query", "search|vms|VirtualMachine|web",
         "!Failed to query vms by name contains web, details: ",
         [](Server& t) { t.fail_path("get-vms", 500, "down"); }},
    });
}

TEST_F(ListerTest, InfoListsOnlyVersionDirectoriesGreatestFirst) {
    const std::string zbs = root_.path() + "/opt/velmora/tarnvik3/zbs";
    const std::string info =
        R"({"moid": "", "name": "", "type": "Info", "status": "", "size": 0,
            "has_children": false, "extended_attrs": {"zbs_versions": %s}})";
    struct Row {
        std::string what;
        std::function<void()> make;
        std::string versions;
    } rows[] = {
        {"no directory", [] {}, "[]"},
        {"directories and links to them, by text",
         [&] {
             ASSERT_EQ(0, make_directories(zbs, 0750));
             for (const char* v : {"4.0.9", "5.5.1", "5.10.0"})
                 ASSERT_EQ(0, ::mkdir((zbs + "/" + v).c_str(), 0750));
             ASSERT_EQ(0, ::symlink("5.5.1", (zbs + "/latest").c_str()));
             ASSERT_EQ(0, ::symlink("gone", (zbs + "/dangling").c_str()));
             std::ofstream(zbs + "/notes.txt") << "not a version";
         },
         R"(["latest", "5.5.1", "5.10.0", "4.0.9"])"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.make();
        Lister lister(client_);
        Value result;
        ASSERT_TRUE(lister.list("hosts", "Info", "", result));
        std::string want = info;
        want.replace(want.find("%s"), 2, row.versions);
        EXPECT_EQ(text(parse("[" + want + "]")), text(result));
    }
    EXPECT_TRUE(server_->requests().empty()) << "Info asks CloudTower nothing";
}

TEST_F(ListerTest, HostItemCarriesItsResources) {
    Lister lister(client_);
    Value result;
    ASSERT_TRUE(lister.list("recovery", "Hardware", fixture_id("hosts", "node-hz02-01"), result));
    EXPECT_EQ(text(parse(fill(R"([{"moid": "$node:node-hz02-01",
        "uuid": "29d9314f-7e30-5083-b8a6-ccda8b49d3a9", "name": "node-hz02-01",
        "type": "HostSystem", "status": "CONNECTED_HEALTHY", "size": 0, "has_children": false,
        "extended_attrs": {"cpu_sockets": 2, "cpu_cores": 24, "cpu_hz": 57600000000,
            "used_cpu_hz": 8640000000.0, "memory_size": 274877906944,
            "used_memory_bytes": 68719476736, "cluster_name": "cluster-hz-02",
            "cluster_id": "$cluster:cluster-hz-02"}}])"))),
              text(result));
}

TEST_F(ListerTest, VerifyReportsTakenNamesOncePerElement) {
    struct Row {
        std::string what;
        std::string vms;
        std::string want;  // the answer, or "!text" for a failure that logs text
        size_t vm_queries;
        Prepare setup;
    } rows[] = {
        {"duplicates, case differences, other clusters and non-objects",
         R"([{"cluster_moid": "$cluster:cluster-hz-01", "vm_name": "web-01"},
             {"cluster_moid": "$cluster:cluster-hz-01", "vm_name": "WEB-01"},
             {"cluster_moid": "$cluster:cluster-hz-01", "vm_name": "web-01"},
             {"cluster_moid": "$cluster:cluster-hz-02", "vm_name": "web-01"},
             {"cluster_moid": "$cluster:cluster-hz-02", "vm_name": "app-b1"},
             5, "web-01", null,
             {"cluster_moid": "$cluster:cluster-hz-01", "vm_name": "CloudTower"},
             {"cluster_moid": "$cluster:cluster-hz-01", "vm_name": "web"}])",
         R"(["web-01", "web-01", "app-b1"])", 2, nullptr},
        {"nothing to check", "[]", "[]", 0, nullptr},
        {"a cluster that does not exist holds no names",
         R"([{"cluster_moid": "no-such-cluster", "vm_name": "web-01"}])", "[]", 1, nullptr},
        {"no cluster", R"([{"cluster_moid": "$cluster:cluster-hz-01", "vm_name": "db-01"},
                           {"vm_name": "web-01"}])",
         "!'cluster_moid' is expected as string", 1, nullptr},
        {"a name that is no string",
         R"([{"cluster_moid": "$cluster:cluster-hz-01", "vm_name": 7}])",
         "!'vm_name' is expected as string", 0, nullptr},
        {"a cluster that cannot be asked fails the check",
         R"([{"cluster_moid": "$cluster:cluster-hz-02", "vm_name": "app-b1"}])",
         "!Failed to query vms in cluster $cluster:cluster-hz-02 to verify names, details: down", 1,
         [](Server& t) { t.fail_path("get-vms", 500, "down", 1); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.setup)
            row.setup(*server_);
        server_->clear_requests();
        Lister lister(client_);
        Value result("untouched");
        Log_Capture log;
        const bool done = lister.verify(parse(fill(row.vms)).get_array(), result);
        size_t queries = 0;
        for (const auto& r : server_->requests())
            queries += r.path == "/v2/api/get-vms";
        EXPECT_EQ(row.vm_queries, queries);
        if (row.want[0] == '!') {
            EXPECT_FALSE(done);
            EXPECT_EQ("\"untouched\"", text(result));
            EXPECT_TRUE(log.has(fill(row.want.substr(1)))) << ::testing::PrintToString(log.texts());
        } else {
            EXPECT_TRUE(done);
            EXPECT_EQ(text(parse(row.want)), text(result));
        }
        server_->reset_switches();
    }
}

TEST_F(ListerTest, DiskListsDataDisksWithTheirVolumes) {
    struct Row {
        std::string vm;
        std::string want;  // "!text": a failure that logs text
    } rows[] = {
        {"web-01", R"([
            {"disk_id": "cl08ig1q2n7vhczm145h86yq7", "disk_type": "DISK", "size": 17179869184,
             "volume_id": "cl0fkqej2k83934m4tu7e1sdx", "volume_name": "web-01-system",
             "lun_id": "cl0kt9myxqem022fodvgvehd5",
             "volume_local_id": "1605adc0-1094-5260-9891-6ddf451ecfda",
             "volume_policy": "REPLICA_2_THIN_PROVISION"},
            {"disk_id": "cl0xduhstly9cztojdmiydtl9", "disk_type": "DISK", "size": 34359738368,
             "volume_id": "cl0ny8xvvmbd3ftplire8ywl0", "volume_name": "web-01-data",
             "lun_id": "cl09sba3otq6ueqpqi984z9gs",
             "volume_local_id": "d8e1dcf4-6497-55c7-b118-ac65d4bdb50d",
             "volume_policy": "REPLICA_2_THIN_PROVISION"}])"},
        {"db-01", R"([
            {"disk_id": "cl0h2zr665ii1qje239mzne1f", "disk_type": "DISK", "size": 17179869184,
             "volume_id": "cl0o6t4azkl352kqj02nwxe2p", "volume_name": "db-01-system",
             "lun_id": "cl0xrvyg7m1b9hemixx32btak",
             "volume_local_id": "c3ea9463-ba1e-529a-b0ab-b34753e8f99f",
             "volume_policy": "REPLICA_2_THIN_PROVISION"},
            {"disk_id": "cl0pdh97eepr8ax3x8jrjs0ph", "disk_type": "DISK", "size": 68719476736,
             "volume_id": "cl0goos6ttxr3cqs0ndsd4gw0", "volume_name": "db-01-data",
             "lun_id": "cl0n94hrah9ub0kj4n7avso0t",
             "volume_local_id": "bec0acba-5088-550d-8e2d-c4f775e1c114",
             "volume_policy": "REPLICA_3_THICK_PROVISION"}])"},
        {"no-such-vm", "!Failed to query vm to get disks, details: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.vm);
        const std::string id = row.vm == "no-such-vm" ? row.vm : fixture_id("vms", row.vm);
        Lister lister(client_);
        Value result("untouched");
        Log_Capture log;
        const bool done = lister.disk(id, result);
        if (row.want[0] == '!') {
            EXPECT_FALSE(done);
            EXPECT_EQ("\"untouched\"", text(result));
            EXPECT_TRUE(log.has(row.want.substr(1))) << ::testing::PrintToString(log.texts());
        } else {
            EXPECT_TRUE(done);
            EXPECT_EQ(text(parse(row.want)), text(result));
        }
    }
}

}  // namespace
}  // namespace rest_test
