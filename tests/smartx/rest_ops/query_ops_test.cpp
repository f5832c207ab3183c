// Inventory queries against the simulated CloudTower over the shared
// fixtures: what each query asks for, and what it gives back.
#include <functional>

#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/host.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/label.h"
#include "smartx/common/role.h"
#include "smartx/common/storage_policy.h"
#include "smartx/common/task.h"
#include "smartx/common/user.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume_snapshot.h"
#include "smartx/rest/rest_test_support.h"

namespace rest_test {
namespace {

using smartx::Error;

std::string name_of(const smartx::Label& label) {
    return label.key;
}
template <class T>
std::string name_of(const T& item) {
    return item.name;
}

template <class T>
std::vector<std::string> names_of(const std::vector<T>& items) {
    std::vector<std::string> out;
    for (const T& item : items)
        out.push_back(name_of(item));
    return out;
}

// Runs one query; the names of what it found.
using Query = std::function<bool(Error*, std::vector<std::string>&)>;

// Runs one single-record query; the found record's id.
using One_Query = std::function<bool(Error*, std::string&)>;

template <class T, class Fetch>
One_Query single(Fetch fetch) {
    return [fetch](Error* error, std::string& found) {
        T item;
        const bool done = fetch(item, error);
        found = item.id;
        return done;
    };
}

template <class T, class Run>
Query query(Run run) {
    return [run](Error* error, std::vector<std::string>& names) {
        std::vector<T> items;
        const bool done = run(items, error);
        names = names_of(items);
        return done;
    };
}

// One request: its path and the "where" it carried (null: none).
struct Call {
    std::string path;
    Value where;
};

struct Case {
    std::string what;
    Query run;
    std::vector<Call> calls;
    std::vector<std::string> names;
};

Value obj(std::initializer_list<std::pair<const std::string, Value>> members) {
    return Value(Object(members));
}
Value arr(std::initializer_list<Value> values) {
    return Value(Array(values));
}

class Query_Ops_Test : public Rest_Test {
protected:
    void SetUp() override {
        Rest_Test::SetUp();
        log_in();
    }

    static std::string id(const std::string& kind, const std::string& name) {
        return fixture_id(kind, name);
    }
    static Value id_is(const std::string& kind, const std::string& name) {
        return obj({{"id", Value(id(kind, name))}});
    }

    // The calls of the last query: "POST <path>" and each body's "where".
    void expect_calls(const std::vector<Call>& expected) {
        std::vector<std::string> paths;
        std::vector<Value> wheres;
        for (const Value& body : bodies())
            wheres.push_back(ct_test::member(body, "where"));
        std::vector<std::string> want_paths;
        std::vector<Value> want_wheres;
        for (const Call& c : expected) {
            want_paths.push_back("POST /v2/api/" + c.path);
            want_wheres.push_back(c.where);
        }
        EXPECT_EQ(want_paths, calls());
        EXPECT_EQ(want_wheres, wheres);
    }

    void run_cases(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            server_->clear_requests();
            Error error;
            std::vector<std::string> names;
            ASSERT_TRUE(c.run(&error, names)) << error.message;
            EXPECT_TRUE(error.empty());
            EXPECT_EQ(c.names, names);
            expect_calls(c.calls);
        }
    }

