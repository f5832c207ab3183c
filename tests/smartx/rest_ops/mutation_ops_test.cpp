// Mutations against the simulated CloudTower: the body each one sends, the
// task it waits for, and what changed in the inventory and the volume store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "smartx/common/iscsi_lun.h"
#include "smartx/common/label.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"
#include "smartx/rest/rest_test_support.h"

namespace rest_test {
namespace {

using smartx::Error;

const std::string TASKS_CALL = "POST /v2/api/get-tasks";
const int64_t GIB = 1024 * 1024 * 1024;

bool write_at(const std::string& path, off_t offset, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return false;
    const bool done =
        ::pwrite(fd, data.data(), data.size(), offset) == static_cast<ssize_t>(data.size());
    ::close(fd);
    return done;
}

std::string read_at(const std::string& path, off_t offset, size_t length) {
    std::string data(length, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    const ssize_t n = ::pread(fd, &data[0], length, offset);
    ::close(fd);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
}

int64_t file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

class Mutation_Ops_Test : public Rest_Test {
protected:
    void SetUp() override {
        Rest_Test::SetUp();
        log_in();
    }

    static std::string id(const std::string& kind, const std::string& name) {
        return fixture_id(kind, name);
    }

    static Value where_id_body(const std::string& id) { return Value(ct_test::where_id(id)); }

    static Value delete_body(const std::string& id, bool include_snapshots) {
        Object body = ct_test::where_id(id);
        body["effect"] = Object{{"include_snapshots", Value(include_snapshots)}};
        return Value(body);
    }

    // {"where": {"id"}, "data"} of the update, disk and label mutations.
    static Value update_body(const std::string& id, const std::string& data) {
        Object body = ct_test::where_id(id);
        body["data"] = parse(data);
        return Value(body);
    }

    // The record as the simulator holds it now (empty when gone).
    Object record(const std::string& kind, const std::string& record_id) const {
        Object out;
        server_->record(kind, record_id, out);
        return out;
    }

    std::string vm_status(const std::string& vm_id) const {
        return ct_test::str(record("vms", vm_id), "status");
    }

    // The file holding a VM snapshot disk's frozen data.
    std::string frozen_disk_file(const smartx::VM_Snapshot::Snapshot_VM_Disk& disk) {
        smartx::ISCSI_LUN_Snapshot lun_snapshot;
        Error error;
        EXPECT_TRUE(client_.query_iscsi_lun_snapshot(disk.snapshot_local_id, lun_snapshot, &error))
            << error.message;
        return server_->volume_path(lun_snapshot.local_id);
    }

    // "POST /v2/api/<name>" for each name.
    static std::vector<std::string> posts(std::initializer_list<const char*> names) {
        std::vector<std::string> out;
        for (const char* n : names)
            out.push_back(std::string("POST /v2/api/") + n);
        return out;
    }

    Error error_;
};

// ---- snapshots ----

TEST_F(Mutation_Ops_Test, VmSnapshotFreezesTheVolumeFilesAndDeleteRemovesThem) {
    const std::string web = id("vms", "web-01");
    const std::string system_file = lun_file_of_volume(id("vm_volumes", "web-01-system"));
    const std::string data_file = lun_file_of_volume(id("vm_volumes", "web-01-data"));
    ASSERT_TRUE(write_at(system_file, 4096, "boot sector"));
    ASSERT_TRUE(write_at(data_file, 3 * GIB, "table rows"));
    server_->clear_requests();

    smartx::VM_Snapshot snapshot;
    ASSERT_TRUE(client_.create_vm_snapshot("before-patch", web, snapshot, false, &error_))
        << error_.message;
    EXPECT_EQ(posts({"create-vm-snapshot", "get-tasks", "get-vm-snapshots",
                     "get-elf-storage-policies", "get-elf-storage-policies"}),
              calls());
    EXPECT_EQ(parse(R"({"data": [{"name": "before-patch", "vm_id": ")" + web +
                    R"(", "consistent_type": "CRASH_CONSISTENT"}]})"),
              bodies()[0]);
    EXPECT_EQ("before-patch", snapshot.name);
    EXPECT_EQ(web, snapshot.vm.id);
    EXPECT_EQ("CRASH_CONSISTENT", snapshot.consistent_type);
    ASSERT_EQ(3u, snapshot.vm_disks.size());
    EXPECT_EQ("REPLICA_2_THIN_PROVISION", snapshot.vm_disks[0].vm_volume_storage_policy);

    const std::string frozen_system = frozen_disk_file(snapshot.vm_disks[0]);
    const std::string frozen_data = frozen_disk_file(snapshot.vm_disks[1]);
    EXPECT_EQ("boot sector", read_at(frozen_system, 4096, 11));
    EXPECT_EQ("table rows", read_at(frozen_data, 3 * GIB, 10));
    EXPECT_EQ(file_size(data_file), file_size(frozen_data));
    // A copy: later writes to the volume leave it alone.
    ASSERT_TRUE(write_at(system_file, 4096, "BOOT SECTOR"));
    EXPECT_EQ("boot sector", read_at(frozen_system, 4096, 11));

    server_->clear_requests();
    ASSERT_TRUE(client_.delete_vm_snapshot(snapshot.id, &error_)) << error_.message;
    EXPECT_EQ(posts({"delete-vm-snapshot", "get-tasks"}), calls());
    EXPECT_EQ(where_id_body(snapshot.id), bodies()[0]);
    EXPECT_TRUE(record("vm_snapshots", snapshot.id).empty());
    EXPECT_FALSE(ct_test::file_exists(frozen_system));
    EXPECT_FALSE(ct_test::file_exists(frozen_data));
    EXPECT_TRUE(ct_test::file_exists(system_file));
}

