// Mutations against the simulated CloudTower: the body each one sends, the
// task it waits for, and what changed in the inventory and the volume store.
#include <chrono>
#include <cstdlib>
#include <functional>

#include "smartx/common/label.h"
#include "smartx/common/task.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"
#include "smartx/rest/rest_test_support.h"

namespace rest_test {
namespace {

using smartx::Error;

const int64_t GIB = 1024 * 1024 * 1024;

class MutationOpsTest : public RestTest {
protected:
    void SetUp() override {
        RestTest::SetUp();
        ids_ = {{"$TEST", fixture_id("vms", "test-01")},
                {"$WEB", fixture_id("vms", "web-01")},
                {"$A", fixture_id("clusters", "cluster-hz-01")}};
    }

    // The record as the simulator holds it now (empty when gone).
    Object record(const std::string& kind, const std::string& id) const {
        Object out;
        server_->record(kind, id, out);
        return out;
    }

    smartx::VM_Volume_Setting volume_setting(const std::string& name) {
        smartx::VM_Volume_Setting setting;
        setting.elf_storage_policy = "REPLICA_2_THIN_PROVISION";
        setting.size = GIB;
        setting.cluster_id = ids_["$A"];
        setting.name = name;
        return setting;
    }
};

// What a snapshot holds is checked by the backups that read it back.
TEST_F(MutationOpsTest, SnapshotsAreMadeAndDeletedThroughTheirTasks) {
    smartx::VM_Snapshot snapshot;
    ASSERT_TRUE(client_.create_vm_snapshot("before-patch", ids_["$WEB"], snapshot, false, &error_))
        << error_.message;
    expect_requests(R"(create-vm-snapshot {"data": [{"name": "before-patch", "vm_id": "$WEB",
        "consistent_type": "CRASH_CONSISTENT"}]}; get-tasks; get-vm-snapshots;
        get-elf-storage-policies; get-elf-storage-policies)");
    EXPECT_EQ("CRASH_CONSISTENT", snapshot.consistent_type);
    ASSERT_EQ(3u, snapshot.vm_disks.size());
    EXPECT_EQ("REPLICA_2_THIN_PROVISION", snapshot.vm_disks[0].vm_volume_storage_policy);

    ASSERT_TRUE(client_.delete_vm_snapshot(snapshot.id, &error_)) << error_.message;
    EXPECT_TRUE(record("vm_snapshots", snapshot.id).empty());

    // A volume snapshot.
    ids_["$VOL"] = fixture_id("vm_volumes", "db-01-data");
    server_->clear_requests();
    smartx::VM_Volume_Snapshot copy;
    ASSERT_TRUE(client_.create_vm_volume_snapshot("ledger-copy", ids_["$VOL"], copy, &error_))
        << error_.message;
    expect_requests(R"(create-vm-volume-snapshot [{"volume_id": "$VOL", "description": "",
        "name": "ledger-copy"}]; get-tasks; get-vm-volume-snapshots)");
    EXPECT_EQ(ids_["$VOL"], copy.vm_volume.id);
    ASSERT_TRUE(client_.delete_vm_volume_snapshot(copy.id, &error_)) << error_.message;
    EXPECT_TRUE(record("vm_volume_snapshots", copy.id).empty());
}

TEST_F(MutationOpsTest, QuiescedSnapshotAsksForFileSystemConsistency) {
    smartx::VM_Snapshot snapshot;
    ASSERT_TRUE(client_.create_vm_snapshot("quiet", ids_["$WEB"], snapshot, true, &error_))
        << error_.message;
    EXPECT_EQ("FILE_SYSTEM_CONSISTENT",
              ct_test::str(bodies()[0].get_obj().at("data").get_array().at(0), "consistent_type"));
    EXPECT_EQ("FILE_SYSTEM_CONSISTENT", snapshot.consistent_type);

    // A VM without running tools is refused at once: no task to wait for.
    server_->clear_requests();
    EXPECT_FALSE(client_.create_vm_snapshot("quiet", ids_["$TEST"], snapshot, true, &error_));
    EXPECT_EQ(400, error_.status);
    EXPECT_NE(std::string::npos, error_.message.find("VMTools")) << error_.message;
    expect_requests("create-vm-snapshot");

    // A snapshot whose read-back fails is left in place.
    server_->fail_path("get-vm-snapshots", 503, "snapshot list unavailable", 1);
    smartx::VM_Snapshot orphan;
    EXPECT_FALSE(client_.create_vm_snapshot("orphan", ids_["$WEB"], orphan, false, &error_));
    EXPECT_EQ(503, error_.status);
    EXPECT_EQ("snapshot list unavailable", error_.message);
    EXPECT_TRUE(orphan.id.empty());
    EXPECT_EQ("orphan", ct_test::str(server_->records("vm_snapshots").back(), "name"));
}

