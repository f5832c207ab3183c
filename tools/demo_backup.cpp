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

#include "host/job/activity_map.h"
#include "host/json_spirit/json_io.h"
#include "host/smartx_backup_set.h"
#include "host/uuid.h"
#include "smartx/common/login_info.h"
#include "smartx/common/param.h"
#include "world/backup_world.h"
#include "world/demo_vms.h"
#include "world/job_run.h"
#include "world/listed_vm.h"
#include "world/pool_image.h"
#include "world/process_world.h"

namespace {

namespace fs = std::filesystem;
using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
// The ZBS block size the servant plans in (its default).
constexpr uint64_t ZBS_BLOCK = smartx::ZBS_BLOCK_SIZE_UNIT;
const char* const SCHEDULER = "smartx.servant.backup";
const char* const RESTORE_SCHEDULER = "smartx.servant.restore";
const char* const OWNER_HOST = "node-hz01-01";

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
    explicit Demo(std::string root) : root_(std::move(root)) {}

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
        const world::Built_Files built{DEMO_CLOUDTOWER_SIM_PATH, DEMO_BACKUP_SERVER_SIM_PATH,
                                       DEMO_ZBS_SIM_PATH,        DEMO_STARTER_PATH,
                                       DEMO_MODULE_PATH,         DEMO_FIXTURES_DIR};
        world_.reset(new world::Process_World(root_, built));
        for (const std::string& line : world_->summary())
            say(line);

        // The login the executor uses: the protected instance's, from the
        // backup server, decrypted with this host's key.
        smartx::Login_Info login;
        if (!smartx::get_login_info(world::job_instance, login))
            throw Failure("cannot get the CloudTower login from the backup server");
        say(format(
            "CloudTower login       %s@%s:%u, fetched from the backup server and decrypted with "
            "the host key",
            login.username.c_str(), login.host.c_str(), static_cast<unsigned>(login.port)));
    }

    void make_vms() {
        heading("2. Three VMs on cluster cluster-hz-01, their disks filled with data");
        vms_ = world::add_demo_vms(*world_);
        for (const world::VM& vm : vms_) {
            say(format("%s (id %s, %zu disks and a CD-ROM, host %s)", vm.name.c_str(),
                       vm.id.c_str(), vm.disks.size(), OWNER_HOST));
            for (const world::Disk& disk : vm.disks)
                say(format("  %-20s %-34s written %s", disk.name.c_str(),
                           size_text(disk.size).c_str(),
                           size_text(world::allocated_bytes(world_->volume_file(disk))).c_str()));
        }
    }

    std::string volume_path(size_t vm, size_t disk) const {
        return world_->volume_file(vms_[vm].disks[disk]);
    }

    // ---- one backup run ----

    // The job definition of a backup of every VM at this level; its path.
    std::string write_definition(Job_Definition_Subtype type, const std::string& level) const {
        const std::string path = root_ + "/job-" + level + ".json";
        world::write_job_definition(path, type, vms_, world::world_job_options());
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
            def.c_str(), SCHEDULER, world::world_zbs_version));
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
        if (activity.open(world::Backup_World::def_id, false) != 0)
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
                new_bytes += fs::file_size(world_->pool_dir() + "/" + f);
            }
        say(format("storage pool: %zu new files, %" PRIu64
                   " bytes; the job's stored size is %" PRIu64 " bytes",
                   new_files, new_bytes, activity->set_storage_size));
        if (new_bytes != activity->set_storage_size)
            fail("the pool's new files and the job's stored size differ");

        const std::vector<Object> rows = world::smartx_catalog_rows();
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

    std::string zbs_log(const std::string& level) const {
        return world_->log_dir() + "/zbs-" + level + ".log";
    }

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
        const std::vector<std::string> files = world::pool_files(world_->pool_dir());
        return std::set<std::string>(files.begin(), files.end());
    }

    // ---- snapshots ----

    // The volume file of each disk's snapshot that the row's backup read.
    std::map<std::string, std::string> snapshot_files(const Object& row) {
        SmartX_Backup_Set set;
        set.read(row);
        const Value inventory = world_->tower_get("/__sim/inventory");
        std::map<std::string, std::string> lun_snapshot_files;  // by name
        for (const Value& s : inventory.get_obj().at("iscsi_lun_snapshots").get_array())
            lun_snapshot_files[world::text_of(s, "name")] =
                world_->store_dir() + "/" + world::text_of(s, "local_id");
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
            {0, 0, MiB + 100, world::noise(8 * KiB, 101), "8 KiB inside the written area"},
            {0, 0, 9 * MiB + 5000, world::noise(8 * KiB, 102), "8 KiB inside the written area"},
            {0, 0, 20 * MiB, world::noise(8 * KiB, 103), "8 KiB where nothing was written before"},
            {1, 0, 12 * MiB - 100 * KiB, world::noise(300 * KiB, 104), "300 KiB across two blocks"},
            {1, 1, 5 * MiB, std::string(64 * KiB, '\0'), "64 KiB of data zeroed"},
            {1, 2, 3 * MiB + 102393, world::noise(10, 105), "the last 10 bytes"},
            {2, 0, 7 * MiB, world::noise(4 * KiB, 106), "4 KiB where nothing was written before"},
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
        const Value inventory = world_->tower_get("/__sim/inventory");
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
        std::vector<Object> rows;
        for (const auto& row : incremental.rows)
            rows.push_back(row.second);
        const std::string path = root_ + "/job-restore.json";
        world::write_new_vm_restore(path, world_->fixtures(), vms_, world::newest_sets(rows, vms_));
        say(
            format("job-engine %s: the module's restore executor checks every entry (catalog row, "
                   "VM id, a VM of the new name), then its servant scheduler \"%s\" starts a "
                   "starter process per VM that reads the chain full + incremental from the pool "
                   "into new volumes and makes the VM \"<name>%s\"",
                   path.c_str(), RESTORE_SCHEDULER, world::restored_suffix));
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
        const Object inventory = world_->tower_get("/__sim/inventory").get_obj();
        for (const world::VM& vm : vms_) {
            const std::map<std::string, std::string> snapshots =
                snapshot_files(incremental.rows.at(vm.id));
            const std::string name = vm.name + world::restored_suffix;
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
                const std::string file = world_->volume_file(restored.disks[d]);
                const int64_t diff =
                    first_difference(file, snapshots.at(vm.disks[d].volume_local_id));
                ++checks_;
                const std::string done =
                    format("  %-42s %-10s written %-10s", restored.disks[d].name.c_str(),
                           size_text(restored.disks[d].size).c_str(),
                           size_text(world::allocated_bytes(file)).c_str());
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
        int64_t v = -1;
        json_spirit::object_get(o, key, v);
        return v;
    }
    static uint64_t uint_member(const Object& o, const std::string& key) {
        const int64_t v = int_member(o, key);
        return v > 0 ? static_cast<uint64_t>(v) : 0;
    }

    int finish() {
        heading("Result");
        world_->stop();
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
    std::unique_ptr<world::Process_World> world_;
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
