// Backup servant: full backup time against `cp --sparse=always` and
// `qemu-img convert -O qcow2` of the same volume, the servant's peak memory,
// and what an incremental backup after a 1% change reads and costs.
//
// One VM with one ZBS volume of BENCH_BACKUP_GIB GiB (default 4), half of its
// 256 KiB blocks written with random data, over the simulated CloudTower, ZBS
// library and backup server. Every benchmark repeats its operation
// BENCH_BACKUP_RUNS times (default 5) and reports the median as the time of
// its single iteration. The scratch directory (HOST_ROOT, volume store and
// storage pool) is made under BENCH_BACKUP_DIR (default /tmp) and removed at
// the end; dirty pages are flushed before every timed run. See bench/README.md
// for the other settings.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ace/Log_Msg.h>
#include <benchmark/benchmark.h>

#include "host/job/activity_map.h"
#include "host/json_spirit/json_io.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant.h"
#include "host/servant/servant_task_scheduler.h"
#include "host/servant/servant_test_support.h"
#include "host/uuid.h"
#include "sim/backup_server/backup_server.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "smartx/common/param.h"
#include "smartx/common/progress_info.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/servant/backup_servant_handler.h"
#include "support/host_settings.h"
#include "support/zbs_sim.h"

extern char** environ;

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MiB = 1ULL << 20;
constexpr uint64_t BLOCK = 262144;
// The servant's memory target: 64 MiB plus 1 MiB per disk worker.
constexpr double MEMORY_BASE_MIB = 64;
constexpr int DISK_WORKERS = 1;

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* v = ::getenv(name);
    const unsigned long long n = v != nullptr ? std::strtoull(v, nullptr, 10) : 0;
    return n > 0 ? n : fallback;
}

int runs() {
    return static_cast<int>(env_number("BENCH_BACKUP_RUNS", 5));
}

// With BENCH_BACKUP_VERBOSE set, every run's figures go to stderr.
void trace_run(const std::string& what, double seconds, double transfer_s = -1) {
    static const bool verbose = ::getenv("BENCH_BACKUP_VERBOSE") != nullptr;
    if (!verbose)
        return;
    if (transfer_s >= 0)
        std::fprintf(stderr, "  %s: %.0f ms, transfer %.0f ms\n", what.c_str(), seconds * 1000,
                     transfer_s * 1000);
    else
        std::fprintf(stderr, "  %s: %.0f ms\n", what.c_str(), seconds * 1000);
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 != 0 ? v[m] : (v[m - 1] + v[m]) / 2;
}

bool on_path(const std::string& program) {
    const char* path = ::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// Runs a program to its end; throws unless it exits with 0.
void run_program(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot run " + args[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("lost " + args[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " failed");
}

Value parse_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    Value v;
    std::string why;
    if (!json_spirit::read(text.str(), v, &why))
        throw std::runtime_error(path + ": " + why);
    return v;
}

Object fixture_record(const std::string& kind, const std::string& name) {
    const Value all = parse_file(std::string(BENCH_FIXTURES_DIR) + "/" + kind + ".json");
    for (const Value& v : all.get_array()) {
        const std::string* n = json_spirit::object_get_str(v.get_obj(), "name");
        if (n != nullptr && *n == name)
            return v.get_obj();
    }
    throw std::runtime_error("no " + kind + " fixture named " + name);
}

std::string level_name(Job_Definition_Subtype type) {
    return type == JOB_DEFINITION_SUBTYPE_FULL ? "full" : "incremental";
}

Object ref(const std::string& id, const std::string& name) {
    return Object{{"id", Value(id)}, {"name", Value(name)}};
}

