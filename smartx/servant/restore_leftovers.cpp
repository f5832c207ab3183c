#include "smartx/servant/restore_leftovers.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/json_spirit/json_io.h"
#include "smartx/common/error.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/task.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_volume.h"
#include "smartx/servant/leftover_rules.h"

namespace smartx {

namespace {
const char* const KIND_NAMES[] = {"volume", "vm"};
const char JOURNAL_KIND[] = "journal";

const char* kind_name(Restore_Made::Kind kind) {
    return KIND_NAMES[kind];
}

bool kind_of(const std::string* text, Restore_Made::Kind& kind) {
    if (text == nullptr)
        return false;
    const auto known = std::find(std::begin(KIND_NAMES), std::end(KIND_NAMES), *text);
    if (known == std::end(KIND_NAMES))
        return false;
    kind = static_cast<Restore_Made::Kind>(known - std::begin(KIND_NAMES));
    return true;
}

std::string journal_line(const json_spirit::Object& line) {
    return json_spirit::write(json_spirit::Value(line)) + "\n";
}

std::string header_line(const std::string& tower, const std::string& vm_src_id,
                        const std::string& vm_name, time_t started) {
    return journal_line(json_spirit::Object{{"tower", json_spirit::Value(tower)},
                                            {"vm_src_id", json_spirit::Value(vm_src_id)},
                                            {"vm_name", json_spirit::Value(vm_name)},
                                            {"started", json_spirit::Value(int64_t{started})}});
}

std::string asking_line(const Restore_Made& m) {
    json_spirit::Object line{{"asking", json_spirit::Value(kind_name(m.kind))},
                             {"name", json_spirit::Value(m.name)}};
    if (m.kind == Restore_Made::VM) {
        json_spirit::Array volumes;
        for (const std::string& id : m.volumes)
            volumes.push_back(json_spirit::Value(id));
        line["volumes"] = volumes;
    }
    return journal_line(line);
}

std::string made_line(const Restore_Made& m) {
    return journal_line(json_spirit::Object{{"made", json_spirit::Value(kind_name(m.kind))},
                                            {"id", json_spirit::Value(m.id)},
                                            {"task", json_spirit::Value(m.task_id)},
                                            {"name", json_spirit::Value(m.name)}});
}

std::string refused_line(const Restore_Made& m) {
    return journal_line(json_spirit::Object{{"refused", json_spirit::Value(kind_name(m.kind))},
                                            {"name", json_spirit::Value(m.name)}});
}

std::string deleting_line(Restore_Made::Kind kind, const std::string& id, const std::string& task) {
    return journal_line(json_spirit::Object{{"deleting", json_spirit::Value(kind_name(kind))},
                                            {"id", json_spirit::Value(id)},
                                            {"task", json_spirit::Value(task)}});
}

std::string left_line(Restore_Made::Kind kind, const std::string& id, const std::string& name,
                      const std::string& why) {
    return journal_line(json_spirit::Object{{"left", json_spirit::Value(kind_name(kind))},
                                            {"id", json_spirit::Value(id)},
                                            {"name", json_spirit::Value(name)},
                                            {"why", json_spirit::Value(why)}});
}

// Swaps the client's task hook for the time of a clean-up (which makes
// nothing the caller's hook would note).
class Scoped_Task_Hook {
public:
    Scoped_Task_Hook(RESTful_Client& client, RESTful_Client::Task_Hook hook)
        : client_(client), saved_(client.task_hook()) {
        client_.set_task_hook(std::move(hook));
    }
    ~Scoped_Task_Hook() { client_.set_task_hook(saved_); }
    Scoped_Task_Hook(const Scoped_Task_Hook&) = delete;
    Scoped_Task_Hook& operator=(const Scoped_Task_Hook&) = delete;

private:
    RESTful_Client& client_;
    RESTful_Client::Task_Hook saved_;
};

// Settles what one journal names: looks each line's object up, weighs it
// with judge_leftover and carries the verdict out.
class Settler {
public:
    enum class Fate {
        GONE,     // removed, or not there
        LEFT,     // kept: not provably the journal's, or in use
        NOT_YET,  // a task that makes or removes it has not ended, or its
                  // request may still be carried out
        STAYS,    // CloudTower could not be read, or refused
    };

