// Restores made by the servant handler from what the backup servant wrote:
// every point of a chain back byte for byte, as a new VM or into the
// original, holes kept; broken chains and damaged images changing nothing;
// servant processes killed on their way leaving nothing once the next
// restore has run; and every request body CloudTower got, checked against
// its published documents.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <ace/Process.h>

#include "fixture.h"
#include "host/image_block_writer.h"
#include "host/image_format.h"
#include "host/json_spirit/json_io.h"
#include "host/servant/servant.h"
#include "host/uuid.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vm_setting.h"
#include "smartx/servant/restore_leftovers.h"
#include "support/log_capture.h"
#include "world/restore_faults.h"
#include "world/servant_setup.h"

namespace backup_test {
namespace {

using ::testing::HasSubstr;

// One table row's disk change: data, or zeros when zero.
struct Change {
    size_t disk;
    uint64_t offset;
    uint64_t length;
    bool zero;
};

class RestoreServant : public BackupWorld {
protected:
    static std::vector<std::string> volume_ids(const VM& vm) {
        std::vector<std::string> out;
        for (const Disk& d : vm.disks)
            out.push_back(d.volume_id);
        return out;
    }
    void change(const std::vector<Change>& changes) {
        for (const Change& c : changes)
            write_disk(c.disk, c.offset,
                       c.zero ? std::string(c.length, '\0')
                              : pattern(c.length, static_cast<char>('k' + c.disk)));
    }
    // Backs up at the level and returns the disks as they were.
    std::vector<std::string> backed_up(Job_Definition_Subtype level) {
        next_second();
        const std::vector<std::string> contents = disk_contents();
        const Servant_Reply r = backup(level);
        EXPECT_EQ(r.code(), 0) << r.error_message;
        return contents;
    }
    // The disks filled and backed up in full, then disk 0 changed and backed
    // up incrementally: the catalog's rows.
    std::vector<Object> full_and_incremental() {
        fill_disks();
        EXPECT_EQ(backup(JOB_DEFINITION_SUBTYPE_FULL).code(), 0);
        write_disk(0, 3 * BLOCK + 100, "changed");
        next_second();
        EXPECT_EQ(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL).code(), 0);
        return rows();
    }
    size_t vm_count() { return world_->tower().records("vms").size(); }
    // What a failed restore must leave as it was.
    struct World_State {
        size_t vms;
        std::vector<std::string> store_files;
        std::vector<std::string> disk_contents;
    };
    World_State world_state() { return {vm_count(), store_files(), disk_contents()}; }
    // No new VM, no new volume, and the original VM as it was, with its own
    // disks and data, running when it ran before.
    void expect_as_before(const World_State& before, bool running) {
        EXPECT_EQ(vm_count(), before.vms);
        EXPECT_EQ(store_files(), before.store_files);
        EXPECT_EQ(disk_contents(), before.disk_contents);
        const VM original = listed_vm(*world_, vm_.id);
        EXPECT_EQ(volume_ids(original), volume_ids(vm_));
        EXPECT_EQ(original.running, running);
    }
    void set_status(const std::string& vm_id, const char* status) {
        Object record;
        ASSERT_TRUE(world_->tower().record("vms", vm_id, record));
        record["status"] = status;
        ASSERT_TRUE(world_->tower().put_records("vms", Array{Value(record)}));
    }
};

TEST_F(RestoreServant, EveryPointOfTheChainComesBackByteForByte) {
    // Disk 1 stays blank; disk 2 is unchanged in the first incremental; the
    // sizes are odd.
    change({{0, 0, 8192, false},
            {0, MiB / 2, 5000, false},
            {0, vm_.disks[0].size - 777, 777, false},
            {2, 0, 3 * BLOCK + 10, false},
            {2, vm_.disks[2].size - 100, 100, false}});
    std::vector<std::vector<std::string>> points;
    points.push_back(backed_up(JOB_DEFINITION_SUBTYPE_FULL));
    change({{0, BLOCK - 3, 6, false}, {0, 3 * BLOCK + 1, 70000, false}});
    points.push_back(backed_up(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
    change({{2, BLOCK, 100, true}, {2, 2 * MiB, 4096, false}});
    points.push_back(backed_up(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
    const std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 3u);
    uint64_t disks_size = 0;
    std::vector<uint64_t> allocated;
    for (const Disk& d : vm_.disks) {
        disks_size += d.size;
        allocated.push_back(allocated_bytes(world_->volume_file(d)));
    }
    const std::vector<std::string> old_volumes = {vm_.disks[0].volume_id, vm_.disks[1].volume_id,
                                                  vm_.disks[2].volume_id};

    // CPU and memory the entry asks for (0: the backed-up 2 cores, 1 socket,
    // 4 GiB) and what the VM gets.
    struct Case {
        const char* name;
        size_t point;
        bool original;
        int32_t cores, count;
        int64_t mem_mbytes;
        std::vector<int64_t> cpu;  // vcpu, cores, sockets, memory in MiB
    };
    const Case cases[] = {
        {"restored-full", 0, false, 0, 0, 0, {2, 2, 1, 4096}},
        {"restored-first", 1, false, 2, 6, 1024, {6, 2, 3, 1024}},
        {"restored-second", 2, false, 4, 0, 0, {2, 4, 1, 4096}},
        {"into-the-original", 1, true, 0, 0, 0, {2, 2, 1, 4096}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restore_Target target;
        target.original = c.original;
        target.new_name = c.name;
        target.cpu_cores = c.cores;
        target.cpu_count = c.count;
        target.mem_mbytes = c.mem_mbytes;
        const size_t vms = vm_count();
        const Servant_Reply r = restore_vm(text_of(Value(chain[c.point]), "uuid"), target);
        ASSERT_EQ(r.code(), 0) << r.error_message;
        EXPECT_EQ(text_of(Value(r.result), "vm_id"), vm_.id);
        // Each set counts every restored disk once.
        EXPECT_EQ(r.result.at("source_size").get_uint64(), (c.point + 1) * disks_size);
        EXPECT_EQ(progress().state, 2);
        EXPECT_EQ(vm_count(), vms + (c.original ? 0 : 1));

        const VM restored = listed_vm(*world_, c.original ? vm_.id : vm_id_named(*world_, c.name));
        ASSERT_EQ(restored.disks.size(), 3u);
        EXPECT_EQ(world_->disk_contents(restored), points[c.point]);
        // Holes stay holes: never more allocated than the source, nothing
        // at all for the blank disk.
        for (size_t i = 0; i < 3; ++i)
            EXPECT_LE(allocated_bytes(world_->volume_file(restored.disks[i])), allocated[i]) << i;
        EXPECT_EQ(allocated_bytes(world_->volume_file(restored.disks[1])), 0u);
        // Left stopped, as the job asks (start_vm is false).
        EXPECT_FALSE(restored.running);
        Object record;
        ASSERT_TRUE(world_->tower().record("vms", restored.id, record));
        EXPECT_EQ((std::vector<int64_t>{member_of(Value(record), "vcpu").get_int64(),
                                        member_of(record.at("cpu"), "cores").get_int64(),
                                        member_of(record.at("cpu"), "sockets").get_int64(),
                                        member_of(Value(record), "memory").get_int64() >> 20}),
                  c.cpu);
        if (c.original) {
            // The replaced volumes are gone; the new ones are the VM's.
            for (const std::string& id : old_volumes) {
                Object record;
                EXPECT_FALSE(world_->tower().record("vm_volumes", id, record)) << id;
            }
        }
    }

    // A restored VM is a VM like any other: it backs up again.
    const VM again = listed_vm(*world_, vm_id_named(*world_, "restored-second"));
    smartx::VM_Progress_Handle record;
    ASSERT_EQ(record.open(Backup_World::def_id, again.id, O_RDWR | O_CREAT | O_CLOEXEC, 0750), 0);
    smartx::Backup_Param p = world_->param(JOB_DEFINITION_SUBTYPE_FULL, again);
    const Servant_Reply r = call_servant(*handler_, Value(backup_request(p, backup_entry(again))));
    ASSERT_EQ(r.code(), 0) << r.error_message;
    EXPECT_EQ(world_->restore(again, {rows().back()}), points[2]);
}

TEST_F(RestoreServant, BrokenChainsAndDamagedImagesChangeNothing) {
    const std::vector<Object> chain = full_and_incremental();
    ASSERT_EQ(chain.size(), 2u);
    const std::string full = text_of(Value(chain[0]), "uuid");
    const std::string incremental = text_of(Value(chain[1]), "uuid");
    const auto with = [](Object row, const char* key, const Value& v) {
        row[key] = v;
        return Value(row);
    };
    const std::string damaged = world_->pool_dir() + "/" + piece(chain[1], 0);
    // Every disk piece of the row stating the block set size given.
    const auto with_block_set_size = [](Object row, const Value& size) {
        for (Value& p : json_spirit::object_get_array_or_throw(row, "pieces")) {
            Object& attrs = json_spirit::object_get_object_or_throw(p.get_obj(), "extended_attrs");
            if (text_of(p, "object") != "vm_info")
                attrs["Tarnvik3"] = Value(Object{{"block_set_size", size}});
        }
        return Value(row);
    };

    // Each row fails one restore: a chain the catalog answers, a damaged
    // image, or CloudTower refusing a step; with the answer's code and the
    // alerts raised.
    struct Case {
        const char* name;
        bool original;
        std::function<void()> fault;
        bool damage;
        int code;
        Alerts alerts;
    };
    const auto view = [this](Array answer) {
        return [this, answer] {
            world_->backupd().set_view_override(json_spirit::write(Value(answer)));
        };
    };
    const auto task = [this](const char* path) {
        return [this, path] { world_->tower().fail_tasks(path, "refused", 1); };
    };
    const std::function<void()> none = [] {};
    const Alerts catalog{{7, 8}};
    const Alerts quiet;
    const Case cases[] = {
        {"ChainWithoutItsFullSet", false, view({Value(chain[1])}), false, 1, catalog},
        {"SetOfAnotherIncarnation", true,
         view({Value(chain[0]), with(chain[1], "incarnation", Value("x"))}), false, 1, catalog},
        {"SetNotBasedOnThePreviousOne", false,
         view({Value(chain[0]), with(chain[1], "base_sets", Value(Array{Value(incremental)}))}),
         false, 1, catalog},
        {"SetsOfAnotherVm", true,
         view({with(chain[0], "vm_id", Value("other")), with(chain[1], "vm_id", Value("other"))}),
         false, 1, catalog},
        {"ChainEndingBeforeTheSetAskedFor", false, view({Value(chain[0])}), false, 1, catalog},
        {"BlockSetSizeNegative", false,
         view({Value(chain[0]), with_block_set_size(chain[1], Value(-1))}), false, 1, quiet},
        {"BlockSetSizeNotWhole", false,
         view({Value(chain[0]), with_block_set_size(chain[1], Value(1.5))}), false, 1, quiet},
        {"BlockSetSizeAsText", false,
         view({Value(chain[0]), with_block_set_size(chain[1], Value("262144"))}), false, 1, quiet},
        {"DamagedImageAsNewVm", false, none, true, 1, {}},
        {"DamagedImageIntoTheOriginal", true, none, true, 1, {}},
        {"OriginalNotPoweredOff", true, task("poweroff-vm"), false, 2, {{7, 10}}},
        {"NewVmThatDoesNotStart", false, task("start-vm"), false, 1, {}},
        {"OriginalThatDoesNotStart", true, task("start-vm"), false, 1, {}},
        {"DiskSwapRefused", true, task("update-vm-disk"), false, 1, {{7, 22}}},
        // No listing shows CloudTower's own VM: no VM is made beside it.
        {"CloudTower", false, none, false, 1, {{7, 22}}},
    };
    const World_State before = world_state();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t alerts = world_->alerts().size();
        c.fault();
        std::string image;
        if (c.damage) {
            image = file_content(damaged);
            std::string flipped = image;
            flipped[flipped.size() / 2] ^= 0x01;
            write_at(damaged, 0, flipped);
        }
        Restore_Target target;
        target.original = c.original;
        target.new_name = c.name;
        // The original VM runs: a failed restore leaves it running.
        if (c.original)
            set_status(vm_.id, "RUNNING");
        world_->tower().clear_requests();
        const Servant_Reply r = restore_vm(incremental, target);
        if (c.damage)
            write_at(damaged, 0, image);
        world_->tower().reset_switches();
        EXPECT_EQ(r.code(), c.code) << r.error_message;
        const Alerts raised = world_->alerts();
        EXPECT_EQ(Alerts(raised.begin() + static_cast<long>(alerts), raised.end()), c.alerts);
        EXPECT_EQ(progress().state, 3);
        EXPECT_EQ(text_of(Value(r.result), "vm_id"), vm_.id);
        expect_as_before(before, c.original);
        set_status(vm_.id, "STOPPED");
        // Nothing is powered without a VM to power.
        for (const sim::cloudtower::Logged_Request& q : world_->tower().requests())
            EXPECT_EQ(q.body.find("\"id\":\"\""), std::string::npos) << q.path << " " << q.body;
    }
    // The chain itself still restores.
    Restore_Target target;
    target.new_name = "whole";
    EXPECT_EQ(restore_vm(full, target).code(), 0);
}

// A servant process killed at each point of a restore as a new VM: the next
// restore removes what it made (its VM too, unless it runs; what CloudTower
// made for it after its death too) and restores byte for byte.
TEST_F(RestoreServant, KilledServantsLeaveNothingOnceTheNextRestoreHasRun) {
    install_starter(STARTER_PATH);
    write_servant_config(
        Object{{"smartx.servant.restore", Value("SmartX_Restore_Servant_Handler")}},
        SMARTX_MODULE_PATH);
    write_world_pools(*world_, {world_->defaults().pool_uuid});
    fill_disks();
    const std::vector<std::string> contents = backed_up(JOB_DEFINITION_SUBTYPE_FULL);
    const std::string set = text_of(Value(rows().back()), "uuid");
    const size_t points = restore_kill_points(vm_, "").size();
    for (size_t i = 0; i < points; ++i) {
        Restore_Target target;
        target.new_name = "killed-" + std::to_string(i);
        const Restore_Kill_Point point = restore_kill_points(vm_, target.new_name)[i];
        SCOPED_TRACE(point.name);
        const Tower_Census before = tower_census(*world_);
        point.arm(*world_);
        bool reached = false;
        std::thread killer([&] {
            for (int n = 0; n < 12000 && !reached; ++n) {
                reached = point.reached(*world_, before);
                ::usleep(5000);
            }
            for (pid_t pid : live_children(::getpid(), "starter"))
                ::kill(pid, SIGKILL);
        });
        Servant_Run_Options options;
        options.method = "smartx.servant.restore";
        options.prepare = [&point](Servant& s, const Servant_Task&) {
            for (const auto& e : point.env)
                s.get_process_options().setenv(e.first.c_str(), ACE_TEXT("%s"), e.second.c_str());
        };
        const Object request = restore_request(restore_param(world_->defaults(), target),
                                               restore_entry(world_->fixtures(), vm_, set, target));
        const Servant_Runs runs = run_backup_servants({{request, target.new_name}}, options);
        killer.join();
        world_->tower().reset_switches();
        ASSERT_TRUE(reached);
        ASSERT_TRUE(wait_landed(*world_, point, before));
        EXPECT_TRUE(runs.replies.empty());
        EXPECT_FALSE(restore_leftovers(*world_, before, {}).empty());

        // A VM the killed servant started stays (it may be in use): the VM
        // comes back under another name beside it.
        std::vector<std::string> kept;
        if (point.vm_kept) {
            kept.push_back(vm_id_named(*world_, target.new_name));
            target.new_name += "-again";
        }
        const Servant_Reply r = restore_vm(set, target);
        ASSERT_EQ(r.code(), 0) << r.error_message;
        const std::string id = vm_id_named(*world_, target.new_name);
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, id)), contents);
        kept.push_back(id);
        // A volume only its name ties to the killed run stays, reported.
        EXPECT_EQ(hurt_restore_problems(*world_, point, before, kept), std::vector<std::string>());
    }
}

// A create request CloudTower answers with an error: a refusal (4xx) made
// nothing, and the failed restore leaves no journal; any other error may
// have made something, so its journal keeps the request open until no
// answer can come, and then goes. Nothing else is left either way.
TEST_F(RestoreServant, CreateRequestsAnsweredWithAnErrorAreSettledAsTheAnswerSays) {
    fill_disks();
    backed_up(JOB_DEFINITION_SUBTYPE_FULL);
    const std::string set = text_of(Value(rows().back()), "uuid");
    const struct Row {
        const char* path;
        int status;
        bool kept;
    } rows_[] = {
        {"create-vm-volume", 400, false},
        {"create-vm-volume", 500, true},
        {"create-vm", 404, false},
        {"create-vm", 503, true},
    };
    int n = 0;
    for (const Row& row : rows_) {
        SCOPED_TRACE(std::string(row.path) + " " + std::to_string(row.status));
        const Tower_Census before = tower_census(*world_);
        world_->tower().fail_path(row.path, row.status, "no", 1);
        Restore_Target target;
        target.new_name = "answered-" + std::to_string(n++);
        const Servant_Reply r = restore_vm(set, target);
        world_->tower().reset_switches();
        EXPECT_NE(r.code(), 0);
        EXPECT_EQ(restore_journals().size(), row.kept ? 1u : 0u);
        EXPECT_EQ(sweep_after_answer_grace(*world_), std::vector<std::string>());
        EXPECT_EQ(restore_leftovers(*world_, before, {}), std::vector<std::string>());
    }
}

// A finished restore whose journal's end cannot be put on disk (neither its
// emptying nor, after the unlink, its directory) stands, and its leftover
// alert names the journal a crash could bring back whole.
TEST_F(RestoreServant, AFinishedRestoreWhoseJournalsEndIsNotOnDiskAlertsIt) {
    fill_disks();
    backed_up(JOB_DEFINITION_SUBTYPE_FULL);
    const std::string set = text_of(Value(rows().back()), "uuid");
    const std::string dir = smartx::restore_journal_directory();
    // The journal whose emptying failed; its directory fails after it.
    std::string emptied;
    smartx::set_record_sync_fault([&](const std::string& path) {
        struct stat st;
        if (path.compare(0, dir.size() + 1, dir + "/") == 0 && ::stat(path.c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && st.st_size == 0) {
            emptied = path;
            return EIO;
        }
        return !emptied.empty() && path == dir ? EIO : 0;
    });
    Restore_Target target;
    target.new_name = "end-not-on-disk";
    const Servant_Reply r = restore_vm(set, target);
    smartx::set_record_sync_fault(nullptr);
    EXPECT_EQ(r.code(), 0) << r.error_message;
    ASSERT_FALSE(emptied.empty());
    EXPECT_EQ(restore_journals(), std::vector<std::string>());
    EXPECT_TRUE(world::alert_names(*world_, emptied));
}

TEST_F(RestoreServant, ImagesThatAreNotWhatTheirRowsSayFailTheVmAndLeaveNothing) {
    // A chain of bk-01 (full, incremental), and a full backup of bk-02,
    // whose first disk has the size of bk-01's.
    const std::vector<Object> chain = full_and_incremental();
    ASSERT_EQ(chain.size(), 2u);
    const VM other = numbered_vm("bk", 1, "bk-02", {vm_.disks[0].size}, "Another VM");
    world_->add_vms({other});
    world_->fill_disks(other);
    ASSERT_EQ(call_servant(*handler_,
                           Value(backup_request(world_->param(JOB_DEFINITION_SUBTYPE_FULL, other),
                                                backup_entry(other))))
                  .code(),
              0);
    ASSERT_EQ(rows().size(), 3u);
    const std::string pool = world_->pool_dir() + "/";
    const std::string full_disk0 = piece(chain[0], 0), full_disk2 = piece(chain[0], 2);
    const std::string incremental_disk0 = piece(chain[1], 0);
    const std::string other_disk0 = piece_path(rows()[2], other.disks[0].volume_local_id);

    // Each row puts a wrong file in place of one image. With `row_follows`,
    // the catalog row records the size of the file now there, so only what
    // the image itself says can tell.
    struct Case {
        const char* name;
        size_t set;  // the set restored: 0 full, 1 incremental
        std::string target;
        std::function<void(const std::string&)> spoil;
        bool row_follows;
        bool original;
    };
    const auto cut = [](const std::string& path) { cut_image(path, 0); };
    const auto put = [&](const std::string& from) {
        return [&pool, from](const std::string& path) { copy_image(pool + from, path); };
    };
    const auto put_version_1 = [&](const std::string& from) {
        return [&pool, from](const std::string& path) {
            copy_image(pool + from, path);
            make_version_1_image(path);
        };
    };
    const Case cases[] = {
        {"FullCutToNothing", 0, full_disk0, cut, false, false},
        {"IncrementalCutToNothing", 1, incremental_disk0, cut, false, true},
        {"AnotherDisksImage", 0, full_disk0, put(full_disk2), false, false},
        {"AnotherDisksImageAndItsSize", 0, full_disk0, put(full_disk2), true, true},
        {"AnotherDisksVersion1Image", 0, full_disk0, put_version_1(full_disk2), true, false},
        {"AnotherVmsImage", 0, full_disk0, put(other_disk0), true, false},
        {"FullImageInPlaceOfTheIncremental", 1, incremental_disk0, put(full_disk0), true, true},
        {"FullVersion1ImageInPlaceOfTheIncremental", 1, incremental_disk0,
         put_version_1(full_disk0), true, false},
    };
    const World_State before = world_state();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pool + c.target;
        const std::string image = file_content(path);
        c.spoil(path);
        if (c.row_follows) {
            Array view;
            for (size_t i = 0; i < c.set; ++i)
                view.push_back(Value(chain[i]));
            view.push_back(
                Value(with_piece_size(chain[c.set], c.target, file_content(path).size())));
            world_->backupd().set_view_override(json_spirit::write(Value(view)));
        }
        Restore_Target target;
        target.original = c.original;
        target.new_name = c.name;
        if (c.original)
            set_status(vm_.id, "RUNNING");
        Servant_Reply r;
        std::string log;
        {
            Process_Log_Capture capture;
            r = restore_vm(text_of(Value(chain[c.set]), "uuid"), target);
            log = capture.text();
        }
        replace_file(path, image);
        EXPECT_EQ(r.code(), 1) << r.error_message;
        EXPECT_EQ(progress().state, 3);
        EXPECT_THAT(log, HasSubstr("Image " + std::string(Backup_World::resource_uuid) + "/" +
                                   c.target + " does not match its catalog row"));
        // Nothing was written anywhere.
        EXPECT_EQ(world_->zbs_totals().bytes_written, 0u);
        expect_as_before(before, c.original);
        set_status(vm_.id, "STOPPED");
    }
    // The images put back, the chain restores.
    Restore_Target target;
    target.new_name = "whole";
    EXPECT_EQ(restore_vm(text_of(Value(chain[1]), "uuid"), target).code(), 0);
}

TEST_F(RestoreServant, AnImageThatStatesNoVolumeSizeIsBoundByItsRow) {
    fill_disks();
    const std::vector<std::string> contents = backed_up(JOB_DEFINITION_SUBTYPE_FULL);
    const Object row = rows().back();
    const std::string set = text_of(Value(row), "uuid");
    const std::string file = piece(row, 0);
    const std::string path = world_->pool_dir() + "/" + file;
    const std::string image = file_content(path);
    const uint64_t size = vm_.disks[0].size;  // what the row says of disk 0
    const uint64_t TiB = MiB * MiB;
    unsigned char set_uuid[16];
    ASSERT_TRUE(uuid_from_string(set, set_uuid));

    // Images of the set and disk, written by the host's writer with the
    // block and volume size given (0: not known).
    struct Record {
        uint64_t offset, length;
        bool zero;
    };
    const auto written = [&](uint32_t block, uint64_t stated, std::vector<Record> records) {
        return [&, block, stated, records] {
            Client_IO io;
            Image_Block_Writer writer(io);
            ASSERT_TRUE(io.connect("file://" + world_->pool_dir(), Client_IO_Base::Options()));
            ASSERT_TRUE(io.open("crafted.img", Client_IO::MODE_WRITE));
            ASSERT_TRUE(writer.init(512, block, 1, 0));
            ASSERT_TRUE(
                writer.write_superblock(set_uuid, set_uuid, stated, vm_.disks[0].volume_local_id));
            for (const Record& r : records) {
                const std::string data =
                    r.zero ? std::string(r.length, '\0') : pattern(r.length, 'q');
                ASSERT_TRUE(writer.write_data(r.offset, data.data(), data.size()))
                    << io.error_text();
            }
            ASSERT_TRUE(writer.finish()) << io.error_text();
            replace_file(path, file_content(world_->pool_dir() + "/crafted.img"));
            ASSERT_TRUE(io.remove("crafted.img"));
        };
    };
    // The image the backup wrote, its superblock saying no size.
    const auto size_unstated = [&] {
        qorm::Image_Superblock sb;
        ASSERT_TRUE(image_format::decode_superblock(
            reinterpret_cast<const unsigned char*>(image.data()), sb, nullptr));
        sb.volume_size = 0;
        unsigned char out[image_format::SUPERBLOCK_SIZE];
        image_format::encode_superblock(sb, out);
        write_at(path, 0, std::string(reinterpret_cast<const char*>(out), sizeof out));
    };
    struct Case {
        const char* name;
        std::function<void()> spoil;
        bool restores;
    };
    const Case cases[] = {
        {"ZeroRecordFarPastTheRowsSize", written(BLOCK, 0, {{TiB, 4 * KiB, true}}), false},
        {"DataRecordPastTheRowsSize", written(BLOCK, 0, {{size, 4 * KiB, false}}), false},
        {"RecordAcrossTheRowsSize", written(BLOCK, 0, {{size - 512, 4 * KiB, false}}), false},
        {"RecordPastTheRowsSizeAfterGoodOnes",
         written(BLOCK, 0, {{0, BLOCK, false}, {BLOCK, BLOCK, false}, {TiB, 4 * KiB, true}}),
         false},
        {"BlocksLargerThanTheBackupWrites", written(2 * BLOCK, size, {{0, 2 * BLOCK, false}}),
         false},
        {"NoSizeStatedAndEveryRecordInside", size_unstated, true},
    };
    const World_State before = world_state();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil();
        world_->backupd().set_view_override(json_spirit::write(
            Value(Array{Value(with_piece_size(row, file, file_content(path).size()))})));
        world_->zbs().reset();
        Restore_Target target;
        target.new_name = c.name;
        Servant_Reply r;
        std::string log;
        {
            Process_Log_Capture capture;
            r = restore_vm(set, target);
            log = capture.text();
        }
        replace_file(path, image);
        if (c.restores) {
            ASSERT_EQ(r.code(), 0) << r.error_message;
            EXPECT_EQ(world_->disk_contents(listed_vm(*world_, vm_id_named(*world_, c.name))),
                      contents);
            continue;
        }
        EXPECT_EQ(r.code(), 1) << r.error_message;
        EXPECT_EQ(progress().state, 3);
        EXPECT_THAT(log, HasSubstr("Image " + std::string(Backup_World::resource_uuid) + "/" +
                                   file + " does not match its catalog row"));
        EXPECT_EQ(world_->zbs_totals().bytes_written, 0u);
        expect_as_before(before, false);
    }
}

