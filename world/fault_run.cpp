#include "world/fault_run.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "world/leftovers.h"
#include "world/listed_vm.h"
#include "world/pool_image.h"

namespace world {

uint64_t test_seed(const char* variable) {
    const char* text = std::getenv(variable);
    const uint64_t seed =
        text != nullptr && *text != 0
            ? std::strtoull(text, nullptr, 10)
            : static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count() %
                                    1000000007);
    std::printf("%s=%llu\n", variable, static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    return seed;
}

void Set_Book::before_run() {
    for (const VM& vm : vms_)
        pending_[vm.id] = world_.disk_contents(vm);
}

size_t Set_Book::after_run() {
    size_t n = 0;
    for (const Object& row : world_.catalog_rows()) {
        const std::string uuid = text_of(Value(row), "uuid");
        if (!seen_.insert(uuid).second)
            continue;
        const auto p = pending_.find(text_of(Value(row), "vm_id"));
        if (p != pending_.end()) {
            held_[uuid] = p->second;
            ++n;
        }
    }
    pending_.clear();
    return n;
}

std::vector<Object> Set_Book::rows_of(const VM& vm) const {
    std::vector<Object> out;
    for (const Object& row : world_.catalog_rows())
        if (text_of(Value(row), "vm_id") == vm.id)
            out.push_back(row);
    return out;
}

Object Set_Book::last_row(const VM& vm) const {
    const std::vector<Object> rows = rows_of(vm);
    return rows.empty() ? Object() : rows.back();
}

std::vector<std::string> Set_Book::restore_problems() const {
    std::vector<std::string> out;
    for (const VM& vm : vms_) {
        // Each set laid onto what its base gave back: every image read once.
        std::map<std::string, std::vector<std::string>> restored;
        for (const Object& row : rows_of(vm)) {
            const Value r(row);
            const std::string set = "set " + text_of(r, "uuid") + " of " + vm.name;
            const auto held = held_.find(text_of(r, "uuid"));
            if (held == held_.end()) {
                out.push_back(set + " was made by no finished run");
                continue;
            }
            std::vector<std::string> disks;
            if (text_of(r, "type") == "full") {
                for (const Disk& d : vm.disks)
                    disks.emplace_back(d.size, '\0');
            } else {
                const Value& bases = member_of(r, "base_sets");
                const auto base = bases.type() == json_spirit::array_type &&
                                          bases.get_array().size() == 1 &&
                                          bases.get_array()[0].type() == json_spirit::str_type
                                      ? restored.find(bases.get_array()[0].get_str())
                                      : restored.end();
                if (base == restored.end()) {
                    out.push_back(set + " has no base that restores");
                    continue;
                }
                disks = base->second;
            }
            try {
                for (size_t i = 0; i < vm.disks.size(); ++i) {
                    const std::string path = piece_path(row, vm.disks[i].volume_local_id);
                    if (path.empty())
                        throw std::runtime_error("no piece of " + vm.disks[i].name);
                    // An unchanged disk's piece names no file.
                    if (path.find("/not_exists_") == std::string::npos)
                        disks[i] = world_.read_image(path, vm.disks[i].size, disks[i]);
                }
            } catch (const std::exception& e) {
                out.push_back(set + ": " + e.what());
                continue;
            }
            if (disks != held->second)
                out.push_back(set + " does not give its disks back");
            restored[text_of(r, "uuid")] = disks;
        }
    }
    return out;
}

std::vector<std::string> Set_Book::leftovers(bool pool) const {
    std::vector<std::string> out;
    if (pool)
        for (const std::string& file : orphan_pool_files(world_))
            out.push_back("pool file " + file + " without its row");
    for (const VM& vm : vms_)
        for (const std::string& id : leftover_snapshots(world_, vm.id))
            out.push_back("snapshot " + id + " of " + vm.name + " that no set is based on");
    return out;
}

namespace {
// What a backup servant says when it waits for its VM's claim lock.
const char CLAIM_WAIT_TEXT[] = "for another one's claim of a start second";

// Whether the process has blocked SIGINT for its signal thread: before, a
// SIGINT kills it outright rather than cancelling its job.
bool takes_stop_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 7, "SigBlk:") == 0)
            return (std::strtoull(line.c_str() + 7, nullptr, 16) >> (SIGINT - 1) & 1) != 0;
    return false;
}
}  // namespace

Job_Engine_Run run_hurt_job(const std::string& engine, const std::string& def_file,
                            const std::string& out_file,
                            const std::map<std::string, std::string>& env,
                            const std::function<bool()>& ready, int delay_ms,
                            const std::function<void(pid_t)>& hurt) {
    const pid_t pid = start_job_engine(engine, def_file, out_file, env);
    if (pid <= 0)
        return Job_Engine_Run();
    std::thread hurter;
    if (ready)
        hurter = std::thread([&] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!(takes_stop_signals(pid) && ready()) &&
                   std::chrono::steady_clock::now() < until && ::kill(pid, 0) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            hurt(pid);
        });
    Job_Engine_Run r = finish_job_engine(pid, out_file);
    if (hurter.joinable())
        hurter.join();
    return r;
}