    Settler(RESTful_Client& client, const Restore_Journal_Text& journal,
            const Restore_Settling& who, const Record_Append& append, const Leftover_Alert& alert)
        : client_(client), journal_(journal), who_(who), append_(append), alert_(alert) {
        // Only volumes CloudTower's answers gave the run are the run's.
        for (const Restore_Made& m : journal.made)
            if (m.kind == Restore_Made::VOLUME)
                run_volumes_[m.id];
    }

    // The VMs first: while one may be there and cannot be removed (or
    // CloudTower cannot tell), no volume is touched: it may mount them. One
    // not made yet mounts nothing; it will find its volumes gone.
    bool settle(std::vector<Restore_Made>& settled) {
        const Scoped_Task_Hook hook(
            client_, [this](Message::Type type, const std::string& id, const std::string& task) {
                if (type == Message::DELETE_VM)
                    note_deleting(Restore_Made::VM, id, task);
                else if (type == Message::DELETE_VM_VOLUME)
                    note_deleting(Restore_Made::VOLUME, id, task);
            });
        bool all = true;
        for (Restore_Made::Kind kind : {Restore_Made::VM, Restore_Made::VOLUME}) {
            bool stays = false;
            for (const std::vector<Restore_Made>* list : {&journal_.made, &journal_.asked})
                for (const Restore_Made& m : *list) {
                    if (m.kind != kind)
                        continue;
                    const Fate fate = m.id.empty() ? by_name(m) : by_id(m);
                    if (fate == Fate::GONE || fate == Fate::LEFT)
                        settled.push_back(m);
                    all = all && (fate == Fate::GONE || fate == Fate::LEFT);
                    stays = stays || fate == Fate::STAYS;
                }
            if (stays)
                return false;
            vms_pending_ = !all;
        }
        return all;
    }

private:
    using Key = std::pair<Restore_Made::Kind, std::string>;

    void note_deleting(Restore_Made::Kind kind, const std::string& id, const std::string& task) {
        append_(deleting_line(kind, id, task));
    }

    Fate leave(Restore_Made::Kind kind, const Leftover_Seen& seen, const std::string& why) {
        ACE_ERROR((LM_WARNING, ACE_TEXT("The %C %C (%C) is kept: %C (restore %C).\n"),
                   kind_name(kind), seen.id.c_str(), seen.name.c_str(), why.c_str(),
                   who_.run_id.c_str()));
        append_(left_line(kind, seen.id, seen.name, why));
        if (alert_)
            alert_(Leftover_Kept{kind_name(kind), seen.id, seen.name, who_.run_id, why});
        left_.insert(Key(kind, seen.id));
        return Fate::LEFT;
    }

    bool is_left(Restore_Made::Kind kind, const std::string& id) const {
        const Key key(kind, id);
        return journal_.left.count(key) != 0 || left_.count(key) != 0;
    }

    // A task that makes or removes it has not ended (or cannot be read):
    // what it does may still happen. Asked once, never waited for.
    bool task_running(Restore_Made::Kind kind, const std::string& id, const std::string& task_id,
                      const char* doing) {
        if (task_id.empty())
            return false;
        Task task;
        Error error;
        if (client_.query_task(task_id, task, &error) ? task_ended(task.status)
                                                      : is_not_found(error))
            return false;
        ACE_ERROR((LM_WARNING,
                   ACE_TEXT("The %C %C a restore made is not settled: the task %C it %C %C.\n"),
                   kind_name(kind), id.c_str(), task_id.c_str(), doing,
                   error.message.empty() ? "has not ended" : error.message.c_str()));
        return true;
    }