    Error error_;
};

const Value NO_WHERE;
const Value NOT_CLOUDTOWER("CloudTower");
const Value NOT_SYSTEM("system.cloudtower/");

TEST_F(Query_Ops_Test, ListsOfDatacentersClustersHostsAndFolders) {
    auto& c = client_;
    const std::string dc = id("datacenters", "dc-hangzhou");
    const Value both_clusters =
        arr({Value(id("clusters", "cluster-hz-01")), Value(id("clusters", "cluster-hz-02"))});
    const Value hz01 = id_is("clusters", "cluster-hz-01");
    run_cases({
        {"datacenters",
         query<smartx::Datacenter>([&](auto& v, Error* e) { return c.query_datacenters(v, e); }),
         {{"get-datacenters", NO_WHERE}},
         {"dc-hangzhou"}},
        {"datacenters by name",
         query<smartx::Datacenter>(
             [&](auto& v, Error* e) { return c.query_datacenters_by_name_contains("hang", v, e); }),
         {{"get-datacenters", obj({{"name_contains", Value("hang")}})}},
         {"dc-hangzhou"}},
        {"clusters",
         query<smartx::Cluster>([&](auto& v, Error* e) { return c.query_clusters(v, e); }),
         {{"get-clusters", NO_WHERE}},
         {"cluster-hz-01", "cluster-hz-02"}},
        {"clusters of a datacenter",
         query<smartx::Cluster>(
             [&](auto& v, Error* e) { return c.query_clusters_in_datacenter(dc, v, e); }),
         {{"get-datacenters", obj({{"id", Value(dc)}})},
          {"get-clusters", obj({{"id_in", both_clusters}})}},
         {"cluster-hz-01", "cluster-hz-02"}},
        {"clusters by name",
         query<smartx::Cluster>(
             [&](auto& v, Error* e) { return c.query_clusters_by_name_contains("hz-02", v, e); }),
         {{"get-clusters", obj({{"name_contains", Value("hz-02")}})}},
         {"cluster-hz-02"}},
        {"hosts",
         query<smartx::Host>([&](auto& v, Error* e) { return c.query_hosts(v, e); }),
         {{"get-hosts", NO_WHERE}},
         {"node-hz01-01", "node-hz01-02", "node-hz02-01"}},
        {"hosts of a cluster",
         query<smartx::Host>([&](auto& v, Error* e) {
             return c.query_hosts_in_cluster(id("clusters", "cluster-hz-01"), v, e);
         }),
         {{"get-hosts", obj({{"cluster", hz01}})}},
         {"node-hz01-01", "node-hz01-02"}},
        {"hosts by name",
         query<smartx::Host>(
             [&](auto& v, Error* e) { return c.query_hosts_by_name_contains("hz02", v, e); }),
         {{"get-hosts", obj({{"name_contains", Value("hz02")}})}},
         {"node-hz02-01"}},
        {"folders",
         query<smartx::Folder>([&](auto& v, Error* e) { return c.query_folders(v, e); }),
         {{"get-vm-folders", NO_WHERE}},
         {"production", "testing", "apps"}},
        {"folders of a cluster",
         query<smartx::Folder>([&](auto& v, Error* e) {
             return c.query_folders_in_cluster(id("clusters", "cluster-hz-01"), v, e);
         }),
         {{"get-vm-folders", obj({{"cluster", hz01}})}},
         {"production", "testing"}},
        {"folders by name",
         query<smartx::Folder>(
             [&](auto& v, Error* e) { return c.query_folders_by_name_contains("app", v, e); }),
         {{"get-vm-folders", obj({{"name_contains", Value("app")}})}},
         {"apps"}},
    });
}

// The management VM (in cluster-hz-01, on node-hz01-02, in no folder, its
// name holding "o") is never listed.
TEST_F(Query_Ops_Test, VmListsLeaveOutTheCloudTowerVm) {
    auto& c = client_;
    const std::string dc = id("datacenters", "dc-hangzhou");
    const Value both_clusters =
        arr({Value(id("clusters", "cluster-hz-01")), Value(id("clusters", "cluster-hz-02"))});
    const Value hz01 = id_is("clusters", "cluster-hz-01");
    const std::vector<std::string> all = {"web-01", "db-01",  "test-01",
                                          "old-01", "app-b1", "win-b2"};
    run_cases({
        {"all",
         query<smartx::VM>([&](auto& v, Error* e) { return c.query_vms(v, e); }),
         {{"get-vms", obj({{"name_not", NOT_CLOUDTOWER}})}},
         all},
        {"datacenter",
         query<smartx::VM>([&](auto& v, Error* e) { return c.query_vms_in_datacenter(dc, v, e); }),
         {{"get-datacenters", obj({{"id", Value(dc)}})},
          {"get-clusters", obj({{"id_in", both_clusters}})},
          {"get-vms",
           obj({{"name_not", NOT_CLOUDTOWER}, {"cluster", obj({{"id_in", both_clusters}})}})}},
         all},
        {"cluster",
         query<smartx::VM>([&](auto& v, Error* e) {
             return c.query_vms_in_cluster(id("clusters", "cluster-hz-01"), v, e);
         }),
         {{"get-vms", obj({{"name_not", NOT_CLOUDTOWER}, {"cluster", hz01}})}},
         {"web-01", "db-01", "test-01", "old-01"}},
        {"ungrouped in cluster",
         query<smartx::VM>([&](auto& v, Error* e) {
             return c.query_ungrouped_vms_in_cluster(id("clusters", "cluster-hz-01"), v, e);
         }),
         {{"get-vms", obj({{"name_not", NOT_CLOUDTOWER}, {"cluster", hz01}})}},
         {"test-01", "old-01"}},
        {"host",
         query<smartx::VM>([&](auto& v, Error* e) {
             return c.query_vms_in_host(id("hosts", "node-hz01-02"), v, e);
         }),
         {{"get-vms",
           obj({{"name_not", NOT_CLOUDTOWER}, {"host", id_is("hosts", "node-hz01-02")}})}},
         {"db-01"}},
        {"folder",
         query<smartx::VM>([&](auto& v, Error* e) {
             return c.query_vms_in_folder(id("vm_folders", "production"), v, e);
         }),
         {{"get-vms",
           obj({{"name_not", NOT_CLOUDTOWER}, {"folder", id_is("vm_folders", "production")}})}},
         {"web-01", "db-01"}},
        {"name",
         query<smartx::VM>(
             [&](auto& v, Error* e) { return c.query_vms_by_name_contains("o", v, e); }),
         {{"get-vms", obj({{"name_not", NOT_CLOUDTOWER}, {"name_contains", Value("o")}})}},
         {"old-01"}},
    });

    // The paged form of one of them, whole.
    server_->clear_requests();
    std::vector<smartx::VM> vms;
    ASSERT_TRUE(client_.query_vms_in_cluster(id("clusters", "cluster-hz-02"), vms, &error_))
        << error_.message;
    EXPECT_EQ(parse(R"({"where": {"cluster": {"id": ")" + id("clusters", "cluster-hz-02") +
                    R"("}, "name_not": "CloudTower"}, "first": 100, "skip": 0})"),
              bodies().at(0));

    // By id and by name it is found.
    smartx::VM vm;
    ASSERT_TRUE(client_.query_vm(id("vms", "CloudTower"), vm, &error_)) << error_.message;
    EXPECT_EQ("CloudTower", vm.name);
    std::string vm_id;
    ASSERT_TRUE(client_.is_vm_exist("CloudTower", vm_id, &error_)) << error_.message;
    EXPECT_EQ(id("vms", "CloudTower"), vm_id);
}