bool pool_writing(const std::string& pool_dir, const std::vector<std::string>& before) {
    for (const std::string& file : pool_files(pool_dir))
        if (file.find(".part-") != std::string::npos &&
            std::find(before.begin(), before.end(), file) == before.end())
            return true;
    return false;
}

size_t kill_servants(pid_t engine) {
    size_t n = 0;
    for (pid_t servant : live_children(engine, "starter"))
        n += ::kill(servant, SIGKILL) == 0 ? 1 : 0;
    return n;
}

void Stuck_Claim::hold(const std::string& vm_id) {
    lock_.reset(new smartx::Hold_Claim_Lock);
    if (!lock_->take(vm_id, nullptr)) {
        lock_.reset();
        throw std::runtime_error("cannot lock the hold directory of VM " + vm_id);
    }
}

void Stuck_Claim::release() {
    lock_.reset();
}

void Job_Chain::run(const std::string& def, const std::map<std::string, std::string>& env,
                    Hurt hurt, const std::function<bool()>& ready, int delay_ms) {
    const std::function<void(pid_t)> hurts[] = {
        [](pid_t) {}, [](pid_t engine) { kill_servants(engine); },
        [](pid_t engine) { ::kill(engine, SIGINT); },
        [this](pid_t) { world_.tower().expire_tokens(); },
        [this](pid_t) {
            const int port = world_.backupd().port();
            world_.backupd().stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            if (!world_.backupd().start(port))
                std::fprintf(stderr, "the backup server did not start again\n");
        }};
    last_ = run_hurt_job(engine_, def, dir_ + "/engine.out", env,
                         hurt == Hurt::NOTHING ? nullptr : ready, delay_ms,
                         hurts[static_cast<int>(hurt)]);
}

size_t Job_Chain::backup(Job_Definition_Subtype level,
                         const std::map<std::string, std::string>& env, Hurt hurt, Hurt_Point point,
                         int delay_ms) {
    const std::string def = dir_ + "/backup.json";
    write_job_definition(def, level, {vm_}, Object());
    const int commits = world_.backupd().commits_received();
    const std::vector<std::string> files = world_.pool_files();
    const std::function<bool()> ready[] = {
        [] { return true; }, [&] { return pool_writing(world_.pool_dir(), files); },
        [&] { return world_.backupd().commits_received() > commits; },
        [&] {
            return file_content(dir_ + "/engine.out").find(CLAIM_WAIT_TEXT) != std::string::npos;
        }};
    book_.before_run();
    run(def, env, hurt, ready[static_cast<int>(point)], delay_ms);
    // A commit its sender did not live to see answered still lands.
    while (world_.backupd().commits_pending() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return book_.after_run();
}

std::vector<std::string> Job_Chain::restore(const std::string& set, const std::string& name,
                                            const std::map<std::string, std::string>& env,
                                            Hurt hurt, const std::function<bool()>& ready,
                                            int delay_ms) {
    Restore_Target target;
    target.new_name = name;
    const std::string def = dir_ + "/restore.json";
    write_restore_definition(def, JOB_DEFINITION_SUBTYPE_VM,
                             Array{restore_entry(world_.fixtures(), vm_, set, target).dump()},
                             Object{{"duplicate_vm", Value("ignore")}});
    run(def, env, hurt, ready, delay_ms);
    const std::string id = vm_id_named(world_, name);
    // A VM skipped for its name counts for nothing.
    if (last_.exit_code != 0 || id.empty() ||
        last_.count("SmartX VM restore result (succeeded/total): 1/1.") != 1)
        return {};
    return world_.disk_contents(listed_vm(world_, id));
}

std::string Job_Chain::last_set() const {
    return text_of(Value(last_row()), "uuid");
}

void Disk_Editor::edit(const VM& vm) {
    for (const Disk& d : vm.disks) {
        uint64_t& end = written_[d.disk_id];
        const int writes = 1 + static_cast<int>(next(3));
        for (int w = 0; w < writes; ++w) {
            const uint64_t kind = next(4);
            // A few bytes inside a block, a run of zeros, or random bytes.
            const uint64_t length =
                kind == 0 ? 1 + next(16) : std::min<uint64_t>(d.size, 1 + next(300 * 1024));
            uint64_t at = next(std::max<uint64_t>(end, 1));
            // One write in four reaches past the written area.
            if (kind == 3)
                at = std::min<uint64_t>(end + next(200 * 1024), d.size - 1);
            const uint64_t n = std::min<uint64_t>(length, d.size - at);
            std::string data(n, '\0');
            if (kind != 1)
                for (char& c : data)
                    c = static_cast<char>(next(256));
            world_.write_disk(d, at, data);
            end = std::max(end, at + n);
        }
    }
}

}  // namespace world