    bool removal_running(Restore_Made::Kind kind, const std::string& id) {
        const auto d = journal_.deleting.find(Key(kind, id));
        return d != journal_.deleting.end() && task_running(kind, id, d->second, "is removed by");
    }

    Leftover_Facts facts() const {
        Leftover_Facts f;
        f.own = who_.own;
        f.answers_may_come = who_.answers_may_come;
        f.vms_pending = vms_pending_;
        return f;
    }

    // What CloudTower shows of a VM; false when its disks cannot be read.
    bool see(const VM& vm, Leftover_Seen& seen) {
        seen.id = vm.id;
        seen.name = vm.name;
        seen.stopped = vm.get_status() == VM_Status::STOPPED;
        seen.status = vm.status;
        seen.platform = !vm.vm_usage.empty() || vm.name == CLOUDTOWER_VM_NAME;
        seen.created = vm.local_created_at;
        for (const VM_Disk& listed : vm.vm_disks) {
            VM_Disk disk = listed;
            Error error;
            // The VM lists its disks by id.
            if (disk.vm_volume.id.empty() && !client_.query_vm_disk(disk.id, disk, &error)) {
                ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to look up disk %C of VM %C: %C.\n"),
                           listed.id.c_str(), vm.id.c_str(), error.message.c_str()));
                return false;
            }
            if (!disk.vm_volume.id.empty())
                seen.volumes.push_back(disk.vm_volume.id);
        }
        return true;
    }

    static Leftover_Seen see(const VM_Volume& volume) {
        Leftover_Seen seen;
        seen.id = volume.id;
        seen.name = volume.name;
        seen.mounted = !volume.vm_disks.empty();
        seen.created = volume.local_created_at;
        return seen;
    }

    // When CloudTower made each of the run's volumes (a VM found by name is
    // weighed against them); false when CloudTower cannot tell.
    bool learn_run_volumes() {
        if (run_volumes_known_)
            return true;
        for (auto& v : run_volumes_) {
            VM_Volume volume;
            Error error;
            if (client_.query_vm_volume(v.first, volume, &error)) {
                v.second = volume.local_created_at;
            } else if (!is_not_found(error)) {
                ACE_ERROR((LM_WARNING,
                           ACE_TEXT("Failed to look up volume %C a restore made: %C.\n"),
                           v.first.c_str(), error.message.c_str()));
                return false;
            }
        }
        run_volumes_known_ = true;
        return true;
    }