TEST_F(Query_Ops_Test, UngroupedVmsNeedAWholeFolderReference) {
    // The simulator keeps a reference's name in step with its target, so the
    // half references come in an answer of its own.
    Array vms = server_->records("vms");
    Array answer;
    for (Value& v : vms) {
        Object vm = v.get_obj();
        const std::string name = ct_test::str(vm, "name");
        if (name == "web-01")
            vm["folder"] =
                obj({{"id", Value(id("vm_folders", "production"))}, {"name", Value("")}});
        if (name == "db-01")
            vm["folder"] = obj({{"id", Value("")}, {"name", Value("production")}});
        if (ct_test::str(ct_test::member(vm, "cluster"), "name") == "cluster-hz-01" &&
            name != "CloudTower")
            answer.push_back(Value(vm));
    }
    server_->answer_raw("get-vms", 200, json_spirit::write(Value(answer)), "application/json", 1);
    std::vector<smartx::VM> found;
    ASSERT_TRUE(
        client_.query_ungrouped_vms_in_cluster(id("clusters", "cluster-hz-01"), found, &error_))
        << error_.message;
    EXPECT_EQ(std::vector<std::string>({"web-01", "db-01", "test-01", "old-01"}), names_of(found));
}

TEST_F(Query_Ops_Test, LabelsStorageAndNetworks) {
    auto& c = client_;
    const std::string dc = id("datacenters", "dc-hangzhou");
    const Value both_clusters =
        arr({Value(id("clusters", "cluster-hz-01")), Value(id("clusters", "cluster-hz-02"))});
    run_cases({
        {"labels",
         query<smartx::Label>([&](auto& v, Error* e) { return c.query_labels(v, e); }),
         {{"get-labels", obj({{"key_not_starts_with", NOT_SYSTEM}})}},
         {"env", "owner", "tier"}},
        // The system label's key holds an "e" too.
        {"labels by name",
         query<smartx::Label>(
             [&](auto& v, Error* e) { return c.query_labels_by_name_contains("e", v, e); }),
         {{"get-labels", obj({{"key_not_starts_with", NOT_SYSTEM}, {"key_contains", Value("e")}})}},
         {"env", "owner", "tier"}},
        {"data stores",
         query<smartx::Data_Storage>(
             [&](auto& v, Error* e) { return c.query_data_storages(v, e); }),
         {{"get-data-stores", NO_WHERE}},
         {"zbs-iscsi-datastore-1626837482313", "nfs-share-a", "zbs-iscsi-datastore-1626837499001"}},
        {"data stores of a datacenter",
         query<smartx::Data_Storage>(
             [&](auto& v, Error* e) { return c.query_data_storages_in_datacenter(dc, v, e); }),
         {{"get-datacenters", obj({{"id", Value(dc)}})},
          {"get-clusters", obj({{"id_in", both_clusters}})},
          {"get-data-stores", obj({{"cluster", obj({{"id_in", both_clusters}})}})}},
         {"zbs-iscsi-datastore-1626837482313", "nfs-share-a", "zbs-iscsi-datastore-1626837499001"}},
        {"data stores by name",
         query<smartx::Data_Storage>([&](auto& v, Error* e) {
             return c.query_data_storages_by_name_contains("nfs", v, e);
         }),
         {{"get-data-stores", obj({{"name_contains", Value("nfs")}})}},
         {"nfs-share-a"}},
        {"VM VLANs",
         query<smartx::VLAN>([&](auto& v, Error* e) { return c.query_vm_vlans(v, e); }),
         {{"get-vlans", obj({{"type", Value("VM")}, {"name_not_contains", Value("internal")}})}},
         {"default", "vm-vlan-100", "default"}},
    });
}

