// demo-backup: three VMs backed up by backup jobs that the job-engine program
// runs through the module (a full, then an incremental), its backup executor
// starting one servant process per VM, against the simulated CloudTower,
// backup server and ZBS library, all real processes or loaded libraries on
// 127.0.0.1; then a restore job brings every VM back from its incremental set
// as a new VM, and every restored disk is checked byte for byte against the
// snapshot that set was taken from.
//
//   HOST_ROOT=$(mktemp -d) demo-backup
//
// Everything it writes lands under HOST_ROOT (which must exist); the caller
// removes it. Exit status 0 when every backup and the restore succeeded and
// every check passed, 1 otherwise.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <ace/Process.h>

#include "host/catalog.h"
#include "host/http_client.h"
#include "host/job/activity_map.h"
#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "host/servant/servant.h"
#include "host/smartx_backup_set.h"
#include "host/uuid.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "smartx/common/progress_info.h"
#include "world/host_settings.h"
#include "world/listed_vm.h"
#include "world/pool_image.h"
#include "world/servant_request.h"
#include "world/servant_setup.h"
#include "world/sim_process.h"
#include "world/sim_vm.h"
#include "world/zbs_sim.h"

namespace {

namespace fs = std::filesystem;
using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
// The ZBS block size the servant plans in (its default).
constexpr uint64_t ZBS_BLOCK = smartx::ZBS_BLOCK_SIZE_UNIT;
const char* const ZBS_VERSION = "5.5.1";
const char* const MODULE_INSTALLED = "/opt/velmora/tarnvik3/lib/libsmartx.so";
const char* const SCHEDULER = "smartx.servant.backup";
const char* const RESTORE_SCHEDULER = "smartx.servant.restore";
const char* const OWNER_HOST = "node-hz01-01";
const char* const INSTANCE_UUID = "5a1e0000-0000-4000-8000-00000000c70e";
const char* const DEF_ID = "6b3f7c1e-5d1a-4e8b-9c2f-00000000de01";
const char* const RESTORE_DEF_ID = "6b3f7c1e-5d1a-4e8b-9c2f-00000000de02";
// The resource the restore job restores into (nothing protects it).
const char* const RESTORE_TARGET = "0f0e0d0c-0b0a-4090-8070-6050403020de";
const char* const RESTORED_SUFFIX = "-restored";
const char* const POOL_UUID = "9f9f0000-0000-4000-8000-0000000000a1";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    return line;
}

void say(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void heading(const std::string& text) {
    say("\n== " + text);
}

std::string size_text(uint64_t n) {
    if (n < 10 * KiB)
        return format("%" PRIu64 " bytes", n);
    if (n < MiB)
        return format("%.1f KiB", static_cast<double>(n) / KiB);
    return format("%.2f MiB", static_cast<double>(n) / MiB);
}

std::string short_id(const std::string& id) {
    return id.size() > 8 ? id.substr(0, 8) + "..." : id;
}

// ---- files ----

// Bytes of a file that are allocated (a sparse volume's written part).
uint64_t allocated_bytes(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

// Data that differs from block to block and does not compress to zeros.
std::string noise(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9e3779b97f4a7c15ULL + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 56);
    }
    return s;
}

// The first offset where two files differ, or -1 when they are equal;
// a length difference counts from the shorter one's end.
int64_t first_difference(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        throw Failure("cannot open " + (fa ? b : a));
    std::vector<char> ba(MiB), bb(MiB);
    int64_t at = 0;
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        const std::streamsize na = fa.gcount(), nb = fb.gcount();
        const std::streamsize n = std::min(na, nb);
        for (std::streamsize i = 0; i < n; ++i)
            if (ba[static_cast<size_t>(i)] != bb[static_cast<size_t>(i)])
                return at + i;
        if (na != nb)
            return at + n;
        if (na == 0)
            return -1;
        at += na;
    }
}

// ---- the world ----