    Fate carry_out(const Restore_Made& m, const Leftover_Judgement& j, const Leftover_Seen* seen) {
        const Restore_Made::Kind kind = m.kind;
        switch (j.verdict) {
            case Leftover_Verdict::SETTLED:
                return Fate::GONE;
            case Leftover_Verdict::KEEP:
                return leave(kind, *seen, j.why);
            case Leftover_Verdict::NOT_YET:
                ACE_ERROR((LM_WARNING,
                           ACE_TEXT("The %C %C a restore journaled is not settled: %C.\n"),
                           kind_name(kind),
                           (seen != nullptr ? seen->id
                            : m.id.empty()  ? m.name
                                            : m.id)
                               .c_str(),
                           j.why.c_str()));
                return Fate::NOT_YET;
            case Leftover_Verdict::REMOVE:
                break;
        }
        Error error;
        if (kind == Restore_Made::VM) {
            if (j.power_off && !client_.poweroff_vm(seen->id, &error)) {
                ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to power off VM %C a restore made: %C.\n"),
                           seen->id.c_str(), error.message.c_str()));
                return Fate::STAYS;
            }
            if (!client_.delete_vm(seen->id, true, &error) && !is_not_found(error)) {
                ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete new VM, SmartX ERROR(%C).\n"),
                           error.message.c_str()));
                return Fate::STAYS;
            }
        } else if (!client_.delete_vm_volume(seen->id, true, &error) && !is_not_found(error)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete volume %C. SmartX Error (%C).\n"),
                       seen->id.c_str(), error.message.c_str()));
            return Fate::STAYS;
        }
        ACE_DEBUG((LM_INFO, ACE_TEXT("Removed %C %C (%C) a restore made.\n"), kind_name(kind),
                   seen->id.c_str(), seen->name.c_str()));
        return Fate::GONE;
    }

    // Looks the object up by id into seen: 1 found, 0 not there, -1
    // CloudTower cannot tell (logged).
    int look_up(Restore_Made::Kind kind, const std::string& id, Leftover_Seen& seen) {
        Error error;
        bool found;
        if (kind == Restore_Made::VM) {
            VM vm;
            found = client_.query_vm(id, vm, &error);
            if (found && !see(vm, seen))
                return -1;
        } else {
            VM_Volume volume;
            found = client_.query_vm_volume(id, volume, &error);
            if (found)
                seen = see(volume);
        }
        if (found)
            return 1;
        if (is_not_found(error))
            return 0;
        ACE_ERROR((LM_WARNING, ACE_TEXT("Failed to look up the %C %C a restore journaled: %C.\n"),
                   kind_name(kind), id.c_str(), error.message.c_str()));
        return -1;
    }

    // Weighs one object found for line m, a removal of it under way or not.
    Fate weigh(const Restore_Made& m, const Leftover_Seen& seen, bool removing,
               bool* removed = nullptr) {
        Leftover_Facts f = facts();
        f.already_left = is_left(m.kind, seen.id);
        f.removing = removing;
        if (m.kind == Restore_Made::VM) {
            if (m.id.empty() && !learn_run_volumes())
                return Fate::STAYS;
            f.run_volumes = run_volumes_;
        }
        const Leftover_Judgement j = judge_leftover(m, &seen, f);
        const Fate fate = carry_out(m, j, &seen);
        if (removed != nullptr)
            *removed = j.verdict == Leftover_Verdict::REMOVE && fate == Fate::GONE;
        return fate;
    }

    Fate by_id(const Restore_Made& m) {
        Leftover_Facts f = facts();
        f.making = task_running(m.kind, m.id, m.task_id, "is made by");
        if (f.making)
            return carry_out(m, judge_leftover(m, nullptr, f), nullptr);
        // A removal is asked after before the look-up: the answer that ends
        // it may be what removes the object.
        const bool removing = !is_left(m.kind, m.id) && removal_running(m.kind, m.id);
        Leftover_Seen seen;
        const int found = look_up(m.kind, m.id, seen);
        if (found < 0)
            return Fate::STAYS;
        if (found > 0)
            return weigh(m, seen, removing);
        return carry_out(m, judge_leftover(m, nullptr, f), nullptr);
    }

    // Asked for, no answer journaled: what CloudTower shows under the name
    // asked for is weighed, and the request stays open until it is found
    // proven (and removed) or can no longer be carried out.
    Fate by_name(const Restore_Made& m) {
        Error error;
        std::vector<Leftover_Seen> found;
        bool listed;
        if (m.kind == Restore_Made::VM) {
            std::vector<VM> vms;
            listed = client_.query_vms_by_name(m.name, vms, &error);
            for (const VM& vm : vms) {
                found.emplace_back();
                if (!see(vm, found.back()))
                    return Fate::STAYS;
            }
        } else {
            std::vector<VM_Volume> volumes;
            listed = client_.query_vm_volumes_by_name(m.name, volumes, &error);
            for (const VM_Volume& volume : volumes)
                found.push_back(see(volume));
        }
        if (!listed) {
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("Failed to look for the %C %C a restore asked for: %C.\n"),
                       kind_name(m.kind), m.name.c_str(), error.message.c_str()));
            return Fate::STAYS;
        }
        Fate worst = Fate::GONE;
        bool answered = false;
        for (Leftover_Seen& seen : found) {
            bool removed = false;
            Fate fate = Fate::GONE;
            const bool noted = journal_.deleting.count(Key(m.kind, seen.id)) != 0;
            const bool removing =
                noted && !is_left(m.kind, seen.id) && removal_running(m.kind, seen.id);
            // A removal an earlier sweep started has ended since the listing:
            // what it removed is gone.
            const int still = noted && !removing ? look_up(m.kind, seen.id, seen) : 1;
            if (still < 0)
                fate = Fate::STAYS;
            else if (still == 0)
                removed = true;
            else
                fate = weigh(m, seen, removing, &removed);
            answered = answered || removed;
            if (fate == Fate::STAYS || (fate == Fate::NOT_YET && worst != Fate::STAYS))
                worst = fate;
        }
        if (worst != Fate::GONE)
            return worst;
        if (answered)
            return Fate::GONE;
        return carry_out(m, judge_leftover(m, nullptr, facts()), nullptr);
    }

    RESTful_Client& client_;
    const Restore_Journal_Text& journal_;
    const Restore_Settling& who_;
    const Record_Append& append_;
    const Leftover_Alert& alert_;
    std::map<std::string, std::string> run_volumes_;
    bool run_volumes_known_ = false;
    std::set<Key> left_;
    // A VM of the journal is not settled (a task of it has not ended).
    bool vms_pending_ = false;
};