TEST_F(Query_Ops_Test, VmVdsIsOnlyAVmSwitchThatIsNotInternal) {
    struct Vds_Case {
        std::string id;
        size_t found;
    };
    const Array vdses = ct_test::read_fixture("vdses.json").get_array();
    // vds-vm, vds-mgmt (MANAGEMENT), vds-internal (internal).
    for (const Vds_Case& v :
         {Vds_Case{ct_test::str(vdses[0], "id"), 1}, Vds_Case{ct_test::str(vdses[1], "id"), 0},
          Vds_Case{ct_test::str(vdses[2], "id"), 0}}) {
        SCOPED_TRACE(v.id);
        server_->clear_requests();
        std::vector<smartx::VDS> found;
        ASSERT_TRUE(client_.query_vm_vds(v.id, found, &error_)) << error_.message;
        ASSERT_EQ(v.found, found.size());
        if (v.found) {
            EXPECT_EQ(v.id, found[0].id);
        }
        expect_calls(
            {{"get-vdses",
              obj({{"type", Value("VM")}, {"internal", Value(false)}, {"id", Value(v.id)}})}});
    }
}

// One record by a key: its request and the record it gives.
TEST_F(Query_Ops_Test, SingleRecords) {
    struct One {
        std::string what;
        One_Query run;
        std::string path;
        Value where;
        std::string want_id;
    };
    auto& c = client_;
    const Object lun_snapshot =
        ct_test::fixture_record("iscsi_lun_snapshots", "4cf9444e-1a4d-5c9c-9672-d694d31c1956");
    const Object volume = ct_test::fixture_record("vm_volumes", "db-01-data");
    const Array disks = ct_test::read_fixture("vm_disks.json").get_array();
    const Array luns = ct_test::read_fixture("iscsi_luns.json").get_array();
    const Array tasks = ct_test::read_fixture("tasks.json").get_array();
    const Array policies = ct_test::read_fixture("elf_storage_policies.json").get_array();
    const std::string disk_id = ct_test::str(disks[3], "id");
    const std::string serial = ct_test::str(disks[3], "serial");
    const std::string lun_id = ct_test::str(luns[0], "id");
    const std::string task_id = ct_test::str(tasks[1], "id");
    const std::string policy_uuid = ct_test::str(policies[1], "local_id");

    const std::vector<One> cases = {
        {"datacenter", single<smartx::Datacenter>([&](auto& item, Error* e) {
             return c.query_datacenter(id("datacenters", "dc-hangzhou"), item, e);
         }),
         "get-datacenters", id_is("datacenters", "dc-hangzhou"), id("datacenters", "dc-hangzhou")},
        {"cluster", single<smartx::Cluster>([&](auto& item, Error* e) {
             return c.query_cluster(id("clusters", "cluster-hz-02"), item, e);
         }),
         "get-clusters", id_is("clusters", "cluster-hz-02"), id("clusters", "cluster-hz-02")},
        {"host", single<smartx::Host>([&](auto& item, Error* e) {
             return c.query_host(id("hosts", "node-hz02-01"), item, e);
         }),
         "get-hosts", id_is("hosts", "node-hz02-01"), id("hosts", "node-hz02-01")},
        {"LUN", single<smartx::ISCSI_LUN>([&](auto& item, Error* e) {
             return c.query_iscsi_lun(lun_id, item, e);
         }),
         "get-iscsi-luns", obj({{"id", Value(lun_id)}}), lun_id},
        {"LUN snapshot by name", single<smartx::ISCSI_LUN_Snapshot>([&](auto& item, Error* e) {
             return c.query_iscsi_lun_snapshot(ct_test::str(lun_snapshot, "name"), item, e);
         }),
         "get-iscsi-lun-snapshots", obj({{"name", Value(ct_test::str(lun_snapshot, "name"))}}),
         ct_test::str(lun_snapshot, "id")},
        {"volume", single<smartx::VM_Volume>([&](auto& item, Error* e) {
             return c.query_vm_volume(ct_test::str(volume, "id"), item, e);
         }),
         "get-vm-volumes", obj({{"id", Value(ct_test::str(volume, "id"))}}),
         ct_test::str(volume, "id")},
        {"volume by local id", single<smartx::VM_Volume>([&](auto& item, Error* e) {
             return c.query_vm_volume_by_local_id(ct_test::str(volume, "local_id"), item, e);
         }),
         "get-vm-volumes", obj({{"local_id", Value(ct_test::str(volume, "local_id"))}}),
         ct_test::str(volume, "id")},
        {"volume snapshot", single<smartx::VM_Volume_Snapshot>([&](auto& item, Error* e) {
             return c.query_vm_volume_snapshot(
                 id("vm_volume_snapshots", "db-01-data-before-upgrade"), item, e);
         }),
         "get-vm-volume-snapshots", id_is("vm_volume_snapshots", "db-01-data-before-upgrade"),
         id("vm_volume_snapshots", "db-01-data-before-upgrade")},
        {"disk", single<smartx::VM_Disk>([&](auto& item, Error* e) {
             return c.query_vm_disk(disk_id, item, e);
         }),
         "get-vm-disks", obj({{"id", Value(disk_id)}}), disk_id},
        {"disk by serial", single<smartx::VM_Disk>([&](auto& item, Error* e) {
             return c.query_vm_disk_by_serial(serial, item, e);
         }),
         "get-vm-disks", obj({{"serial", Value(serial)}}), disk_id},
        {"task",
         single<smartx::Task>([&](auto& item, Error* e) { return c.query_task(task_id, item, e); }),
         "get-tasks", obj({{"id", Value(task_id)}}), task_id},
        {"storage policy", single<smartx::Storage_Policy>([&](auto& item, Error* e) {
             return c.query_storage_policy_by_uuid_contains(policy_uuid.substr(0, 8), item, e);
         }),
         "get-elf-storage-policies", obj({{"local_id_contains", Value(policy_uuid.substr(0, 8))}}),
         ct_test::str(policies[1], "id")},
    };
    for (const One& o : cases) {
        SCOPED_TRACE(o.what);
        server_->clear_requests();
        Error error;
        std::string found;
        ASSERT_TRUE(o.run(&error, found)) << error.message;
        EXPECT_EQ(o.want_id, found);
        expect_calls({{o.path, o.where}});
        EXPECT_EQ(parse(R"({"where": )" + json_spirit::write(o.where) + "}"), bodies().at(0))
            << "no paging keys";
    }
}