// The transfer part of one backup, timed from the VM's progress record (a
// shared mapping the servant writes, in this process or another): from the
// moment it shows state 1 until it counts every disk processed.
class Transfer_Clock {
public:
    explicit Transfer_Clock(smartx::VM_Progress_Info* record) : record_(record) {
        *record_ = smartx::VM_Progress_Info();
        thread_ = std::thread([this] { watch(); });
    }
    ~Transfer_Clock() { stop(); }
    Transfer_Clock(const Transfer_Clock&) = delete;
    Transfer_Clock& operator=(const Transfer_Clock&) = delete;

    // Seconds; negative when no complete transfer was seen.
    double stop() {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
        return seconds_;
    }

private:
    template <class T>
    static T load(const std::atomic<T>& v) {
        return v.load(std::memory_order_acquire);
    }

    void watch() {
        bool started = false;
        Clock::time_point start;
        while (!done_) {
            const int32_t state = load(record_->state);
            if (!started && state == 1) {
                start = Clock::now();
                started = true;
            }
            if (started) {
                if (state == 3)
                    return;
                const int32_t disks = load(record_->virtual_disk_count);
                if (disks > 0 && load(record_->processed_virtual_disk_count) >= disks) {
                    seconds_ = seconds_since(start);
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    smartx::VM_Progress_Info* record_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    double seconds_ = -1;
};

struct Backup_Run {
    double request_s = 0;       // request to reply
    double transfer_s = 0;      // the transfer part
    uint64_t bytes_read = 0;    // from ZBS (in-process runs only)
    uint64_t storage_size = 0;  // the reply's "storage_size"
};

// Every service a backup request meets, set up once per process.
class World {
public:
    // Throws, now and on every later call, when the set-up fails.
    static World& get() {
        static std::string failed;
        if (!failed.empty())
            throw std::runtime_error(failed);
        if (!instance_) {
            try {
                instance_.reset(new World());
            } catch (const std::exception& e) {
                failed = e.what();
                throw;
            }
        }
        return *instance_;
    }
    static void destroy() { instance_.reset(); }

    ~World() { tear_down(); }

    uint64_t data_bytes() const { return data_bytes_; }
    const std::string& volume_file() const { return volume_file_; }
    std::string pool_file(const std::string& name) const { return pool_ + "/" + name; }

    // Empties the pool (earlier images are never read again) and flushes what
    // earlier runs left dirty, so that no run pays for another's writes.
    void prepare_run() {
        std::error_code ignored;
        for (const auto& e : std::filesystem::directory_iterator(pool_))
            std::filesystem::remove_all(e.path(), ignored);
        const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
        zbs_->reset();
    }

    uint64_t changed_bytes(double share) const { return pick_blocks(share, 0).size() * BLOCK; }

    // Random data over a share of the volume's blocks, a new choice each time.
    void change_blocks(double share, uint64_t seed) {
        write_blocks(pick_blocks(share, seed), seed);
    }

    // One backup through the handler, as the servant process runs it.
    Backup_Run backup_in_process(Job_Definition_Subtype type) {
        prepare_run();
        Backup_Run run;
        auto channel = std::make_shared<JSON_RPC_Memory_Channel>();
        JSON_RPC_Object_Ptr request(
            new JSON_RPC_Request("smartx.servant.backup", Value(request_params(type)), Value(7)));
        {
            Transfer_Clock clock(progress_.get());
            const Clock::time_point start = Clock::now();
            handler_->handle_object(channel, request);
            run.request_s = seconds_since(start);
            run.transfer_s = clock.stop();
        }
        const std::vector<JSON_RPC_Object_Ptr> sent = channel->sent();
        if (sent.size() != 1 || sent[0]->type() != JSON_RPC_Object::TYPE_RESPONSE)
            throw std::runtime_error("the servant answered no result");
        check_reply(static_cast<const JSON_RPC_Response&>(*sent[0]).result, type, run);
        trace_run(level_name(type), run.request_s, run.transfer_s);
        zbs_sim_stats stats{};
        zbs_->total_stats(&stats);
        run.bytes_read = stats.bytes_read;
        return run;
    }

    // One backup through the starter program and the built module.
    Backup_Run backup_through_starter(Job_Definition_Subtype type) {
        prepare_run();
        Backup_Run run;
        Servant_Task_Scheduler scheduler("smartx.servant.backup", 1024);
        std::mutex mutex;
        JSON_RPC_Object_Ptr reply;
        std::string servant_log;
        const auto init = [&](Servant& servant, const Object&) {
            servant.set_log_msg_callback([&](const std::string& line) {
                std::lock_guard<std::mutex> lock(mutex);
                servant_log += line + "\n";
            });
            return servant.reset("starter", servant_config_template(), nullptr, nullptr,
                                 vm_name_.c_str()) == 0;
        };
        const auto result = [&](const JSON_RPC_Object_Ptr& r) {
            std::lock_guard<std::mutex> lock(mutex);
            reply = r;
            return 0;
        };
        {
            Transfer_Clock clock(progress_.get());
            const Clock::time_point start = Clock::now();
            if (!scheduler.enqueue_task(request_params(type), "node-hz01-01", 0,
                                        "backup_vm_" + vm_name_, vm_id_.c_str()) ||
                !scheduler.activate(1, init, result) || !scheduler.wait())
                throw std::runtime_error("the servant scheduler failed");
            run.request_s = seconds_since(start);
            run.transfer_s = clock.stop();
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (reply.null() || reply->type() != JSON_RPC_Object::TYPE_RESPONSE)
            throw std::runtime_error("the servant answered no result; it logged:\n" + servant_log);
        check_reply(static_cast<const JSON_RPC_Response&>(*reply).result, type, run);
        trace_run(level_name(type) + " (starter)", run.request_s, run.transfer_s);
        return run;
    }

private:
    World() {
        try {
            set_up();
        } catch (...) {
            tear_down();
            throw;
        }
    }

    void tear_down() {
        handler_.reset();
        if (tower_)
            tower_->stop();
        if (backupd_)
            backupd_->stop();
        zbs_.reset();
        std::error_code ignored;
        for (std::string* dir : {&root_, &store_root_}) {
            if (!dir->empty())
                std::filesystem::remove_all(*dir, ignored);
            dir->clear();
        }
    }

    void set_up() {
        const char* parent = ::getenv("BENCH_BACKUP_DIR");
        std::string tmpl = std::string(parent != nullptr && *parent != '\0' ? parent : "/tmp") +
                           "/smartx-bench-backup-XXXXXX";
        if (::mkdtemp(&tmpl[0]) == nullptr)
            throw std::runtime_error("cannot make a directory like " + tmpl);
        root_ = tmpl;
        ::setenv("HOST_ROOT", root_.c_str(), 1);
        ::setenv("COMPONENT", "smartx", 1);
        pool_ = root_ + "/pool";
        if (make_directories(pool_, 0750) != 0)
            throw std::runtime_error("cannot make " + pool_);

        // The volume store may live elsewhere (say a tmpfs, where the
        // simulator's snapshot copies do not load the pool's disk).
        const char* store_parent = ::getenv("BENCH_BACKUP_STORE_DIR");
        if (store_parent != nullptr && *store_parent != '\0') {
            std::string dir = std::string(store_parent) + "/smartx-bench-store-XXXXXX";
            if (::mkdtemp(&dir[0]) == nullptr)
                throw std::runtime_error("cannot make a directory like " + dir);
            store_root_ = dir;
        }
        store_ = make_zbs_store(store_root_.empty() ? root_ : store_root_);
        // Held for the whole run: the servant's unload then keeps the counters.
        zbs_.reset(new Zbs_Sim_Control(install_zbs_sim(ZBS_SIM_PATH, "5.5.1")));
        zbs_->reset();

        backupd_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        if (!backupd_->start())
            throw std::runtime_error("the backup server did not start");
        write_host_settings(root_, backupd_->port(), "");

        sim::cloudtower::Options options;
        options.inventory_file = std::string(BENCH_FIXTURES_DIR) + "/inventory.json";
        options.store_dir = store_;
        tower_.reset(new sim::cloudtower::Server(options));
        std::string why;
        if (!tower_->start(&why))
            throw std::runtime_error("CloudTower simulator: " + why);
        size_ = env_number("BENCH_BACKUP_GIB", 4) << 30;
        add_vm();
        volume_file_ = tower_->volume_path(zbs_volume_id_);
        if (::truncate(volume_file_.c_str(), static_cast<off_t>(size_)) != 0)
            throw std::runtime_error("cannot size " + volume_file_);
        const std::vector<uint64_t> half = pick_blocks(0.5, 1);
        data_bytes_ = half.size() * BLOCK;
        write_blocks(half, 1);

        if (activity_.open(def_id_, true) != 0)
            throw std::runtime_error("cannot open the job activity record");
        activity_->state = JOB_STATE_RUNNING;
        uuid_from_string("6b3f7c1e-5d1a-4e8b-9c2f-0000000000a1", activity_->id);
        uuid_from_string("6b3f7c1e-5d1a-4e8b-9c2f-0000000000b1", activity_->uid);
        if (progress_.open(def_id_, vm_id_, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0750) != 0)
            throw std::runtime_error("cannot open the progress record");

        install_starter();
        write_servant_config(
            Object{{"smartx.servant.backup", Value("SmartX_Backup_Servant_Handler")}},
            SMARTX_MODULE_PATH);
        Gobble_Function gobble = nullptr;
        JSON_RPC_Handler* h = _make_SmartX_Backup_Servant_Handler(&gobble);
        if (h == nullptr)
            throw std::runtime_error("no backup servant handler");
        handler_ = std::unique_ptr<JSON_RPC_Handler, Gobble_Function>(h, gobble);
    }

    // bench-01 in cluster-hz-01 with one disk over the volume.
    void add_vm() {
        const std::string volume_id = "cl0benchvolume00000000001";
        const std::string volume_local_id = "6b6b0000-0000-4000-8000-0000000000b1";
        const std::string lun_id = "cl0benchlun00000000000001";
        const long long size = static_cast<long long>(size_);
        const Object cluster = fixture_record("clusters", "cluster-hz-01");
        cluster_id_ = cluster.at("id").get_str();

        Object lun = fixture_record("iscsi_luns", "1605adc0-1094-5260-9891-6ddf451ecfda");
        lun["id"] = lun_id;
        lun["local_id"] = "8c8c0000-0000-4000-8000-0000000000b1";
        lun["name"] = volume_local_id;
        lun["lun_id"] = 200;
        lun["assigned_size"] = size;
        lun["zbs_volume_id"] = zbs_volume_id_;
        lun["snapshot_num"] = 0;

        Object volume = fixture_record("vm_volumes", "web-01-system");
        volume["id"] = volume_id;
        volume["local_id"] = volume_local_id;
        volume["name"] = "bench-01-disk1";
        volume["lun"] = ref(lun_id, volume_local_id);
        volume["size"] = size;
        volume["path"] = "iscsi://iqn.2016-02.com.smartx:system:bench/1";
        volume["vm_disks"] = Array();

        Object disk{{"boot", Value(1)},
                    {"bus", Value("VIRTIO")},
                    {"device", Value("vda")},
                    {"disabled", Value(false)},
                    {"elf_image", Value()},
                    {"id", Value("cl0benchdisk0000000000001")},
                    {"key", Value(0)},
                    {"max_bandwidth", Value(0)},
                    {"max_bandwidth_policy", Value("DYNAMIC")},
                    {"max_iops", Value(0)},
                    {"max_iops_policy", Value("DYNAMIC")},
                    {"serial", Value("5e5e0000-0000-4000-8000-0000000000b1")},
                    {"type", Value("DISK")},
                    {"vm", Value(ref(vm_id_, vm_name_))},
                    {"vm_volume", Value(ref(volume_id, "bench-01-disk1"))}};

        Object vm = fixture_record("vms", "test-01");
        vm["id"] = vm_id_;
        vm["name"] = vm_name_;
        vm["hostname"] = vm_name_;
        vm["local_id"] = "9d9d0000-0000-4000-8000-0000000000b1";
        // Running with its tools: the snapshot is file-system consistent.
        vm["status"] = "RUNNING";
        vm["vm_tools_status"] = "RUNNING";
        vm["vm_disks"] = Array();
        vm["vm_nics"] = Array();
        vm["snapshots"] = Array();

        std::string why;
        if (!tower_->put_records("iscsi_luns", Array{lun}, &why) ||
            !tower_->put_records("vm_volumes", Array{volume}, &why) ||
            !tower_->put_records("vms", Array{vm}, &why) ||
            !tower_->put_records("vm_disks", Array{disk}, &why))
            throw std::runtime_error("CloudTower records: " + why);
    }

    // A share of the volume's blocks, chosen by seed, in ascending order.
    std::vector<uint64_t> pick_blocks(double share, uint64_t seed) const {
        std::vector<uint64_t> all(size_ / BLOCK);
        std::iota(all.begin(), all.end(), 0);
        std::mt19937_64 random(seed);
        std::shuffle(all.begin(), all.end(), random);
        const size_t n =
            std::max<size_t>(1, static_cast<size_t>(static_cast<double>(all.size()) * share + 0.5));
        all.resize(std::min(n, all.size()));
        std::sort(all.begin(), all.end());
        return all;
    }

    // Random data (nothing compresses) into the blocks; on disk when done.
    void write_blocks(const std::vector<uint64_t>& blocks, uint64_t seed) const {
        const int fd = ::open(volume_file_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + volume_file_);
        std::vector<uint64_t> data(BLOCK / 8);
        uint64_t x = 0x9E3779B97F4A7C15ULL ^ seed;
        bool ok = true;
        for (uint64_t b : blocks) {
            for (uint64_t& w : data) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = x;
            }
            ok = ok && ::pwrite(fd, data.data(), BLOCK, static_cast<off_t>(b * BLOCK)) ==
                           static_cast<ssize_t>(BLOCK);
        }
        ok = ::fsync(fd) == 0 && ok;
        ::close(fd);
        if (!ok)
            throw std::runtime_error("cannot write " + volume_file_);
    }

    Object request_params(Job_Definition_Subtype type) const {
        smartx::Backup_Param p;
        p.backup_type = type;
        p.pool_url = "file://" + pool_;
        p.vm_id = vm_id_;
        p.vm_name = vm_name_;
        p.cluster_id = cluster_id_;
        smartx::Control_Param& c = p.control;
        c.def_id = def_id_;
        c.host_id = "host-backup-01";
        c.job_revision = 1;
        c.resource_uuid = "0f0e0d0c-0b0a-4090-8070-6050403020b1";
        c.backupd_host = "127.0.0.1";
        c.backupd_port = static_cast<uint16_t>(backupd_->port());
        c.login_info.host = "127.0.0.1";
        c.login_info.port = static_cast<uint16_t>(tower_->port());
        c.login_info.username = "admin";
        c.login_info.secure_pwd = "admin123";
        c.parallelism.disks_per_vm = DISK_WORKERS;
        p.catalog.name = "bench";
        p.catalog.host_uuid = "host-uuid-1";
        p.catalog.agent = "smartx";
        p.catalog.instance_version = "4.1.0";
        p.catalog.pool_uuid = "pool-uuid-1";

        smartx::Backup_Source_Entry e;
        e.id = vm_id_;
        e.name = vm_name_;
        e.type = "VirtualMachine";
        return Object{{"param", Value(p.dump())}, {"entry", Value(e.dump())}};
    }

    // A backup counts only when it succeeded at the level asked for (a
    // servant may fall back to a full one).
    void check_reply(const Value& result, Job_Definition_Subtype type, Backup_Run& run) const {
        const Value* code = result.type() == json_spirit::obj_type
                                ? json_spirit::object_get_value(result.get_obj(), "code")
                                : nullptr;
        if (code == nullptr || code->type() != json_spirit::int_type || code->get_int() != 0)
            throw std::runtime_error("the backup failed: " + json_spirit::write(result));
        run.storage_size = result.get_obj().at("storage_size").get_uint64();
        const std::vector<Object> rows = backupd_->catalog_rows("smartx");
        const std::string wanted = level_name(type);
        if (rows.empty() || rows.back().at("type").get_str() != wanted)
            throw std::runtime_error("the servant did not make a " + wanted + " backup");
        if (run.transfer_s < 0)
            throw std::runtime_error("the transfer was not seen in the progress record");
    }

    static std::unique_ptr<World> instance_;

    std::string root_;
    std::string pool_;
    std::string store_root_;  // a store outside root_, when asked for
    std::string store_;
    std::string volume_file_;
    uint64_t size_ = 0;
    uint64_t data_bytes_ = 0;
    std::unique_ptr<Zbs_Sim_Control> zbs_;
    std::unique_ptr<sim::Backup_Server> backupd_;
    std::unique_ptr<sim::cloudtower::Server> tower_;
    Job_Activity_Map activity_;
    smartx::VM_Progress_Handle progress_;
    std::unique_ptr<JSON_RPC_Handler, Gobble_Function> handler_{nullptr, nullptr};

    const std::string def_id_ = "6b3f7c1e-5d1a-4e8b-9c2f-0000000000d1";
    const std::string vm_id_ = "cl0benchvm000000000000001";
    const std::string vm_name_ = "bench-01";
    const std::string zbs_volume_id_ = "7a7a0000-0000-4000-8000-0000000000b1";
    std::string cluster_id_;
};

std::unique_ptr<World> World::instance_;

// Medians of the full backups, shared by the benchmarks that report them.
struct Full_Runs {
    double request_s = 0;
    double transfer_s = 0;
    uint64_t bytes_read = 0;
    uint64_t storage_size = 0;
};

const Full_Runs& full_runs() {
    static std::unique_ptr<Full_Runs> cached;
    if (!cached) {
        std::vector<double> request, transfer;
        Full_Runs f;
        for (int i = 0; i < runs(); ++i) {
            const Backup_Run r = World::get().backup_in_process(JOB_DEFINITION_SUBTYPE_FULL);
            request.push_back(r.request_s);
            transfer.push_back(r.transfer_s);
            f.bytes_read = r.bytes_read;
            f.storage_size = r.storage_size;
        }
        f.request_s = median(request);
        f.transfer_s = median(transfer);
        cached.reset(new Full_Runs(f));
    }
    return *cached;
}

// Targets, printed after the tables.
std::vector<std::string>& summary() {
    static std::vector<std::string> lines;
    return lines;
}

void note(const char* format, double value, double limit, bool met) {
    char line[256];
    std::snprintf(line, sizeof line, format, value, limit, met ? "met" : "MISSED");
    summary().push_back(line);
}

// Medians of the baselines' runs, kept for the targets.
double cp_s = 0;
double qemu_img_s = 0;
double cp_like_s = 0;  // flushed, after a copy

// CPU seconds (user and system) of the children reaped so far.
double children_cpu_s() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void fsync_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot flush " + path);
}

template <class F>
void guarded(benchmark::State& state, F f) {
    try {
        f();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// Bytes of the volume's data per iteration; after the loop, once the
// iterations are counted.
void set_bytes(benchmark::State& state) {
    if (!state.error_occurred())
        state.SetBytesProcessed(static_cast<int64_t>(World::get().data_bytes()) *
                                static_cast<int64_t>(state.iterations()));
}

// One full backup through the starter: the servant process's peak resident
// memory (the only child reaped so far, when this runs first).
void backup_full_starter(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            World& w = World::get();
            rusage before{};
            ::getrusage(RUSAGE_CHILDREN, &before);
            const double cpu_before = children_cpu_s();
            const Backup_Run r = w.backup_through_starter(JOB_DEFINITION_SUBTYPE_FULL);
            rusage after{};
            ::getrusage(RUSAGE_CHILDREN, &after);
            state.SetIterationTime(r.request_s);
            state.counters["transfer_ms"] = r.transfer_s * 1000;
            state.counters["cpu_ms"] = (children_cpu_s() - cpu_before) * 1000;
            const double limit = MEMORY_BASE_MIB + DISK_WORKERS;
            state.counters["maxrss_limit_MiB"] = limit;
            if (after.ru_maxrss > before.ru_maxrss) {
                const double mib = static_cast<double>(after.ru_maxrss) / 1024;
                state.counters["maxrss_MiB"] = mib;
                note("servant peak RSS %.1f MiB (target < %.0f MiB): %s", mib, limit, mib < limit);
            } else {
                summary().push_back(
                    "servant peak RSS unknown: an earlier child used more (run this benchmark "
                    "first)");
            }
        });
    }
    set_bytes(state);
}

// How a baseline copy runs (flags).
enum Copy_Mode {
    COPY_PLAIN = 0,
    COPY_FLUSHED = 1,     // flushed to disk, as the servant flushes its image
    COPY_AFTER_COPY = 2,  // right after an untimed sparse copy of the volume, as
                          // the simulator makes the snapshot before a transfer
};

// A program copying the volume into the pool, BENCH_BACKUP_RUNS times:
// median time and its CPU time.
double copy_baseline(benchmark::State& state, const std::vector<std::string>& program,
                     const std::string& file, int mode) {
    double median_s = 0;
    for (auto _ : state) {
        guarded(state, [&] {
            World& w = World::get();
            std::vector<std::string> args = program;
            args.push_back(w.volume_file());
            args.push_back(w.pool_file(file));
            std::vector<double> t, cpu;
            for (int i = 0; i < runs(); ++i) {
                w.prepare_run();
                if ((mode & COPY_AFTER_COPY) != 0)
                    run_program(
                        {"cp", "--sparse=always", w.volume_file(), w.pool_file("snapshot")});
                const double cpu_before = children_cpu_s();
                const Clock::time_point start = Clock::now();
                run_program(args);
                if ((mode & COPY_FLUSHED) != 0)
                    fsync_file(w.pool_file(file));
                t.push_back(seconds_since(start));
                cpu.push_back(children_cpu_s() - cpu_before);
                trace_run(program[0] + ((mode & COPY_FLUSHED) != 0 ? " flushed" : "") +
                              ((mode & COPY_AFTER_COPY) != 0 ? " after a copy" : ""),
                          t.back());
            }
            median_s = median(t);
            state.SetIterationTime(median_s);
            state.counters["cpu_ms"] = median(cpu) * 1000;
        });
    }
    set_bytes(state);
    return median_s;
}

void baseline_cp_sparse(benchmark::State& state) {
    cp_s = copy_baseline(state, {"cp", "--sparse=always"}, "volume.raw", COPY_PLAIN);
}

// Like for like with the servant, which flushes every image before naming it.
void baseline_cp_sparse_fsync(benchmark::State& state) {
    copy_baseline(state, {"cp", "--sparse=always"}, "volume.raw", COPY_FLUSHED);
}

// Like for like in full: flushed, and with the page cache as the servant's
// transfer finds it, just filled by the simulated snapshot.
void baseline_cp_fsync_after_copy(benchmark::State& state) {
    cp_like_s = copy_baseline(state, {"cp", "--sparse=always"}, "volume.raw",
                              COPY_FLUSHED | COPY_AFTER_COPY);
}

void baseline_qemu_img(benchmark::State& state) {
    if (!on_path("qemu-img")) {
        std::fprintf(
            stderr,
            "qemu-img is not installed (Debian package qemu-utils): baseline_qemu_img skipped\n");
        for (auto _ : state)
            state.SkipWithError("qemu-img not installed");
        return;
    }
    qemu_img_s = copy_baseline(state, {"qemu-img", "convert", "-f", "raw", "-O", "qcow2"},
                               "volume.qcow2", COPY_PLAIN);
}

// Full backups in process: request to reply.
void backup_full(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Full_Runs& f = full_runs();
            state.SetIterationTime(f.request_s);
            state.counters["transfer_ms"] = f.transfer_s * 1000;
            state.counters["zbs_read_MiB"] = static_cast<double>(f.bytes_read) / MiB;
            state.counters["image_MiB"] = static_cast<double>(f.storage_size) / MiB;
        });
    }
    set_bytes(state);
}