// Reads one journal line after the header into out; false when it is none.
bool read_journal_line(const json_spirit::Object& o, Restore_Journal_Text& out) {
    const auto text = [&o](const char* key) { return json_spirit::object_get_str(o, key); };
    Restore_Made::Kind kind;
    if (kind_of(text("asking"), kind)) {
        Restore_Made m;
        m.kind = kind;
        const std::string* name = text("name");
        if (name == nullptr || name->empty())
            return false;
        m.name = *name;
        const json_spirit::Array* volumes =
            kind == Restore_Made::VM ? json_spirit::object_get_array(o, "volumes") : nullptr;
        if (volumes != nullptr)
            for (const json_spirit::Value& v : *volumes) {
                if (v.type() != json_spirit::str_type)
                    return false;
                m.volumes.push_back(v.get_str());
            }
        out.asked.push_back(std::move(m));
        return true;
    }
    if (kind_of(text("refused"), kind)) {
        const std::string* name = text("name");
        if (name == nullptr)
            return false;
        // Its answer came, and nothing was made.
        const auto asked =
            std::find_if(out.asked.begin(), out.asked.end(),
                         [&](const Restore_Made& a) { return a.kind == kind && a.name == *name; });
        if (asked != out.asked.end())
            out.asked.erase(asked);
        return true;
    }
    const std::string* id = text("id");
    if (id == nullptr || id->empty())
        return false;
    if (kind_of(text("made"), kind)) {
        const std::string* task = text("task");
        const std::string* name = text("name");
        if (task == nullptr)
            return false;
        Restore_Made m;
        m.kind = kind;
        m.id = *id;
        m.task_id = *task;
        m.name = name != nullptr ? *name : std::string();
        // Its answer came: the request asked for it is no longer open.
        const auto asked = std::find_if(
            out.asked.begin(), out.asked.end(),
            [&m](const Restore_Made& a) { return a.kind == m.kind && a.name == m.name; });
        if (asked != out.asked.end())
            out.asked.erase(asked);
        out.made.push_back(std::move(m));
        return true;
    }
    if (kind_of(text("deleting"), kind)) {
        const std::string* task = text("task");
        if (task == nullptr)
            return false;
        out.deleting[std::make_pair(kind, *id)] = *task;
        return true;
    }
    if (kind_of(text("left"), kind)) {
        out.left.insert(std::make_pair(kind, *id));
        return true;
    }
    return false;
}

void forget(std::vector<Restore_Made>& list, const std::vector<Restore_Made>& settled) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Restore_Made& m) {
                                  return std::any_of(settled.begin(), settled.end(),
                                                     [&](const Restore_Made& s) {
                                                         return s.kind == m.kind && s.id == m.id &&
                                                                s.name == m.name;
                                                     });
                              }),
               list.end());
}
}  // namespace