TEST_F(Query_Ops_Test, MissingRecordsAreNotFound) {
    smartx::Cluster cluster;
    EXPECT_FALSE(client_.query_cluster("no-such-cluster", cluster, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("not found.", error_.message);

    // The answer that no VM has the name.
    error_.clear();
    std::string vm_id = "unchanged";
    EXPECT_FALSE(client_.is_vm_exist("no-such-vm", vm_id, &error_));
    EXPECT_EQ("not found.", error_.message);
    EXPECT_EQ("unchanged", vm_id);
    EXPECT_EQ(parse(R"({"where": {"name": "no-such-vm"}})"), bodies().back());

    // A datacenter that is not there ends its cluster list before it is asked for.
    error_.clear();
    server_->clear_requests();
    std::vector<smartx::VM> vms;
    EXPECT_FALSE(client_.query_vms_in_datacenter("no-such-datacenter", vms, &error_));
    EXPECT_EQ("not found.", error_.message);
    EXPECT_EQ(std::vector<std::string>({"POST /v2/api/get-datacenters"}), calls());
}

TEST_F(Query_Ops_Test, EmptyKeysThatWouldMatchAnythingAreRefusedUnsent) {
    smartx::Storage_Policy policy;
    EXPECT_FALSE(client_.query_storage_policy_by_uuid_contains("", policy, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());

    error_.clear();
    smartx::VM_Disk disk;
    EXPECT_FALSE(client_.query_vm_disk_by_serial("", disk, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());
    EXPECT_TRUE(calls().empty());

    // Without a record the refusal is logged.
    Log_Capture log;
    EXPECT_FALSE(client_.query_vm_disk_by_serial("", disk, nullptr));
    EXPECT_EQ(1u, log.lines().size());
}

TEST_F(Query_Ops_Test, DatacenterWithoutClustersSendsEmptyIdLists) {
    Object dc = ct_test::fixture_record("datacenters", "dc-hangzhou");
    dc["id"] = "dc-empty";
    dc["name"] = "dc-empty";
    dc["clusters"] = Array();
    ASSERT_TRUE(server_->put_records("datacenters", Array{Value(dc)}));
    server_->clear_requests();

    std::vector<smartx::Cluster> clusters;
    ASSERT_TRUE(client_.query_clusters_in_datacenter("dc-empty", clusters, &error_))
        << error_.message;
    EXPECT_TRUE(clusters.empty());
    std::vector<smartx::VM> vms;
    ASSERT_TRUE(client_.query_vms_in_datacenter("dc-empty", vms, &error_)) << error_.message;
    EXPECT_TRUE(vms.empty());
    std::vector<smartx::Data_Storage> storages;
    ASSERT_TRUE(client_.query_data_storages_in_datacenter("dc-empty", storages, &error_))
        << error_.message;
    EXPECT_TRUE(storages.empty());

    const Value none = arr({});
    expect_calls(
        {{"get-datacenters", obj({{"id", Value("dc-empty")}})},
         {"get-clusters", obj({{"id_in", none}})},
         {"get-datacenters", obj({{"id", Value("dc-empty")}})},
         {"get-clusters", obj({{"id_in", none}})},
         {"get-vms", obj({{"name_not", NOT_CLOUDTOWER}, {"cluster", obj({{"id_in", none}})}})},
         {"get-datacenters", obj({{"id", Value("dc-empty")}})},
         {"get-clusters", obj({{"id_in", none}})},
         {"get-data-stores", obj({{"cluster", obj({{"id_in", none}})}})}});
}

TEST_F(Query_Ops_Test, CurrentUserComesWithWholeRoles) {
    smartx::User user;
    ASSERT_TRUE(client_.query_current_user_info(user, &error_)) << error_.message;
    EXPECT_EQ("admin", user.username);
    ASSERT_EQ(1u, user.roles.size());
    EXPECT_EQ(id("user_roles", "Super administrator"), user.roles[0].id);
    EXPECT_EQ(smartx::Role::Preset::ROOT, user.roles[0].get_preset());
    EXPECT_EQ(
        std::vector<std::string>({"POST /v2/api/get-my-info", "POST /v2/api/get-user-role-nexts"}),
        calls());
    EXPECT_EQ(Value(Object()), bodies()[0]);
    EXPECT_EQ(obj({{"id_in", arr({Value(id("user_roles", "Super administrator"))})}}),
              ct_test::member(bodies()[1], "where"));
}

TEST_F(Query_Ops_Test, VmComesWithDisksVolumesNicsAndDevices) {
    smartx::VM vm;
    ASSERT_TRUE(client_.query_vm(id("vms", "web-01"), vm, &error_)) << error_.message;
    // Two volumes for the two disks; the CD-ROM has none; no USB device.
    EXPECT_EQ(
        std::vector<std::string>({"POST /v2/api/get-vms", "POST /v2/api/get-vm-disks",
                                  "POST /v2/api/get-vm-volumes", "POST /v2/api/get-vm-volumes",
                                  "POST /v2/api/get-vm-nics", "POST /v2/api/get-gpu-devices"}),
        calls());
    ASSERT_EQ(3u, vm.vm_disks.size());
    EXPECT_EQ("web-01-system", vm.vm_disks[0].vm_volume.name);
    EXPECT_EQ("web-01-data", vm.vm_disks[1].vm_volume.name);
    EXPECT_FALSE(vm.vm_disks[0].vm_volume.local_id.empty());
    EXPECT_EQ(smartx::VM_Disk_Type::CD_ROM, vm.vm_disks[2].get_type());
    EXPECT_TRUE(vm.vm_disks[2].vm_volume.id.empty());
    ASSERT_EQ(1u, vm.vm_nics.size());
    EXPECT_FALSE(vm.vm_nics[0].local_id.empty());
    ASSERT_EQ(1u, vm.gpu_devices.size());
    EXPECT_EQ("NVIDIA Tesla T4", vm.gpu_devices[0].name);

    server_->clear_requests();
    smartx::VM db;
    ASSERT_TRUE(client_.query_vm(id("vms", "db-01"), db, &error_)) << error_.message;
    EXPECT_EQ(1u, count_calls("POST /v2/api/get-usb-devices"));
    ASSERT_EQ(1u, db.usb_devices.size());
    EXPECT_EQ("SanDisk Cruzer Blade", db.usb_devices[0].name);
    EXPECT_EQ(2u, db.vm_nics.size());
}

TEST_F(Query_Ops_Test, VmWithOnlyACdRomAsksForNoVolume) {
    Object vm = ct_test::fixture_record("vms", "test-01");
    vm["id"] = "vm-cd-only";
    vm["name"] = "cd-only";
    Object cd;
    const Array disks = ct_test::read_fixture("vm_disks.json").get_array();
    for (const Value& d : disks)
        if (ct_test::str(d, "type") == "CD_ROM")
            cd = d.get_obj();
    cd["id"] = "disk-cd-only";
    cd["vm"] = obj({{"id", Value("vm-cd-only")}, {"name", Value("cd-only")}});
    ASSERT_TRUE(server_->put_records("vms", Array{Value(vm)}));
    ASSERT_TRUE(server_->put_records("vm_disks", Array{Value(cd)}));
    server_->clear_requests();

    smartx::VM found;
    ASSERT_TRUE(client_.query_vm("vm-cd-only", found, &error_)) << error_.message;
    ASSERT_EQ(1u, found.vm_disks.size());
    EXPECT_EQ(0u, count_calls("POST /v2/api/get-vm-volumes"));
}

TEST_F(Query_Ops_Test, FailedStepEndsTheVm) {
    server_->fail_path("get-vm-volumes", 500, "volume service down", 1);
    smartx::VM vm;
    EXPECT_FALSE(client_.query_vm(id("vms", "web-01"), vm, &error_));
    EXPECT_EQ(500, error_.status);
    EXPECT_EQ("volume service down", error_.message);
    // Nothing after the failed volume.
    EXPECT_EQ(std::vector<std::string>({"POST /v2/api/get-vms", "POST /v2/api/get-vm-disks",
                                        "POST /v2/api/get-vm-volumes"}),
              calls());

    // Without a record: logged once, and the client keeps no error.
    server_->clear_requests();
    server_->fail_path("get-vm-nics", 500, "nic service down", 1);
    Log_Capture log;
    EXPECT_FALSE(client_.query_vm(id("vms", "web-01"), vm, nullptr));
    size_t details = 0;
    for (const std::string& line : log.texts())
        details += line.find("nic service down") != std::string::npos;
    EXPECT_EQ(1u, details) << ::testing::PrintToString(log.texts());
    EXPECT_TRUE(client_.error_.empty());
    EXPECT_EQ(0u, count_calls("POST /v2/api/get-gpu-devices"));
}

TEST_F(Query_Ops_Test, VmSnapshotDisksGetTheirStoragePolicy) {
    smartx::VM_Snapshot snapshot;
    ASSERT_TRUE(
        client_.query_vm_snapshot(id("vm_snapshots", "web-01-daily-20240518"), snapshot, &error_))
        << error_.message;
    ASSERT_EQ(3u, snapshot.vm_disks.size());
    EXPECT_EQ("REPLICA_2_THIN_PROVISION", snapshot.vm_disks[0].vm_volume_storage_policy);
    EXPECT_EQ("REPLICA_2_THIN_PROVISION", snapshot.vm_disks[1].vm_volume_storage_policy);
    // The CD-ROM has no policy to look up.
    EXPECT_EQ("", snapshot.vm_disks[2].vm_volume_storage_policy);
    const Value contains =
        obj({{"local_id_contains", Value(snapshot.vm_disks[0].storage_policy_uuid)}});
    expect_calls({{"get-vm-snapshots", id_is("vm_snapshots", "web-01-daily-20240518")},
                  {"get-elf-storage-policies", contains},
                  {"get-elf-storage-policies", contains}});

    // A policy that is gone fails the snapshot.
    server_->clear_records("elf_storage_policies");
    error_.clear();
    EXPECT_FALSE(
        client_.query_vm_snapshot(id("vm_snapshots", "web-01-daily-20240518"), snapshot, &error_));
    EXPECT_EQ("not found.", error_.message);
}

TEST_F(Query_Ops_Test, LabelComesWithItsResources) {
    smartx::Label tier;
    ASSERT_TRUE(client_.query_label(id("labels", "tier"), tier, &error_)) << error_.message;
    EXPECT_EQ(std::vector<std::string>({"POST /v2/api/get-labels", "POST /v2/api/get-datacenters",
                                        "POST /v2/api/get-clusters", "POST /v2/api/get-hosts"}),
              calls());
    ASSERT_EQ(1u, tier.datacenters.size());
    EXPECT_EQ("dc-hangzhou", tier.datacenters[0].name);
    ASSERT_EQ(1u, tier.clusters.size());
    EXPECT_EQ("cluster-hz-01", tier.clusters[0].name);
    ASSERT_EQ(1u, tier.hosts.size());
    EXPECT_EQ("10.10.10.21", tier.hosts[0].data_ip);

    // The CloudTower VM carrying a label is not among its VMs.
    Object owner = ct_test::fixture_record("labels", "owner");
    owner["vms"] = arr(
        {obj({{"id", Value(id("vms", "app-b1"))}}), obj({{"id", Value(id("vms", "CloudTower"))}})});
    ASSERT_TRUE(server_->put_records("labels", Array{Value(owner)}));
    server_->clear_requests();
    smartx::Label label;
    ASSERT_TRUE(client_.query_label(id("labels", "owner"), label, &error_)) << error_.message;
    EXPECT_EQ(std::vector<std::string>({"app-b1"}), names_of(label.vms));
    ASSERT_EQ(1u, label.vm_volumes.size());
    EXPECT_EQ("app-b1-system", label.vm_volumes[0].name);
    EXPECT_EQ(std::vector<std::string>({"POST /v2/api/get-labels", "POST /v2/api/get-vms",
                                        "POST /v2/api/get-vm-volumes"}),
              calls());
    EXPECT_EQ(obj({{"name_not", NOT_CLOUDTOWER},
                   {"id_in", arr({Value(id("vms", "app-b1")), Value(id("vms", "CloudTower"))})}}),
              ct_test::member(bodies()[1], "where"));
}

}  // namespace
}  // namespace rest_test
