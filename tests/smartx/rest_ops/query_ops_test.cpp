// Inventory queries against the simulated CloudTower over the shared
// fixtures: what each query asks for, and what it gives back.
#include <functional>
#include <map>
#include <sstream>

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

using C = smartx::RESTful_Client;
using smartx::Error;
using Names = std::vector<std::string>;

std::string name_of(const smartx::Label& label) {
    return label.key;
}
template <class T>
std::string name_of(const T& item) {
    return item.name;
}

template <class T>
Names names_of(const std::vector<T>& items) {
    Names out;
    for (const T& item : items)
        out.push_back(name_of(item));
    return out;
}

Value obj(std::initializer_list<std::pair<const std::string, Value>> members) {
    return Value(Object(members));
}

// Runs one query: the names of the records of a list, the id of a single one.
using Query = std::function<bool(Names&, Error*)>;

struct Row {
    std::string what;
    Query run;
    std::string calls;  // as expect_requests takes them, of "where"
    std::string found;  // names or an id, space-separated; the message when it fails
    bool single;        // a single record: no paging keys
    bool fails;
};

Row row(std::string what, Query run, std::string calls, std::string found, bool single = false) {
    return Row{std::move(what), std::move(run), std::move(calls), std::move(found), single, false};
}

Row fails(std::string what, Query run, std::string calls, std::string message) {
    return Row{std::move(what), std::move(run), std::move(calls), std::move(message), true, true};
}

class QueryOpsTest : public RestTest {
protected:
    template <class T>
    Query list(bool (C::*query)(std::vector<T>&, Error*)) {
        return [this, query](Names& names, Error* e) {
            std::vector<T> items;
            const bool done = std::invoke(query, client_, items, e);
            names = names_of(items);
            return done;
        };
    }
    template <class T>
    Query list(bool (C::*query)(const std::string&, std::vector<T>&, Error*), std::string key) {
        return [this, query, key](Names& names, Error* e) {
            std::vector<T> items;
            const bool done = std::invoke(query, client_, fill(key), items, e);
            names = names_of(items);
            return done;
        };
    }
    template <class T>
    Query single(bool (C::*query)(const std::string&, T&, Error*), std::string key) {
        return [this, query, key](Names& names, Error* e) {
            T item;
            const bool done = std::invoke(query, client_, fill(key), item, e);
            names = {item.id};
            return done;
        };
    }

    // is_vm_exist: the id found; a failure leaves it alone.
    Query exists(std::string name) {
        return [this, name](Names& names, Error* e) {
            names = {"unchanged"};
            return client_.is_vm_exist(name, names[0], e) || names[0] != "unchanged";
        };
    }

    static std::string id(const std::string& kind, const std::string& name) {
        return fixture_id(kind, name);
    }

    void run_rows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.what);
            server_->clear_requests();
            Error error;
            Names found, want;
            EXPECT_EQ(!row.fails, row.run(found, &error)) << error.message;
            expect_requests(row.calls, "where");
            if (row.fails) {
                EXPECT_EQ(-1, error.status);
                EXPECT_EQ(row.found, error.message);
                continue;
            }
            EXPECT_TRUE(error.empty());
            std::istringstream in(fill(row.found));
            for (std::string name; in >> name;)
                want.push_back(name);
            EXPECT_EQ(want, found);
            const Value last = bodies().back();
            if (row.single) {
                EXPECT_EQ(1u, last.get_obj().size()) << "no paging keys";
            } else {
                EXPECT_EQ(Value(100), ct_test::member(last, "first"));
                EXPECT_EQ(Value(0), ct_test::member(last, "skip"));
            }
        }
    }

    void SetUp() override {
        RestTest::SetUp();
        ids_ = {
            {"$DC", id("datacenters", "dc-hangzhou")},
            {"$A", id("clusters", "cluster-hz-01")},
            {"$B", id("clusters", "cluster-hz-02")},
            {"$H12", id("hosts", "node-hz01-02")},
            {"$H21", id("hosts", "node-hz02-01")},
            {"$PROD", id("vm_folders", "production")},
            {"$VDS", id("vdses", "vds-vm")},
            {"$VSNAP", id("vm_volume_snapshots", "db-01-data-before-upgrade")},
            {"$VOL", id("vm_volumes", "db-01-data")},
            {"$TOWER", id("vms", "CloudTower")},
            {"$LOCAL",
             ct_test::str(ct_test::fixture_record("vm_volumes", "db-01-data"), "local_id")},
        };
    }
};