json_spirit::Object leftover_alert_detail(const Leftover_Kept& kept) {
    return json_spirit::Object{{"kind", json_spirit::Value(kept.kind)},
                               {"id", json_spirit::Value(kept.id)},
                               {"name", json_spirit::Value(kept.name)},
                               {"run", json_spirit::Value(kept.run)},
                               {"reason", json_spirit::Value(kept.why)}};
}

std::string journal_tower(const Login_Info& login) {
    return login.host + ":" + std::to_string(login.port);
}

std::string restore_journal_directory() {
    return servant_record_directory("restore");
}

bool read_restore_journal(const std::string& text, Restore_Journal_Text& out, std::string* why) {
    out = Restore_Journal_Text();
    bool header = false;
    const auto damaged = [why](const char* what) {
        if (why != nullptr)
            *why = what;
        return false;
    };
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        json_spirit::Value line;
        const bool object = json_spirit::read(text.substr(at, end - at), line) &&
                            line.type() == json_spirit::obj_type;
        if (!header) {
            const std::string* tower =
                object ? json_spirit::object_get_str(line.get_obj(), "tower") : nullptr;
            if (tower == nullptr)
                return damaged("has no header that can be read");
            out.tower = *tower;
            // Every journal a restore writes says when it started: one that
            // does not, or says no time that fits, is no journal to go by.
            if (!json_spirit::object_get(line.get_obj(), "started", out.started) ||
                out.started <= 0)
                return damaged("has a header that says no start time");
            header = true;
        } else if (!object || !read_journal_line(line.get_obj(), out)) {
            ++out.unreadable;
        }
    }
    return header || damaged("has no header that can be read");
}

std::string write_restore_journal(const Restore_Journal_Text& journal) {
    std::string text = header_line(journal.tower, std::string(), std::string(), journal.started);
    for (const Restore_Made& m : journal.made)
        text += made_line(m);
    for (const Restore_Made& m : journal.asked)
        text += asking_line(m);
    for (const auto& d : journal.deleting)
        text += deleting_line(d.first.first, d.first.second, d.second);
    for (const auto& l : journal.left)
        text += left_line(l.first, l.second, std::string(), std::string());
    return text;
}

bool Restore_Journal::open(const std::string& run_id, const std::string& tower,
                           const std::string& vm_src_id, const std::string& vm_name) {
    text_ = Restore_Journal_Text();
    text_.tower = tower;
    text_.started = ::time(nullptr);
    run_id_ = run_id;
    if (record_.take(restore_journal_directory(), run_id,
                     header_line(tower, vm_src_id, vm_name, text_.started)))
        return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to journal the restore of VM %C.\n"), vm_src_id.c_str()));
    return false;
}

bool Restore_Journal::add(const std::string& line) {
    return record_.append(line);
}

bool Restore_Journal::asking(const Restore_Made& what) {
    Restore_Made asked = what;
    asked.id.clear();
    asked.task_id.clear();
    const std::string line = asking_line(asked);
    // Kept here whatever the file takes: the run itself still looks for it.
    text_.asked.push_back(std::move(asked));
    return add(line);
}

bool Restore_Journal::note(const Restore_Made& made) {
    Restore_Made m = made;
    // Answered: the last request of its kind.
    const auto asked = std::find_if(text_.asked.rbegin(), text_.asked.rend(),
                                    [&m](const Restore_Made& a) { return a.kind == m.kind; });
    if (asked != text_.asked.rend()) {
        m.name = asked->name;
        m.volumes = asked->volumes;
        text_.asked.erase(std::next(asked).base());
    }
    const std::string line = made_line(m);
    text_.made.push_back(std::move(m));
    return add(line);
}

bool Restore_Journal::refused(Restore_Made::Kind kind) {
    const auto asked = std::find_if(text_.asked.rbegin(), text_.asked.rend(),
                                    [kind](const Restore_Made& a) { return a.kind == kind; });
    if (asked == text_.asked.rend())
        return true;
    if (!add(refused_line(*asked)))
        return false;
    text_.asked.erase(std::next(asked).base());
    return true;
}