TEST_F(MutationOpsTest, CreateVmSendsBasicSettingsThenAdvancedOptions) {
    smartx::VM source;
    ASSERT_TRUE(client_.query_vm(ids_["$TEST"], source, &error_)) << error_.message;
    source.name = "test-01-copy";
    source.video_type = "VGA";
    source.cpu_model = "Skylake-Server";
    const smartx::VM_Setting setting(source, true);
    server_->clear_requests();

    std::string new_id;
    ASSERT_TRUE(client_.create_vm(source, new_id, &error_)) << error_.message;
    ids_["$NEW"] = new_id;
    ids_["$OPTIONS"] = json_spirit::write(Value(setting.vm_advanced_options.dump()));
    expect_requests(R"(create-vm; get-tasks;
        update-vm-advanced-options {"where": {"id": "$NEW"}, "data": $OPTIONS}; get-tasks)");
    const Object basic = bodies()[0].get_array().at(0).get_obj();
    EXPECT_EQ(0u, basic.count("vm_advanced_options"));
    // The disks are created anew, not the source's volume mounted.
    EXPECT_EQ(1u, basic.at("vm_disks").get_obj().at("mount_new_create_disks").get_array().size());
    EXPECT_EQ(0u, basic.at("vm_disks").get_obj().count("mount_disks"));

    const Object vm = record("vms", new_id);
    EXPECT_EQ("test-01-copy", ct_test::str(vm, "name"));
    EXPECT_EQ("VGA", ct_test::str(vm, "video_type"));
    EXPECT_EQ("Skylake-Server", ct_test::str(vm, "cpu_model"));

    // Failures keep no id, and nothing is rolled back.
    struct Row {
        std::function<void()> arm;
        int status;
        std::string message;
        size_t requests;
        bool vm_made;
    } rows[] = {
        {[&] { server_->fail_tasks("create-vm", "not enough memory on the cluster", 1); }, -1,
         "not enough memory on the cluster", 2, false},
        {[&] { server_->fail_path("get-tasks", 503, "tasks unavailable", 1); }, 503,
         "tasks unavailable", 2, true},
        {[&] { server_->fail_path("update-vm-advanced-options", 500, "options refused", 1); }, 500,
         "options refused", 3, true},
        {[&] { server_->fail_tasks("update-vm-advanced-options", "options task failed", 1); }, -1,
         "options task failed", 4, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        source.name = "half-made-" + row.message;
        row.arm();
        server_->clear_requests();
        std::string unchanged = "unchanged";
        EXPECT_FALSE(client_.create_vm(source, unchanged, &error_));
        EXPECT_EQ(row.status, error_.status);
        EXPECT_EQ(row.message, error_.message);
        EXPECT_EQ("unchanged", unchanged);
        EXPECT_EQ(row.requests, server_->requests().size());
        EXPECT_EQ(row.vm_made, client_.is_vm_exist(source.name, unchanged, &error_));
    }
}

TEST_F(MutationOpsTest, UpdateVmInfoSendsBasicThenAdvanced) {
    smartx::VM_Update_Setting setting;
    setting.name = "test-01-renamed";
    setting.memory = 2 * GIB;
    setting.cpu_cores = 2;
    setting.cpu_sockets = 3;
    setting.vm_advanced_options.video_type = "QXL";
    setting.vm_advanced_options.clock_offset = "LOCALTIME";
    ASSERT_TRUE(client_.update_vm_info(ids_["$TEST"], setting, &error_)) << error_.message;
    ids_["$BASIC"] = json_spirit::write(Value(setting.dump()));
    expect_requests(R"(update-vm-basic-info {"where": {"id": "$TEST"}, "data": $BASIC}; get-tasks;
        update-vm-advanced-options {"where": {"id": "$TEST"}, "data": {"windows_optimize": true,
            "video_type": "QXL", "clock_offset": "LOCALTIME"}}; get-tasks)");
    const Object vm = record("vms", ids_["$TEST"]);
    EXPECT_EQ("test-01-renamed", ct_test::str(vm, "name"));
    EXPECT_EQ(6, vm.at("vcpu").get_int());

    // A refused first step sends no second one.
    server_->clear_requests();
    server_->fail_path("update-vm-basic-info", 400, "name taken", 1);
    EXPECT_FALSE(client_.update_vm_info(ids_["$TEST"], setting, &error_));
    EXPECT_EQ("name taken", error_.message);
    expect_requests("update-vm-basic-info");
}

TEST_F(MutationOpsTest, VmMutationsByIdReachTheVm) {
    const std::string test = ids_["$TEST"], web = ids_["$WEB"];
    using C = smartx::RESTful_Client;
    struct Row {
        const char* path;
        bool (C::*op)(const std::string&, Error*);
        std::string id;
        std::string field;
        Value after;
    } rows[] = {
        {"start-vm", &C::start_vm, test, "status", Value("RUNNING")},
        {"poweroff-vm", &C::poweroff_vm, test, "status", Value("STOPPED")},
        {"suspend-vm", &C::suspend_vm, web, "status", Value("SUSPENDED")},
        {"resume-vm", &C::resume_vm, web, "status", Value("RUNNING")},
        {"restart-vm", &C::restart_vm, web, "status", Value("RUNNING")},
        {"force-restart-vm", &C::force_restart_vm, web, "status", Value("RUNNING")},
        {"shutdown-vm", &C::shutdown_vm, web, "status", Value("STOPPED")},
        {"move-vm-to-recycle", &C::move_vm_to_recycle_bin, test, "in_recycle_bin", Value(true)},
        {"recover-vm-from-recycle", &C::recover_vm_from_recycle, test, "in_recycle_bin",
         Value(false)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        server_->clear_requests();
        ASSERT_TRUE(std::invoke(row.op, client_, row.id, &error_)) << error_.message;
        ids_["$ID"] = row.id;
        expect_requests(std::string(row.path) + R"( {"where": {"id": "$ID"}}; get-tasks)");
        EXPECT_EQ(row.after, ct_test::member(record("vms", row.id), row.field));
    }
    // A stopped VM does not suspend; a VM that is not there is not found.
    EXPECT_FALSE(client_.suspend_vm(web, &error_));
    EXPECT_EQ(-1, error_.status);
    server_->clear_requests();
    EXPECT_FALSE(client_.start_vm("no-such-vm", &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("not found.", error_.message);
    expect_requests("start-vm");
}

TEST_F(MutationOpsTest, DeletionsTakeTheRecordsAndATaskFailureIsReported) {
    ids_["$SPARE"] = fixture_id("vm_volumes", "spare-volume-a");
    server_->clear_requests();
    ASSERT_TRUE(client_.delete_vm(ids_["$TEST"], false, &error_)) << error_.message;
    ASSERT_TRUE(client_.delete_vm_volume(ids_["$SPARE"], true, &error_)) << error_.message;
    expect_requests(R"(
        delete-vm {"where": {"id": "$TEST"}, "effect": {"include_snapshots": false}}; get-tasks;
        delete-vm-volume {"where": {"id": "$SPARE"}, "effect": {"include_snapshots": true}};
        get-tasks)");
    EXPECT_TRUE(record("vms", ids_["$TEST"]).empty());
    EXPECT_TRUE(record("vm_volumes", ids_["$SPARE"]).empty());

    // A running VM and a mounted volume stay: the task fails and says why.
    ids_["$MOUNTED"] = fixture_id("vm_volumes", "web-01-system");
    server_->clear_requests();
    EXPECT_FALSE(client_.delete_vm(ids_["$WEB"], true, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());
    EXPECT_FALSE(client_.delete_vm_volume(ids_["$MOUNTED"], false, &error_));
    expect_requests(R"(
        delete-vm {"where": {"id": "$WEB"}, "effect": {"include_snapshots": true}}; get-tasks;
        delete-vm-volume {"where": {"id": "$MOUNTED"}, "effect": {"include_snapshots": false}};
        get-tasks)");
    EXPECT_FALSE(record("vms", ids_["$WEB"]).empty());
    EXPECT_FALSE(record("vm_volumes", ids_["$MOUNTED"]).empty());

    // Without a record the task's message is logged.
    Log_Capture log;
    EXPECT_FALSE(client_.delete_vm(ids_["$WEB"], true, nullptr));
    EXPECT_TRUE(log.has("Failed to wait task finish, details: "))
        << ::testing::PrintToString(log.texts());
    EXPECT_TRUE(client_.error_.empty());
}

TEST_F(MutationOpsTest, LabelIsAddedToVms) {
    ids_["$ENV"] = fixture_id("labels", "env");
    smartx::Label_Setting setting;
    setting.vms.resize(1);
    setting.vms[0].id = ids_["$TEST"];
    ASSERT_TRUE(client_.add_label_to_resources(ids_["$ENV"], setting, &error_)) << error_.message;
    expect_requests(R"(add-labels-to-resources {"where": {"id": "$ENV"},
        "data": {"vms": {"id_in": ["$TEST"]}}}; get-tasks)");
}

TEST_F(MutationOpsTest, CreateVolumeWaitsForItsTask) {
    // Pending at the first poll: the volume exists only once the task has ended.
    server_->set_task_timing({1, 0});
    std::string volume_id;
    ASSERT_TRUE(client_.create_vm_volume(volume_setting("scratch"), volume_id, &error_))
        << error_.message;
    expect_requests(R"(create-vm-volume [{"elf_storage_policy": "REPLICA_2_THIN_PROVISION",
        "size": 1073741824, "sharing": false, "cluster_id": "$A", "name": "scratch"}];
        get-tasks; get-tasks)");
    EXPECT_EQ("scratch", ct_test::str(record("vm_volumes", volume_id), "name"));

    // From a volume record: its policy, size, sharing and cluster.
    server_->set_task_timing({0, 0});
    smartx::VM_Volume spare;
    ASSERT_TRUE(client_.query_vm_volume(fixture_id("vm_volumes", "spare-volume-a"), spare, &error_))
        << error_.message;
    spare.name = "spare-copy";
    server_->clear_requests();
    ASSERT_TRUE(client_.create_vm_volume(spare, volume_id, &error_)) << error_.message;
    const Object body = bodies()[0].get_array().at(0).get_obj();
    EXPECT_EQ("spare-copy", body.at("name").get_str());
    EXPECT_EQ(spare.size, body.at("size").get_int64());
    EXPECT_EQ(spare.elf_storage_policy, body.at("elf_storage_policy").get_str());

    // An answer without a task, or a task whose volume has no id, names nothing.
    std::string unchanged = "unchanged";
    server_->answer_raw("create-vm-volume", 200, "[]", "application/json", 1);
    EXPECT_FALSE(client_.create_vm_volume(volume_setting("ghost"), unchanged, &error_));
    EXPECT_EQ("Failed to send async task request.", error_.message);
    ids_["$TASK"] = ct_test::str(ct_test::read_fixture("tasks.json").get_array().at(0), "id");
    Object data = ct_test::fixture_record("vm_volumes", "spare-volume-a");
    data["id"] = "";
    ids_["$DATA"] = json_spirit::write(Value(data));
    server_->answer_raw("create-vm-volume", 200, fill(R"([{"task_id": "$TASK", "data": $DATA}])"),
                        "application/json", 1);
    EXPECT_FALSE(client_.create_vm_volume(volume_setting("ghost"), unchanged, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ(fill("Failed to create VM volume, details: task $TASK gives no id."), error_.message);
    EXPECT_EQ("unchanged", unchanged);
}

// A task that never ends is waited for until the bound of every wait, or
// until the stop check answers true; the new volume's id is told as soon as
// CloudTower has answered, and is what the task makes once it goes on.
TEST_F(MutationOpsTest, EndlessTasksEndAtTheBoundOrTheStopAndNameWhatTheyMakeFirst) {
    const struct {
        const char* name;
        bool stop;
        const char* message;
    } rows[] = {
        {"bounded", false, " did not end within 1 s."},
        {"stopped", true, "Stopped waiting for task "},
    };
    ::setenv("SMARTX_TASK_WAIT_SECONDS", "1", 1);
    // Without a bound the first wait would last an hour: it is cut at 20 s.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        server_->hold_tasks("create-vm-volume", 1);
        std::vector<std::string> told;
        client_.set_task_hook(
            [&told](smartx::Message::Type type, const std::string& id, const std::string& task) {
                told = {std::to_string(type), id, task};
            });
        client_.set_stop_check(
            [&] { return row.stop || std::chrono::steady_clock::now() > give_up; });
        std::string id;
        EXPECT_FALSE(client_.create_vm_volume(volume_setting(row.name), id, &error_));
        EXPECT_NE(error_.message.find(row.message), std::string::npos) << error_.message;
        EXPECT_TRUE(id.empty());
        ASSERT_EQ(told.size(), 3u);
        EXPECT_EQ(told[0], std::to_string(smartx::Message::CREATE_VM_VOLUME));
        EXPECT_TRUE(record("vm_volumes", told[1]).empty());

        server_->release_tasks();
        smartx::Task task;
        ASSERT_TRUE(client_.query_task(told[2], task, &error_)) << error_.message;
        EXPECT_EQ(task.status, "SUCCESSED");
        EXPECT_EQ(ct_test::str(record("vm_volumes", told[1]), "name"), row.name);
    }
    ::unsetenv("SMARTX_TASK_WAIT_SECONDS");
}

TEST_F(MutationOpsTest, DisksAreAddedUpdatedAndRemoved) {
    const Object system_disk =
        record("vm_disks",
               ct_test::str(record("vms", ids_["$TEST"]).at("vm_disks").get_array().at(0), "id"));
    ids_["$SYSTEM"] = ct_test::str(system_disk, "id");
    const std::string system_serial = ct_test::str(system_disk, "serial");
    ASSERT_FALSE(system_serial.empty());

    // Add: a new volume mounted on the VM.
    ids_["$DISKS"] = R"({"mount_new_create_disks": [{"vm_volume": {"elf_storage_policy":
        "REPLICA_2_THIN_PROVISION", "size": 2147483648, "name": "test-01-extra"},
        "bus": "VIRTIO", "boot": 2}]})";
    smartx::VM_Disk_Settings add;
    ASSERT_TRUE(add.load(parse(ids_["$DISKS"]).get_obj()));
    ASSERT_TRUE(client_.add_vm_disks(ids_["$TEST"], add, &error_)) << error_.message;
    expect_requests(
        R"(add-vm-disk {"where": {"id": "$TEST"}, "data": {"vm_disks": $DISKS}}; get-tasks)");
    smartx::VM vm;
    ASSERT_TRUE(client_.query_vm(ids_["$TEST"], vm, &error_)) << error_.message;
    ASSERT_EQ(2u, vm.vm_disks.size());
    const smartx::VM_Disk extra = vm.vm_disks[1];
    ids_["$EXTRA"] = extra.id;
    EXPECT_EQ("test-01-extra", extra.vm_volume.name);

    // Update by serial: the disk is looked up and the caller's setting learns its id.
    server_->clear_requests();
    smartx::VM_Disk_Update_Setting update;
    update.vm_disk_serial = system_serial;
    update.bus = "SCSI";
    ASSERT_TRUE(client_.update_vm_disk(ids_["$TEST"], update, &error_)) << error_.message;
    EXPECT_EQ(ids_["$SYSTEM"], update.vm_disk_id);
    expect_requests(R"(get-vm-disks;
        update-vm-disk {"where": {"id": "$TEST"}, "data": {"vm_disk_id": "$SYSTEM", "bus": "SCSI"}};
        get-tasks)");
    EXPECT_EQ("SCSI", ct_test::str(record("vm_disks", update.vm_disk_id), "bus"));

    // With an id there is no lookup, whatever the serial says; with neither, nothing is sent.
    server_->clear_requests();
    update.vm_disk_serial = "no-such-serial";
    ASSERT_TRUE(client_.update_vm_disk(ids_["$TEST"], update, &error_)) << error_.message;
    smartx::VM_Disk_Update_Setting neither;
    EXPECT_FALSE(client_.update_vm_disk(ids_["$TEST"], neither, &error_));
    EXPECT_EQ(-1, error_.status);
    expect_requests("update-vm-disk; get-tasks");

    // Remove by serial; an unknown serial sends nothing; an empty list still says so.
    server_->clear_requests();
    ASSERT_TRUE(client_.remove_vm_disks_by_serials(ids_["$TEST"], {extra.serial}, &error_))
        << error_.message;
    EXPECT_TRUE(record("vm_disks", extra.id).empty());
    EXPECT_FALSE(client_.remove_vm_disks_by_serials(ids_["$TEST"],
                                                    {system_serial, "no-such-serial"}, &error_));
    EXPECT_EQ("not found.", error_.message);
    EXPECT_FALSE(record("vm_disks", ids_["$SYSTEM"]).empty());
    client_.remove_vm_disks(ids_["$TEST"], {}, &error_);
    expect_requests(R"(get-vm-disks;
        remove-vm-disk {"where": {"id": "$TEST"}, "data": {"disk_ids": ["$EXTRA"]}}; get-tasks;
        get-vm-disks; get-vm-disks;
        remove-vm-disk {"where": {"id": "$TEST"}, "data": {"disk_ids": []}}; get-tasks)");
}

}  // namespace
}  // namespace rest_test