TEST_F(QueryOpsTest, QueriesSendTheirFiltersAndReadTheAnswers) {
    const Object lun_snapshot =
        ct_test::fixture_record("iscsi_lun_snapshots", "4cf9444e-1a4d-5c9c-9672-d694d31c1956");
    ids_["$SNAPNAME"] = ct_test::str(lun_snapshot, "name");
    ids_["$SNAPID"] = ct_test::str(lun_snapshot, "id");
    const Value disk = ct_test::read_fixture("vm_disks.json").get_array()[3];
    ids_["$DISK"] = ct_test::str(disk, "id");
    ids_["$SERIAL"] = ct_test::str(disk, "serial");
    ids_["$LUN"] = ct_test::str(ct_test::read_fixture("iscsi_luns.json").get_array()[0], "id");
    ids_["$TASK"] = ct_test::str(ct_test::read_fixture("tasks.json").get_array()[1], "id");
    const Value policy = ct_test::read_fixture("elf_storage_policies.json").get_array()[1];
    ids_["$POLICY"] = ct_test::str(policy, "id");
    ids_["$UUID"] = ct_test::str(policy, "local_id").substr(0, 8);

    const std::string of_dc =
        R"(get-datacenters {"id": "$DC"}; get-clusters {"id_in": ["$A", "$B"]}; )";
    const std::string vms = R"(get-vms {"name_not": "CloudTower", )";
    const std::string vds = R"(get-vdses {"type": "VM", "internal": false, "id": )";
    const std::string stores =
        "zbs-iscsi-datastore-1626837482313 nfs-share-a zbs-iscsi-datastore-1626837499001";
    const std::string all_vms = "web-01 db-01 test-01 old-01 app-b1 win-b2";
    const std::string not_system = R"(get-labels {"key_not_starts_with": "system.cloudtower/")";
    run_rows({
        row("datacenters", list(&C::query_datacenters), "get-datacenters null", "dc-hangzhou"),
        row("datacenters by name", list(&C::query_datacenters_by_name_contains, "hang"),
            R"(get-datacenters {"name_contains": "hang"})", "dc-hangzhou"),
        row("clusters", list(&C::query_clusters), "get-clusters null",
            "cluster-hz-01 cluster-hz-02"),
        row("clusters of a datacenter", list(&C::query_clusters_in_datacenter, "$DC"),
            of_dc.substr(0, of_dc.size() - 2), "cluster-hz-01 cluster-hz-02"),
        row("clusters by name", list(&C::query_clusters_by_name_contains, "hz-02"),
            R"(get-clusters {"name_contains": "hz-02"})", "cluster-hz-02"),
        row("hosts", list(&C::query_hosts), "get-hosts null",
            "node-hz01-01 node-hz01-02 node-hz02-01"),
        row("hosts of a cluster", list(&C::query_hosts_in_cluster, "$A"),
            R"(get-hosts {"cluster": {"id": "$A"}})", "node-hz01-01 node-hz01-02"),
        row("hosts by name", list(&C::query_hosts_by_name_contains, "hz02"),
            R"(get-hosts {"name_contains": "hz02"})", "node-hz02-01"),
        row("folders", list(&C::query_folders), "get-vm-folders null", "production testing apps"),
        row("folders of a cluster", list(&C::query_folders_in_cluster, "$A"),
            R"(get-vm-folders {"cluster": {"id": "$A"}})", "production testing"),
        row("folders by name", list(&C::query_folders_by_name_contains, "app"),
            R"(get-vm-folders {"name_contains": "app"})", "apps"),
        // The management VM (in cluster-hz-01, on node-hz01-02, in no folder,
        // its name holding "o") is never listed.
        row("vms", list(&C::query_vms), R"(get-vms {"name_not": "CloudTower"})", all_vms),
        row("vms of a datacenter", list(&C::query_vms_in_datacenter, "$DC"),
            of_dc + vms + R"("cluster": {"id_in": ["$A", "$B"]}})", all_vms),
        row("vms of a cluster", list(&C::query_vms_in_cluster, "$A"),
            vms + R"("cluster": {"id": "$A"}})", "web-01 db-01 test-01 old-01"),
        row("ungrouped vms of a cluster", list(&C::query_ungrouped_vms_in_cluster, "$A"),
            vms + R"("cluster": {"id": "$A"}})", "test-01 old-01"),
        row("vms on a host", list(&C::query_vms_in_host, "$H12"),
            vms + R"("host": {"id": "$H12"}})", "db-01"),
        row("vms in a folder", list(&C::query_vms_in_folder, "$PROD"),
            vms + R"("folder": {"id": "$PROD"}})", "web-01 db-01"),
        row("vms by name", list(&C::query_vms_by_name_contains, "o"),
            vms + R"("name_contains": "o"})", "old-01"),
        row("labels", list(&C::query_labels), not_system + "}", "env owner tier"),
        // The system label's key holds an "e" too.
        row("labels by name", list(&C::query_labels_by_name_contains, "e"),
            not_system + R"(, "key_contains": "e"})", "env owner tier"),
        row("data stores", list(&C::query_data_storages), "get-data-stores null", stores),
        row("data stores of a datacenter", list(&C::query_data_storages_in_datacenter, "$DC"),
            of_dc + R"(get-data-stores {"cluster": {"id_in": ["$A", "$B"]}})", stores),
        row("data stores by name", list(&C::query_data_storages_by_name_contains, "nfs"),
            R"(get-data-stores {"name_contains": "nfs"})", "nfs-share-a"),
        row("VM VLANs", list(&C::query_vm_vlans),
            R"(get-vlans {"type": "VM", "name_not_contains": "internal"})",
            "default vm-vlan-100 default"),
        // Only a VM switch that is not internal.
        row("VM switch", list(&C::query_vm_vds, "$VDS"), vds + R"("$VDS"})", "vds-vm"),

        row("datacenter", single(&C::query_datacenter, "$DC"), R"(get-datacenters {"id": "$DC"})",
            "$DC", true),
        row("cluster", single(&C::query_cluster, "$B"), R"(get-clusters {"id": "$B"})", "$B", true),
        row("host", single(&C::query_host, "$H21"), R"(get-hosts {"id": "$H21"})", "$H21", true),
        row("LUN", single(&C::query_iscsi_lun, "$LUN"), R"(get-iscsi-luns {"id": "$LUN"})", "$LUN",
            true),
        row("LUN snapshot by name", single(&C::query_iscsi_lun_snapshot, "$SNAPNAME"),
            R"(get-iscsi-lun-snapshots {"name": "$SNAPNAME"})", "$SNAPID", true),
        row("volume", single(&C::query_vm_volume, "$VOL"), R"(get-vm-volumes {"id": "$VOL"})",
            "$VOL", true),
        row("volume by local id", single(&C::query_vm_volume_by_local_id, "$LOCAL"),
            R"(get-vm-volumes {"local_id": "$LOCAL"})", "$VOL", true),
        row("volume snapshot", single(&C::query_vm_volume_snapshot, "$VSNAP"),
            R"(get-vm-volume-snapshots {"id": "$VSNAP"})", "$VSNAP", true),
        row("disk", single(&C::query_vm_disk, "$DISK"), R"(get-vm-disks {"id": "$DISK"})", "$DISK",
            true),
        row("disk by serial", single(&C::query_vm_disk_by_serial, "$SERIAL"),
            R"(get-vm-disks {"serial": "$SERIAL"})", "$DISK", true),
        row("task", single(&C::query_task, "$TASK"), R"(get-tasks {"id": "$TASK"})", "$TASK", true),
        row("storage policy", single(&C::query_storage_policy_by_uuid_contains, "$UUID"),
            R"(get-elf-storage-policies {"local_id_contains": "$UUID"})", "$POLICY", true),

        // The CloudTower VM is found by id and by name.
        row("VM by id", single(&C::query_vm, "$TOWER"),
            R"(get-vms {"id": "$TOWER"}; get-vm-disks; get-vm-volumes; get-vm-nics)", "$TOWER"),
        row("VM by name", exists("CloudTower"), R"(get-vms {"name": "CloudTower"})", "$TOWER",
            true),
        fails("no VM of the name", exists("nothing"), R"(get-vms {"name": "nothing"})",
              "not found."),
        fails("missing cluster", single(&C::query_cluster, "nothing"),
              R"(get-clusters {"id": "nothing"})", "not found."),
        // A datacenter that is not there ends its cluster list before it is asked for.
        fails("missing datacenter", list(&C::query_vms_in_datacenter, "nothing"),
              R"(get-datacenters {"id": "nothing"})", "not found."),
        // Empty keys would match anything: refused unsent.
        fails("empty uuid", single(&C::query_storage_policy_by_uuid_contains, ""), "",
              "Failed to query storage policy, details: the uuid is empty."),
        fails("empty serial", single(&C::query_vm_disk_by_serial, ""), "",
              "Failed to query VM disk by serial, details: the serial is empty."),
    });
}

