// Restore jobs as a person runs them: job-engine loads the built module,
// whose restore executor settles the entries and starts one starter process
// per VM running the restore servant against the in-process backup world.
// The sets come from backup jobs run the same way.
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "support/temp_root.h"
#include "world/backup_world.h"
#include "world/job_run.h"
#include "world/listed_vm.h"
#include "world/servant_request.h"

namespace {

using namespace world;
constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

class RestoreJob : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZBS_RETRIES", "1", 1);
        ::setenv("ZBS_INITIAL_INTERVAL", "0", 1);
        world_.reset(
            new Backup_World({root_.path(), std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower",
                              ZBS_SIM_PATH, ""}));
        prepare_job_host(*world_, STARTER_PATH, SMARTX_MODULE_PATH);
        for (size_t i = 0; i < 2; ++i)
            vms_.push_back(numbered_vm("rj", i, "rj-" + std::to_string(i), {MiB + 4608, 700 * KiB},
                                       "restore job VM"));
        world_->add_vms(vms_);
        for (const VM& vm : vms_)
            world_->fill_disks(vm);
    }

    Job_Engine_Run engine(const std::string& def_file) {
        const pid_t pid = start_job_engine(JOB_ENGINE_PATH, def_file, root_.file("engine.out"));
        EXPECT_GT(pid, 0);
        return finish_job_engine(pid, root_.file("engine.out"));
    }

    // Backs up both VMs at the level; every VM's disks as they were, and the
    // catalog uuid of each VM's new set.
    std::vector<std::vector<std::string>> backup(Job_Definition_Subtype level,
                                                 std::vector<std::string>& sets) {
        // Sets of one VM must not share a second.
        const time_t now = ::time(nullptr);
        while (::time(nullptr) == now)
            ::usleep(10000);
        std::vector<std::vector<std::string>> contents;
        for (const VM& vm : vms_)
            contents.push_back(world_->disk_contents(vm));
        const size_t before = world_->catalog_rows().size();
        write_job_definition(root_.file("backup.json"), level, vms_, Object());
        const Job_Engine_Run r = engine(root_.file("backup.json"));
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const std::vector<Object> rows = world_->catalog_rows();
        sets.assign(vms_.size(), std::string());
        for (size_t i = before; i < rows.size(); ++i)
            for (size_t v = 0; v < vms_.size(); ++v)
                if (text_of(Value(rows[i]), "vm_id") == vms_[v].id)
                    sets[v] = text_of(Value(rows[i]), "uuid");
        return contents;
    }

    Job_Engine_Run restore(const Array& entries, const Object& options,
                           Job_Definition_Subtype subtype = JOB_DEFINITION_SUBTYPE_VM) {
        write_restore_definition(root_.file("restore.json"), subtype, entries, options);
        return engine(root_.file("restore.json"));
    }

    Value entry(size_t vm, const std::string& set, const std::string& new_name) const {
        Restore_Target target;
        target.original = new_name.empty();
        target.new_name = new_name;
        return restore_entry(world_->fixtures(), vms_[vm], set, target).dump();
    }

    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    Temp_Root root_;
    std::unique_ptr<Backup_World> world_;
    std::vector<VM> vms_;
};

TEST_F(RestoreJob, EveryPointOfTheChainComesBackAsNewVms) {
    std::vector<std::vector<std::string>> sets(3);
    std::vector<std::vector<std::vector<std::string>>> points;
    points.push_back(backup(JOB_DEFINITION_SUBTYPE_FULL, sets[0]));
    world_->write_disk(vms_[0].disks[0], 3 * 4096 + 1, std::string(70000, 'x'));
    points.push_back(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, sets[1]));
    world_->write_disk(vms_[0].disks[1], 100, std::string(5000, '\0'));
    world_->write_disk(vms_[1].disks[0], MiB, std::string(4608, 'y'));
    points.push_back(backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, sets[2]));

    for (size_t p = 0; p < points.size(); ++p) {
        SCOPED_TRACE("point " + std::to_string(p));
        const std::string suffix = "-p" + std::to_string(p);
        const Job_Engine_Run r = restore(Array{entry(0, sets[p][0], vms_[0].name + suffix),
                                               entry(1, sets[p][1], vms_[1].name + suffix)},
                                         Object{{"parallel_vms", Value(2)}});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(count(r.output, "SmartX VM restore result (succeeded/total): 2/2."), 1u);
        ASSERT_EQ(r.restore_paths.size(), 2u) << r.output;
        for (size_t v = 0; v < vms_.size(); ++v) {
            EXPECT_EQ(text_of(r.restore_paths[v], "path"), job_pool);
            const std::string id = vm_id_named(*world_, vms_[v].name + suffix);
            ASSERT_FALSE(id.empty()) << r.output;
            EXPECT_EQ(world_->disk_contents(listed_vm(*world_, id)), points[p][v]) << vms_[v].name;
        }
        for (const Value& h : r.histories())
            EXPECT_EQ(member_of(h, "succeed"), Value(true)) << json_spirit::write(h);
    }
}

