#include "world/process_world.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "host/catalog.h"
#include "host/http_client.h"
#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "host/smartx_backup_set.h"
#include "world/host_settings.h"
#include "world/job_run.h"
#include "world/servant_request.h"
#include "world/servant_setup.h"
#include "world/zbs_sim.h"

namespace world {

namespace {

namespace fs = std::filesystem;

// Marks a directory a Process_World was made in: stop_world removes no other.
const char* const WORLD_MARK = ".smartx-world";
// Where the host loads the module from (the servant configuration names it).
const char* const MODULE_INSTALLED = "/opt/velmora/tarnvik3/lib/libsmartx.so";
// How long a stopped process gets to end before it is killed, in polls.
constexpr int STOP_POLLS = 500;
constexpr auto STOP_POLL = std::chrono::milliseconds(10);
// Attempts a catalog read makes (the backup server may be starting).
constexpr int CATALOG_RETRIES = 2;
constexpr int CATALOG_SECONDS = 10;

void make_dir(const std::string& dir) {
    if (make_directories(dir, 0750) != 0)
        throw std::runtime_error("cannot make " + dir + ": " + std::strerror(errno));
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

std::string without_trailing_slash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The process runs for the world at root: its environment says so.
bool runs_for(pid_t pid, const std::string& root) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string environ_text((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    const std::string want = "HOST_ROOT=" + root;
    for (size_t at = 0; at < environ_text.size();) {
        const size_t end = environ_text.find('\0', at);
        const std::string entry = environ_text.substr(at, end - at);
        if (entry == want || entry == want + "/")
            return true;
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return false;
}

// Gone, or a zombie its parent has yet to reap.
bool ended(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return true;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool wait_ended(const std::vector<pid_t>& pids) {
    for (int i = 0; i < STOP_POLLS; ++i) {
        bool all = true;
        for (pid_t pid : pids)
            all = all && ended(pid);
        if (all)
            return true;
        std::this_thread::sleep_for(STOP_POLL);
    }
    return false;
}

}  // namespace

Process_World::Process_World(const std::string& root, const Built_Files& built, bool detached)
    : root_(without_trailing_slash(root)),
      pool_dir_(root_ + "/pool"),
      log_dir_(root_ + "/logs"),
      fixtures_(built.fixtures_dir),
      detached_(detached) {
    const char* host_root = std::getenv("HOST_ROOT");
    if (host_root == nullptr || without_trailing_slash(host_root) != root_)
        throw std::runtime_error("HOST_ROOT must be " + root_);
    write_file(root_ + "/" + WORLD_MARK, "");
    try {
        set_up(built);
    } catch (...) {
        stop();
        throw;
    }
}

Process_World::~Process_World() {
    stop();
}

void Process_World::set_up(const Built_Files& built) {
    make_dir(log_dir_);
    make_dir(pool_dir_);
    store_dir_ = make_zbs_store(root_);
    // A copy: a library of its own, whatever else loads the built one.
    zbs_library_ = install_zbs_sim(built.zbs_library, world_zbs_version, true);

    tower_ =
        start("cloudtower-sim",
              {built.cloudtower_sim, "--inventory", fixtures_.dir() + "/inventory.json", "--store",
               store_dir_, "--port", "0", "--user", tower_user, "--password", tower_password});
    tower_port_ = tower_->wait_for_port();
    tower_pid_ = tower_->pid();

    // The key pair first: the backup server encrypts logins for its public half.
    public_key_ = write_host_settings(root_, 0, "");
    const Object instance{{"uuid", Value(job_instance)},   {"host", Value("127.0.0.1")},
                          {"port", Value(tower_port_)},    {"ssl", Value(false)},
                          {"username", Value(tower_user)}, {"password", Value(tower_password)}};
    const Object config{{"public_key_file", Value(public_key_)},
                        {"instances", Value(Array{Value(instance)})},
                        {"db", Value(root_ + "/catalog.db")},
                        {"access_key", Value("")}};
    const std::string config_file = root_ + "/backup-server.json";
    write_file(config_file, json_spirit::write(Value(config), true));
    backupd_ = start("backup-server-sim", {built.backup_server_sim, "--config", config_file});
    backupd_port_ = backupd_->wait_for_port();
    backupd_pid_ = backupd_->pid();
    write_host_settings(root_, backupd_port_, "");

    const std::string module = host_path(MODULE_INSTALLED);
    make_dir(module.substr(0, module.rfind('/')));
    fs::remove(module);
    fs::create_symlink(built.module, module);
    starter_ = install_starter(built.starter);
    servant_config_ = write_servant_handlers(MODULE_INSTALLED);
    // Sets land under the pool's url, then the resource and the VM.
    pool_list_ = write_pool_list(Array{Value(Object{{"uuid", Value(job_pool)},
                                                    {"name", Value("world")},
                                                    {"url", Value("file://" + pool_dir_)}})});
}

std::unique_ptr<Sim_Process> Process_World::start(const std::string& name,
                                                  const std::vector<std::string>& args) {
    std::unique_ptr<Sim_Process> p(new Sim_Process(name, args, log_dir_, detached_));
    if (detached_) {
        const std::string pids = root_ + "/pids";
        make_dir(pids);
        write_file(pids + "/" + name, std::to_string(p->pid()) + "\n");
    }
    return p;
}

void Process_World::keep() {
    for (Sim_Process* p : {tower_.get(), backupd_.get()})
        if (p != nullptr)
            p->release();
}

void Process_World::stop() {
    for (Sim_Process* p : {backupd_.get(), tower_.get()})
        if (p != nullptr)
            p->stop();
}

std::vector<std::string> Process_World::summary() const {
    const auto line = [](const char* what, const std::string& text) {
        std::string name = what;
        constexpr size_t COLUMN = 23;
        name.resize(std::max(name.size() + 1, COLUMN), ' ');
        return name + text;
    };
    const auto address = [](pid_t pid, int port) {
        return "pid " + std::to_string(pid) + ", http://127.0.0.1:" + std::to_string(port);
    };
    return {
        line("cloudtower-sim", address(tower_pid_, tower_port_) + " (CloudTower 4.1.0, login " +
                                   tower_user + "/" + tower_password + ")"),
        line("backup-server-sim", address(backupd_pid_, backupd_port_) + " (catalog " + root_ +
                                      "/catalog.db, instance " + job_instance + ")"),
        line("simulated ZBS library", zbs_library_ + " (volume store " + store_dir_ + ")"),
        line("servant program", starter_ + " (configuration " + servant_config_ + ", module " +
                                    host_path(MODULE_INSTALLED) + ")"),
        line("storage pool", "file://" + pool_dir_ + " (" + pool_list_ + ")"),
    };
}

void Process_World::add_vms(const std::vector<VM>& vms) {
    for (const auto& kind : vm_records(fixtures_, vms))
        tower_post("/__sim/records",
                   Object{{"kind", Value(kind.first)}, {"records", Value(kind.second)}});
}

Value Process_World::tower_get(const std::string& path) const {
    JSON_RESTful_Client client("127.0.0.1", static_cast<uint16_t>(tower_port_), false, false);
    HTTP_Request request(HTTP_METHOD_GET, path, false);
    HTTP_Response response;
    Value reply;
    if (!client.get(request, response, reply) || reply.type() != json_spirit::obj_type)
        throw std::runtime_error("cloudtower-sim did not answer " + path + ": " +
                                 response.status_string());
    return reply;
}

void Process_World::tower_post(const std::string& path, const Object& body) const {
    JSON_RESTful_Client client("127.0.0.1", static_cast<uint16_t>(tower_port_), false, false);
    HTTP_Request request(HTTP_METHOD_POST, path, false);
    HTTP_Response response;
    Value reply;
    if (!client.post(request, Value(body), response, reply))
        throw std::runtime_error("cloudtower-sim refused " + path + ": " +
                                 response.status_string());
}

bool is_world(const std::string& root) {
    struct stat st;
    return !root.empty() && ::stat((root + "/" + WORLD_MARK).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

bool stop_world(const std::string& given_root, std::string* error) {
    const std::string root = without_trailing_slash(given_root);
    if (!is_world(root)) {
        *error = "no world was made in " + (root.empty() ? std::string("\"\"") : root);
        return false;
    }
    std::vector<pid_t> ours;
    if (DIR* dir = ::opendir((root + "/pids").c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            std::ifstream in(root + "/pids/" + e->d_name);
            long pid = 0;
            if (e->d_name[0] != '.' && in >> pid && pid > 1 &&
                runs_for(static_cast<pid_t>(pid), root))
                ours.push_back(static_cast<pid_t>(pid));
        }
        ::closedir(dir);
    }
    for (pid_t pid : ours)
        ::kill(pid, SIGTERM);
    if (!wait_ended(ours)) {
        for (pid_t pid : ours)
            if (!ended(pid))
                ::kill(pid, SIGKILL);
        if (!wait_ended(ours)) {
            *error = "a process of the world at " + root + " does not end";
            return false;
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    if (ec) {
        *error = "cannot remove " + root + ": " + ec.message();
        return false;
    }
    return true;
}

Object world_job_options() {
    return Object{{"channels", Value(2)},
                  {"parallel_vms", Value(2)},
                  {"zbs_version", Value(world_zbs_version)}};
}

std::vector<Object> smartx_catalog_rows() {
    Catalog_Operator catalog(CATALOG_RETRIES, CATALOG_SECONDS);
    Value rows;
    if (!catalog.get_view("smartx", "catalogs", Object(), rows) ||
        rows.type() != json_spirit::array_type)
        throw std::runtime_error("cannot read the backup server's catalog");
    std::vector<Object> out;
    for (const Value& r : rows.get_array())
        if (r.type() == json_spirit::obj_type)
            out.push_back(r.get_obj());
    return out;
}

std::map<std::string, std::string> newest_sets(const std::vector<Object>& rows,
                                               const std::vector<VM>& vms) {
    std::map<std::string, std::string> sets;
    for (const Object& row : rows) {
        SmartX_Backup_Set set;
        std::string why;
        if (!set.load(row, &why))
            throw std::runtime_error("a catalog row does not load: " + why);
        sets[set.vm_id] = set.uuid;
    }
    std::map<std::string, std::string> out;
    for (const VM& vm : vms) {
        const auto set = sets.find(vm.id);
        if (set == sets.end())
            throw std::runtime_error("the catalog holds no backup set of " + vm.name +
                                     ": run a backup job first");
        out[vm.id] = set->second;
    }
    return out;
}

void write_new_vm_restore(const std::string& file, const Fixtures& fixtures,
                          const std::vector<VM>& vms,
                          const std::map<std::string, std::string>& sets) {
    Array entries;
    for (const VM& vm : vms) {
        Restore_Target target;
        target.new_name = vm.name + restored_suffix;
        entries.push_back(restore_entry(fixtures, vm, sets.at(vm.id), target).dump());
    }
    Object options = world_job_options();
    options["duplicate_vm"] = "ignore";
    write_restore_definition(file, JOB_DEFINITION_SUBTYPE_VM, entries, options);
}

}  // namespace world