TEST_F(QueryOpsTest, DatacenterWithoutClustersSendsEmptyIdLists) {
    Object dc = ct_test::fixture_record("datacenters", "dc-hangzhou");
    dc["id"] = "dc-empty";
    dc["clusters"] = Array();
    ASSERT_TRUE(server_->put_records("datacenters", Array{Value(dc)}));
    const std::string clusters =
        R"(get-datacenters {"id": "dc-empty"}; get-clusters {"id_in": []})";
    run_rows({
        row("clusters", list(&C::query_clusters_in_datacenter, "dc-empty"), clusters, ""),
        row("vms", list(&C::query_vms_in_datacenter, "dc-empty"),
            clusters + R"(; get-vms {"name_not": "CloudTower", "cluster": {"id_in": []}})", ""),
        row("data stores", list(&C::query_data_storages_in_datacenter, "dc-empty"),
            clusters + R"(; get-data-stores {"cluster": {"id_in": []}})", ""),
    });
}

TEST_F(QueryOpsTest, UngroupedVmsNeedAWholeFolderReference) {
    // The simulator keeps a reference's name in step with its target, so the
    // half references come in an answer of its own.
    Array answer;
    for (const char* name : {"web-01", "db-01", "test-01", "old-01"})
        answer.push_back(Value(ct_test::fixture_record("vms", name)));
    answer[0].get_obj()["folder"] = obj({{"id", Value(ids_["$PROD"])}, {"name", Value("")}});
    answer[1].get_obj()["folder"] = obj({{"id", Value("")}, {"name", Value("production")}});
    server_->answer_raw("get-vms", 200, json_spirit::write(Value(answer)), "application/json", 1);
    std::vector<smartx::VM> found;
    ASSERT_TRUE(
        client_.query_ungrouped_vms_in_cluster(id("clusters", "cluster-hz-01"), found, &error_))
        << error_.message;
    EXPECT_EQ(Names({"web-01", "db-01", "test-01", "old-01"}), names_of(found));
}