TEST_F(RestoreServant, AStopDuringTheTransferEndsItAndLeavesNothing) {
    // The images are read ahead of the writes: a stop must still end the
    // writes at once, and the failed restore remove what it made.
    const std::vector<Object> chain = full_and_incremental();
    ASSERT_EQ(chain.size(), 2u);
    const std::string incremental = text_of(Value(chain[1]), "uuid");
    Restore_Target whole;
    whole.new_name = "whole";
    world_->zbs().reset();
    ASSERT_EQ(restore_vm(incremental, whole).code(), 0);
    const uint64_t all_writes = world_->zbs_totals().writes;
    const World_State before = world_state();

    world_->zbs().reset();
    world_->zbs().set_delay_ms(20);
    progress().processed_bytes = 0;
    std::thread stopper = once_reading([this] { world_->activity()->state = JOB_STATE_CANCELING; });
    Restore_Target target;
    target.new_name = "stopped";
    Servant_Reply r;
    {
        Process_Log_Capture log;
        r = restore_vm(incremental, target);
        EXPECT_THAT(log.text(), HasSubstr("Start to restore backup set"));
    }
    stopper.join();
    world_->zbs().set_delay_ms(0);
    world_->activity()->state = JOB_STATE_RUNNING;
    EXPECT_EQ(r.code(), 1) << r.error_message;
    EXPECT_EQ(progress().state, 3);
    EXPECT_LT(world_->zbs_totals().writes, all_writes);
    expect_as_before(before, false);
}