// The same backups' transfer part: planned ranges from ZBS into the image.
void backup_full_transfer(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Full_Runs& f = full_runs();
            state.SetIterationTime(f.transfer_s);
            if (cp_s > 0)
                note("full transfer / cp time %.2f (target <= %.2f): %s", f.transfer_s / cp_s,
                     1 / 0.75, f.transfer_s / cp_s <= 1 / 0.75);
            if (cp_like_s > 0) {
                char line[160];
                std::snprintf(
                    line, sizeof line,
                    "full transfer / cp flushed after a copy (like for like, no target) %.2f",
                    f.transfer_s / cp_like_s);
                summary().push_back(line);
            }
            if (qemu_img_s > 0)
                note("full transfer / qemu-img time %.2f (target <= %.2f): %s",
                     f.transfer_s / qemu_img_s, 1.0, f.transfer_s / qemu_img_s <= 1.0);
        });
    }
    set_bytes(state);
}

// Incremental backups after random data into 1% of the blocks each: time of
// the transfer part, bytes read from ZBS, and the transfer time as a share
// of the full's.
void backup_incremental(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            World& w = World::get();
            const Full_Runs& f = full_runs();
            std::vector<double> request, transfer, read;
            for (int i = 0; i < runs(); ++i) {
                w.change_blocks(0.01, 100 + static_cast<uint64_t>(i));
                const Backup_Run r = w.backup_in_process(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
                request.push_back(r.request_s);
                transfer.push_back(r.transfer_s);
                read.push_back(static_cast<double>(r.bytes_read));
            }
            const double t = median(transfer);
            const double share = f.transfer_s > 0 ? t / f.transfer_s : 0;
            state.SetIterationTime(t);
            state.counters["request_ms"] = median(request) * 1000;
            state.counters["zbs_read_MiB"] = median(read) / MiB;
            state.counters["changed_MiB"] = static_cast<double>(w.changed_bytes(0.01)) / MiB;
            state.counters["read_of_full"] =
                f.bytes_read > 0 ? median(read) / static_cast<double>(f.bytes_read) : 0;
            state.counters["time_of_full"] = share;
            note("incremental transfer / full transfer time %.3f (target <= %.2f): %s", share, 0.05,
                 share <= 0.05);
        });
    }
}

}  // namespace

// The starter run first: its peak memory is read from the reaped children.
BENCHMARK(backup_full_starter)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_cp_sparse)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_cp_sparse_fsync)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_cp_fsync_after_copy)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(baseline_qemu_img)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(backup_full)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(backup_full_transfer)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(backup_incremental)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv) {
    // The servant's progress lines would drown the tables.
    ACE_LOG_MSG->priority_mask(
        LM_NOTICE | LM_WARNING | LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY,
        ACE_Log_Msg::PROCESS);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    try {
        World::destroy();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cleanup: %s\n", e.what());
    }
    benchmark::Shutdown();
    if (!summary().empty())
        std::printf("\n== targets\n");
    for (const std::string& line : summary())
        std::printf("%s\n", line.c_str());
    return 0;
}
