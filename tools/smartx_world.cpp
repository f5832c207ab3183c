// smartx-world: a backup world left running for a person to drive by hand
// with job-engine, websvcs-agent and curl: the demo's set-up and VMs, its
// simulators kept running in the background.
//
//   smartx-world start [DIR]  makes the world under DIR (made when missing,
//                             else it must be empty; by default a new
//                             $TMPDIR/smartx-world.XXXXXX), prints it and
//                             what to run
//   smartx-world restore-job  writes $HOST_ROOT/job-restore.json: each VM
//                             made again from its newest backup set
//   smartx-world stop [DIR]   ends the world's processes (by the pids under
//                             DIR/pids) and removes DIR ($HOST_ROOT by default)
//
// start writes DIR/env, which a shell sources to drive the world: HOST_ROOT,
// PATH (the built programs), LD_LIBRARY_PATH, ZBS_SIM_STORE, TOWER_PORT,
// BACKUP_SERVER_PORT, INSTANCE, AGENT_PORT and AGENT. Exit status 0 on
// success, 1 when it fails, 2 on bad usage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/job_definition_subtype.h"
#include "host/paths.h"
#include "world/demo_vms.h"
#include "world/job_run.h"
#include "world/process_world.h"

namespace {

namespace fs = std::filesystem;

const char* const USAGE =
    "usage: smartx-world start [DIR] | smartx-world restore-job | smartx-world stop [DIR]\n";
constexpr int EXIT_USAGE = 2;

// What start prints to run, after the line sourcing the env file: backups,
// a restore, the console agent and a browse, a search and a login test.
const char* const DRIVE_COMMANDS = R"(  job-engine "$HOST_ROOT/job-full.json"
  job-engine "$HOST_ROOT/job-incremental.json"
  smartx-world restore-job
  job-engine "$HOST_ROOT/job-restore.json"
  websvcs-agent --port "$AGENT_PORT" >"$HOST_ROOT/logs/websvcs-agent.out" 2>"$HOST_ROOT/logs/websvcs-agent.err" &
  echo $! >"$HOST_ROOT/pids/websvcs-agent.$!"
  for _ in $(seq 50); do grep -qs listening "$HOST_ROOT/logs/websvcs-agent.out" && break; sleep 0.1; done
  rpc() { curl -sS "$AGENT/jsonrpc" -H 'Content-Type: application/json' -d "$1"; }
  rpc '{"jsonrpc":"2.0","id":1,"method":"smartx.list","params":{"uuid":"'$INSTANCE'","subtype":"inventory","view":"hosts","type":"","moid":""}}'
  rpc '{"jsonrpc":"2.0","id":2,"method":"smartx.list","params":{"uuid":"'$INSTANCE'","subtype":"search","view":"vms","search_type":"VirtualMachine","name":"web"}}'
  PW=$(printf admin123 | openssl pkeyutl -encrypt -pubin -inkey "$HOST_ROOT/host-key.pub.pem" \
         -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256 | base64 -w0)
  rpc '{"jsonrpc":"2.0","id":3,"method":"smartx.login","params":{"host":"127.0.0.1","port":'$TOWER_PORT',"ssl":false,"username":"admin","password":"'$PW'"}}'
)";

void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
}

// text as one word of a POSIX shell.
std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A port of 127.0.0.1 nothing listens on now, for the agent a person starts.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw std::runtime_error(std::string("cannot find a free port: ") + std::strerror(errno));
    return ntohs(address.sin_port);
}

// The directory the world is made in, absolute, existing and empty.
std::string world_root(const char* given) {
    std::string dir;
    if (given != nullptr) {
        if (make_directories(given, 0755) != 0)
            throw std::runtime_error(std::string("cannot make ") + given + ": " +
                                     std::strerror(errno));
        dir = given;
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/smartx-world.XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr)
            throw std::runtime_error("cannot make " + pattern + ": " + std::strerror(errno));
        dir = pattern;
    }
    if (!fs::is_empty(dir))
        throw std::runtime_error(dir + " is not empty");
    return fs::canonical(dir).string();
}

// The env file a shell sources to drive the world.
void write_env(const world::Process_World& world, int agent_port) {
    const std::string file = world.root() + "/env";
    std::ofstream out(file);
    out << "# The world smartx-world made: source it (. " << shell_quote(file)
        << ") in each shell that drives it.\n"
        << "export HOST_ROOT=" << shell_quote(world.root()) << "\n"
        << "# job-engine, websvcs-agent, smartx-world, demo-backup and the simulators\n"
        << "export PATH="
        << shell_quote(WORLD_TOOLS_DIR ":" WORLD_CLOUDTOWER_SIM_DIR ":" WORLD_BACKUP_SERVER_SIM_DIR)
        << ":\"$PATH\"\n"
        << "# job-engine wants it set; servants get the ZBS library's directory before it\n"
        << "export LD_LIBRARY_PATH=\"${LD_LIBRARY_PATH:-/usr/lib}\"\n"
        << "# the volumes the simulated ZBS library reads and writes\n"
        << "export ZBS_SIM_STORE=" << shell_quote(world.store_dir()) << "\n"
        << "# cloudtower-sim (login " << world::tower_user << " / " << world::tower_password
        << ") and backup-server-sim on 127.0.0.1\n"
        << "export TOWER_PORT=" << world.tower_port() << "\n"
        << "export BACKUP_SERVER_PORT=" << world.backupd_port() << "\n"
        << "# the CloudTower instance the backup server hands out the login of\n"
        << "export INSTANCE=" << world::job_instance << "\n"
        << "# a free port for websvcs-agent, and its address\n"
        << "export AGENT_PORT=" << agent_port << "\n"
        << "export AGENT=http://127.0.0.1:$AGENT_PORT\n";
    if (!out.flush())
        throw std::runtime_error("cannot write " + file);
}

