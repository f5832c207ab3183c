#include "smartx/servant/restore_leftovers.h"

#include <algorithm>
#include <ctime>

#include <ace/Log_Msg.h>

#include "host/json_spirit/json_io.h"
#include "smartx/common/error.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/task.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_volume.h"

namespace smartx {

namespace {
const char* const KIND_NAMES[] = {"volume", "vm"};

const char* kind_name(Restore_Made::Kind kind) {
    return KIND_NAMES[kind];
}

// The task that makes it has not ended (or cannot be read): what it makes
// may still appear.
bool creation_pending(RESTful_Client& client, const Restore_Made& made) {
    if (made.task_id.empty())
        return false;
    Task task;
    Error error;
    if (client.query_task(made.task_id, task, &error) ? task_ended(task.status)
                                                      : is_not_found(error))
        return false;
    ACE_ERROR((LM_WARNING, ACE_TEXT("The %C %C a restore made is not settled: its task %C %C.\n"),
               kind_name(made.kind), made.id.c_str(), made.task_id.c_str(),
               error.message.empty() ? "has not ended" : error.message.c_str()));
    return true;
}

enum class VM_Removal { GONE, NOT_YET, STAYS };

// NOT_YET: CloudTower has not ended making it; STAYS: it is there (or may be:
// CloudTower could not be read) and could not be removed.
VM_Removal remove_vm(RESTful_Client& client, const Restore_Made& made) {
    if (creation_pending(client, made))
        return VM_Removal::NOT_YET;
    VM vm;
    Error error;
    if (!client.query_vm(made.id, vm, &error)) {
        if (is_not_found(error))
            return VM_Removal::GONE;
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to look up VM %C a restore made: %C.\n"),
                   made.id.c_str(), error.message.c_str()));
        return VM_Removal::STAYS;
    }
    if (vm.get_status() != VM_Status::STOPPED && !client.poweroff_vm(made.id, &error)) {
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to power off VM %C a restore made: %C.\n"),
                   made.id.c_str(), error.message.c_str()));
        return VM_Removal::STAYS;
    }
    if (!client.delete_vm(made.id, true, &error)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete new VM, SmartX ERROR(%C).\n"),
                   error.message.c_str()));
        return VM_Removal::STAYS;
    }
    ACE_DEBUG((LM_INFO, ACE_TEXT("Removed VM %C (%C) a restore made.\n"), made.id.c_str(),
               vm.name.c_str()));
    return VM_Removal::GONE;
}
}  // namespace

std::string journal_tower(const Login_Info& login) {
    return login.host + ":" + std::to_string(login.port);
}

std::string restore_journal_directory() {
    return servant_record_directory("restore");
}

bool read_restore_journal(const std::string& text, Restore_Journal_Text& out) {
    out = Restore_Journal_Text();
    bool header = false;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        json_spirit::Value line;
        if (!json_spirit::read(text.substr(at, end - at), line) ||
            line.type() != json_spirit::obj_type)
            return false;
        const json_spirit::Object& o = line.get_obj();
        if (!header) {
            const std::string* tower = json_spirit::object_get_str(o, "tower");
            if (tower == nullptr)
                return false;
            out.tower = *tower;
            header = true;
            continue;
        }
        const std::string* kind = json_spirit::object_get_str(o, "made");
        const std::string* id = json_spirit::object_get_str(o, "id");
        const std::string* task = json_spirit::object_get_str(o, "task");
        const auto known = kind != nullptr
                               ? std::find(std::begin(KIND_NAMES), std::end(KIND_NAMES), *kind)
                               : std::end(KIND_NAMES);
        if (known == std::end(KIND_NAMES) || id == nullptr || id->empty() || task == nullptr)
            return false;
        Restore_Made made;
        made.kind = static_cast<Restore_Made::Kind>(known - std::begin(KIND_NAMES));
        made.id = *id;
        made.task_id = *task;
        out.made.push_back(std::move(made));
    }
    return header;
}