TEST_F(Mutation_Ops_Test, QuiescedSnapshotAsksForFileSystemConsistency) {
    smartx::VM_Snapshot snapshot;
    ASSERT_TRUE(client_.create_vm_snapshot("quiet", id("vms", "web-01"), snapshot, true, &error_))
        << error_.message;
    EXPECT_EQ("FILE_SYSTEM_CONSISTENT",
              ct_test::str(bodies()[0].get_obj().at("data").get_array().at(0), "consistent_type"));
    EXPECT_EQ("FILE_SYSTEM_CONSISTENT", snapshot.consistent_type);

    // A VM without running tools is refused at once: no task to wait for.
    server_->clear_requests();
    EXPECT_FALSE(
        client_.create_vm_snapshot("quiet", id("vms", "test-01"), snapshot, true, &error_));
    EXPECT_EQ(400, error_.status);
    EXPECT_NE(std::string::npos, error_.message.find("VMTools")) << error_.message;
    EXPECT_EQ(posts({"create-vm-snapshot"}), calls());
}

TEST_F(Mutation_Ops_Test, SnapshotWhoseReadBackFailsIsLeftInPlace) {
    server_->fail_path("get-vm-snapshots", 503, "snapshot list unavailable", 1);
    smartx::VM_Snapshot snapshot;
    EXPECT_FALSE(
        client_.create_vm_snapshot("orphan", id("vms", "web-01"), snapshot, false, &error_));
    EXPECT_EQ(503, error_.status);
    EXPECT_EQ("snapshot list unavailable", error_.message);
    EXPECT_TRUE(snapshot.id.empty());
    size_t named = 0;
    for (const Value& s : server_->records("vm_snapshots"))
        named += ct_test::str(s, "name") == "orphan";
    EXPECT_EQ(1u, named);
}

TEST_F(Mutation_Ops_Test, VolumeSnapshotFreezesTheVolumeFile) {
    const std::string volume_id = id("vm_volumes", "db-01-data");
    const std::string volume_file = lun_file_of_volume(volume_id);
    ASSERT_TRUE(write_at(volume_file, GIB + 512, "ledger"));
    server_->clear_requests();

    smartx::VM_Volume_Snapshot snapshot;
    ASSERT_TRUE(client_.create_vm_volume_snapshot("ledger-copy", volume_id, snapshot, &error_))
        << error_.message;
    EXPECT_EQ(posts({"create-vm-volume-snapshot", "get-tasks", "get-vm-volume-snapshots"}),
              calls());
    EXPECT_EQ(parse(R"([{"volume_id": ")" + volume_id +
                    R"(", "description": "", "name": "ledger-copy"}])"),
              bodies()[0]);
    EXPECT_EQ("ledger-copy", snapshot.name);
    EXPECT_EQ(volume_id, snapshot.vm_volume.id);
    const std::string frozen = server_->volume_path(snapshot.zbs_snapshot_uuid);
    EXPECT_EQ("ledger", read_at(frozen, GIB + 512, 6));

    server_->clear_requests();
    ASSERT_TRUE(client_.delete_vm_volume_snapshot(snapshot.id, &error_)) << error_.message;
    EXPECT_EQ(where_id_body(snapshot.id), bodies()[0]);
    EXPECT_FALSE(ct_test::file_exists(frozen));
    EXPECT_TRUE(record("vm_volume_snapshots", snapshot.id).empty());
}