TEST_F(RestoreJob, TargetsAndDuplicateRules) {
    std::vector<std::string> sets;
    const std::vector<std::string> point = backup(JOB_DEFINITION_SUBTYPE_FULL, sets)[0];
    // The VM changes after its backup: a restore brings back the backed-up bytes.
    world_->write_disk(vms_[0].disks[0], 0, std::string(8192, 'z'));
    const std::string changed_first = world_->disk_contents(vms_[0])[0];

    enum Expect { NEW, INTO, NONE };
    const struct Row {
        const char* name;
        const char* rule;
        Expect restored;
        int exit_code;
        bool holder_kept;  // the VM of the target's name, when there is one
        const char* logged;
    } rows[] = {
        {"into the original VM", "ignore", INTO, 0, true, ""},
        {"ignore", "ignore", NONE, 1, true, "The list of VM to be restored is empty."},
        {"unknown rule", "merge", NONE, 1, true, "Unknown duplicate_vm type, skip restoring VM "},
        {"timestamp", "timestamp", NEW, 0, true, ""},
        {"recycle", "recycle", NEW, 0, true, ""},
        {"overwrite", "overwrite", NEW, 0, false, ""},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.name);
        // A VM whose name the new VM wants.
        const VM holder = numbered_vm("rh", i, "holder-" + std::to_string(i), {MiB}, "in the way");
        world_->add_vms({holder});
        const Job_Engine_Run r =
            restore(Array{entry(0, sets[0], row.restored == INTO ? "" : holder.name)},
                    Object{{"duplicate_vm", Value(row.rule)},
                           {"original_restore", Value(row.restored == INTO)}});
        EXPECT_EQ(r.exit_code, row.exit_code) << r.output;
        if (*row.logged) {
            EXPECT_EQ(count(r.output, row.logged), 1u) << r.output;
        }
        Object kept;
        EXPECT_EQ(world_->tower().record("vms", holder.id, kept), row.holder_kept);
        if (row.restored == INTO) {
            EXPECT_EQ(world_->disk_contents(listed_vm(*world_, vms_[0].id)), point);
            EXPECT_NE(changed_first, point[0]);
        }
        if (row.restored != NEW)
            continue;
        // The restored VM: the holder's name (with the time after it for
        // the timestamp rule) on a VM not known before.
        std::string restored_id;
        for (const Value& v : world_->tower().records("vms")) {
            const std::string name = text_of(v, "name");
            if (text_of(v, "id") != holder.id &&
                name.compare(0, holder.name.size(), holder.name) == 0)
                restored_id = text_of(v, "id");
        }
        ASSERT_FALSE(restored_id.empty()) << r.output;
        Object restored;
        world_->tower().record("vms", restored_id, restored);
        const std::string name = text_of(Value(restored), "name");
        EXPECT_EQ(name.size(), holder.name.size() + (std::string(row.rule) == "timestamp" ? 16 : 0))
            << name;
        EXPECT_EQ(world_->disk_contents(listed_vm(*world_, restored_id)), point);
        if (std::string(row.rule) == "recycle") {
            EXPECT_EQ(member_of(Value(kept), "in_recycle_bin"), Value(true));
        }
    }
}

TEST_F(RestoreJob, OneVmFailingFailsTheJobWithoutAnAlert) {
    std::vector<std::string> sets;
    const std::vector<std::vector<std::string>> point = backup(JOB_DEFINITION_SUBTYPE_FULL, sets);
    // One flipped byte in the second VM's first disk image.
    std::string image;
    for (const Object& row : world_->catalog_rows())
        if (text_of(Value(row), "uuid") == sets[1])
            image = world_->pool_dir() + "/" + piece_path(row, vms_[1].disks[0].volume_local_id);
    {
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(f.good()) << image;
        f.seekg(5000);
        const char c = static_cast<char>(f.get() ^ 0x5a);
        f.seekp(5000);
        f.put(c);
    }
    const size_t alerts = world_->alerts().size();
    const Job_Engine_Run r =
        restore(Array{entry(0, sets[0], "good-one"), entry(1, sets[1], "bad-one")}, Object());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(count(r.output, "SmartX VM restore result (succeeded/total): 1/2."), 1u) << r.output;
    EXPECT_EQ(world_->alerts().size(), alerts);
    ASSERT_EQ(r.restore_paths.size(), 2u) << r.output;
    for (size_t v = 0; v < vms_.size(); ++v)
        EXPECT_EQ(text_of(r.restore_paths[v], "vm_id"), vms_[v].id);
    for (const Value& h : r.histories())
        EXPECT_EQ(member_of(h, "succeed"), Value(text_of(h, "uuid") == vms_[0].id))
            << json_spirit::write(h);
    EXPECT_EQ(world_->disk_contents(listed_vm(*world_, vm_id_named(*world_, "good-one"))),
              point[0]);
}

}  // namespace
