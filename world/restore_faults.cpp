#include "world/restore_faults.h"

#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "smartx/common/restful_client.h"
#include "smartx/servant/restore_leftovers.h"
#include "world/listed_vm.h"
#include "world/pool_image.h"

namespace world {

namespace {
// How long the query after a kill point is held up: the killer's window.
// Only queries are held up: one still in flight after the kill changes
// nothing.
constexpr int HOLD_UP_MS = 1500;
// How late CloudTower carries out a create request a servant is killed
// waiting for.
constexpr int ANSWER_LATE_MS = 1500;
// The longest a test waits for what comes after a kill.
constexpr int LANDING_WAIT_MS = 30000;
constexpr int LANDING_POLL_MS = 20;
// A stale journal's age: its run and its requests are long over.
constexpr time_t STALE_AGE_S = 24 * 3600;
constexpr mode_t JOURNAL_DIRECTORY_MODE = 0750;
// The pause of every ZBS call while a restore writes: a transfer takes long
// enough to be caught in the middle.
const char* const SLOW_ZBS_MS = "50";
// The heads of restore_leftovers' lines.
const char* const VOLUME_LINE = "volume ";
const char* const JOURNAL_LINE = "restore journal ";

std::set<std::string> ids_of(const Array& records) {
    std::set<std::string> out;
    for (const Value& r : records)
        out.insert(text_of(r, "id"));
    return out;
}

// The VM named name that was not there before; empty when there is none.
Object new_vm_named(Backup_World& world, const Tower_Census& before, const std::string& name) {
    for (const Value& v : world.tower().records("vms"))
        if (text_of(v, "name") == name && before.vms.count(text_of(v, "id")) == 0)
            return v.get_obj();
    return Object();
}

// Whether the servant has asked for next since its last request to made: it
// has heard CloudTower's answer to that one (and noted what it made).
bool asked_after(Backup_World& world, const std::string& made, const std::string& next) {
    const std::vector<sim::cloudtower::Logged_Request> log = world.tower().requests();
    const std::string made_path = "/v2/api/" + made, next_path = "/v2/api/" + next;
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->path == made_path)
            return false;
        if (it->path == next_path)
            return std::any_of(it, log.rend(), [&](const sim::cloudtower::Logged_Request& r) {
                return r.path == made_path;
            });
    }
    return false;
}

bool asked(Backup_World& world, const std::string& what) {
    const std::vector<sim::cloudtower::Logged_Request> log = world.tower().requests();
    return std::any_of(log.begin(), log.end(), [&](const sim::cloudtower::Logged_Request& r) {
        return r.path == "/v2/api/" + what;
    });
}

size_t new_volumes(Backup_World& world, const Tower_Census& before) {
    size_t made = 0;
    for (const std::string& id : ids_of(world.tower().records("vm_volumes")))
        made += before.volumes.count(id) == 0 ? 1 : 0;
    return made;
}

// The create request of what is answered late: logged, then carried out
// once the servant is dead.
std::function<void(Backup_World&)> answered_late(const char* what) {
    return [what](Backup_World& w) {
        w.tower().clear_requests();
        w.tower().set_delay(what, ANSWER_LATE_MS);
    };
}

bool has_data(const std::string& path) {
    try {
        return allocated_bytes(path) > 0;
    } catch (const std::exception&) {
        return false;  // gone since it was listed
    }
}
}  // namespace

Tower_Census tower_census(Backup_World& world) {
    Tower_Census c;
    c.vms = ids_of(world.tower().records("vms"));
    c.volumes = ids_of(world.tower().records("vm_volumes"));
    for (const std::string& f : pool_files(world.store_dir()))
        c.store_files.insert(f);
    return c;
}

std::vector<std::string> restore_journals() {
    return pool_files(smartx::restore_journal_directory());
}

