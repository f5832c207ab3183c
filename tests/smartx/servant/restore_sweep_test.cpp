// What the journals of dead restores name is removed only while it still
// shows that it is the dead run's, and journals that are stale, planted,
// damaged or huge never make a sweep delete what is not its own: the sweep
// against the simulated CloudTower, in this process.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <set>

#include "fixture.h"
#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/servant/restore_leftovers.h"
#include "world/restore_faults.h"

namespace backup_test {
namespace {

using smartx::Restore_Made;
using Strings = std::vector<std::string>;

// CloudTower's form of a time.
std::string tower_time(time_t when) {
    struct tm tm;
    gmtime_r(&when, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return text;
}

std::string line(const Object& o) {
    return json_spirit::write(Value(o)) + "\n";
}

Object header(const std::string& tower, time_t started) {
    return Object{{"tower", Value(tower)},
                  {"vm_src_id", Value("src")},
                  {"vm_name", Value("target")},
                  {"started", Value(int64_t{started})}};
}

Object made(const char* kind, const std::string& id, const std::string& name) {
    return Object{
        {"made", Value(kind)}, {"id", Value(id)}, {"task", Value("")}, {"name", Value(name)}};
}

Object asking(const char* kind, const std::string& name, const Strings& volumes = {}) {
    Object o{{"asking", Value(kind)}, {"name", Value(name)}};
    if (!volumes.empty()) {
        Array ids;
        for (const std::string& v : volumes)
            ids.push_back(Value(v));
        o["volumes"] = ids;
    }
    return o;
}

class RestoreSweep : public BackupWorld {
protected:
    void SetUp() override {
        BackupWorld::SetUp();
        login_ = world_->defaults().login;
        ASSERT_TRUE(client_.login(login_));
        tower_ = smartx::journal_tower(login_);
    }

    // An unmounted volume made now.
    std::string volume(const std::string& name) {
        smartx::VM_Volume_Setting setting;
        setting.cluster_id = world_->defaults().cluster_id;
        setting.size = static_cast<int64_t>(MiB);
        setting.elf_storage_policy = "REPLICA_2_THIN_PROVISION";
        setting.name = name;
        std::string id;
        EXPECT_TRUE(client_.create_vm_volume(setting, id));
        return id;
    }
    // A VM with one disk, made now as CloudTower says (its volume too).
    VM fresh_vm(uint64_t number, const std::string& name, bool running) {
        VM vm = numbered_vm("sw", number, name, {MiB}, "made by a restore");
        vm.running = running;
        world_->add_vms({vm});
        // Its volumes first, as CloudTower makes them.
        for (const Disk& d : vm.disks)
            stamp_now("vm_volumes", d.volume_id);
        stamp_now("vms", vm.id);
        return vm;
    }
    // A VM CloudTower makes now, stopped, mounting the volumes (the fixture
    // VM's settings otherwise).
    std::string vm_on(const std::string& name, const Strings& volumes) {
        smartx::VM base;
        EXPECT_TRUE(client_.query_vm(vm_.id, base));
        smartx::VM_Setting setting(base, true);
        setting.name = name;
        setting.vm_disks = smartx::VM_Disk_Settings();
        setting.vm_disks.mount_disks = mounts(volumes);
        std::string id;
        EXPECT_TRUE(client_.create_vm(setting, id));
        return id;
    }
    static std::vector<smartx::Mount_Disk_Setting> mounts(const Strings& volumes) {
        std::vector<smartx::Mount_Disk_Setting> out;
        for (const std::string& v : volumes) {
            smartx::Mount_Disk_Setting m;
            m.vm_volume_id = v;
            m.bus = "VIRTIO";
            m.boot = static_cast<int>(out.size());
            out.push_back(m);
        }
        return out;
    }
    // A person mounts the volumes on a VM of theirs.
    void mount(const std::string& vm_id, const Strings& volumes) {
        smartx::VM_Disk_Settings disks;
        disks.mount_disks = mounts(volumes);
        EXPECT_TRUE(client_.add_vm_disks(vm_id, disks));
    }
    // A person's VM without disks, made a second before now on CloudTower's
    // clock (offset_s ahead of the host's).
    std::string person_vm(uint64_t number, const std::string& name, long offset_s = 0) {
        const VM vm = numbered_vm("sw", number, name, {}, "a person's");
        world_->add_vms({vm});
        stamp_now("vms", vm.id, offset_s - 1);
        return vm.id;
    }
    void stamp_now(const char* kind, const std::string& id, long offset_s = 0) {
        Object record;
        ASSERT_TRUE(world_->tower().record(kind, id, record));
        record["local_created_at"] = tower_time(::time(nullptr) + offset_s);
        ASSERT_TRUE(world_->tower().put_records(kind, Array{Value(record)}));
    }
    // Journals a volume as its restore does: asked for, then answered.
    static std::string journaled(smartx::Restore_Journal& j, const std::string& name,
                                 const std::string& id) {
        EXPECT_TRUE(j.asking({Restore_Made::VOLUME, "", "", name, {}}));
        EXPECT_TRUE(j.note({Restore_Made::VOLUME, id, "", "", {}}));
        return id;
    }
    bool exists(const char* kind, const std::string& id) {
        Object record;
        return world_->tower().record(kind, id, record);
    }
    std::string cloudtower_vm() {
        for (const Value& v : world_->tower().records("vms"))
            if (text_of(v, "name") == "CloudTower")
                return text_of(v, "id");
        return "";
    }
    // A journal of a dead run, as any file under the journals' directory,
    // last written long enough ago that no request of its run is still
    // under way.
    void plant(const std::string& run, const std::string& text) {
        const std::string dir = smartx::restore_journal_directory();
        ASSERT_EQ(make_directories(dir, 0750), 0);
        const std::string path = dir + "/" + run;
        std::ofstream(path, std::ios::binary) << text;
        world::end_answer_grace();
    }
    void plant(const std::string& run, const std::vector<Object>& lines) {
        std::string text;
        for (const Object& o : lines)
            text += line(o);
        plant(run, text);
    }
    // Sweeps; the alerts it raised.
    Strings sweep() {
        Strings alerts;
        smartx::sweep_dead_restores(client_, tower_, [&alerts](const smartx::Leftover_Kept& k) {
            alerts.push_back(k.kind + " " + k.id + " of " + k.run + ": " + k.why);
        });
        return alerts;
    }
    // Journals in place, and set aside.
    static size_t journals() {
        const Strings all = restore_journals();
        return std::count_if(all.begin(), all.end(),
                             [](const std::string& j) { return j.find('/') == std::string::npos; });
    }
    static size_t set_aside() { return restore_journals().size() - journals(); }

    smartx::RESTful_Client client_;
    smartx::Login_Info login_;
    std::string tower_;
};

// What a journal names and what becomes of it.
struct Planted {
    std::vector<Object> lines;
    Strings gone;  // VM and volume ids
    Strings kept;
};

// Journals as a killed run leaves them and as a stale or planted one may be:
// only what still shows it is the run's goes; what fails a check stays,
// alerted, and leaves the journal.
TEST_F(RestoreSweep, ADeadJournalsObjectGoesOnlyWhileItStillShowsItIsTheRuns) {
    const time_t started = ::time(nullptr) - 5;
    const time_t later = ::time(nullptr) + 3600;
    const struct Row {
        const char* name;
        std::function<Planted()> plant;
        size_t alerts;
    } rows[] = {
        {"AnUnmountedVolumeItMade",
         [&] {
             const std::string v = volume("sw-a");
             return Planted{{header(tower_, started), made("volume", v, "sw-a")}, {v}, {}};
         },
         0},
        {"ItsStoppedVmWithItsVolume",
         [&] {
             const VM vm = fresh_vm(1, "sw-b", false);
             const Disk& d = vm.disks[0];
             return Planted{{header(tower_, started), made("volume", d.volume_id, d.name),
                             made("vm", vm.id, vm.name)},
                            {vm.id, d.volume_id},
                            {}};
         },
         0},
        {"AVolumeAnotherVmMounts",
         [&] {
             const Disk& d = vm_.disks[0];
             return Planted{
                 {header(tower_, started), made("volume", d.volume_id, d.name)}, {}, {d.volume_id}};
         },
         1},
        {"TheCloudTowerVm",
         [&] {
             const std::string id = cloudtower_vm();
             return Planted{{header(tower_, started), made("vm", id, "CloudTower")}, {}, {id}};
         },
         1},
        {"ARunningVmWithItsVolumeAndSnapshot",
         [&] {
             const VM vm = fresh_vm(2, "sw-c", true);
             smartx::VM_Snapshot snapshot;
             EXPECT_TRUE(client_.create_vm_snapshot("sw-c-snap", vm.id, snapshot, false));
             const Disk& d = vm.disks[0];
             return Planted{{header(tower_, started), made("volume", d.volume_id, d.name),
                             made("vm", vm.id, vm.name)},
                            {},
                            {vm.id, d.volume_id, snapshot.id}};
         },
         2},
        // CloudTower's answer gave the run the id: no clock is asked.
        {"AVolumeItMadeWhateverTheHostsClockSaid",
         [&] {
             const std::string v = volume("sw-d");
             return Planted{{header(tower_, later), made("volume", v, "sw-d")}, {v}, {}};
         },
         0},
        {"AVolumeOfAnotherName",
         [&] {
             const std::string v = volume("sw-e");
             return Planted{{header(tower_, started), made("volume", v, "sw-other")}, {}, {v}};
         },
         1},
        {"AVmMountingAVolumeTheRunDidNotMake",
         [&] {
             const VM vm = fresh_vm(3, "sw-f", false);
             return Planted{{header(tower_, started), made("vm", vm.id, vm.name)},
                            {},
                            {vm.id, vm.disks[0].volume_id}};
         },
         1},
        {"AJournalThatNamesNothing",
         [&] {
             const std::string v = volume("sw-g");
             Object old = made("volume", v, "");
             old.erase("name");
             return Planted{{header(tower_, started), old}, {}, {v}};
         },
         1},
        // Only its name ties it to the run: kept, reported.
        {"AVolumeAskedForWhoseAnswerNeverCame",
         [&] {
             const std::string v = volume("sw-h");
             return Planted{{header(tower_, started), asking("volume", "sw-h")}, {}, {v}};
         },
         1},
        {"AVmAskedForWhoseAnswerNeverCame",
         [&] {
             const VM vm = fresh_vm(4, "sw-i", false);
             const Disk& d = vm.disks[0];
             return Planted{{header(tower_, started), made("volume", d.volume_id, d.name),
                             asking("vm", vm.name, {d.volume_id})},
                            {vm.id, d.volume_id},
                            {}};
         },
         0},
        {"SomethingAskedForThatWasNeverMade",
         [&] {
             return Planted{{header(tower_, started), asking("volume", "sw-never")}, {}, {}};
         },
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Planted planted = row.plant();
        plant(row.name, planted.lines);
        const Strings alerts = sweep();
        EXPECT_EQ(alerts.size(), row.alerts) << ::testing::PrintToString(alerts);
        // Everything is settled: the journal goes.
        EXPECT_EQ(journals(), 0u);
        for (const std::string& id : planted.gone)
            EXPECT_FALSE(exists("vms", id) || exists("vm_volumes", id)) << id;
        for (const std::string& id : planted.kept)
            EXPECT_TRUE(exists("vms", id) || exists("vm_volumes", id) || exists("vm_snapshots", id))
                << id;
        // A second sweep finds nothing more to do or say.
        EXPECT_EQ(sweep(), Strings());
    }
    EXPECT_EQ(set_aside(), 0u);
    EXPECT_TRUE(exists("vms", vm_.id));
    EXPECT_EQ(listed_vm(*world_, vm_.id).disks.size(), vm_.disks.size());
}

// A journal read line by line and within a bound: what its readable lines
// name is settled, the rest is set aside (alerted) naming its file; a huge
// one is never read into memory.
TEST_F(RestoreSweep, JournalsThatCannotBeReadWholeAreSetAsideOnceTheirReadableLinesAreSettled) {
    const time_t started = ::time(nullptr) - 5;
    const struct Row {
        const char* name;
        std::function<std::string(Strings& gone, Strings& kept)> text;
        size_t journals;
        size_t aside;
    } rows[] = {
        {"AGarbageLineAmongGoodOnes",
         [&](Strings& gone, Strings&) {
             const std::string a = volume("sw-j"), b = volume("sw-k");
             gone = {a, b};
             return line(header(tower_, started)) + line(made("volume", a, "sw-j")) +
                    "{not a journal line\n" + line(Object{{"what", Value(1)}}) +
                    line(made("volume", b, "sw-k"));
         },
         0, 1},
        {"ALastLineCutShort",
         [&](Strings& gone, Strings&) {
             const std::string a = volume("sw-l");
             gone = {a};
             return line(header(tower_, started)) + line(made("volume", a, "sw-l")) +
                    "{\"made\": \"vol";
         },
         0, 0},
        {"NoHeader",
         [&](Strings&, Strings& kept) {
             const std::string a = volume("sw-m");
             kept = {a};
             return "garbage\n" + line(made("volume", a, "sw-m"));
         },
         0, 1},
        {"AStartThatIsNoTime",
         [&](Strings&, Strings& kept) {
             const std::string a = volume("sw-p");
             kept = {a};
             Object head = header(tower_, started);
             head["started"] = Value(uint64_t{UINT64_MAX});
             return line(head) + line(made("volume", a, "sw-p"));
         },
         0, 1},
        {"LargerThanAnyJournal",
         [&](Strings&, Strings& kept) {
             const std::string a = volume("sw-n");
             kept = {a};
             return line(header(tower_, started)) + line(made("volume", a, "sw-n")) +
                    std::string(smartx::MAX_RECORD_BYTES, ' ') + "\n";
         },
         0, 1},
        {"WhatThisCloudTowerCannotTell",
         [&](Strings&, Strings& kept) {
             const std::string a = volume("sw-o");
             kept = {a};
             world_->tower().fail_path("get-vm-volumes", 500, "unavailable");
             return line(header(tower_, started)) + "garbage\n" + line(made("volume", a, "sw-o"));
         },
         1, 0},
    };
    size_t aside = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Strings gone, kept;
        plant(row.name, row.text(gone, kept));
        const Strings alerts = sweep();
        world_->tower().reset_switches();
        aside += row.aside;
        EXPECT_EQ(journals(), row.journals);
        EXPECT_EQ(set_aside(), aside);
        EXPECT_EQ(alerts.size(), row.aside) << ::testing::PrintToString(alerts);
        for (const std::string& a : alerts)
            EXPECT_THAT(a, ::testing::HasSubstr(row.name));
        for (const std::string& id : gone)
            EXPECT_FALSE(exists("vm_volumes", id)) << id;
        for (const std::string& id : kept)
            EXPECT_TRUE(exists("vm_volumes", id)) << id;
    }
}

// Only what a dead restore journaled goes, and only in its own CloudTower:
// never a VM merely sharing a name, never a volume another VM mounts,
// nothing of a running restore, nothing while CloudTower cannot be read.
TEST_F(RestoreSweep, OnlyWhatADeadRestoreMadeGoes) {
    const VM twin = numbered_vm("dr", 1, "twin", {MiB}, "of the same name");
    world_->add_vms({twin});
    const struct Row {
        const char* name;
        std::string tower;
        bool live;
        // Makes what the run makes and journals it.
        std::function<Planted(smartx::Restore_Journal&)> run;
        size_t journals;  // left after the sweep
    } rows[] = {
        {"UnmountedVolume", tower_, false,
         [&](smartx::Restore_Journal& j) {
             const std::string v = journaled(j, "loose-0", volume("loose-0"));
             return Planted{{}, {v}, {}};
         },
         0},
        {"ItsVmWithItsVolume", tower_, false,
         [&](smartx::Restore_Journal& j) {
             const VM vm = fresh_vm(5, "twin", false);
             const Disk& d = vm.disks[0];
             journaled(j, d.name, d.volume_id);
             EXPECT_TRUE(j.asking({Restore_Made::VM, "", "", "twin", {d.volume_id}}));
             EXPECT_TRUE(j.note({Restore_Made::VM, vm.id, "", "", {}}));
             return Planted{{}, {vm.id, d.volume_id}, {}};
         },
         0},
        {"VolumeAnotherVmMounts", tower_, false,
         [&](smartx::Restore_Journal& j) {
             const Disk& d = vm_.disks[0];
             journaled(j, d.name, d.volume_id);
             return Planted{{}, {}, {d.volume_id}};
         },
         0},
        {"OfAnotherCloudTower", "10.0.0.9:443", false,
         [&](smartx::Restore_Journal& j) {
             const std::string v = journaled(j, "loose-1", volume("loose-1"));
             return Planted{{}, {}, {v}};
         },
         1},
        {"OfARunningRestore", tower_, true,
         [&](smartx::Restore_Journal& j) {
             const std::string v = journaled(j, "loose-2", volume("loose-2"));
             return Planted{{}, {}, {v}};
         },
         2},
        {"WhileCloudTowerCannotBeRead", tower_, false,
         [&](smartx::Restore_Journal& j) {
             const std::string v = journaled(j, "loose-3", volume("loose-3"));
             world_->tower().fail_path("get-vm-volumes", 500, "unavailable");
             return Planted{{}, {}, {v}};
         },
         3},
    };
    std::vector<std::unique_ptr<smartx::Restore_Journal>> running;
    Strings later;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        running.emplace_back(new smartx::Restore_Journal);
        smartx::Restore_Journal& journal = *running.back();
        ASSERT_TRUE(journal.open(row.name, row.tower, vm_.id, "twin"));
        const Planted planted = row.run(journal);
        if (!row.live)
            journal.close();
        sweep();
        world_->tower().reset_switches();
        EXPECT_EQ(journals(), row.journals);
        for (const std::string& id : planted.gone)
            EXPECT_FALSE(exists("vms", id) || exists("vm_volumes", id)) << id;
        for (const std::string& id : planted.kept)
            EXPECT_TRUE(exists("vms", id) || exists("vm_volumes", id)) << id;
        if (row.journals > 1)
            later.push_back(planted.kept.front());
        EXPECT_TRUE(exists("vms", twin.id));
        EXPECT_TRUE(exists("vms", vm_.id));
    }
    // The running restore ends and CloudTower answers again: what they left goes.
    running.clear();
    sweep();
    for (const std::string& id : later)
        EXPECT_FALSE(exists("vm_volumes", id)) << id;
    EXPECT_EQ(journals(), 1u);
    EXPECT_EQ(listed_vm(*world_, vm_.id).disks.size(), vm_.disks.size());
}

// A restore that ends (its VM made, its journal removed) just as a sweep
// has opened its journal and not yet locked it: the sweep must not take it
// for a dead run's.
TEST_F(RestoreSweep, ARestoreEndingWhileASweepOpensItsJournalKeepsWhatItMade) {
    smartx::Restore_Journal journal;
    ASSERT_TRUE(journal.open("ending", tower_, vm_.id, "kept"));
    const std::string v = journaled(journal, "kept-0", volume("kept-0"));
    size_t opened = 0;
    smartx::set_record_open_hook([&](const std::string& path) {
        if (path.find("/ending") != std::string::npos && opened++ == 0)
            journal.finish();
    });
    const Strings alerts = sweep();
    smartx::set_record_open_hook(nullptr);
    EXPECT_EQ(opened, 1u);
    EXPECT_TRUE(exists("vm_volumes", v));
    EXPECT_EQ(alerts, Strings());
    EXPECT_EQ(restore_journals(), Strings());
}

// A removal whose task does not end within the sweep's bound is left to
// the next sweep, which asks after that task once and waits for nothing;
// once it has ended, the journal goes.
TEST_F(RestoreSweep, ARemovalThatDoesNotEndIsNotWaitedForTwice) {
    ::setenv("SMARTX_TASK_WAIT_SECONDS", "1", 1);
    const VM vm = fresh_vm(6, "sw-p", false);
    const Disk& d = vm.disks[0];
    plant("slow", {header(tower_, ::time(nullptr) - 5), made("volume", d.volume_id, d.name),
                   made("vm", vm.id, vm.name)});
    world_->tower().hold_tasks("delete-vm");
    const auto deletes = [this] {
        size_t n = 0;
        for (const sim::cloudtower::Logged_Request& r : world_->tower().requests())
            n += r.path == "/v2/api/delete-vm" ? 1 : 0;
        return n;
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(sweep(), Strings());
        EXPECT_EQ(journals(), 1u);
        EXPECT_EQ(deletes(), 1u);
        EXPECT_TRUE(exists("vm_volumes", d.volume_id));
    }
    world_->tower().release_tasks();
    // The task goes on at its next poll.
    for (int i = 0; i < 100 && exists("vms", vm.id); ++i) {
        sweep();
        ::usleep(20000);
    }
    sweep();
    ::unsetenv("SMARTX_TASK_WAIT_SECONDS");
    EXPECT_FALSE(exists("vms", vm.id));
    EXPECT_FALSE(exists("vm_volumes", d.volume_id));
    EXPECT_EQ(journals(), 0u);
    EXPECT_EQ(deletes(), 1u);
}

// What only a name ties to a dead run stays, reported, whatever its
// journal says; a journal whose header says no start is set aside whole.
TEST_F(RestoreSweep, WhatOnlyANameTiesToADeadRunStays) {
    const time_t started = ::time(nullptr) - 5;
    const time_t in_2020 = 1577836800;
    const struct Row {
        const char* name;
        std::function<Planted()> plant;
        size_t alerts;
        size_t aside;
    } rows[] = {
        {"APersonsStoppedVmWithNoDisksNamedAsTheAskedVm",
         [&] {
             const std::string v = volume("nm-a-disk");
             const std::string person = person_vm(11, "nm-a");
             return Planted{{header(tower_, started), made("volume", v, "nm-a-disk"),
                             asking("vm", "nm-a", {v})},
                            {v},
                            {person}};
         },
         1, 0},
        {"AVmOfTheNameMountingTheDeadRunsVolume",
         [&] {
             const std::string v = volume("nm-b-disk");
             const VM person = fresh_vm(7, "nm-b", false);
             mount(person.id, {v});
             return Planted{{header(tower_, started), made("volume", v, "nm-b-disk"),
                             asking("vm", "nm-b", {v})},
                            {},
                            {person.id, v, person.disks[0].volume_id}};
         },
         2, 0},
        {"AVolumeNamedAsTheAskedVolume",
         [&] {
             const std::string v = volume("nm-c");
             return Planted{{header(tower_, started), asking("volume", "nm-c")}, {}, {v}};
         },
         1, 0},
        // Stray journals: nothing of the user's goes.
        {"AHeaderWithoutAStart",
         [&] {
             const VM user = fresh_vm(8, "nm-d", false);
             Object head = header(tower_, started);
             head.erase("started");
             return Planted{{head, asking("vm", "nm-d", {user.disks[0].volume_id})},
                            {},
                            {user.id, user.disks[0].volume_id}};
         },
         1, 1},
        {"AHeaderStartingAt0",
         [&] {
             const VM user = fresh_vm(9, "nm-e", false);
             return Planted{
                 {header(tower_, 0), made("volume", user.disks[0].volume_id, user.disks[0].name)},
                 {},
                 {user.id, user.disks[0].volume_id}};
         },
         1, 1},
        {"AHeaderOf2020AskingForAUsersVmWithItsVolumes",
         [&] {
             const VM user = fresh_vm(10, "nm-f", false);
             return Planted{
                 {header(tower_, in_2020), asking("vm", "nm-f", {user.disks[0].volume_id})},
                 {},
                 {user.id, user.disks[0].volume_id}};
         },
         1, 0},
    };
    size_t aside = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Planted planted = row.plant();
        plant(row.name, planted.lines);
        const Strings alerts = sweep();
        aside += row.aside;
        EXPECT_EQ(alerts.size(), row.alerts) << ::testing::PrintToString(alerts);
        for (const std::string& a : alerts)
            EXPECT_THAT(a, ::testing::HasSubstr(row.name));
        EXPECT_EQ(journals(), 0u);
        EXPECT_EQ(set_aside(), aside);
        for (const std::string& id : planted.gone)
            EXPECT_FALSE(exists("vms", id) || exists("vm_volumes", id)) << id;
        for (const std::string& id : planted.kept)
            EXPECT_TRUE(exists("vms", id) || exists("vm_volumes", id)) << id;
        EXPECT_EQ(sweep(), Strings());
    }
}

// CloudTower's clock is its own: a dead run's objects go, and a person's VM
// made before the run stays, whether CloudTower runs behind the host or
// ahead of it.
TEST_F(RestoreSweep, CloudTowersClockIsNeverHeldAgainstTheHosts) {
    const long offsets[] = {-60, 600};
    for (const long offset : offsets) {
        SCOPED_TRACE(offset);
        world_->tower().set_clock_offset(offset);
        const std::string tag = std::to_string(offset);
        // A person's VM, made before the run; later it mounts what the run made.
        const std::string person = person_vm(offset > 0 ? 12 : 13, "ck-person" + tag, offset);
        const std::string run = "clock" + tag;
        smartx::Restore_Journal journal;
        ASSERT_TRUE(journal.open(run, tower_, vm_.id, "ck-web" + tag));
        const std::string a = journaled(journal, "ck-a" + tag, volume("ck-a" + tag));
        const std::string b = journaled(journal, "ck-b" + tag, volume("ck-b" + tag));
        // The run asks for its VM and dies; CloudTower makes it after.
        ASSERT_TRUE(journal.asking({Restore_Made::VM, "", "", "ck-web" + tag, {a, b}}));
        journal.close();
        const std::string late = vm_on("ck-web" + tag, {a, b});
        // The second run of the same entry asked for a VM of the person's name.
        smartx::Restore_Journal second;
        ASSERT_TRUE(second.open(run + "-2", tower_, vm_.id, "ck-person" + tag));
        const std::string c = journaled(second, "ck-d" + tag, volume("ck-d" + tag));
        ASSERT_TRUE(second.asking({Restore_Made::VM, "", "", "ck-person" + tag, {c}}));
        second.close();
        mount(person, {c});
        world::end_answer_grace();

        const Strings alerts = sweep();
        world_->tower().set_clock_offset(0);
        for (const std::string& id : {late, a, b})
            EXPECT_FALSE(exists("vms", id) || exists("vm_volumes", id)) << id;
        EXPECT_TRUE(exists("vms", person));
        EXPECT_TRUE(exists("vm_volumes", c));
        EXPECT_EQ(alerts.size(), 2u) << ::testing::PrintToString(alerts);
        EXPECT_EQ(journals(), 0u);
    }
}

// A run whose create answer was lost keeps that request open in its
// journal: what CloudTower makes of it later is found and reported, never
// lost track of; a request CloudTower refused is settled at once.
TEST_F(RestoreSweep, ARunNeverForgetsARequestWhoseAnswerItDidNotGet) {
    const struct Row {
        const char* name;
        bool refused;
        bool lands;
    } rows[] = {
        {"LandsLate", false, true},
        {"NeverLands", false, false},
        {"Refused", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = std::string("lost-") + row.name;
        Strings alerts;
        const smartx::Leftover_Alert alert = [&alerts](const smartx::Leftover_Kept& k) {
            alerts.push_back(k.id + " of " + k.run);
        };
        {
            smartx::Restore_Journal journal;
            ASSERT_TRUE(journal.open(row.name, tower_, vm_.id, name));
            ASSERT_TRUE(journal.asking({Restore_Made::VOLUME, "", "", name, {}}));
            if (row.refused) {
                ASSERT_TRUE(journal.refused(Restore_Made::VOLUME));
            }
            // The run fails and cleans up after itself.
            EXPECT_EQ(journal.remove_made(client_, alert), row.refused);
            journal.close();
        }
        EXPECT_EQ(journals(), row.refused ? 0u : 1u);
        // The request is carried out a few seconds late.
        const std::string v = row.lands ? volume(name) : std::string();
        // Within the grace the request stays open; what it made is reported.
        const Strings early = sweep();
        EXPECT_EQ(early.size(), row.lands ? 1u : 0u) << ::testing::PrintToString(early);
        EXPECT_EQ(journals(), row.refused ? 0u : 1u);
        if (!row.refused)
            world::end_answer_grace();
        EXPECT_EQ(sweep(), Strings());
        EXPECT_EQ(journals(), 0u);
        if (row.lands) {
            EXPECT_TRUE(exists("vm_volumes", v));
            EXPECT_THAT(early.front(), ::testing::HasSubstr(v + " of " + row.name));
        }
        EXPECT_EQ(alerts, Strings());
    }
}

}  // namespace
}  // namespace backup_test