// ---- VMs ----

TEST_F(Mutation_Ops_Test, CreateVmSendsBasicSettingsThenAdvancedOptions) {
    smartx::VM source;
    ASSERT_TRUE(client_.query_vm(id("vms", "test-01"), source, &error_)) << error_.message;
    source.name = "test-01-copy";
    source.video_type = "VGA";
    source.cpu_model = "Skylake-Server";
    const smartx::VM_Setting setting(source, true);
    server_->clear_requests();

    std::string new_id;
    ASSERT_TRUE(client_.create_vm(source, new_id, &error_)) << error_.message;
    EXPECT_EQ(posts({"create-vm", "get-tasks", "update-vm-advanced-options", "get-tasks"}),
              calls());
    const std::vector<Value> sent = bodies();
    EXPECT_EQ(Value(Array{Value(setting.dump_basic_setting())}), sent[0]);
    const Object& basic = sent[0].get_array().at(0).get_obj();
    EXPECT_EQ("test-01-copy", basic.at("name").get_str());
    EXPECT_EQ(0u, basic.count("vm_advanced_options"));
    // The disks are created anew, not the source's volume mounted.
    EXPECT_EQ(1u, basic.at("vm_disks").get_obj().at("mount_new_create_disks").get_array().size());
    EXPECT_EQ(0u, basic.at("vm_disks").get_obj().count("mount_disks"));
    EXPECT_EQ(update_body(new_id, json_spirit::write(Value(setting.vm_advanced_options.dump()))),
              sent[2]);

    const Object vm = record("vms", new_id);
    EXPECT_EQ("test-01-copy", ct_test::str(vm, "name"));
    EXPECT_EQ("VGA", ct_test::str(vm, "video_type"));
    EXPECT_EQ("Skylake-Server", ct_test::str(vm, "cpu_model"));
    // Its new volume has a file of its own.
    smartx::VM created;
    ASSERT_TRUE(client_.query_vm(new_id, created, &error_)) << error_.message;
    ASSERT_EQ(1u, created.vm_disks.size());
    EXPECT_NE(source.vm_disks[0].vm_volume.id, created.vm_disks[0].vm_volume.id);
    EXPECT_EQ(source.vm_disks[0].vm_volume.size,
              file_size(lun_file_of_volume(created.vm_disks[0].vm_volume.id)));
}

TEST_F(Mutation_Ops_Test, CreateVmWhoseAdvancedOptionsFailKeepsTheVmAndNoId) {
    smartx::VM source;
    ASSERT_TRUE(client_.query_vm(id("vms", "test-01"), source, &error_)) << error_.message;
    struct Fault {
        std::function<void()> arm;
        int status;
        std::string message;
    };
    int round = 0;
    for (const Fault& fault : {
             Fault{[&] {
                       server_->fail_path("update-vm-advanced-options", 500, "options refused", 1);
                   },
                   500, "options refused"},
             Fault{[&] {
                       server_->fail_tasks("update-vm-advanced-options", "options task failed", 1);
                   },
                   -1, "options task failed"},
         }) {
        SCOPED_TRACE(fault.message);
        source.name = "half-made-" + std::to_string(round++);
        fault.arm();
        error_.clear();
        std::string new_id = "unchanged";
        EXPECT_FALSE(client_.create_vm(source, new_id, &error_));
        EXPECT_EQ(fault.status, error_.status);
        EXPECT_EQ(fault.message, error_.message);
        EXPECT_EQ("unchanged", new_id);
        std::string found;
        EXPECT_TRUE(client_.is_vm_exist(source.name, found, &error_)) << "nothing is rolled back";
    }
}

