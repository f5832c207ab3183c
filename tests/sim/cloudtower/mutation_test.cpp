// Mutations: their tasks, their refusals, and what they change in the
// inventory and the volume store (the round trips through the module's
// client are in the REST tests).
#include "sim_test_support.h"

namespace ct_test {
namespace {

class MutationTest : public SimTest {
protected:
    // {"where": {"id"}, "data"}.
    static Object with_data(const std::string& id, const Value& data) {
        Object body = where_id(id);
        body["data"] = data;
        return body;
    }

    // The files of the volumes of a VM's disks (not its CD-ROMs).
    std::vector<std::string> disk_files(const Object& vm) {
        std::vector<std::string> files;
        for (const Value& d : member(vm, "vm_disks").get_array()) {
            Object disk = one("get-vm-disks", str(d, "id"));
            if (str(disk, "type") == "DISK")
                files.push_back(lun_file_of_volume(str(member(disk, "vm_volume"), "id")));
        }
        return files;
    }

    // The JSON text with every "$1" replaced by arg.
    static Value json_with(std::string text, const std::string& arg) {
        for (size_t at; (at = text.find("$1")) != std::string::npos;)
            text.replace(at, 2, arg);
        return parse(text);
    }

    const std::string cluster_a_ = fixture_id("clusters", "cluster-hz-01");
};

TEST_F(MutationTest, TaskGoesPendingExecutingThenSucceeds) {
    server_->set_task_timing({1, 2});
    const std::string id = fixture_id("vms", "test-01");
    Array answer = list("start-vm", where_id(id));
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ(id, str(member(answer[0], "data"), "id"));
    EXPECT_EQ(1u, server_->running_tasks());
    std::vector<std::string> seen;
    Object task;
    for (int poll = 0; poll < 4; ++poll) {
        task = one("get-tasks", str(answer[0], "task_id"));
        seen.push_back(str(task, "status"));
        // The VM changes only when the task has succeeded.
        EXPECT_EQ(poll == 3 ? "RUNNING" : "STOPPED", str(one("get-vms", id), "status"));
    }
    EXPECT_EQ(std::vector<std::string>({"PENDING", "EXECUTING", "EXECUTING", "SUCCESSED"}), seen);
    EXPECT_EQ(0u, server_->running_tasks());
    EXPECT_EQ(1, member(task, "progress").get_int());
    EXPECT_FALSE(str(task, "finished_at").empty());
    EXPECT_EQ(id, str(task, "resource_id"));
    EXPECT_EQ(cluster_a_, str(member(task, "cluster"), "id"));
    // A finished task stays as it ended.
    EXPECT_EQ(task, one("get-tasks", str(answer[0], "task_id")));
}

TEST_F(MutationTest, PowerRules) {
    const std::string web_id = fixture_id("vms", "web-01");
    const Object web = where_id(web_id);
    struct Row {
        const char* path;
        const char* ends;
        const char* vm_status;
    } rows[] = {{"suspend-vm", "SUCCESSED", "SUSPENDED"},
                {"start-vm", "FAILED", "SUSPENDED"},  // a suspended VM is resumed, not started
                {"resume-vm", "SUCCESSED", "RUNNING"},
                {"shutdown-vm", "SUCCESSED", "STOPPED"},
                {"restart-vm", "FAILED", "STOPPED"},
                {"poweroff-vm", "SUCCESSED", "STOPPED"},  // changes nothing and succeeds
                {"start-vm", "SUCCESSED", "RUNNING"},
                {"move-vm-to-recycle", "FAILED", "RUNNING"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        Object task;
        EXPECT_EQ(row.ends, run_one(row.path, web, &task));
        EXPECT_EQ(row.ends == std::string("FAILED"), !str(task, "error_message").empty());
        EXPECT_EQ(row.vm_status, str(one("get-vms", web_id), "status"));
    }
    // Cluster counts follow.
    EXPECT_EQ(3, member(one("get-clusters", cluster_a_), "running_vm_num").get_int());

    // In the recycle bin a VM does not start; the answer's data is the bare id.
    const std::string test = fixture_id("vms", "test-01");
    Array answer = list("move-vm-to-recycle", where_id(test));
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ(Value(Object{{"id", Value(test)}}), member(answer[0], "data"));
    EXPECT_EQ("FAILED", run_one("start-vm", where_id(test)));
}

TEST_F(MutationTest, RefusalsComeBeforeAnyTask) {
    const std::string volume = R"([{"elf_storage_policy": "REPLICA_2_THIN_PROVISION",
        "size": 1048576, "sharing": false, "cluster_id": "$1", "name": "v"}])";
    auto with = [&](std::string text, const std::string& from, const std::string& to) {
        return json_with(text.replace(text.find(from), from.size(), to), cluster_a_);
    };
    const std::string test = fixture_id("vms", "test-01");
    struct Row {
        const char* path;
        Value body;
    } rows[] = {
        {"start-vm", Object()},  // "where" is required
        {"create-vm-volume", with(volume, "\"v\"", "\"\"")},
        {"create-vm-volume", with(volume, "1048576", "0")},
        {"create-vm-volume", with(volume, "REPLICA_2_THIN_PROVISION", "REPLICA_9")},
        {"update-vm-disk", with_data(test, parse(R"({"vm_disk_id": "no-such-disk"})"))},
        {"update-vm-advanced-options", with_data(test, parse(R"({"video_type": "HOLOGRAM"})"))},
        {"add-labels-to-resources",
         with_data(fixture_id("labels", "owner"), parse(R"({"spaceships": {}})"))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + json_spirit::write(row.body));
        EXPECT_EQ(400, post(row.path, row.body).status);
    }
    EXPECT_EQ(0u, server_->running_tasks());
    EXPECT_EQ(200, post("create-vm-volume", json_with(volume, cluster_a_)).status);
}