TEST_F(RestoreServant, Version1ImagesStillRestoreByteForByte) {
    fill_disks();
    std::vector<std::vector<std::string>> points;
    points.push_back(backed_up(JOB_DEFINITION_SUBTYPE_FULL));
    change({{0, BLOCK - 3, 6, false}, {2, 2 * MiB, 4096, false}});
    points.push_back(backed_up(JOB_DEFINITION_SUBTYPE_INCREMENTAL));
    const std::vector<Object> chain = rows();
    ASSERT_EQ(chain.size(), 2u);
    for (const Object& row : chain)
        for (const Object& p : volume_pieces(row))
            if (p.at("size").get_uint64() > 0)
                make_version_1_image(world_->pool_dir() + "/" + p.at("path").get_str());
    for (size_t set = 0; set < chain.size(); ++set) {
        SCOPED_TRACE(set);
        Restore_Target target;
        target.new_name = "version-1-" + std::to_string(set);
        const Servant_Reply r = restore_vm(text_of(Value(chain[set]), "uuid"), target);
        ASSERT_EQ(r.code(), 0) << r.error_message;
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, vm_id_named(*world_, target.new_name))),
                  points[set]);
    }
}

// Every body the servants sent CloudTower in this process, against the
// request schemas of both published documents (known differences are listed
// in the checker).
class RequestBodies : public ::testing::Environment {
public:
    void TearDown() override {
        if (sent_requests().empty())
            return;
        const std::string log =
            ::testing::TempDir() + "/servant-requests-" + std::to_string(::getpid()) + ".json";
        std::ofstream(log) << json_spirit::write(Value(sent_requests()));
        const std::string command = std::string("/usr/bin/python3 ") + TEST_SOURCE_DIR +
                                    "/sim/cloudtower/check_request_bodies.py --log " + log +
                                    " --document " CLOUDTOWER_API_DIR
                                    "/cloudtower-api-3.0.0.json --document " CLOUDTOWER_API_DIR
                                    "/cloudtower-api-4.1.0.json";
        const int status = std::system(command.c_str());
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        EXPECT_TRUE(code == 0 || code == 77) << command << " exited " << code;
        // A failing log stays for a look.
        if (code == 0 || code == 77)
            std::remove(log.c_str());
    }
};