TEST_F(Mutation_Ops_Test, CreateVmWhoseTaskFailsGoesNoFurther) {
    smartx::VM source;
    ASSERT_TRUE(client_.query_vm(id("vms", "test-01"), source, &error_)) << error_.message;
    source.name = "never-made";
    server_->fail_tasks("create-vm", "not enough memory on the cluster", 1);
    server_->clear_requests();
    std::string new_id;
    EXPECT_FALSE(client_.create_vm(source, new_id, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("not enough memory on the cluster", error_.message);
    EXPECT_EQ(posts({"create-vm", "get-tasks"}), calls());
    EXPECT_TRUE(new_id.empty());
    std::string found;
    EXPECT_FALSE(client_.is_vm_exist("never-made", found, &error_));
}

TEST_F(Mutation_Ops_Test, UpdateVmInfoSendsBasicThenAdvanced) {
    const std::string vm_id = id("vms", "test-01");
    smartx::VM_Update_Setting setting;
    setting.name = "test-01-renamed";
    setting.memory = 2 * GIB;
    setting.vm_advanced_options.video_type = "QXL";
    setting.vm_advanced_options.windows_optimize = false;
    ASSERT_TRUE(client_.update_vm_info(vm_id, setting, &error_)) << error_.message;
    EXPECT_EQ(
        posts({"update-vm-basic-info", "get-tasks", "update-vm-advanced-options", "get-tasks"}),
        calls());
    EXPECT_EQ(update_body(vm_id, json_spirit::write(Value(setting.dump()))), bodies()[0]);
    EXPECT_EQ(update_body(vm_id, R"({"windows_optimize": false, "video_type": "QXL"})"),
              bodies()[2]);
    const Object vm = record("vms", vm_id);
    EXPECT_EQ("test-01-renamed", ct_test::str(vm, "name"));
    EXPECT_EQ(2 * GIB, vm.at("memory").get_int64());
    EXPECT_EQ("QXL", ct_test::str(vm, "video_type"));

    // A refused first step sends no second one.
    server_->clear_requests();
    server_->fail_path("update-vm-basic-info", 400, "name taken", 1);
    EXPECT_FALSE(client_.update_vm_info(vm_id, setting, &error_));
    EXPECT_EQ("name taken", error_.message);
    EXPECT_EQ(posts({"update-vm-basic-info"}), calls());
}

TEST_F(Mutation_Ops_Test, DeleteVmRemovesItsVolumesAndATaskFailureIsReported) {
    const std::string test_vm = id("vms", "test-01");
    const std::string volume_file = lun_file_of_volume(id("vm_volumes", "test-01-system"));
    ASSERT_TRUE(ct_test::file_exists(volume_file));
    server_->clear_requests();
    ASSERT_TRUE(client_.delete_vm(test_vm, false, &error_)) << error_.message;
    EXPECT_EQ(posts({"delete-vm", "get-tasks"}), calls());
    EXPECT_EQ(delete_body(test_vm, false), bodies()[0]);
    EXPECT_TRUE(record("vms", test_vm).empty());
    EXPECT_FALSE(ct_test::file_exists(volume_file));

    // A running VM is not deleted: the task fails and says why.
    server_->clear_requests();
    const std::string web = id("vms", "web-01");
    EXPECT_FALSE(client_.delete_vm(web, true, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());
    EXPECT_EQ(delete_body(web, true), bodies()[0]);
    EXPECT_FALSE(record("vms", web).empty());

    // Without a record the task's message is logged.
    Log_Capture log;
    EXPECT_FALSE(client_.delete_vm(web, true, nullptr));
    EXPECT_TRUE(logged(log, "Failed to wait task finish, details: "))
        << ::testing::PrintToString(log.texts());
    EXPECT_TRUE(client_.error_.empty());
}

TEST_F(Mutation_Ops_Test, MutationOfNothingIsNotFound) {
    EXPECT_FALSE(client_.start_vm("no-such-vm", &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("not found.", error_.message);
    EXPECT_EQ(posts({"start-vm"}), calls());
}

TEST_F(Mutation_Ops_Test, PowerChangesReachTheVm) {
    struct Power {
        const char* path;
        std::function<bool(smartx::RESTful_Client&, const std::string&, Error*)> op;
        std::string vm;
        std::string status_after;
    };
    const std::string test_vm = id("vms", "test-01");
    const std::string web = id("vms", "web-01");
    using C = smartx::RESTful_Client;
    const std::vector<Power> cases = {
        Power{"start-vm", [](C& c, const std::string& vm, Error* e) { return c.start_vm(vm, e); },
              test_vm, "RUNNING"},
        Power{"poweroff-vm",
              [](C& c, const std::string& vm, Error* e) { return c.poweroff_vm(vm, e); }, test_vm,
              "STOPPED"},
        Power{"suspend-vm",
              [](C& c, const std::string& vm, Error* e) { return c.suspend_vm(vm, e); }, web,
              "SUSPENDED"},
        Power{"resume-vm", [](C& c, const std::string& vm, Error* e) { return c.resume_vm(vm, e); },
              web, "RUNNING"},
        Power{"restart-vm",
              [](C& c, const std::string& vm, Error* e) { return c.restart_vm(vm, e); }, web,
              "RUNNING"},
        Power{"force-restart-vm",
              [](C& c, const std::string& vm, Error* e) { return c.force_restart_vm(vm, e); }, web,
              "RUNNING"},
        Power{"shutdown-vm",
              [](C& c, const std::string& vm, Error* e) { return c.shutdown_vm(vm, e); }, web,
              "STOPPED"}};
    for (const Power& p : cases) {
        SCOPED_TRACE(p.path);
        server_->clear_requests();
        ASSERT_TRUE(p.op(client_, p.vm, &error_)) << error_.message;
        EXPECT_EQ(posts({p.path, "get-tasks"}), calls());
        EXPECT_EQ(where_id_body(p.vm), bodies()[0]);
        EXPECT_EQ(p.status_after, vm_status(p.vm));
    }
    // A stopped VM does not suspend.
    EXPECT_FALSE(client_.suspend_vm(web, &error_));
    EXPECT_EQ(-1, error_.status);
}

TEST_F(Mutation_Ops_Test, RecycleBinRoundTrip) {
    const std::string vm_id = id("vms", "test-01");
    ASSERT_TRUE(client_.move_vm_to_recycle_bin(vm_id, &error_)) << error_.message;
    EXPECT_EQ(posts({"move-vm-to-recycle", "get-tasks"}), calls());
    EXPECT_EQ(where_id_body(vm_id), bodies()[0]);
    EXPECT_TRUE(record("vms", vm_id).at("in_recycle_bin").get_bool());

    server_->clear_requests();
    ASSERT_TRUE(client_.recover_vm_from_recycle(vm_id, &error_)) << error_.message;
    EXPECT_EQ(posts({"recover-vm-from-recycle", "get-tasks"}), calls());
    EXPECT_EQ(where_id_body(vm_id), bodies()[0]);
    EXPECT_FALSE(record("vms", vm_id).at("in_recycle_bin").get_bool());
}

TEST_F(Mutation_Ops_Test, LabelIsAddedToVms) {
    const std::string label_id = id("labels", "env");
    const std::string vm_id = id("vms", "test-01");
    smartx::Label_Setting setting;
    setting.vms.resize(1);
    setting.vms[0].id = vm_id;
    ASSERT_TRUE(client_.add_label_to_resources(label_id, setting, &error_)) << error_.message;
    EXPECT_EQ(posts({"add-labels-to-resources", "get-tasks"}), calls());
    EXPECT_EQ(update_body(label_id, R"({"vms": {"id_in": [")" + vm_id + R"("]}})"), bodies()[0]);
    std::vector<std::string> vms;
    const Object label = record("labels", label_id);
    for (const Value& v : label.at("vms").get_array())
        vms.push_back(ct_test::str(v, "id"));
    EXPECT_NE(vms.end(), std::find(vms.begin(), vms.end(), vm_id));
}

// ---- volumes and disks ----

TEST_F(Mutation_Ops_Test, CreateVolumeWaitsForItsTask) {
    // Pending at the first poll: the volume exists only once the task has ended.
    server_->set_task_timing({1, 0});
    const std::string cluster = id("clusters", "cluster-hz-01");
    smartx::VM_Volume_Setting setting;
    setting.elf_storage_policy = "REPLICA_2_THIN_PROVISION";
    setting.size = GIB;
    setting.cluster_id = cluster;
    setting.name = "scratch";
    std::string volume_id;
    ASSERT_TRUE(client_.create_vm_volume(setting, volume_id, &error_)) << error_.message;
    EXPECT_EQ(posts({"create-vm-volume", "get-tasks", "get-tasks"}), calls());
    EXPECT_EQ(
        parse(
            R"([{"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 1073741824, "sharing": false,
                       "cluster_id": ")" +
            cluster + R"(", "name": "scratch"}])"),
        bodies()[0]);
    EXPECT_EQ("scratch", ct_test::str(record("vm_volumes", volume_id), "name"));
    EXPECT_EQ(GIB, file_size(lun_file_of_volume(volume_id)));

    // From a volume record: its policy, size, sharing and cluster.
    server_->set_task_timing({0, 0});
    smartx::VM_Volume spare;
    ASSERT_TRUE(client_.query_vm_volume(id("vm_volumes", "spare-volume-a"), spare, &error_))
        << error_.message;
    spare.name = "spare-copy";
    server_->clear_requests();
    std::string copy_id;
    ASSERT_TRUE(client_.create_vm_volume(spare, copy_id, &error_)) << error_.message;
    const Object body = bodies()[0].get_array().at(0).get_obj();
    EXPECT_EQ("spare-copy", body.at("name").get_str());
    EXPECT_EQ(spare.size, body.at("size").get_int64());
    EXPECT_EQ(spare.elf_storage_policy, body.at("elf_storage_policy").get_str());
    EXPECT_EQ(spare.size, file_size(lun_file_of_volume(copy_id)));
}

TEST_F(Mutation_Ops_Test, CreationAnsweredWithoutTaskOrIdFails) {
    smartx::VM_Volume_Setting setting;
    setting.elf_storage_policy = "REPLICA_2_THIN_PROVISION";
    setting.size = GIB;
    setting.cluster_id = id("clusters", "cluster-hz-01");
    setting.name = "ghost";
    std::string volume_id = "unchanged";

    server_->answer_raw("create-vm-volume", 200, "[]", "application/json", 1);
    EXPECT_FALSE(client_.create_vm_volume(setting, volume_id, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_EQ("Failed to send async task request.", error_.message);
    EXPECT_EQ(0u, count_calls(TASKS_CALL));

    // A task whose volume has no id leaves nothing to name.
    Value answers = ct_test::read_fixture("task_answers.json");
    Value answer = ct_test::member(answers, "create-vm-volume");
    Object task = answer.get_array().at(0).get_obj();
    Object data = task.at("data").get_obj();
    data["id"] = "";
    task["data"] = data;
    task["task_id"] = ct_test::str(ct_test::read_fixture("tasks.json").get_array().at(0), "id");
    server_->answer_raw("create-vm-volume", 200, json_spirit::write(Value(Array{Value(task)})),
                        "application/json", 1);
    error_.clear();
    EXPECT_FALSE(client_.create_vm_volume(setting, volume_id, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());
    EXPECT_EQ("unchanged", volume_id);
}

TEST_F(Mutation_Ops_Test, DeleteVolumeWithItsSnapshots) {
    const std::string volume_id = id("vm_volumes", "spare-volume-a");
    const std::string volume_file = lun_file_of_volume(volume_id);
    ASSERT_TRUE(ct_test::file_exists(volume_file));
    server_->clear_requests();
    ASSERT_TRUE(client_.delete_vm_volume(volume_id, true, &error_)) << error_.message;
    EXPECT_EQ(delete_body(volume_id, true), bodies()[0]);
    EXPECT_TRUE(record("vm_volumes", volume_id).empty());
    EXPECT_FALSE(ct_test::file_exists(volume_file));

    // A mounted volume stays.
    server_->clear_requests();
    const std::string mounted = id("vm_volumes", "test-01-system");
    EXPECT_FALSE(client_.delete_vm_volume(mounted, false, &error_));
    EXPECT_EQ(delete_body(mounted, false), bodies()[0]);
    EXPECT_FALSE(record("vm_volumes", mounted).empty());
}

TEST_F(Mutation_Ops_Test, DisksAreAddedUpdatedAndRemoved) {
    const std::string vm_id = id("vms", "test-01");
    const Object vm_record = ct_test::fixture_record("vms", "test-01");
    const Object system_disk =
        record("vm_disks",
               ct_test::str(vm_record.at("vm_disks").get_array().at(0), "id"));  // its one disk
    ASSERT_FALSE(ct_test::str(system_disk, "serial").empty());

    // Add: a new volume mounted on the VM.
    smartx::VM_Disk_Settings add;
    add.mount_new_create_disks.resize(1);
    add.mount_new_create_disks[0].vm_volume.elf_storage_policy = "REPLICA_2_THIN_PROVISION";
    add.mount_new_create_disks[0].vm_volume.size = 2 * GIB;
    add.mount_new_create_disks[0].vm_volume.name = "test-01-extra";
    add.mount_new_create_disks[0].bus = "VIRTIO";
    add.mount_new_create_disks[0].boot = 2;
    ASSERT_TRUE(client_.add_vm_disks(vm_id, add, &error_)) << error_.message;
    EXPECT_EQ(posts({"add-vm-disk", "get-tasks"}), calls());
    EXPECT_EQ(update_body(vm_id, R"({"vm_disks": {"mount_new_create_disks": [
                    {"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 2147483648,
                                   "name": "test-01-extra"},
                     "bus": "VIRTIO", "boot": 2}]}})"),
              bodies()[0]);
    smartx::VM vm;
    ASSERT_TRUE(client_.query_vm(vm_id, vm, &error_)) << error_.message;
    ASSERT_EQ(2u, vm.vm_disks.size());
    const smartx::VM_Disk& extra = vm.vm_disks[1];
    EXPECT_EQ("test-01-extra", extra.vm_volume.name);
    EXPECT_EQ(2 * GIB, file_size(lun_file_of_volume(extra.vm_volume.id)));

    // Update by serial: the disk is looked up and the caller's setting learns its id.
    server_->clear_requests();
    smartx::VM_Disk_Update_Setting update;
    update.vm_disk_serial = ct_test::str(system_disk, "serial");
    update.bus = "SCSI";
    ASSERT_TRUE(client_.update_vm_disk(vm_id, update, &error_)) << error_.message;
    EXPECT_EQ(ct_test::str(system_disk, "id"), update.vm_disk_id);
    EXPECT_EQ(posts({"get-vm-disks", "update-vm-disk", "get-tasks"}), calls());
    EXPECT_EQ(update_body(vm_id, R"({"vm_disk_id": ")" + ct_test::str(system_disk, "id") +
                                     R"(", "bus": "SCSI"})"),
              bodies()[1]);
    EXPECT_EQ("SCSI", ct_test::str(record("vm_disks", update.vm_disk_id), "bus"));

    // With an id there is no lookup, whatever the serial says.
    server_->clear_requests();
    update.vm_disk_serial = "no-such-serial";
    update.bus = "IDE";
    ASSERT_TRUE(client_.update_vm_disk(vm_id, update, &error_)) << error_.message;
    EXPECT_EQ(posts({"update-vm-disk", "get-tasks"}), calls());

    // Remove by serial.
    server_->clear_requests();
    ASSERT_TRUE(client_.remove_vm_disks_by_serials(vm_id, {extra.serial}, &error_))
        << error_.message;
    EXPECT_EQ(posts({"get-vm-disks", "remove-vm-disk", "get-tasks"}), calls());
    EXPECT_EQ(update_body(vm_id, R"({"disk_ids": [")" + extra.id + R"("]})"), bodies()[1]);
    EXPECT_TRUE(record("vm_disks", extra.id).empty());

    // An unknown serial sends nothing.
    server_->clear_requests();
    EXPECT_FALSE(client_.remove_vm_disks_by_serials(
        vm_id, {ct_test::str(system_disk, "serial"), "no-such-serial"}, &error_));
    EXPECT_EQ("not found.", error_.message);
    EXPECT_EQ(posts({"get-vm-disks", "get-vm-disks"}), calls());
    EXPECT_FALSE(record("vm_disks", ct_test::str(system_disk, "id")).empty());

    // An empty list still says so.
    server_->clear_requests();
    client_.remove_vm_disks(vm_id, {}, &error_);
    EXPECT_EQ(update_body(vm_id, R"({"disk_ids": []})"), bodies().at(0));
}

TEST_F(Mutation_Ops_Test, DiskUpdateWithoutIdOrSerialIsRefused) {
    smartx::VM_Disk_Update_Setting update;
    update.bus = "SCSI";
    EXPECT_FALSE(client_.update_vm_disk(id("vms", "web-01"), update, &error_));
    EXPECT_EQ(-1, error_.status);
    EXPECT_FALSE(error_.message.empty());
    EXPECT_TRUE(calls().empty());
}

}  // namespace
}  // namespace rest_test