TEST_F(MutationTest, VolumesAreMountedReleasedAndSwapped) {
    // A new VM with a new disk, the spare volume and a CD-ROM.
    const std::string spare = fixture_id("vm_volumes", "spare-volume-a");
    Object setting = json_with(R"({"vcpu": 4, "status": "STOPPED", "firmware": "BIOS", "ha": true,
        "memory": 4294967296, "cpu_cores": 2, "cpu_sockets": 2, "name": "web-01-restored",
        "vm_disks": {"mount_new_create_disks": [{"bus": "VIRTIO", "boot": 0, "vm_volume":
            {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 2147483648,
             "name": "restored-system"}}],
          "mount_disks": [{"vm_volume_id": "$1", "bus": "SCSI", "boot": 1}],
          "mount_cd_roms": [{"boot": 2, "elf_image_id": "image-1"}]}, "vm_nics": []})",
                               spare)
                         .get_obj();
    setting["folder_id"] = fixture_id("vm_folders", "testing");
    setting["cluster_id"] = cluster_a_;
    Array answer = list("create-vm", Array{setting});
    ASSERT_EQ(1u, answer.size());
    ASSERT_EQ("SUCCESSED", wait_task(str(answer[0], "task_id")).back());
    const std::string vm_id = str(member(answer[0], "data"), "id");
    Object vm = one("get-vms", vm_id);
    Array cds = list("get-vm-disks",
                     json_with(R"({"where": {"vm": {"id": "$1"}, "type": "CD_ROM"}})", vm_id));
    ASSERT_EQ(1u, cds.size());
    EXPECT_EQ("image-1", str(member(cds[0], "elf_image"), "id"));
    std::vector<std::string> files = disk_files(vm);
    ASSERT_EQ(2u, files.size());
    EXPECT_TRUE(file_exists(files[0]) && file_exists(files[1]));
    EXPECT_TRUE(member(one("get-vm-volumes", spare), "mounting").get_bool());
    EXPECT_EQ(1,
              member(one("get-vm-folders", str(member(vm, "folder"), "id")), "vm_num").get_int());
    // The mounted volume is taken now: a second VM cannot mount it.
    setting["name"] = "second";
    EXPECT_EQ(400, post("create-vm", Array{setting}).status);
    setting.erase("vm_disks");
    setting["cluster_id"] = "no-such-cluster";
    EXPECT_EQ(400, post("create-vm", Array{setting}).status);

    // Removing its disk releases the volume, which stays.
    Array on_spare =
        list("get-vm-disks", json_with(R"({"where": {"vm_volume": {"id": "$1"}}})", spare));
    ASSERT_EQ(1u, on_spare.size());
    Object remove{{"disk_ids", Value(Array{Value(str(on_spare[0], "id"))})}};
    EXPECT_EQ("SUCCESSED", run_one("remove-vm-disk", with_data(vm_id, remove)));
    EXPECT_FALSE(member(one("get-vm-volumes", spare), "mounting").get_bool());
    EXPECT_EQ(2u, member(one("get-vms", vm_id), "vm_disks").get_array().size());
    // A disk of another VM is refused.
    EXPECT_EQ("FAILED", run_one("remove-vm-disk", with_data(fixture_id("vms", "web-01"), remove)));

    // Swap test-01's disk onto it, as a restore into an existing VM does.
    const std::string test = fixture_id("vms", "test-01");
    Object system_disk =
        one("get-vm-disks", str(member(one("get-vms", test), "vm_disks").get_array()[0], "id"));
    Object swap{{"vm_disk_id", member(system_disk, "id")}, {"vm_volume_id", Value(spare)}};
    EXPECT_EQ("SUCCESSED", run_one("update-vm-disk", with_data(test, swap)));
    EXPECT_EQ(spare, str(member(one("get-vm-disks", str(system_disk, "id")), "vm_volume"), "id"));
    EXPECT_TRUE(member(one("get-vm-volumes", spare), "mounting").get_bool());
    EXPECT_FALSE(
        member(one("get-vm-volumes", str(member(system_disk, "vm_volume"), "id")), "mounting")
            .get_bool());
}

