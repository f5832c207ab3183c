// Mutations: their tasks, and what they change in the inventory and the
// volume store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim_test_support.h"

namespace ct_test {
namespace {

void write_at(const std::string& path, off_t offset, const std::string& data) {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(data.size()), ::pwrite(fd, data.data(), data.size(), offset));
    ::close(fd);
}

std::string read_at(const std::string& path, off_t offset, size_t len) {
    std::string out(len, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0)
        return std::string();
    ssize_t n = ::pread(fd, &out[0], len, offset);
    ::close(fd);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return st;
}

class Mutation_Test : public Sim_Test {
protected:
    std::string vm_id(const std::string& name) { return str(fixture_record("vms", name), "id"); }
    std::string cluster_a() { return str(fixture_record("clusters", "cluster-hz-01"), "id"); }

    Array ids_in(const std::string& kind_path, const std::string& where_json) {
        Object body;
        body["where"] = parse(where_json);
        return list(kind_path, body);
    }

    Value volume_setting(const std::string& name, int64_t size) {
        Object v;
        v["elf_storage_policy"] = "REPLICA_2_THIN_PROVISION";
        v["size"] = size;
        v["sharing"] = false;
        v["cluster_id"] = cluster_a();
        v["name"] = name;
        Array body;
        body.push_back(v);
        return body;
    }
};

TEST_F(Mutation_Test, TaskGoesPendingExecutingThenSucceeds) {
    server_->set_task_timing({1, 2});
    std::string id = vm_id("test-01");
    Array answer = list("start-vm", where_id(id));
    ASSERT_EQ(1u, answer.size());
    std::string task_id = str(answer[0], "task_id");
    EXPECT_EQ(id, str(member(answer[0], "data"), "id"));
    EXPECT_EQ(1u, server_->running_tasks());

    std::vector<std::string> seen;
    for (int poll = 0; poll < 4; ++poll) {
        Object task = one("get-tasks", task_id);
        seen.push_back(str(task, "status"));
        // The VM changes only when the task has succeeded.
        EXPECT_EQ(seen.back() == "SUCCESSED" ? "RUNNING" : "STOPPED",
                  str(one("get-vms", id), "status"));
        if (poll == 3) {
            EXPECT_EQ(1, member(task, "progress").get_int());
            EXPECT_FALSE(str(task, "finished_at").empty());
            EXPECT_EQ(id, str(task, "resource_id"));
            EXPECT_EQ(str(fixture_record("users", "Administrator"), "id"),
                      str(member(task, "user"), "id"));
            EXPECT_EQ(cluster_a(), str(member(task, "cluster"), "id"));
        }
    }
    EXPECT_EQ(std::vector<std::string>({"PENDING", "EXECUTING", "EXECUTING", "SUCCESSED"}), seen);
    EXPECT_EQ(0u, server_->running_tasks());
    // A finished task stays as it ended.
    EXPECT_EQ("SUCCESSED", str(one("get-tasks", task_id), "status"));
}

TEST_F(Mutation_Test, WithoutPollsATaskEndsBeforeTheAnswer) {
    std::string id = vm_id("test-01");
    Array answer = list("start-vm", where_id(id));
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ("RUNNING", str(one("get-vms", id), "status"));
    EXPECT_EQ("SUCCESSED", str(one("get-tasks", str(answer[0], "task_id")), "status"));
}

TEST_F(Mutation_Test, MutationsMatchingNothingStartNoTask) {
    EXPECT_EQ(0u, list("start-vm", where_id("no-such-vm")).size());
    EXPECT_EQ(0u, list("delete-vm-snapshot", where_id("no-such-snapshot")).size());
    EXPECT_EQ(400, post("start-vm", Object()).status);  // "where" is required
}

TEST_F(Mutation_Test, PowerRules) {
    std::string web = vm_id("web-01");
    EXPECT_EQ("SUCCESSED", run_one("suspend-vm", where_id(web)));
    EXPECT_EQ("SUSPENDED", str(one("get-vms", web), "status"));
    Object task;
    EXPECT_EQ("FAILED",
              run_one("start-vm", where_id(web), &task));  // a suspended VM is resumed, not started
    EXPECT_FALSE(str(task, "error_message").empty());
    EXPECT_EQ("SUCCESSED", run_one("resume-vm", where_id(web)));
    EXPECT_EQ("SUCCESSED", run_one("shutdown-vm", where_id(web)));
    EXPECT_EQ("STOPPED", str(one("get-vms", web), "status"));
    EXPECT_EQ("FAILED", run_one("restart-vm", where_id(web)));
    // Powering off a stopped VM changes nothing and succeeds.
    EXPECT_EQ("SUCCESSED", run_one("poweroff-vm", where_id(web)));
    EXPECT_EQ("SUCCESSED", run_one("start-vm", where_id(web)));
    EXPECT_EQ("SUCCESSED", run_one("force-restart-vm", where_id(web)));
    EXPECT_EQ("RUNNING", str(one("get-vms", web), "status"));

    // Cluster counts follow.
    Object cluster = one("get-clusters", cluster_a());
    EXPECT_EQ(3, member(cluster, "running_vm_num").get_int());
}

TEST_F(Mutation_Test, SnapshotCopiesVolumesAndLaterWritesDoNotReachTheCopy) {
    std::string web = vm_id("web-01");
    Object vm = one("get-vms", web);
    std::vector<std::string> live;
    for (const Value& d : member(vm, "vm_disks").get_array()) {
        Object disk = one("get-vm-disks", str(d, "id"));
        if (str(disk, "type") == "DISK")
            live.push_back(lun_file_of_volume(str(member(disk, "vm_volume"), "id")));
    }
    ASSERT_EQ(2u, live.size());
    const off_t far = (off_t(1) << 30) + 4096;
    write_at(live[0], 0, "boot sector");
    write_at(live[0], far, "far away");
    write_at(live[1], 8192, "data volume");

    Object setting;
    setting["name"] = "before-upgrade";
    setting["vm_id"] = web;
    setting["consistent_type"] = "FILE_SYSTEM_CONSISTENT";
    Array data;
    data.push_back(setting);
    Object body;
    body["data"] = data;
    Array answer = list("create-vm-snapshot", body);
    ASSERT_EQ(1u, answer.size());
    ASSERT_EQ("SUCCESSED", wait_task(str(answer[0], "task_id")).back());

    Object snapshot = one("get-vm-snapshots", str(member(answer[0], "data"), "id"));
    EXPECT_EQ("FILE_SYSTEM_CONSISTENT", str(snapshot, "consistent_type"));
    EXPECT_EQ(web, str(member(snapshot, "vm"), "id"));
    std::vector<std::string> copies;
    for (const Value& fd : member(snapshot, "vm_disks").get_array()) {
        if (str(fd, "type") != "DISK")
            continue;
        // The backup finds the ZBS snapshot through the LUN snapshot named by
        // the disk's snapshot_local_id, and the policy by its uuid.
        Object body_by_name;
        body_by_name["where"] = parse("{\"name\": \"" + str(fd, "snapshot_local_id") + "\"}");
        Array lun_snaps = list("get-iscsi-lun-snapshots", body_by_name);
        ASSERT_EQ(1u, lun_snaps.size());
        copies.push_back(server_->volume_path(str(lun_snaps[0], "local_id")));
        Object policy_query;
        policy_query["where"] =
            parse("{\"local_id_contains\": \"" + str(fd, "storage_policy_uuid") + "\"}");
        Array policies = list("get-elf-storage-policies", policy_query);
        ASSERT_EQ(1u, policies.size());
        EXPECT_EQ(2, member(policies[0], "replica_num").get_int());
        Object vol_query;
        vol_query["where"] = parse("{\"local_id\": \"" + str(fd, "vm_volume_local_id") + "\"}");
        EXPECT_EQ(1u, list("get-vm-volumes", vol_query).size());
    }
    ASSERT_EQ(2u, copies.size());
    EXPECT_EQ(stat_of(live[0]).st_size, stat_of(copies[0]).st_size);
    EXPECT_EQ("boot sector", read_at(copies[0], 0, 11));
    EXPECT_EQ("far away", read_at(copies[0], far, 8));
    EXPECT_EQ("data volume", read_at(copies[1], 8192, 11));
    // Holes stay holes: a 16 GiB volume with two small writes stays small.
    EXPECT_LT(stat_of(copies[0]).st_blocks * 512, 64 << 20);

    write_at(live[0], 0, "BOOT SECTOR");
    write_at(live[1], 8192, "DATA VOLUME");
    EXPECT_EQ("boot sector", read_at(copies[0], 0, 11));
    EXPECT_EQ("data volume", read_at(copies[1], 8192, 11));

    // The VM lists its snapshot; deleting the snapshot removes the copies.
    bool listed = false;
    Object vm_now = one("get-vms", web);
    for (const Value& s : member(vm_now, "snapshots").get_array())
        listed |= str(s, "id") == str(snapshot, "id");
    EXPECT_TRUE(listed);
    EXPECT_EQ("SUCCESSED", run_one("delete-vm-snapshot", where_id(str(snapshot, "id"))));
    EXPECT_FALSE(file_exists(copies[0]));
    EXPECT_FALSE(file_exists(copies[1]));
    EXPECT_EQ(0u, list("get-vm-snapshots", where_id(str(snapshot, "id"))).size());
    EXPECT_TRUE(file_exists(live[0]));
}

TEST_F(Mutation_Test, FileSystemConsistencyNeedsRunningVmTools) {
    Object setting;
    setting["name"] = "quiesced";
    setting["vm_id"] = vm_id("test-01");
    setting["consistent_type"] = "FILE_SYSTEM_CONSISTENT";
    Array data;
    data.push_back(setting);
    Object body;
    body["data"] = data;
    EXPECT_EQ(400, post("create-vm-snapshot", body).status);
    setting["consistent_type"] = "CRASH_CONSISTENT";
    data[0] = setting;
    body["data"] = data;
    EXPECT_EQ(200, post("create-vm-snapshot", body).status);
}

TEST_F(Mutation_Test, VolumeSnapshotCopiesItsVolume) {
    Object vol = fixture_record("vm_volumes", "spare-volume-a");
    std::string live = lun_file_of_volume(str(vol, "id"));
    write_at(live, 512, "spare");
    Object setting;
    setting["volume_id"] = str(vol, "id");
    setting["name"] = "spare-snap";
    setting["description"] = "";
    Array body;
    body.push_back(setting);
    Array answer = list("create-vm-volume-snapshot", body);
    ASSERT_EQ(1u, answer.size());
    Object snap = one("get-vm-volume-snapshots", str(member(answer[0], "data"), "id"));
    std::string copy = server_->volume_path(str(snap, "zbs_snapshot_uuid"));
    EXPECT_EQ("spare", read_at(copy, 512, 5));
    EXPECT_EQ(str(vol, "id"), str(member(snap, "vm_volume"), "id"));
    EXPECT_EQ("SUCCESSED", run_one("delete-vm-volume-snapshot", where_id(str(snap, "id"))));
    EXPECT_FALSE(file_exists(copy));
}

TEST_F(Mutation_Test, VolumesAreSparseFilesOfTheirSize) {
    Array answer = list("create-vm-volume", volume_setting("restored-disk", int64_t(10) << 30));
    ASSERT_EQ(1u, answer.size());
    std::string id = str(member(answer[0], "data"), "id");
    Object vol = one("get-vm-volumes", id);
    EXPECT_FALSE(member(vol, "mounting").get_bool());
    Object lun = one("get-iscsi-luns", str(member(vol, "lun"), "id"));
    EXPECT_EQ(int64_t(10) << 30, member(lun, "assigned_size").get_int64());
    std::string file = server_->volume_path(str(lun, "zbs_volume_id"));
    EXPECT_EQ(int64_t(10) << 30, stat_of(file).st_size);
    EXPECT_LT(stat_of(file).st_blocks, 64);

    EXPECT_EQ("SUCCESSED", run_one("delete-vm-volume", where_id(id)));
    EXPECT_FALSE(file_exists(file));
    EXPECT_EQ(0u, list("get-vm-volumes", where_id(id)).size());
    EXPECT_EQ(0u, list("get-iscsi-luns", where_id(str(lun, "id"))).size());

    // Bad settings are refused before any task.
    EXPECT_EQ(400, post("create-vm-volume", volume_setting("", 1 << 20)).status);
    EXPECT_EQ(400, post("create-vm-volume", volume_setting("zero", 0)).status);
    Value bad = volume_setting("x", 1 << 20);
    bad.get_array()[0].get_obj()["elf_storage_policy"] = "REPLICA_9";
    EXPECT_EQ(400, post("create-vm-volume", bad).status);
}

TEST_F(Mutation_Test, MountedVolumeIsNotDeleted) {
    Object vol = fixture_record("vm_volumes", "web-01-data");
    std::string file = lun_file_of_volume(str(vol, "id"));
    Object task;
    EXPECT_EQ("FAILED", run_one("delete-vm-volume", where_id(str(vol, "id")), &task));
    EXPECT_NE(std::string::npos, str(task, "error_message").find("mounted"));
    EXPECT_TRUE(file_exists(file));
    EXPECT_EQ(1u, list("get-vm-volumes", where_id(str(vol, "id"))).size());
}

TEST_F(Mutation_Test, CreateVmWithNewDisksAndNics) {
    Object new_disk;
    new_disk["bus"] = "VIRTIO";
    new_disk["boot"] = 0;
    Object new_vol;
    new_vol["elf_storage_policy"] = "REPLICA_2_THIN_PROVISION";
    new_vol["size"] = int64_t(2) << 30;
    new_vol["name"] = "restored-system";
    new_disk["vm_volume"] = new_vol;
    Object mount;
    mount["vm_volume_id"] = str(fixture_record("vm_volumes", "spare-volume-a"), "id");
    mount["bus"] = "SCSI";
    mount["boot"] = 1;
    Object cd;
    cd["boot"] = 2;
    cd["elf_image_id"] = "image-1";
    Object disks;
    disks["mount_new_create_disks"] = Array{new_disk};
    disks["mount_disks"] = Array{mount};
    disks["mount_cd_roms"] = Array{cd};
    Object nic;
    nic["connect_vlan_id"] = str(fixture_record("vlans", "vm-vlan-100"), "id");
    nic["mirror"] = false;
    nic["model"] = "VIRTIO";
    nic["enabled"] = true;
    Object setting;
    setting["vcpu"] = 4;
    setting["status"] = "STOPPED";
    setting["firmware"] = "BIOS";
    setting["ha"] = true;
    setting["vm_disks"] = disks;
    setting["memory"] = int64_t(4) << 30;
    setting["cpu_cores"] = 2;
    setting["cpu_sockets"] = 2;
    setting["name"] = "web-01-restored";
    setting["folder_id"] = str(fixture_record("vm_folders", "testing"), "id");
    setting["cluster_id"] = cluster_a();
    setting["vm_nics"] = Array{nic};

    Array answer = list("create-vm", Array{setting});
    ASSERT_EQ(1u, answer.size());
    std::string id = str(member(answer[0], "data"), "id");
    ASSERT_EQ("SUCCESSED", wait_task(str(answer[0], "task_id")).back());
    Object vm = one("get-vms", id);
    EXPECT_EQ("STOPPED", str(vm, "status"));
    EXPECT_EQ("testing", str(member(vm, "folder"), "name"));
    EXPECT_EQ(3u, member(vm, "vm_disks").get_array().size());
    EXPECT_EQ(1u, member(vm, "vm_nics").get_array().size());
    size_t with_volume = 0;
    for (const Value& d : member(vm, "vm_disks").get_array()) {
        Object disk = one("get-vm-disks", str(d, "id"));
        if (str(disk, "type") != "DISK") {
            EXPECT_EQ("image-1", str(member(disk, "elf_image"), "id"));
            continue;
        }
        ++with_volume;
        EXPECT_TRUE(file_exists(lun_file_of_volume(str(member(disk, "vm_volume"), "id"))));
        EXPECT_FALSE(str(disk, "serial").empty());
    }
    EXPECT_EQ(2u, with_volume);
    EXPECT_TRUE(member(one("get-vm-volumes", str(mount, "vm_volume_id")), "mounting").get_bool());
    EXPECT_EQ(1,
              member(one("get-vm-folders", str(member(vm, "folder"), "id")), "vm_num").get_int());

    // The mounted volume is taken now: a second VM cannot mount it.
    setting["name"] = "second";
    disks.erase("mount_new_create_disks");
    disks.erase("mount_cd_roms");
    setting["vm_disks"] = disks;
    EXPECT_EQ(400, post("create-vm", Array{setting}).status);
    setting.erase("vm_disks");
    setting["cluster_id"] = "no-such-cluster";
    EXPECT_EQ(400, post("create-vm", Array{setting}).status);
}

TEST_F(Mutation_Test, DiskUpdatesOnAVm) {
    std::string test = vm_id("test-01");
    Object spare = fixture_record("vm_volumes", "spare-volume-a");
    Object system_disk =
        one("get-vm-disks", str(member(one("get-vms", test), "vm_disks").get_array()[0], "id"));
    std::string old_volume = str(member(system_disk, "vm_volume"), "id");

    // Swap the disk's volume, as a restore into an existing VM does.
    Object update;
    update["vm_disk_id"] = str(system_disk, "id");
    update["vm_volume_id"] = str(spare, "id");
    Object body = where_id(test);
    body["data"] = update;
    EXPECT_EQ("SUCCESSED", run_one("update-vm-disk", body));
    EXPECT_EQ(str(spare, "id"),
              str(member(one("get-vm-disks", str(system_disk, "id")), "vm_volume"), "id"));
    EXPECT_FALSE(member(one("get-vm-volumes", old_volume), "mounting").get_bool());

    // Mount the old one again as a new disk, then remove it.
    Object mount;
    mount["vm_volume_id"] = old_volume;
    mount["bus"] = "VIRTIO";
    mount["boot"] = 2;
    Object disks;
    disks["mount_disks"] = Array{mount};
    Object data;
    data["vm_disks"] = disks;
    body["data"] = data;
    EXPECT_EQ("SUCCESSED", run_one("add-vm-disk", body));
    Array vm_disks = member(one("get-vms", test), "vm_disks").get_array();
    ASSERT_EQ(2u, vm_disks.size());
    std::string added = str(vm_disks[1], "id");
    EXPECT_EQ("vdb", str(one("get-vm-disks", added), "device"));

    Object remove;
    remove["disk_ids"] = Array{Value(added)};
    body["data"] = remove;
    EXPECT_EQ("SUCCESSED", run_one("remove-vm-disk", body));
    EXPECT_EQ(1u, member(one("get-vms", test), "vm_disks").get_array().size());
    EXPECT_EQ(1u, list("get-vm-volumes", where_id(old_volume)).size());  // the volume stays

    // A disk of another VM is refused.
    remove["disk_ids"] = Array{Value(str(system_disk, "id"))};
    body = where_id(vm_id("web-01"));
    body["data"] = remove;
    EXPECT_EQ("FAILED", run_one("remove-vm-disk", body));
    update["vm_disk_id"] = "no-such-disk";
    body["data"] = update;
    EXPECT_EQ(400, post("update-vm-disk", body).status);
}

TEST_F(Mutation_Test, BasicAndAdvancedUpdates) {
    std::string db = vm_id("db-01");
    Object change;
    change["name"] = "db-01-renamed";
    change["cpu_cores"] = 2;
    change["cpu_sockets"] = 3;
    change["memory"] = int64_t(32) << 30;
    change["ha"] = false;
    change["vm_advanced_options"] = Object();  // sent by the module, ignored as CloudTower does
    Object body = where_id(db);
    body["data"] = change;
    EXPECT_EQ("SUCCESSED", run_one("update-vm-basic-info", body));
    Object vm = one("get-vms", db);
    EXPECT_EQ("db-01-renamed", str(vm, "name"));
    EXPECT_EQ(6, member(vm, "vcpu").get_int());
    EXPECT_FALSE(member(vm, "ha").get_bool());
    // Nested references carry the new name.
    Object disk = one("get-vm-disks", str(member(vm, "vm_disks").get_array()[0], "id"));
    EXPECT_EQ("db-01-renamed", str(member(disk, "vm"), "name"));

    Object adv;
    adv["windows_optimize"] = true;
    adv["video_type"] = "VGA";
    adv["clock_offset"] = "LOCALTIME";
    body["data"] = adv;
    EXPECT_EQ("SUCCESSED", run_one("update-vm-advanced-options", body));
    vm = one("get-vms", db);
    EXPECT_TRUE(member(vm, "win_opt").get_bool());
    EXPECT_EQ("VGA", str(vm, "video_type"));
    EXPECT_EQ("LOCALTIME", str(vm, "clock_offset"));
    adv["video_type"] = "HOLOGRAM";
    body["data"] = adv;
    EXPECT_EQ(400, post("update-vm-advanced-options", body).status);
}

TEST_F(Mutation_Test, DeleteVmTakesItsOwnVolumesAndOptionallyItsSnapshots) {
    std::string web = vm_id("web-01");
    Object vm = one("get-vms", web);
    Object task;
    EXPECT_EQ("FAILED", run_one("delete-vm", where_id(web), &task));  // still running
    EXPECT_EQ(1u, list("get-vms", where_id(web)).size());

    std::vector<std::string> files;
    for (const Value& d : member(vm, "vm_disks").get_array()) {
        Object disk = one("get-vm-disks", str(d, "id"));
        if (str(disk, "type") == "DISK")
            files.push_back(lun_file_of_volume(str(member(disk, "vm_volume"), "id")));
    }
    Object snap = fixture_record("vm_snapshots", "web-01-daily-20240518");
    std::vector<std::string> copies;
    for (const Value& fd : member(snap, "vm_disks").get_array()) {
        if (str(fd, "type") != "DISK")
            continue;
        Object q;
        q["where"] = parse("{\"name\": \"" + str(fd, "snapshot_local_id") + "\"}");
        copies.push_back(
            server_->volume_path(str(list("get-iscsi-lun-snapshots", q)[0], "local_id")));
    }
    ASSERT_EQ(2u, files.size());
    ASSERT_EQ(2u, copies.size());
    for (const auto& f : copies)
        ASSERT_TRUE(file_exists(f));

    EXPECT_EQ("SUCCESSED", run_one("poweroff-vm", where_id(web)));
    Object body = where_id(web);
    body["effect"] = parse(R"({"include_snapshots": true})");
    EXPECT_EQ("SUCCESSED", run_one("delete-vm", body));
    EXPECT_EQ(0u, list("get-vms", where_id(web)).size());
    for (const auto& f : files)
        EXPECT_FALSE(file_exists(f));
    for (const auto& f : copies)
        EXPECT_FALSE(file_exists(f));
    EXPECT_EQ(0u, list("get-vm-snapshots", where_id(str(snap, "id"))).size());
    EXPECT_EQ(0u, ids_in("get-vm-disks", "{\"vm\": {\"id\": \"" + web + "\"}}").size());
    EXPECT_EQ(0u, ids_in("get-vm-nics", "{\"vm\": {\"id\": \"" + web + "\"}}").size());
    Object env = one("get-labels", str(fixture_record("labels", "env"), "id"));
    EXPECT_EQ(1, member(env, "vm_num").get_int());
    EXPECT_EQ(0u, member(one("get-gpu-devices",
                             str(read_fixture("gpu_devices.json").get_array()[0], "id")),
                         "vms")
                      .get_array()
                      .size());
}

TEST_F(Mutation_Test, DeleteVmKeepsSharedVolumesAndSnapshotsWhenAsked) {
    std::string win = vm_id("win-b2");
    Object shared = fixture_record("vm_volumes", "shared-quorum");
    Object body = where_id(win);
    body["effect"] = parse(R"({"include_snapshots": false})");
    EXPECT_EQ("SUCCESSED", run_one("delete-vm", body));
    Object still = one("get-vm-volumes", str(shared, "id"));
    EXPECT_EQ(1u, member(still, "vm_disks").get_array().size());
    EXPECT_TRUE(file_exists(lun_file_of_volume(str(shared, "id"))));
    EXPECT_EQ(0u, list("get-vm-volumes",
                       where_id(str(fixture_record("vm_volumes", "win-b2-system"), "id")))
                      .size());
}

TEST_F(Mutation_Test, RecycleBin) {
    std::string test = vm_id("test-01"), web = vm_id("web-01");
    Array answer = list("move-vm-to-recycle", where_id(test));
    ASSERT_EQ(1u, answer.size());
    // The answer's data is the bare id, as for deletions.
    EXPECT_EQ(1u, member(answer[0], "data").get_obj().size());
    EXPECT_EQ(test, str(member(answer[0], "data"), "id"));
    EXPECT_TRUE(member(one("get-vms", test), "in_recycle_bin").get_bool());
    EXPECT_EQ("FAILED", run_one("start-vm", where_id(test)));
    EXPECT_EQ("SUCCESSED", run_one("recover-vm-from-recycle", where_id(test)));
    EXPECT_FALSE(member(one("get-vms", test), "in_recycle_bin").get_bool());
    EXPECT_EQ("FAILED", run_one("move-vm-to-recycle", where_id(web)));  // running
}

TEST_F(Mutation_Test, LabelsOnVms) {
    Object owner = fixture_record("labels", "owner");
    std::string test = vm_id("test-01");
    Object body = where_id(str(owner, "id"));
    body["data"] = parse("{\"vms\": {\"id_in\": [\"" + test + "\"]}}");
    Array answer = list("add-labels-to-resources", body);
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ(str(owner, "id"), str(member(answer[0], "data"), "id"));
    ASSERT_EQ("SUCCESSED", wait_task(str(answer[0], "task_id")).back());
    // Adding again changes nothing.
    EXPECT_EQ("SUCCESSED", run_one("add-labels-to-resources", body));
    Object label = one("get-labels", str(owner, "id"));
    EXPECT_EQ(2, member(label, "vm_num").get_int());
    bool tagged = false;
    Object tagged_vm = one("get-vms", test);
    for (const Value& l : member(tagged_vm, "labels").get_array())
        tagged |= str(l, "key") == "owner";
    EXPECT_TRUE(tagged);
    Object q;
    q["where"] = parse(R"({"labels_some": {"key": "owner"}})");
    EXPECT_EQ(2u, list("get-vms", q).size());
    body["data"] = parse(R"({"spaceships": {}})");
    EXPECT_EQ(400, post("add-labels-to-resources", body).status);
}

}  // namespace
}  // namespace ct_test