TEST_F(QueryOpsTest, CurrentUserComesWithWholeRoles) {
    smartx::User user;
    ASSERT_TRUE(client_.query_current_user_info(user, &error_)) << error_.message;
    EXPECT_EQ("admin", user.username);
    ASSERT_EQ(1u, user.roles.size());
    EXPECT_EQ(id("user_roles", "Super administrator"), user.roles[0].id);
    EXPECT_EQ(smartx::Role::Preset::ROOT, user.roles[0].get_preset());
    EXPECT_EQ(Value(Object()), bodies()[0]);
    ids_["$ROLE"] = user.roles[0].id;
    expect_requests(R"(get-my-info null; get-user-role-nexts {"id_in": ["$ROLE"]})", "where");
}

TEST_F(QueryOpsTest, VmComesWithDisksVolumesNicsAndDevices) {
    smartx::VM vm;
    ASSERT_TRUE(client_.query_vm(id("vms", "web-01"), vm, &error_)) << error_.message;
    // Two volumes for the two disks; the CD-ROM has none; no USB device.
    expect_requests(
        "get-vms; get-vm-disks; get-vm-volumes; get-vm-volumes; get-vm-nics; get-gpu-devices");
    ASSERT_EQ(3u, vm.vm_disks.size());
    EXPECT_EQ("web-01-system", vm.vm_disks[0].vm_volume.name);
    EXPECT_EQ("web-01-data", vm.vm_disks[1].vm_volume.name);
    EXPECT_FALSE(vm.vm_disks[0].vm_volume.local_id.empty());
    EXPECT_EQ(smartx::VM_Disk_Type::CD_ROM, vm.vm_disks[2].get_type());
    EXPECT_TRUE(vm.vm_disks[2].vm_volume.id.empty());
    ASSERT_EQ(1u, vm.vm_nics.size());
    EXPECT_FALSE(vm.vm_nics[0].local_id.empty());
    EXPECT_EQ(Names({"NVIDIA Tesla T4"}), names_of(vm.gpu_devices));

    server_->clear_requests();
    smartx::VM db;
    ASSERT_TRUE(client_.query_vm(id("vms", "db-01"), db, &error_)) << error_.message;
    expect_requests(
        "get-vms; get-vm-disks; get-vm-volumes; get-vm-volumes; get-vm-nics; get-usb-devices");
    EXPECT_EQ(Names({"SanDisk Cruzer Blade"}), names_of(db.usb_devices));
    EXPECT_EQ(2u, db.vm_nics.size());

    // A VM with only a CD-ROM asks for no volume.
    Object cd_only = ct_test::fixture_record("vms", "test-01");
    cd_only["id"] = "vm-cd-only";
    Object cd = ct_test::read_fixture("vm_disks.json").get_array()[2].get_obj();
    ASSERT_EQ("CD_ROM", ct_test::str(cd, "type"));
    cd["id"] = "disk-cd-only";
    cd["vm"] = obj({{"id", Value("vm-cd-only")}, {"name", Value("test-01")}});
    ASSERT_TRUE(server_->put_records("vms", Array{Value(cd_only)}));
    ASSERT_TRUE(server_->put_records("vm_disks", Array{Value(cd)}));
    server_->clear_requests();
    ASSERT_TRUE(client_.query_vm("vm-cd-only", vm, &error_)) << error_.message;
    ASSERT_EQ(1u, vm.vm_disks.size());
    expect_requests("get-vms; get-vm-disks");  // no volume
}