TEST_F(MutationTest, DeleteVmTakesItsOwnVolumesAndOptionallyItsSnapshots) {
    const std::string web = fixture_id("vms", "web-01");
    std::vector<std::string> files = disk_files(one("get-vms", web));
    std::vector<std::string> copies;
    const Object snapshot = fixture_record("vm_snapshots", "web-01-daily-20240518");
    for (const Value& fd : member(snapshot, "vm_disks").get_array()) {
        if (str(fd, "type") != "DISK")
            continue;
        Value q = json_with(R"({"where": {"name": "$1"}})", str(fd, "snapshot_local_id"));
        copies.push_back(
            server_->volume_path(str(list("get-iscsi-lun-snapshots", q)[0], "local_id")));
    }
    ASSERT_EQ(2u, files.size());
    ASSERT_EQ(2u, copies.size());
    EXPECT_TRUE(file_exists(copies[0]));
    EXPECT_EQ("SUCCESSED", run_one("poweroff-vm", where_id(web)));
    Object body = where_id(web);
    body["effect"] = parse(R"({"include_snapshots": true})");
    EXPECT_EQ("SUCCESSED", run_one("delete-vm", body));
    for (const auto& f : files)
        EXPECT_FALSE(file_exists(f)) << f;
    for (const auto& f : copies)
        EXPECT_FALSE(file_exists(f)) << f;
    EXPECT_EQ(0u, list("get-vm-snapshots", where_id(str(snapshot, "id"))).size());
    const Value of_web = json_with(R"({"where": {"vm": {"id": "$1"}}})", web);
    EXPECT_EQ(0u, list("get-vm-disks", of_web).size());
    EXPECT_EQ(0u, list("get-vm-nics", of_web).size());
    EXPECT_EQ(1, member(one("get-labels", fixture_id("labels", "env")), "vm_num").get_int());
    const std::string gpu = str(read_fixture("gpu_devices.json").get_array()[0], "id");
    EXPECT_EQ(0u, member(one("get-gpu-devices", gpu), "vms").get_array().size());

    // A shared volume outlives the VM; its own volume does not.
    const std::string shared = fixture_id("vm_volumes", "shared-quorum");
    body = where_id(fixture_id("vms", "win-b2"));
    body["effect"] = parse(R"({"include_snapshots": false})");
    EXPECT_EQ("SUCCESSED", run_one("delete-vm", body));
    EXPECT_EQ(1u, member(one("get-vm-volumes", shared), "vm_disks").get_array().size());
    EXPECT_TRUE(file_exists(lun_file_of_volume(shared)));
    EXPECT_EQ(0u,
              list("get-vm-volumes", where_id(fixture_id("vm_volumes", "win-b2-system"))).size());
}

}  // namespace
}  // namespace ct_test