bool Restore_Journal::remove_made(RESTful_Client& client, const Leftover_Alert& alert,
                                  std::vector<Restore_Made>* settled) {
    std::vector<Restore_Made> done;
    const Record_Append append = [this](const std::string& line) { return add(line); };
    Restore_Settling own;
    own.own = true;
    own.run_id = run_id_;
    const bool all = remove_restore_made(client, text_, own, append, alert, done);
    forget(text_.made, done);
    forget(text_.asked, done);
    if (settled != nullptr)
        *settled = std::move(done);
    return all;
}

void Restore_Journal::close(const Leftover_Alert& alert) {
    const std::string path = record_.path();
    if (unsettled()) {
        record_.keep();
    } else if (!record_.release() && alert) {
        // Should it come back, a sweep would take what it names for a dead
        // run's: a person knows which journal to remove.
        alert(Leftover_Kept{JOURNAL_KIND, path, run_id_, run_id_,
                            "its removal may not be on disk: should the host crash, a later "
                            "restore may take what it names for a dead run's"});
    }
    text_ = Restore_Journal_Text();
}

void Restore_Journal::finish(const Leftover_Alert& alert) {
    text_.made.clear();
    text_.asked.clear();
    close(alert);
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

bool remove_restore_made(RESTful_Client& client, const Restore_Journal_Text& journal,
                         const Restore_Settling& who, const Record_Append& append,
                         const Leftover_Alert& alert, std::vector<Restore_Made>& settled) {
    settled.clear();
    return Settler(client, journal, who, append, alert).settle(settled);
}

void sweep_dead_restores(RESTful_Client& client, const std::string& tower,
                         const Leftover_Alert& alert) {
    const unsigned saved_limit = client.task_wait_limit_seconds();
    client.set_task_wait_limit(SWEEP_TASK_WAIT_S);
    // Alerted once moved, by the name it lies under.
    std::string aside_why;
    const auto set_aside = [&aside_why](const Record_Seen&, const std::string& why) {
        aside_why = why;
        return Record_Fate::SET_ASIDE;
    };
    const auto alert_aside = [&](const Record_Seen& seen, const std::string& lies) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Journal %C of a restore %C: set aside, it lies at %C.\n"),
                   seen.path.c_str(), aside_why.c_str(), lies.c_str()));
        if (alert)
            alert(Leftover_Kept{JOURNAL_KIND, lies, seen.run_id, seen.run_id, aside_why});
    };
    const Record_Visit sweep = [&](const Record_Seen& seen, const Record_Append& append) {
        if (seen.live)
            return Record_Fate::KEEP;
        if (seen.too_large)
            return set_aside(seen, "is larger than " + std::to_string(MAX_RECORD_BYTES) + " bytes");
        Restore_Journal_Text journal;
        std::string damage;
        if (!read_restore_journal(seen.text, journal, &damage))
            return set_aside(seen, damage);
        if (journal.tower != tower)
            return Record_Fate::KEEP;
        std::vector<Restore_Made> settled;
        Restore_Settling later;
        later.run_id = seen.run_id;
        later.answers_may_come = ::time(nullptr) - seen.modified < LATE_ANSWER_GRACE_S;
        if (!remove_restore_made(client, journal, later, append, alert, settled)) {
            ACE_ERROR((LM_WARNING,
                       ACE_TEXT("What the dead restore %C made is not all removed: its "
                                "journal is kept.\n"),
                       seen.run_id.c_str()));
            return Record_Fate::KEEP;
        }
        if (journal.unreadable > 0)
            return set_aside(seen, "has " + std::to_string(journal.unreadable) +
                                       " lines that cannot be read, once what the others name "
                                       "is settled");
        return Record_Fate::REMOVE;
    };
    visit_records(restore_journal_directory(), sweep, alert_aside);
    client.set_task_wait_limit(saved_limit);
}

}  // namespace smartx