void plant_stale_journal(Backup_World& world, const std::string& vm_name) {
    const VM vm = listed_vm(world, vm_id_named(world, vm_name));
    const auto made = [](const char* kind, const std::string& id, const std::string& name) {
        return Object{
            {"made", Value(kind)}, {"id", Value(id)}, {"task", Value("")}, {"name", Value(name)}};
    };
    std::vector<Object> lines{
        Object{{"tower", Value(smartx::journal_tower(world.defaults().login))},
               {"vm_src_id", Value(vm.id)},
               {"vm_name", Value(vm.name)},
               {"started", Value(int64_t{::time(nullptr) - STALE_AGE_S})}}};
    for (const Disk& d : vm.disks)
        lines.push_back(made("volume", d.volume_id, d.name));
    lines.push_back(made("vm", vm.id, vm.name));
    for (const Value& v : world.tower().records("vms"))
        if (text_of(v, "name") == smartx::CLOUDTOWER_VM_NAME)
            lines.push_back(made("vm", text_of(v, "id"), text_of(v, "name")));
    const std::string dir = smartx::restore_journal_directory();
    if (make_directories(dir, JOURNAL_DIRECTORY_MODE) != 0)
        throw std::runtime_error("cannot make " + dir);
    const std::string path = dir + "/stale-" + vm.id;
    std::ofstream out(path, std::ios::binary);
    for (const Object& o : lines)
        out << json_spirit::write(Value(o)) << "\n";
    out.close();
    const time_t old = ::time(nullptr) - STALE_AGE_S;
    const struct utimbuf times = {old, old};
    if (!out || ::utime(path.c_str(), &times) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> vanished(Backup_World& world, const Tower_Census& before) {
    const Tower_Census now = tower_census(world);
    std::vector<std::string> out;
    for (const std::string& id : before.vms)
        if (now.vms.count(id) == 0)
            out.push_back("VM " + id);
    for (const std::string& id : before.volumes)
        if (now.volumes.count(id) == 0)
            out.push_back("volume " + id);
    return out;
}

std::vector<std::string> restore_leftovers(Backup_World& world, const Tower_Census& before,
                                           const std::vector<std::string>& kept_vms) {
    std::set<std::string> kept_volumes, kept_files;
    for (const std::string& id : kept_vms)
        for (const Disk& d : listed_vm(world, id).disks) {
            kept_volumes.insert(d.volume_id);
            kept_files.insert(d.zbs_volume_id);
        }
    const std::set<std::string> kept(kept_vms.begin(), kept_vms.end());
    std::vector<std::string> out;
    for (const Value& v : world.tower().records("vms")) {
        const std::string id = text_of(v, "id");
        if (before.vms.count(id) == 0 && kept.count(id) == 0)
            out.push_back("VM " + id + " (" + text_of(v, "name") + ")");
    }
    for (const Value& v : world.tower().records("vm_volumes")) {
        const std::string id = text_of(v, "id");
        if (before.volumes.count(id) == 0 && kept_volumes.count(id) == 0)
            out.push_back("volume " + id + " (" + text_of(v, "name") + ")");
    }
    for (const std::string& f : pool_files(world.store_dir()))
        if (before.store_files.count(f) == 0 && kept_files.count(f) == 0)
            out.push_back("store file " + f);
    for (const std::string& j : restore_journals())
        out.push_back("restore journal " + j);
    return out;
}

std::vector<Restore_Kill_Point> restore_kill_points(const VM& vm, const std::string& new_name) {
    const size_t disks = vm.disks.size();
    const auto hold_up = [](const char* path) {
        return [path](Backup_World& w) { w.tower().set_delay(path, HOLD_UP_MS); };
    };
    return {
        {"WhileItsFirstVolumeIsAnswered",
         {},
         answered_late("create-vm-volume"),
         [](Backup_World& w, const Tower_Census&) { return asked(w, "create-vm-volume"); },
         [](Backup_World& w, const Tower_Census& before) { return new_volumes(w, before) >= 1; },
         false,
         true},
        // Its chunks are resolved next (each volume's LUN looked up).
        {"OnceItsVolumesAreMade",
         {},
         hold_up("get-iscsi-luns"),
         [disks](Backup_World& w, const Tower_Census& before) {
             return new_volumes(w, before) >= disks &&
                    asked_after(w, "create-vm-volume", "get-iscsi-luns");
         }},
        {"WhileItWritesThem",
         {{"ZBS_SIM_DELAY_MS", SLOW_ZBS_MS}},
         [](Backup_World&) {},
         [](Backup_World& w, const Tower_Census& before) {
             for (const std::string& f : pool_files(w.store_dir()))
                 if (before.store_files.count(f) == 0 && has_data(w.store_dir() + "/" + f))
                     return true;
             return false;
         }},
        {"WhileItsVmIsAnswered",
         {},
         answered_late("create-vm"),
         [](Backup_World& w, const Tower_Census&) { return asked(w, "create-vm"); },
         [new_name](Backup_World& w, const Tower_Census& before) {
             return !new_vm_named(w, before, new_name).empty();
         }},
        // It looks the VM up next, then its check starts it.
        {"OnceItsVmIsMade",
         {},
         hold_up("get-vms"),
         [new_name](Backup_World& w, const Tower_Census& before) {
             return !new_vm_named(w, before, new_name).empty() &&
                    asked_after(w, "create-vm", "get-vms");
         }},
        // Started by its check, which looks it up next; the job then asks for
        // it stopped.
        {"BeforeItsPowerStep",
         {},
         hold_up("get-vms"),
         [new_name](Backup_World& w, const Tower_Census& before) {
             return text_of(Value(new_vm_named(w, before, new_name)), "status") == "RUNNING";
         },
         nullptr,
         true},
    };
}

bool alert_names(Backup_World& world, const std::string& id) {
    for (const Value& a : world.backupd().alerts())
        if (json_spirit::write(a).find(id) != std::string::npos)
            return true;
    return false;
}

void end_answer_grace() {
    const std::string dir = smartx::restore_journal_directory();
    const time_t past = ::time(nullptr) - 2 * smartx::LATE_ANSWER_GRACE_S;
    const struct utimbuf times = {past, past};
    for (const std::string& j : restore_journals())
        if (j.find('/') == std::string::npos && ::utime((dir + "/" + j).c_str(), &times) != 0)
            throw std::runtime_error("cannot age journal " + j);
}

std::vector<std::string> sweep_after_answer_grace(Backup_World& world) {
    end_answer_grace();
    smartx::Login_Info login = world.defaults().login;
    smartx::RESTful_Client client;
    if (!client.login(login))
        throw std::runtime_error("cannot log in to CloudTower");
    std::vector<std::string> kept;
    smartx::sweep_dead_restores(
        client, smartx::journal_tower(login),
        [&kept](const smartx::Leftover_Kept& k) { kept.push_back(k.kind + " " + k.id); });
    return kept;
}

std::vector<std::string> hurt_restore_problems(Backup_World& world, const Restore_Kill_Point& point,
                                               const Tower_Census& before,
                                               const std::vector<std::string>& kept) {
    std::vector<std::string> left = restore_leftovers(world, before, kept);
    if (!point.asked_volume_kept)
        return left;
    // The late volume (with its store file) and the journal that keeps its
    // request open.
    std::vector<std::string> volumes, journals;
    for (const std::string& l : left)
        if (l.rfind(VOLUME_LINE, 0) == 0)
            volumes.push_back(l);
        else if (l.rfind(JOURNAL_LINE, 0) == 0)
            journals.push_back(l);
    if (volumes.size() != 1 || journals.size() != 1) {
        left.push_back("not one volume kept with the journal that keeps its request open");
        return left;
    }
    const size_t from = std::strlen(VOLUME_LINE);
    const std::string id = volumes[0].substr(from, volumes[0].find(' ', from) - from);
    Object volume, lun;
    if (!world.tower().record("vm_volumes", id, volume) ||
        !world.tower().record("iscsi_luns", text_of(member_of(Value(volume), "lun"), "id"), lun)) {
        left.push_back("no record of volume " + id);
        return left;
    }
    std::vector<std::string> late{volumes[0], "store file " + text_of(Value(lun), "zbs_volume_id")};
    std::sort(late.begin(), late.end());
    std::vector<std::string> problems;
    std::vector<std::string> expected = late;
    expected.insert(expected.end(), journals.begin(), journals.end());
    std::sort(expected.begin(), expected.end());
    std::sort(left.begin(), left.end());
    if (left != expected) {
        left.push_back("more than the late volume and its journal");
        return left;
    }
    // Reported when the next restore met it.
    if (!alert_names(world, id))
        problems.push_back("no alert names volume " + id);
    // Once no answer can come, the journal goes and the volume stays.
    sweep_after_answer_grace(world);
    std::vector<std::string> after = restore_leftovers(world, before, kept);
    std::sort(after.begin(), after.end());
    if (after != late)
        for (const std::string& l : after)
            problems.push_back("after the grace: " + l);
    return problems;
}

bool wait_landed(Backup_World& world, const Restore_Kill_Point& point, const Tower_Census& before) {
    if (!point.landed)
        return true;
    for (int waited = 0; waited < LANDING_WAIT_MS; waited += LANDING_POLL_MS) {
        if (point.landed(world, before))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(LANDING_POLL_MS));
    }
    return false;
}

Restore_Kill_Point endless_vm_task() {
    return {"WhileItsVmIsMadeForever",
            {},
            [](Backup_World& w) {
                w.tower().clear_requests();
                w.tower().hold_tasks("create-vm");
            },
            [](Backup_World& w, const Tower_Census&) { return asked(w, "create-vm"); }};
}

}  // namespace world