bool Restore_Journal::open(const std::string& run_id, const std::string& tower,
                           const std::string& vm_src_id, const std::string& vm_name) {
    made_.clear();
    const json_spirit::Object header{{"tower", json_spirit::Value(tower)},
                                     {"vm_src_id", json_spirit::Value(vm_src_id)},
                                     {"vm_name", json_spirit::Value(vm_name)},
                                     {"started", json_spirit::Value(int64_t{::time(nullptr)})}};
    if (record_.take(restore_journal_directory(), run_id,
                     json_spirit::write(json_spirit::Value(header)) + "\n"))
        return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to journal the restore of VM %C.\n"), vm_src_id.c_str()));
    return false;
}

bool Restore_Journal::note(const Restore_Made& made) {
    // Kept here whatever the file takes: the run itself still removes it.
    made_.push_back(made);
    const json_spirit::Object line{{"made", json_spirit::Value(kind_name(made.kind))},
                                   {"id", json_spirit::Value(made.id)},
                                   {"task", json_spirit::Value(made.task_id)}};
    return record_.append(json_spirit::write(json_spirit::Value(line)) + "\n");
}

void Restore_Journal::forget(const std::vector<Restore_Made>& settled) {
    made_.erase(std::remove_if(made_.begin(), made_.end(),
                               [&](const Restore_Made& m) {
                                   return std::any_of(settled.begin(), settled.end(),
                                                      [&](const Restore_Made& s) {
                                                          return s.kind == m.kind && s.id == m.id;
                                                      });
                               }),
                made_.end());
}

void Restore_Journal::close() {
    if (made_.empty())
        record_.release();
    else
        record_.keep();
    made_.clear();
}

Volume_Removal delete_unmounted_volume(RESTful_Client& client, const std::string& id,
                                       std::string* why) {
    VM_Volume volume;
    Error error;
    if (!client.query_vm_volume(id, volume, &error)) {
        // Gone already (with a deleted VM, say): nothing to do.
        if (is_not_found(error))
            return Volume_Removal::GONE;
        *why = error.message;
        return Volume_Removal::FAILED;
    }
    if (!volume.vm_disks.empty()) {
        ACE_ERROR(
            (LM_WARNING, ACE_TEXT("Volume %C is still mounted by a VM: kept.\n"), id.c_str()));
        return Volume_Removal::MOUNTED;
    }
    if (!client.delete_vm_volume(id, true, &error)) {
        *why = error.message;
        return Volume_Removal::FAILED;
    }
    return Volume_Removal::GONE;
}

bool remove_restore_made(RESTful_Client& client, const std::vector<Restore_Made>& made,
                         std::vector<Restore_Made>& settled) {
    settled.clear();
    bool all = true;
    bool vm_stays = false;
    for (const Restore_Made& m : made)
        if (m.kind == Restore_Made::VM) {
            const VM_Removal removal = remove_vm(client, m);
            if (removal == VM_Removal::GONE)
                settled.push_back(m);
            all = all && removal == VM_Removal::GONE;
            vm_stays = vm_stays || removal == VM_Removal::STAYS;
        }
    // A VM that stays may mount the volumes, which then look another VM's:
    // none is touched. One not made yet mounts nothing; it will find its
    // volumes gone.
    if (vm_stays)
        return false;
    for (const Restore_Made& m : made) {
        if (m.kind != Restore_Made::VOLUME)
            continue;
        std::string why;
        if (creation_pending(client, m)) {
            all = false;
        } else if (delete_unmounted_volume(client, m.id, &why) != Volume_Removal::FAILED) {
            settled.push_back(m);
        } else {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete volume %C. SmartX Error (%C).\n"),
                       m.id.c_str(), why.c_str()));
            all = false;
        }
    }
    return all;
}

void sweep_dead_restores(RESTful_Client& client, const std::string& tower) {
    visit_records(restore_journal_directory(), [&](const std::string& run_id,
                                                   const std::string& text, bool live) {
        if (live)
            return false;
        Restore_Journal_Text journal;
        if (!read_restore_journal(text, journal)) {
            ACE_ERROR((LM_WARNING, ACE_TEXT("Journal %C of a restore cannot be read: kept.\n"),
                       run_id.c_str()));
            return false;
        }
        if (journal.tower != tower)
            return false;
        std::vector<Restore_Made> settled;
        if (remove_restore_made(client, journal.made, settled))
            return true;
        ACE_ERROR((LM_WARNING,
                   ACE_TEXT("What the dead restore %C made is not all removed: its "
                            "journal is kept.\n"),
                   run_id.c_str()));
        return false;
    });
}

}  // namespace smartx