// A change the demo makes to a live volume between the two backups.
struct Change {
    size_t vm;
    size_t disk;
    uint64_t offset;
    std::string data;
    std::string what;
};

struct Run_Result {
    std::map<std::string, Object> histories;   // the job's per-VM results, by VM id
    std::map<std::string, uint64_t> zbs_read;  // bytes each VM's servant read from ZBS
    std::map<std::string, Object> rows;        // the run's catalog rows, by VM id
};

class Demo {
public:
    explicit Demo(std::string root)
        : root_(std::move(root)), pool_dir_(root_ + "/pool"), fixtures_(DEMO_FIXTURES_DIR) {}

    int run() {
        set_up();
        make_vms();
        backup(JOB_DEFINITION_SUBTYPE_FULL, "full");
        change_volumes();
        const Run_Result incremental = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL, "incremental");
        report_incremental_reads(incremental);
        restore(incremental);
        check(incremental);
        return finish();
    }

private:
    // ---- set-up ----

    void set_up() {
        heading("1. The outside world, on 127.0.0.1 (HOST_ROOT " + root_ + ")");
        logs_ = root_ + "/logs";
        make_dir(logs_);
        make_dir(pool_dir_);
        store_ = make_zbs_store(root_);
        const std::string library = install_zbs_sim(DEMO_ZBS_SIM_PATH, ZBS_VERSION, true);
        say("simulated ZBS library  " + library + " (volume store " + store_ + ")");

        const std::string inventory = std::string(DEMO_FIXTURES_DIR) + "/inventory.json";
        tower_.reset(new world::Sim_Process(
            "cloudtower-sim",
            {DEMO_CLOUDTOWER_SIM_PATH, "--inventory", inventory, "--store", store_, "--port", "0"},
            logs_));
        tower_port_ = tower_->wait_for_port();
        say(format(
            "cloudtower-sim         pid %d, http://127.0.0.1:%d (CloudTower 4.1.0, login admin)",
            static_cast<int>(tower_->pid()), tower_port_));

        // The key pair first: the backup server encrypts logins for its public half.
        const std::string public_key = write_host_settings(root_, 0, "");
        Object instance;
        instance["uuid"] = INSTANCE_UUID;
        instance["host"] = "127.0.0.1";
        instance["port"] = tower_port_;
        instance["ssl"] = false;
        instance["username"] = "admin";
        instance["password"] = "admin123";
        Object config;
        config["public_key_file"] = public_key;
        config["instances"] = Array{instance};
        config["db"] = root_ + "/catalog.db";
        config["access_key"] = "";
        const std::string config_file = root_ + "/backup-server.json";
        std::ofstream(config_file) << json_spirit::write(Value(config));
        backupd_.reset(new world::Sim_Process(
            "backup-server-sim", {DEMO_BACKUP_SERVER_SIM_PATH, "--config", config_file}, logs_));
        backupd_port_ = backupd_->wait_for_port();
        write_host_settings(root_, backupd_port_, "");
        say(format("backup-server-sim      pid %d, http://127.0.0.1:%d (catalog %s/catalog.db)",
                   static_cast<int>(backupd_->pid()), backupd_port_, root_.c_str()));

        const std::string starter = install_starter(DEMO_STARTER_PATH);
        const std::string module = host_path(MODULE_INSTALLED);
        make_directories(module.substr(0, module.rfind('/')), 0755);
        fs::remove(module);
        fs::create_symlink(DEMO_MODULE_PATH, module);
        const std::string conf = write_servant_config(
            Object{{SCHEDULER, Value("SmartX_Backup_Servant_Handler")},
                   {RESTORE_SCHEDULER, Value("SmartX_Restore_Servant_Handler")}},
            MODULE_INSTALLED);
        say("servant program        " + starter + " (configuration " + conf + ", module " + module +
            ")");
        // The pool the job's definition targets; sets land under its url and the resource.
        Object pool{{"uuid", Value(POOL_UUID)},
                    {"name", Value("demo")},
                    {"url", Value("file://" + pool_dir_)}};
        const std::string pools = host_path("/etc/opt/velmora/tarnvik3/pools.json");
        std::ofstream(pools) << json_spirit::write(Value(Object{{"pools", Value(Array{pool})}}));
        say("storage pool           file://" + pool_dir_ + " (" + pools + ")");

        // The login the executor uses: the protected instance's, from the
        // backup server, decrypted with this host's key.
        if (!smartx::get_login_info(INSTANCE_UUID, login_))
            throw Failure("cannot get the CloudTower login from the backup server");
        say(format(
            "CloudTower login       %s@%s:%u, fetched from the backup server and decrypted with "
            "the host key",
            login_.username.c_str(), login_.host.c_str(), static_cast<unsigned>(login_.port)));
    }

    static void make_dir(const std::string& dir) {
        if (make_directories(dir, 0750) != 0)
            throw Failure("cannot make " + dir);
    }

    void make_vms() {
        heading("2. Three VMs on cluster cluster-hz-01, their disks filled with data");
        vms_.push_back(
            world::numbered_vm("dw", 1, "demo-web-01", {24 * MiB, 9 * MiB + 4608}, "web server"));
        vms_.push_back(world::numbered_vm("dd", 2, "demo-db-01",
                                          {16 * MiB, 40 * MiB, 3 * MiB + 102403}, "database"));
        vms_.push_back(world::numbered_vm("da", 3, "demo-app-01", {8 * MiB}, "application"));
        cluster_id_ = fixtures_.record("clusters", "cluster-hz-01").at("id").get_str();
        for (const auto& kind : world::vm_records(fixtures_, vms_)) {
            Object body;
            body["kind"] = kind.first;
            body["records"] = kind.second;
            tower_post("/__sim/records", body);
        }

        // (disk, offset, length) of the data each disk holds; the rest is never written.
        struct Fill {
            size_t vm, disk;
            uint64_t offset, length;
        };
        const Fill fills[] = {
            {0, 0, 0, 2 * MiB},
            {0, 0, 8 * MiB, 3 * MiB + 1000},
            {0, 0, 24 * MiB - 64 * KiB, 64 * KiB},
            {0, 1, MiB, 512 * KiB},
            {0, 1, 9 * MiB + 3608, 1000},
            {1, 0, 0, 3 * MiB},
            {1, 0, 12 * MiB, 300 * KiB},
            {1, 1, 4 * MiB, 16 * MiB},
            {1, 2, 0, 100 * KiB},
            {1, 2, 3 * MiB + 98304, 4099},
            {2, 0, 2 * MiB, 1500 * KiB},
        };
        uint64_t seed = 1;
        for (const Fill& f : fills)
            world::write_at(volume_path(f.vm, f.disk), f.offset, noise(f.length, seed++));

        for (const world::VM& vm : vms_) {
            say(format("%s (id %s, %zu disks and a CD-ROM, host %s)", vm.name.c_str(),
                       vm.id.c_str(), vm.disks.size(), OWNER_HOST));
            for (size_t d = 0; d < vm.disks.size(); ++d)
                say(format(
                    "  %-20s %-34s written %s", vm.disks[d].name.c_str(),
                    size_text(vm.disks[d].size).c_str(),
                    size_text(allocated_bytes(volume_path(static_cast<size_t>(&vm - &vms_[0]), d)))
                        .c_str()));
        }
    }

    std::string volume_path(size_t vm, size_t disk) const {
        return store_ + "/" + vms_[vm].disks[disk].zbs_volume_id;
    }

    // ---- one backup run ----

    // The job definition of a backup of every VM at this level; its path.
    std::string write_definition(Job_Definition_Subtype type, const std::string& level) const {
        Array entries;
        for (const world::VM& vm : vms_)
            entries.push_back(Object{
                {"id", Value(vm.id)}, {"name", Value(vm.name)}, {"type", Value("VirtualMachine")}});
        Object def{{"id", Value(DEF_ID)},
                   {"uid", Value(uuid_generate_text())},
                   {"name", Value("demo nightly")},
                   {"type", Value(static_cast<int>(JOB_DEFINITION_BACKUP))},
                   {"subtype", Value(static_cast<int>(type))},
                   {"host_id", Value(INSTANCE_UUID)},
                   {"target", Value(Object{{"id", Value(POOL_UUID)}, {"device_id", Value("")}})},
                   {"source", Value(Object{{"id", Value(INSTANCE_UUID)},
                                           {"name", Value("CloudTower 127.0.0.1")},
                                           {"entries", Value(entries)}})},
                   {"options", Value(Object{{"channels", Value(2)},
                                            {"parallel_vms", Value(2)},
                                            {"zbs_version", Value(ZBS_VERSION)}})}};
        const std::string path = root_ + "/job-" + level + ".json";
        std::ofstream(path) << json_spirit::write(Value(def), true);
        return path;
    }

    // Runs job-engine on the definition, showing its reports, progress lines
    // and result table; its exit status, whole output and results.
    int run_job_engine(const std::string& def, const std::string& zbs_log,
                       std::vector<std::string>& output, Object& results) const {
        const char* library_path = std::getenv("LD_LIBRARY_PATH");
        const std::string command =
            "ZBS_SIM_LOG='" + zbs_log + "' LD_LIBRARY_PATH='" +
            (library_path != nullptr && *library_path != 0 ? library_path : "/usr/lib") + "' '" +
            DEMO_JOB_ENGINE_PATH + "' --module '" + DEMO_MODULE_PATH + "' --timeout 600 '" + def +
            "' 2>&1";
        FILE* engine = ::popen(command.c_str(), "r");
        if (engine == nullptr)
            throw Failure("cannot start job-engine");
        bool table = false;
        for (char line[65536]; std::fgets(line, sizeof line, engine) != nullptr;) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            output.push_back(text);
            if (text.rfind("results: ", 0) == 0) {
                Value v;
                if (json_spirit::read(text.substr(9), v) && v.type() == json_spirit::obj_type)
                    results = v.get_obj();
                table = true;
                continue;
            }
            if (table || text.rfind("progress: ", 0) == 0 || text.rfind("report: ", 0) == 0 ||
                text.rfind("job ", 0) == 0)
                say("  job-engine | " + text);
        }
        const int status = ::pclose(engine);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    Run_Result backup(Job_Definition_Subtype type, const std::string& level) {
        const bool full = type == JOB_DEFINITION_SUBTYPE_FULL;
        heading(format("%d. %s backup job through job-engine", full ? 3 : 5,
                       full ? "Full" : "Incremental"));
        const std::string def = write_definition(type, level);
        say(format(
            "job-engine %s: the module's backup executor logs in to CloudTower, resolves the VMs, "
            "and its servant scheduler \"%s\" starts a starter process per VM (two at once), "
            "each loading libsmartx.so and libzbs.so.1 %s",
            def.c_str(), SCHEDULER, ZBS_VERSION));
        const std::set<std::string> files_before = pool_files();

        std::vector<std::string> output;
        Object results;
        const int status = run_job_engine(def, zbs_log(level), output, results);
        Run_Result out;
        const Array* histories = json_spirit::object_get_array(results, "smartx");
        if (histories != nullptr)
            for (const Value& h : *histories)
                out.histories[world::text_of(h, "uuid")] = h.get_obj();
        bool all = status == 0;
        for (const world::VM& vm : vms_) {
            const auto h = out.histories.find(vm.id);
            all = all && h != out.histories.end() &&
                  world::member_of(Value(h->second), "succeed") == Value(true);
        }
        if (!all) {
            say(format("the %s backup job FAILED (exit status %d); job-engine's last lines:",
                       level.c_str(), status));
            for (size_t i = output.size() > 30 ? output.size() - 30 : 0; i < output.size(); ++i)
                say("  | " + output[i]);
            throw Failure("the " + level + " backup job failed");
        }

        // The run the job engine kept: its sizes and the id its sets carry.
        Job_Activity_Map activity;
        if (activity.open(DEF_ID, false) != 0)
            throw Failure("cannot open the job's activity record");
        const std::string job_instance = uuid_to_string(activity->id);
        say(format("activity record: state %d, size %s, set size %s, stored %s",
                   static_cast<int>(activity->state), size_text(activity->size).c_str(),
                   size_text(activity->set_size).c_str(),
                   size_text(activity->set_storage_size).c_str()));

        uint64_t new_bytes = 0;
        size_t new_files = 0;
        for (const std::string& f : pool_files())
            if (files_before.count(f) == 0) {
                ++new_files;
                new_bytes += fs::file_size(pool_dir_ + "/" + f);
            }
        say(format("storage pool: %zu new files, %" PRIu64
                   " bytes; the job's stored size is %" PRIu64 " bytes",
                   new_files, new_bytes, activity->set_storage_size));
        if (new_bytes != activity->set_storage_size)
            fail("the pool's new files and the job's stored size differ");

        const std::vector<Object> rows = catalog_rows();
        say(format("catalog \"smartx\" of the backup server: %zu rows", rows.size()));
        for (const Object& row : rows) {
            SmartX_Backup_Set set;
            std::string why;
            if (!set.load(row, &why))
                throw Failure("a catalog row does not load: " + why);
            if (set.job_instance_uuid == job_instance)
                out.rows[set.vm_id] = row;
            say(format(
                "  %s %-11s %-11s snapshot %s, %zu pieces, size %s%s", short_id(set.uuid).c_str(),
                set.type.c_str(), set.vm_name.c_str(), short_id(set.snap_id).c_str(),
                set.pieces.size(), size_text(static_cast<uint64_t>(set.size)).c_str(),
                set.base_sets.empty() ? ""
                                      : (", builds on " + short_id(set.base_sets[0])).c_str()));
            if (set.job_instance_uuid != job_instance)
                continue;
            for (const Backup_Piece& piece : set.pieces)
                say(format("      %10s  %s", size_text(piece.size).c_str(), piece.path.c_str()));
        }
        for (const world::VM& vm : vms_) {
            if (out.rows.count(vm.id) == 0)
                throw Failure("no catalog row of this run for " + vm.name);
            // The reads of the snapshot volumes this VM's backup took.
            std::set<std::string> volumes;
            for (const auto& s : snapshot_files(out.rows.at(vm.id)))
                volumes.insert(fs::path(s.second).filename().string());
            out.zbs_read[vm.id] = zbs_bytes_read(zbs_log(level), volumes);
            say(format("%s: read from ZBS %s", vm.name.c_str(),
                       size_text(out.zbs_read[vm.id]).c_str()));
        }
        return out;
    }

    std::string zbs_log(const std::string& level) const { return logs_ + "/zbs-" + level + ".log"; }

    // Bytes of the successful reads of these volumes in a request log of the
    // simulated library.
    static uint64_t zbs_bytes_read(const std::string& log, const std::set<std::string>& volumes) {
        std::ifstream in(log);
        std::string line;
        uint64_t total = 0;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string what, volume;
            uint64_t offset = 0, length = 0;
            int rc = -1;
            if (fields >> what >> volume >> offset >> length >> rc && what == "read" && rc == 0 &&
                volumes.count(volume) != 0)
                total += length;
        }
        return total;
    }

    std::set<std::string> pool_files() const {
        const std::vector<std::string> files = world::pool_files(pool_dir_);
        return std::set<std::string>(files.begin(), files.end());
    }

    std::vector<Object> catalog_rows() const {
        RESTful_Catalog_Operator catalog("127.0.0.1", static_cast<uint16_t>(backupd_port_), false,
                                         secure_string(), 0, 0);
        Value rows;
        if (!catalog.get_view("smartx", "catalogs", Object(), rows) ||
            rows.type() != json_spirit::array_type)
            throw Failure("cannot read the catalog");
        std::vector<Object> out;
        for (const Value& r : rows.get_array())
            if (r.type() == json_spirit::obj_type)
                out.push_back(r.get_obj());
        return out;
    }

    // ---- snapshots ----

    // The volume file of each disk's snapshot that the row's backup read.
    std::map<std::string, std::string> snapshot_files(const Object& row) {
        SmartX_Backup_Set set;
        set.read(row);
        const Value inventory = tower_get("/__sim/inventory");
        std::map<std::string, std::string> lun_snapshot_files;  // by name
        for (const Value& s : inventory.get_obj().at("iscsi_lun_snapshots").get_array())
            lun_snapshot_files[world::text_of(s, "name")] =
                store_ + "/" + world::text_of(s, "local_id");
        std::map<std::string, std::string> out;  // by volume local id
        for (const Backup_Piece& piece : set.pieces) {
            if (piece.object == "vm_info")
                continue;
            const Value attrs(piece.extended_attrs);
            const auto file = lun_snapshot_files.find(world::text_of(attrs, "snapshot_local_id"));
            if (file == lun_snapshot_files.end())
                throw Failure("no LUN snapshot for piece " + piece.path);
            out[world::text_of(attrs, "vm_volume_local_id")] = file->second;
        }
        return out;
    }

    // ---- changes ----

    void change_volumes() {
        heading("4. Changes to the live volumes");
        changes_ = {
            {0, 0, MiB + 100, noise(8 * KiB, 101), "8 KiB inside the written area"},
            {0, 0, 9 * MiB + 5000, noise(8 * KiB, 102), "8 KiB inside the written area"},
            {0, 0, 20 * MiB, noise(8 * KiB, 103), "8 KiB where nothing was written before"},
            {1, 0, 12 * MiB - 100 * KiB, noise(300 * KiB, 104), "300 KiB across two blocks"},
            {1, 1, 5 * MiB, std::string(64 * KiB, '\0'), "64 KiB of data zeroed"},
            {1, 2, 3 * MiB + 102393, noise(10, 105), "the last 10 bytes"},
            {2, 0, 7 * MiB, noise(4 * KiB, 106), "4 KiB where nothing was written before"},
        };
        for (const Change& c : changes_) {
            world::write_at(volume_path(c.vm, c.disk), c.offset, c.data);
            say(format("%s %s: %s at offset %" PRIu64, vms_[c.vm].name.c_str(),
                       vms_[c.vm].disks[c.disk].name.c_str(), c.what.c_str(), c.offset));
        }
        say("demo-web-01-disk2 is not changed: its incremental image holds nothing.");
    }

    // Bytes of the ZBS blocks a VM's changes touch.
    uint64_t changed_block_bytes(size_t vm) const {
        std::vector<world::Disk_Range> ranges;
        for (const Change& c : changes_)
            if (c.vm == vm)
                ranges.push_back({c.disk, c.offset, c.data.size()});
        return world::touched_block_bytes(vms_[vm], ranges, ZBS_BLOCK);
    }

    void report_incremental_reads(const Run_Result& incremental) {
        say(format("Only what changed is read (the changed %" PRIu64 " KiB ZBS blocks):",
                   ZBS_BLOCK / KiB));
        for (size_t v = 0; v < vms_.size(); ++v) {
            const uint64_t read = incremental.zbs_read.at(vms_[v].id);
            const uint64_t changed = changed_block_bytes(v);
            const bool ok = read <= changed;
            say(format("  %s: read %" PRIu64 " bytes from ZBS; the changed blocks hold %" PRIu64
                       " bytes: %s",
                       vms_[v].name.c_str(), read, changed, ok ? "OK" : "MORE THAN CHANGED"));
            if (!ok)
                fail("the incremental backup of " + vms_[v].name +
                     " read more than the changed blocks");
        }
        const Value inventory = tower_get("/__sim/inventory");
        for (const world::VM& vm : vms_) {
            std::vector<std::string> ids;
            for (const Value& s : inventory.get_obj().at("vm_snapshots").get_array()) {
                const Value* of = json_spirit::object_get_value(s.get_obj(), "vm");
                if (of != nullptr && world::text_of(*of, "id") == vm.id)
                    ids.push_back(world::text_of(s, "id"));
            }
            say(format(
                "  CloudTower keeps %zu snapshot of %s: %s (the incremental's, base of the next "
                "backup)",
                ids.size(), vm.name.c_str(), ids.empty() ? "none" : short_id(ids[0]).c_str()));
        }
    }

    // ---- the restore ----

    void restore(const Run_Result& incremental) {
        heading("6. Restore job through job-engine");
        Array entries;
        for (const world::VM& vm : vms_) {
            world::Restore_Target target;
            target.new_name = vm.name + RESTORED_SUFFIX;
            const std::string set = world::text_of(Value(incremental.rows.at(vm.id)), "uuid");
            entries.push_back(world::restore_entry(fixtures_, vm, set, target).dump());
        }
        Object def{
            {"id", Value(RESTORE_DEF_ID)},
            {"uid", Value(uuid_generate_text())},
            {"name", Value("demo restore")},
            {"type", Value(static_cast<int>(JOB_DEFINITION_RESTORE))},
            {"subtype", Value(static_cast<int>(JOB_DEFINITION_SUBTYPE_VM))},
            {"host_id", Value(INSTANCE_UUID)},
            {"target", Value(Object{{"id", Value(RESTORE_TARGET)}, {"device_id", Value("")}})},
            {"source", Value(Object{{"id", Value(INSTANCE_UUID)},
                                    {"name", Value("CloudTower 127.0.0.1")},
                                    {"entries", Value(entries)}})},
            {"options", Value(Object{{"channels", Value(2)},
                                     {"parallel_vms", Value(2)},
                                     {"duplicate_vm", Value("ignore")},
                                     {"zbs_version", Value(ZBS_VERSION)}})}};
        const std::string path = root_ + "/job-restore.json";
        std::ofstream(path) << json_spirit::write(Value(def), true);
        say(
            format("job-engine %s: the module's restore executor checks every entry (catalog row, "
                   "VM id, a VM of the new name), then its servant scheduler \"%s\" starts a "
                   "starter process per VM that reads the chain full + incremental from the pool "
                   "into new volumes and makes the VM \"<name>%s\"",
                   path.c_str(), RESTORE_SCHEDULER, RESTORED_SUFFIX));
        std::vector<std::string> output;
        Object results;
        const int status = run_job_engine(path, zbs_log("restore"), output, results);
        if (status != 0) {
            say(format("the restore job FAILED (exit status %d); job-engine's last lines:",
                       status));
            for (size_t i = output.size() > 30 ? output.size() - 30 : 0; i < output.size(); ++i)
                say("  | " + output[i]);
            throw Failure("the restore job failed");
        }
    }

    // ---- the check ----

    void check(const Run_Result& incremental) {
        heading("7. Byte-for-byte check");
        say("Each restored VM's disks, read from the volume store, against the snapshot volume "
            "the incremental");
        say("backup read (the full image laid first, then the incremental one, by the restore "
            "servant).");
        const Object inventory = tower_get("/__sim/inventory").get_obj();
        for (const world::VM& vm : vms_) {
            const std::map<std::string, std::string> snapshots =
                snapshot_files(incremental.rows.at(vm.id));
            const std::string name = vm.name + RESTORED_SUFFIX;
            const std::string id = world::vm_id_named(inventory, name);
            if (id.empty()) {
                fail("CloudTower has no VM " + name);
                continue;
            }
            const world::VM restored = world::listed_vm(inventory, id);
            say(format("%s (id %s, %zu disks) from %s:", name.c_str(), id.c_str(),
                       restored.disks.size(), vm.name.c_str()));
            if (restored.disks.size() != vm.disks.size()) {
                fail(format("%zu disks restored of %zu", restored.disks.size(), vm.disks.size()));
                continue;
            }
            for (size_t d = 0; d < vm.disks.size(); ++d) {
                const std::string file = store_ + "/" + restored.disks[d].zbs_volume_id;
                const int64_t diff =
                    first_difference(file, snapshots.at(vm.disks[d].volume_local_id));
                ++checks_;
                const std::string done =
                    format("  %-42s %-10s written %-10s", restored.disks[d].name.c_str(),
                           size_text(restored.disks[d].size).c_str(),
                           size_text(allocated_bytes(file)).c_str());
                if (diff < 0) {
                    say(done + ": equals " + vm.disks[d].name + "'s snapshot: OK");
                } else {
                    say(done + format(": DIFFERS from %s's snapshot at offset %" PRId64,
                                      vm.disks[d].name.c_str(), diff));
                    ++failures_;
                }
            }
        }
    }

    // ---- helpers ----

    void fail(const std::string& what) {
        ++failures_;
        say("  MISMATCH: " + what);
    }

    static int64_t int_member(const Object& o, const std::string& key) {
        const Value* v = json_spirit::object_get_value(o, key);
        return v != nullptr && (v->type() == json_spirit::int_type) ? v->get_int64() : -1;
    }
    static uint64_t uint_member(const Object& o, const std::string& key) {
        const int64_t v = int_member(o, key);
        return v > 0 ? static_cast<uint64_t>(v) : 0;
    }

    void tower_post(const std::string& path, const Object& body) {
        JSON_RESTful_Client client("127.0.0.1", static_cast<uint16_t>(tower_port_), false, false);
        HTTP_Request request(HTTP_METHOD_POST, path, false);
        HTTP_Response response;
        Value reply;
        if (!client.post(request, Value(body), response, reply))
            throw Failure("cloudtower-sim refused " + path + ": " + response.status_string());
    }

    Value tower_get(const std::string& path) {
        JSON_RESTful_Client client("127.0.0.1", static_cast<uint16_t>(tower_port_), false, false);
        HTTP_Request request(HTTP_METHOD_GET, path, false);
        HTTP_Response response;
        Value reply;
        if (!client.get(request, response, reply) || reply.type() != json_spirit::obj_type)
            throw Failure("cloudtower-sim did not answer " + path + ": " +
                          response.status_string());
        return reply;
    }

    int finish() {
        heading("Result");
        backupd_->stop();
        tower_->stop();
        size_t disks = 0;
        for (const world::VM& vm : vms_)
            disks += vm.disks.size();
        if (failures_ == 0) {
            say(
                format("%zu VMs, %zu disks: full and incremental backup jobs and a restore job "
                       "run by job-engine, and all %d byte-for-byte checks of the restored disks "
                       "passed.",
                       vms_.size(), disks, checks_));
            return 0;
        }
        say(format("FAILED: %d mismatches (marked above).", failures_));
        return 1;
    }

    std::string root_;
    std::string pool_dir_;
    std::string logs_;
    std::string store_;
    world::Fixtures fixtures_;
    std::unique_ptr<world::Sim_Process> tower_;
    std::unique_ptr<world::Sim_Process> backupd_;
    int tower_port_ = 0;
    int backupd_port_ = 0;
    smartx::Login_Info login_;
    std::string cluster_id_;
    std::vector<world::VM> vms_;
    std::vector<Change> changes_;
    int checks_ = 0;
    int failures_ = 0;
};

}  // namespace

int main() {
    const char* root = std::getenv("HOST_ROOT");
    struct stat st;
    if (root == nullptr || *root == '\0' || ::stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(
            stderr,
            "demo-backup: HOST_ROOT must name an existing directory (everything goes under it)\n");
        return 2;
    }
    ::setenv("COMPONENT", "smartx", 0);
    // A servant that dies must not take the demo with it.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        Demo demo(root);
        return demo.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo-backup: %s\n", e.what());
        return 1;
    }
}