TEST_F(QueryOpsTest, FailedStepEndsTheVm) {
    server_->fail_path("get-vm-volumes", 500, "volume service down", 1);
    smartx::VM vm;
    EXPECT_FALSE(client_.query_vm(id("vms", "web-01"), vm, &error_));
    EXPECT_EQ(500, error_.status);
    EXPECT_EQ("volume service down", error_.message);
    // Nothing after the failed volume.
    expect_requests("get-vms; get-vm-disks; get-vm-volumes");

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
    expect_requests("get-vms; get-vm-disks; get-vm-volumes; get-vm-volumes; get-vm-nics");
}

TEST_F(QueryOpsTest, VmSnapshotDisksGetTheirStoragePolicy) {
    smartx::VM_Snapshot snapshot;
    const std::string snap_id = id("vm_snapshots", "web-01-daily-20240518");
    ASSERT_TRUE(client_.query_vm_snapshot(snap_id, snapshot, &error_)) << error_.message;
    ASSERT_EQ(3u, snapshot.vm_disks.size());
    EXPECT_EQ("REPLICA_2_THIN_PROVISION", snapshot.vm_disks[1].vm_volume_storage_policy);
    EXPECT_EQ("", snapshot.vm_disks[2].vm_volume_storage_policy);  // a CD-ROM has none
    ids_["$VMSNAP"] = snap_id;
    ids_["$UUID"] = snapshot.vm_disks[0].storage_policy_uuid;
    expect_requests(R"(get-vm-snapshots {"id": "$VMSNAP"};
        get-elf-storage-policies {"local_id_contains": "$UUID"};
        get-elf-storage-policies {"local_id_contains": "$UUID"})",
                    "where");
    // A policy that is gone fails the snapshot.
    server_->clear_records("elf_storage_policies");
    error_.clear();
    EXPECT_FALSE(client_.query_vm_snapshot(snap_id, snapshot, &error_));
    EXPECT_EQ("not found.", error_.message);
}

TEST_F(QueryOpsTest, LabelComesWithItsResources) {
    smartx::Label tier;
    ASSERT_TRUE(client_.query_label(id("labels", "tier"), tier, &error_)) << error_.message;
    expect_requests("get-labels; get-datacenters; get-clusters; get-hosts");
    EXPECT_EQ(Names({"dc-hangzhou"}), names_of(tier.datacenters));
    EXPECT_EQ(Names({"cluster-hz-01"}), names_of(tier.clusters));
    ASSERT_EQ(1u, tier.hosts.size());
    EXPECT_EQ("10.10.10.21", tier.hosts[0].data_ip);

    // The CloudTower VM carrying a label is not among its VMs.
    Object owner = ct_test::fixture_record("labels", "owner");
    ids_["$APP"] = id("vms", "app-b1");
    owner["vms"] = Array{obj({{"id", Value(ids_["$APP"])}}), obj({{"id", Value(ids_["$TOWER"])}})};
    ASSERT_TRUE(server_->put_records("labels", Array{Value(owner)}));
    server_->clear_requests();
    smartx::Label label;
    ASSERT_TRUE(client_.query_label(id("labels", "owner"), label, &error_)) << error_.message;
    EXPECT_EQ(Names({"app-b1"}), names_of(label.vms));
    EXPECT_EQ(Names({"app-b1-system"}), names_of(label.vm_volumes));
    expect_requests(R"(get-labels;
        get-vms {"name_not": "CloudTower", "id_in": ["$APP", "$TOWER"]}; get-vm-volumes)",
                    "where");
}

}  // namespace
}  // namespace rest_test