::testing::Environment* const request_bodies =
    ::testing::AddGlobalTestEnvironment(new RequestBodies);

}  // namespace
}  // namespace backup_test

namespace backup_test {
namespace {

// Each servant logs its own texts for a request without its "entry" and for a
// login CloudTower refuses.
TEST_F(RestoreServant, EachServantLogsItsOwnRequestAndLoginTexts) {
    write_world_pools(*world_, {world_->defaults().pool_uuid});
    Handler_Ptr restore_handler = make_restore_handler();
    Restore_Target target;
    target.new_name = "texts";
    smartx::Backup_Param backup_param = param(JOB_DEFINITION_SUBTYPE_FULL);
    smartx::Restore_Param restore_param_ = restore_param(world_->defaults(), target);
    const smartx::Restore_Source_Entry entry =
        restore_entry(world_->fixtures(), vm_, "no-such-set", target);
    Object backup_without_entry = backup_request(backup_param, backup_entry(vm_));
    Object restore_without_entry = restore_request(restore_param_, entry);
    backup_without_entry.erase("entry");
    restore_without_entry.erase("entry");
    backup_param.control.login_info.secure_pwd = "wrong";
    restore_param_.control.login_info.secure_pwd = "wrong";
    const struct Row {
        const char* name;
        JSON_RPC_Handler* handler;
        Object request;
        const char* logged;
    } rows[] = {
        {"backup without entry", handler_.get(), backup_without_entry,
         "Failed to load params, 'entry' is expected as value.\n"},
        {"restore without entry", restore_handler.get(), restore_without_entry,
         "Failed to load params 'entry' is expected as value."},
        {"backup login refused", handler_.get(), backup_request(backup_param, backup_entry(vm_)),
         "Failed to login SmartX Invalid username or password.\n"},
        {"restore login refused", restore_handler.get(), restore_request(restore_param_, entry),
         "Failed to login SmartX.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Log_Capture log;
        call_servant(*row.handler, Value(row.request));
        const auto& lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&row](const Log_Capture::Line& l) {
            return l.priority == LM_ERROR && l.text == row.logged;
        })) << testing::PrintToString(log.texts());
    }
}

}  // namespace
}  // namespace backup_test