int start(const char* given) {
    const std::string root = world_root(given);
    ::setenv("HOST_ROOT", root.c_str(), 1);
    try {
        const world::Built_Files built{WORLD_CLOUDTOWER_SIM_PATH, WORLD_BACKUP_SERVER_SIM_PATH,
                                       WORLD_ZBS_SIM_PATH,        WORLD_STARTER_PATH,
                                       WORLD_MODULE_PATH,         WORLD_FIXTURES_DIR};
        world::Process_World world(root, built, true);
        const std::vector<world::VM> vms = world::add_demo_vms(world);
        world::write_job_definition(root + "/job-full.json", JOB_DEFINITION_SUBTYPE_FULL, vms,
                                    world::world_job_options());
        world::write_job_definition(root + "/job-incremental.json",
                                    JOB_DEFINITION_SUBTYPE_INCREMENTAL, vms,
                                    world::world_job_options());
        write_env(world, free_port());
        world.keep();

        say("A SmartX world under " + root + "; its simulators keep running:");
        for (const std::string& line : world.summary())
            say("  " + line);
        say("  host settings          " + host_path("/etc/opt/velmora/tarnvik3/host.json") +
            " (public key " + world.public_key() + ")");
        say("VMs on cluster-hz-01 (their volumes in " + world.store_dir() + "):");
        for (const world::VM& vm : vms) {
            std::string disks;
            for (const world::Disk& d : vm.disks)
                disks += " " + d.zbs_volume_id;
            say("  " + vm.name + " (id " + vm.id + "), volumes" + disks);
        }
        say("Job definitions: " + root + "/job-full.json, " + root +
            "/job-incremental.json (smartx-world restore-job writes job-restore.json)");
        say("");
        say("Drive it (README.md, \"A world to drive by hand\", says more):");
        say("  . " + shell_quote(root + "/env"));
        std::fputs(DRIVE_COMMANDS, stdout);
        // The directory is named, so that pasted in a shell of another world
        // the line still ends this one.
        say("  smartx-world stop " + shell_quote(root) +
            "    # ends the simulators and the agent, removes the directory");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr,
                     "smartx-world: %s\n(the simulators are stopped; their logs are in %s/logs; "
                     "smartx-world stop %s removes it all)\n",
                     e.what(), root.c_str(), root.c_str());
        return 1;
    }
}

int restore_job() {
    const char* root = std::getenv("HOST_ROOT");
    if (root == nullptr || *root == '\0')
        throw std::runtime_error("HOST_ROOT is not set: source the world's env file first");
    if (!world::is_world(root))
        throw std::runtime_error(std::string("no world was made in ") + root +
                                 " (HOST_ROOT): source the world's env file first");
    const std::vector<world::VM> vms = world::demo_vms();
    const std::map<std::string, std::string> sets =
        world::newest_sets(world::smartx_catalog_rows(), vms);
    const std::string file = std::string(root) + "/job-restore.json";
    world::write_new_vm_restore(file, world::Fixtures(WORLD_FIXTURES_DIR), vms, sets);
    say("wrote " + file + ":");
    for (const world::VM& vm : vms)
        say("  " + vm.name + " from backup set " + sets.at(vm.id) + " as a new VM \"" + vm.name +
            world::restored_suffix + "\"");
    say("run it: job-engine \"$HOST_ROOT/job-restore.json\"");
    return 0;
}

int stop(const char* given) {
    const char* root = given != nullptr ? given : std::getenv("HOST_ROOT");
    if (root == nullptr || *root == '\0')
        throw std::runtime_error("name the world's directory, or set HOST_ROOT");
    std::string error;
    if (!world::stop_world(root, &error))
        throw std::runtime_error(error);
    say("the world at " + std::string(root) + " is stopped and removed");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    const char* dir = argc > 2 ? argv[2] : nullptr;
    ::signal(SIGPIPE, SIG_IGN);
    try {
        if (command == "start" && argc <= 3)
            return start(dir);
        if (command == "restore-job" && argc == 2)
            return restore_job();
        if (command == "stop" && argc <= 3)
            return stop(dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smartx-world: %s\n", e.what());
        return 1;
    }
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}
