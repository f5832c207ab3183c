#include "world/job_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "world/servant_setup.h"

extern char** environ;

namespace world {

void write_world_pools(Backup_World& world, const std::vector<std::string>& pool_uuids) {
    // Sets land under the pool's url and the resource: there, the world's pool.
    const std::string pool_root = world.root() + "/pools";
    if (make_directories(pool_root, 0750) != 0)
        throw std::runtime_error("cannot make " + pool_root);
    const std::string link = pool_root + "/" + Backup_World::resource_uuid;
    ::unlink(link.c_str());
    if (::symlink(world.pool_dir().c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot link " + link);
    Array pools;
    for (const std::string& uuid : pool_uuids)
        pools.push_back(Object{{"uuid", Value(uuid)},
                               {"name", Value("local")},
                               {"url", Value("file://" + pool_root)}});
    write_pool_list(pools);
}

std::string write_pool_list(const Array& pools) {
    const std::string file = host_path("/etc/opt/velmora/tarnvik3/pools.json");
    make_directories(file.substr(0, file.rfind('/')), 0755);
    std::ofstream out(file);
    out << json_spirit::write(Value(Object{{"pools", Value(pools)}}));
    if (!out.flush())
        throw std::runtime_error("cannot write " + file);
    return file;
}

std::string write_servant_handlers(const std::string& module) {
    return write_servant_config(
        Object{{"smartx.servant.backup", Value("SmartX_Backup_Servant_Handler")},
               {"smartx.servant.restore", Value("SmartX_Restore_Servant_Handler")}},
        module);
}

void prepare_job_host(Backup_World& world, const std::string& starter, const std::string& module) {
    world.backupd().add_instance(
        {job_instance, "127.0.0.1", world.tower().port(), false, "admin", "admin123", ""});
    write_world_pools(world, {job_pool});
    install_starter(starter);
    write_servant_handlers(module);
}

bool move_vms(Backup_World& world, const std::vector<VM>& vms, const std::set<size_t>& which,
              const std::string& host_name) {
    const Object record = world.fixtures().record("hosts", host_name);
    Object host;
    for (const char* key : {"id", "name", "management_ip"})
        host[key] = record.at(key);
    Array records;
    for (const Value& v : world.tower().records("vms")) {
        Object vm = v.get_obj();
        for (size_t i : which)
            if (i < vms.size() && text_of(v, "id") == vms[i].id)
                vm["host"] = host;
        records.push_back(vm);
    }
    return world.tower().put_records("vms", records);
}

namespace {
// A definition of the world's instance and resource.
void write_definition(const std::string& file, const char* id, const char* name, int type,
                      int subtype, const char* target, const Array& entries,
                      const Object& options) {
    Object def{{"id", Value(id)},
               {"uid", Value(Backup_World::job_uid)},
               {"name", Value(name)},
               {"type", Value(type)},
               {"subtype", Value(subtype)},
               {"host_id", Value(job_instance)},
               // The frame's scripts and retries, at their defaults: a
               // person reading the file sees what it may hold.
               {"precondition", Value("")},
               {"pre_action", Value("")},
               {"post_action", Value("")},
               {"run_post_action_always", Value(false)},
               {"ignore_pre_action_failure", Value(false)},
               {"ignore_post_action_failure", Value(false)},
               {"retry_count", Value(0)},
               {"retry_interval", Value(0)},
               {"target", Value(Object{{"id", Value(target)}, {"device_id", Value("dev-1")}})},
               {"source", Value(Object{{"id", Value(Backup_World::resource_uuid)},
                                       {"name", Value("tower")},
                                       {"entries", Value(entries)}})},
               {"options", Value(options)}};
    std::ofstream out(file);
    // Laid out: a person reads these.
    out << json_spirit::write(Value(def), true);
    if (!out.flush())
        throw std::runtime_error("cannot write " + file);
}
}  // namespace

void write_job_definition(const std::string& file, Job_Definition_Subtype level,
                          const std::vector<VM>& vms, const Object& options) {
    Array entries;
    for (const VM& vm : vms)
        entries.push_back(Object{
            {"id", Value(vm.id)}, {"name", Value(vm.name)}, {"type", Value("VirtualMachine")}});
    write_definition(file, Backup_World::def_id, "nightly", JOB_DEFINITION_BACKUP, level, job_pool,
                     entries, options);
}

void write_restore_definition(const std::string& file, Job_Definition_Subtype subtype,
                              const Array& entries, const Object& options) {
    write_definition(file, restore_def_id, "restore", JOB_DEFINITION_RESTORE, subtype,
                     restore_target, entries, options);
}

size_t Job_Engine_Run::count(const std::string& what) const {
    size_t n = 0;
    for (size_t at = output.find(what); at != std::string::npos; at = output.find(what, at + 1))
        ++n;
    return n;
}

pid_t start_job_engine(const std::string& engine, const std::string& def_file,
                       const std::string& out_file, const std::map<std::string, std::string>& env,
                       long timeout_s) {
    std::map<std::string, std::string> vars{{"LD_LIBRARY_PATH", "/usr/lib"}};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& kv : env)
        vars[kv.first] = kv.second;
    std::vector<std::string> env_text;
    for (const auto& kv : vars)
        env_text.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp, argv;
    for (std::string& s : env_text)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args{engine, "--timeout", std::to_string(timeout_s), def_file};
    for (std::string& s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, engine.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

Array Job_Engine_Run::histories() const {
    const Array* a = json_spirit::object_get_array(results, "smartx");
    return a != nullptr ? *a : Array();
}

namespace {
// The JSON value after the label on a line of job-engine's output; null
// when there is none.
Value output_value(const std::string& output, const std::string& label) {
    Value v;
    const size_t at = output.find("\n" + label);
    if (at == std::string::npos)
        return v;
    const size_t from = at + 1 + label.size();
    if (!json_spirit::read(output.substr(from, output.find('\n', from) - from), v))
        v = Value();
    return v;
}
}  // namespace

Job_Engine_Run finish_job_engine(pid_t pid, const std::string& out_file) {
    Job_Engine_Run r;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (got == pid && WIFEXITED(status))
        r.exit_code = WEXITSTATUS(status);
    std::ifstream in(out_file);
    std::stringstream text;
    text << in.rdbuf();
    r.output = text.str();
    const Value results = output_value(r.output, "results: ");
    if (results.type() == json_spirit::obj_type)
        r.results = results.get_obj();
    const Value paths = output_value(r.output, "restore paths: ");
    if (paths.type() == json_spirit::array_type)
        r.restore_paths = paths.get_array();
    return r;
}

std::vector<pid_t> live_children(pid_t parent, const std::string& program) {
    std::vector<pid_t> out;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return out;
    while (const dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        std::ifstream stat(dir + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...
        const size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent ||
            state == 'Z')
            continue;
        // By the program, not the name: the starter renames itself after its servant.
        char exe[4096];
        const ssize_t n = ::readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0)
            continue;
        const std::string path(exe, static_cast<size_t>(n));
        if (path.substr(path.rfind('/') + 1) == program)
            out.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    }
    ::closedir(proc);
    return out;
}

}  // namespace world
