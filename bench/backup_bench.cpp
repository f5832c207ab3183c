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
#include <functional>
#include <map>
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

#include "bench/bench_support.h"
#include "bench/transfer_clock.h"
#include "host/json_spirit/json_io.h"
#include "world/backup_world.h"
#include "world/servant_setup.h"

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

bool on_path(const std::string& program) {
    const char* path = ::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string level_name(Job_Definition_Subtype type) {
    return type == JOB_DEFINITION_SUBTYPE_FULL ? "full" : "incremental";
}

struct Backup_Run {
    double request_s = 0;       // request to reply
    double transfer_s = 0;      // the transfer part
    uint64_t bytes_read = 0;    // from ZBS (in-process runs only)
    uint64_t storage_size = 0;  // the reply's "storage_size"
};

// The backup world with one VM over the volume, set up once per process.
class World : public Once_Per_Process<World> {
    friend class Once_Per_Process<World>;

public:
    ~World() { tear_down(); }

    uint64_t data_bytes() const { return data_bytes_; }
    const std::string& volume_file() const { return volume_file_; }
    std::string pool_file(const std::string& name) const { return world_->pool_dir() + "/" + name; }

    // What every run starts from: an empty pool (earlier images are never
    // read again), nothing dirty and none of the world's files cached (no run
    // pays for another's writes or reads what another left in memory), the
    // ZBS counters at zero.
    void prepare_run() {
        std::error_code ignored;
        for (const auto& e : std::filesystem::directory_iterator(world_->pool_dir()))
            std::filesystem::remove_all(e.path(), ignored);
        settle_page_cache({root_, store_root_});
        world_->zbs().reset();
    }

    uint64_t changed_bytes(double share) const { return pick_blocks(share, 0).size() * BLOCK; }

    // Random data over a share of the volume's blocks, a new choice each time.
    void change_blocks(double share, uint64_t seed) {
        write_blocks(volume_file_, pick_blocks(share, seed), seed);
    }

    // The preparation of a copying baseline, as a backup request makes its
    // snapshot: a fresh sparse copy of the volume in the volume store.
    std::string fresh_snapshot_copy() {
        const std::string copy = world_->store_dir() + "/bench-snapshot.raw";
        std::error_code ignored;
        std::filesystem::remove(copy, ignored);
        run_program({"cp", "--sparse=always", volume_file_, copy});
        return copy;
    }

    // A VM of n disks of BENCH_BACKUP_DISK_MIB MiB each (n: 1, 2 or 4).
    const world::VM& disk_vm(int n) const { return disk_vms_.at(n == 4 ? 2 : n - 1); }
    uint64_t disk_vm_bytes(int n) const { return disk_data_bytes_ * static_cast<uint64_t>(n); }

    // One backup through the handler, as the servant process runs it, from
    // where prepare_run() left the world.
    Backup_Run backup_in_process(Job_Definition_Subtype type) {
        return backup_in_process(type, vm_, DISK_WORKERS);
    }

    Backup_Run backup_in_process(Job_Definition_Subtype type, const world::VM& vm, int workers) {
        Backup_Run run;
        world_->defaults().disks_per_vm = workers;
        const Value params(world::backup_request(world_->param(type, vm), world::backup_entry(vm)));
        world::Servant_Reply reply;
        {
            Transfer_Clock clock(&world_->progress(vm.id));
            const Clock::time_point start = Clock::now();
            reply = world::call_servant(*handler_, params);
            run.request_s = seconds_since(start);
            run.transfer_s = clock.stop();
        }
        if (reply.sent != 1 || reply.error)
            throw std::runtime_error("the servant answered no result");
        check_reply(reply, type, run);
        world_->defaults().disks_per_vm = DISK_WORKERS;
        trace_run(level_name(type), run.request_s, run.transfer_s);
        run.bytes_read = world_->zbs_totals().bytes_read;
        return run;
    }

    // One backup through the starter program and the built module, from
    // where prepare_run() left the world.
    Backup_Run backup_through_starter(Job_Definition_Subtype type) {
        Backup_Run run;
        world::Servant_Runs runs;
        {
            Transfer_Clock clock(&world_->progress(vm_.id));
            const Clock::time_point start = Clock::now();
            runs = world::run_backup_servants({{request_params(type), vm_.name}});
            run.request_s = seconds_since(start);
            run.transfer_s = clock.stop();
        }
        if (runs.replies.size() != 1 || runs.replies[0].error) {
            std::string log;
            for (const std::string& line : runs.logs[vm_.name])
                log += line + "\n";
            throw std::runtime_error("the servant answered no result; it logged:\n" + log);
        }
        check_reply(runs.replies[0], type, run);
        trace_run(level_name(type) + " (starter)", run.request_s, run.transfer_s);
        return run;
    }

private:
    void tear_down() {
        handler_.reset();
        world_.reset();
        remove_dir(&root_);
        remove_dir(&store_root_);
    }

    void set_up() {
        root_ = make_host_root("BENCH_BACKUP_DIR", "backup");

        // The volume store may live elsewhere (say a tmpfs, where the
        // simulator's snapshot copies do not load the pool's disk).
        const char* store_parent = ::getenv("BENCH_BACKUP_STORE_DIR");
        if (store_parent != nullptr && *store_parent != '\0') {
            std::string dir = std::string(store_parent) + "/smartx-bench-store-XXXXXX";
            if (::mkdtemp(&dir[0]) == nullptr)
                throw std::runtime_error("cannot make a directory like " + dir);
            store_root_ = dir;
        }
        world_.reset(
            new world::Backup_World({root_, BENCH_FIXTURES_DIR, ZBS_SIM_PATH, store_root_}));
        world_->defaults().disks_per_vm = DISK_WORKERS;
        world_->defaults().catalog_name = "bench";

        // Running with its tools: the snapshot is file-system consistent.
        size_ = env_number("BENCH_BACKUP_GIB", 4) << 30;
        vm_ = world::numbered_vm("bench", 0, "bench-01", {size_}, "benchmark VM");
        vm_.running = true;
        world_->add_vms({vm_});
        volume_file_ = world_->volume_file(vm_.disks[0]);
        if (::truncate(volume_file_.c_str(), static_cast<off_t>(size_)) != 0)
            throw std::runtime_error("cannot size " + volume_file_);
        const std::vector<uint64_t> half = pick_blocks(0.5, 1);
        data_bytes_ = half.size() * BLOCK;
        write_blocks(volume_file_, half, 1);

        // VMs of 1, 2 and 4 disks, each disk a copy of one half-written volume.
        const uint64_t disk_size = env_number("BENCH_BACKUP_DISK_MIB", 1024) << 20;
        for (const int n : {1, 2, 4}) {
            disk_vms_.push_back(world::numbered_vm("bench", static_cast<uint64_t>(n),
                                                   "disks-" + std::to_string(n),
                                                   std::vector<uint64_t>(n, disk_size), "disks"));
            disk_vms_.back().running = true;
        }
        world_->add_vms(disk_vms_);
        const std::string disk_master = root_ + "/disk-master.raw";
        write_half(disk_master, disk_size, 2);
        for (const world::VM& vm : disk_vms_)
            for (const world::Disk& d : vm.disks)
                run_program({"cp", "--sparse=always", disk_master, world_->volume_file(d)});
        disk_data_bytes_ = pick_blocks(0.5, 2, disk_size).size() * BLOCK;
        std::filesystem::remove(disk_master);

        install_starter(STARTER_PATH);
        write_servant_config(
            Object{{"smartx.servant.backup", Value("SmartX_Backup_Servant_Handler")}},
            SMARTX_MODULE_PATH);
        handler_ = world::make_backup_handler();
    }

    // A sparse file of size bytes, half of its blocks random data.
    void write_half(const std::string& file, uint64_t size, uint64_t seed) const {
        { std::ofstream made(file, std::ios::binary | std::ios::trunc); }
        if (::truncate(file.c_str(), static_cast<off_t>(size)) != 0)
            throw std::runtime_error("cannot size " + file);
        write_blocks(file, pick_blocks(0.5, seed, size), seed);
    }

    // A share of the volume's blocks, chosen by seed, in ascending order.
    std::vector<uint64_t> pick_blocks(double share, uint64_t seed, uint64_t size = 0) const {
        std::vector<uint64_t> all((size != 0 ? size : size_) / BLOCK);
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
    void write_blocks(const std::string& file, const std::vector<uint64_t>& blocks,
                      uint64_t seed) const {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + file);
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
            throw std::runtime_error("cannot write " + file);
    }

    Object request_params(Job_Definition_Subtype type) const {
        return world::backup_request(world_->param(type, vm_), world::backup_entry(vm_));
    }

    // A backup counts only when it succeeded at the level asked for (a
    // servant may fall back to a full one).
    void check_reply(const world::Servant_Reply& reply, Job_Definition_Subtype type,
                     Backup_Run& run) const {
        if (reply.code() != 0)
            throw std::runtime_error("the backup failed: " +
                                     json_spirit::write(Value(reply.result)));
        run.storage_size = reply.result.at("storage_size").get_uint64();
        const std::vector<Object> rows = world_->catalog_rows();
        const std::string wanted = level_name(type);
        if (rows.empty() || rows.back().at("type").get_str() != wanted)
            throw std::runtime_error("the servant did not make a " + wanted + " backup");
        if (run.transfer_s < 0)
            throw std::runtime_error("the transfer was not seen in the progress record");
    }

    std::string root_;
    std::string store_root_;  // a store outside root_, when asked for
    std::unique_ptr<world::Backup_World> world_;
    world::VM vm_;
    std::string volume_file_;
    uint64_t size_ = 0;
    uint64_t data_bytes_ = 0;
    std::vector<world::VM> disk_vms_;
    uint64_t disk_data_bytes_ = 0;  // of one disk of those VMs
    world::Handler_Ptr handler_{nullptr, nullptr};
};

// ---- one run, side by side ----
//
// Every contender once per round, the order rotated each round, each after
// the same preparation (World::prepare_run); the copying programs then copy
// a fresh snapshot copy, as a backup request makes its own. Times are
// medians, ratios the medians of each round's.

// CPU seconds (user and system) of the children reaped so far.
double children_cpu_s() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The write ceiling: bytes random bytes into a new file with O_DIRECT from
// an aligned buffer, in 4 MiB pieces, then flushed.
void direct_write(const std::string& path, uint64_t bytes) {
    constexpr size_t PIECE = 4 << 20;
    static std::unique_ptr<uint64_t, void (*)(void*)> buffer(nullptr, ::free);
    if (!buffer) {
        void* p = nullptr;
        if (::posix_memalign(&p, 4096, PIECE) != 0)
            throw std::runtime_error("no memory");
        buffer.reset(static_cast<uint64_t*>(p));
        std::mt19937_64 random(3);
        for (size_t i = 0; i < PIECE / 8; ++i)
            buffer.get()[i] = random();
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_DIRECT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot make " + path + " with O_DIRECT");
    bool ok = true;
    for (uint64_t at = 0; ok && at < bytes; at += PIECE) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(PIECE, bytes - at));
        ok = ::pwrite(fd, buffer.get(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + path);
}

// Rotated rounds of the contenders, each run after World::prepare_run.
void run_rounds(Side_By_Side<double>& contenders) {
    World& w = World::get();
    contenders.run_rounds(
        runs(), [&w] { w.prepare_run(); },
        [](const std::string& name, double t) { trace_run(name, t); });
}

// The full transfer against the copying programs and the write ceiling.
struct Full_Results {
    Side_By_Side<double> rounds;  // seconds of every run, by contender
    uint64_t bytes_read = 0;
    uint64_t storage_size = 0;

    double median_s(const std::string& name) const { return median(rounds.runs(name)); }
    // The servant's time over the contender's, round by round.
    std::vector<double> servant_over(const std::string& name) const {
        return per_round_ratios(rounds.runs("servant"), rounds.runs(name));
    }
};

Full_Results make_full_results() {
    World& w = World::get();
    auto copying = [&w](std::vector<std::string> program, const std::string& file, bool flush) {
        return [&w, program, file, flush] {
            std::vector<std::string> args = program;
            args.push_back(w.fresh_snapshot_copy());
            args.push_back(w.pool_file(file));
            const Clock::time_point start = Clock::now();
            run_program(args);
            if (flush)
                fsync_file(w.pool_file(file));
            return seconds_since(start);
        };
    };
    Full_Results f;
    const std::shared_ptr<Backup_Run> last = std::make_shared<Backup_Run>();
    f.rounds.add("servant", [&w, last] {
        *last = w.backup_in_process(JOB_DEFINITION_SUBTYPE_FULL);
        return last->transfer_s;
    });
    f.rounds.add("cp", copying({"cp", "--sparse=always"}, "volume.raw", true));
    if (on_path("qemu-img")) {
        f.rounds.add("qemu_none",
                     copying({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", "-t", "none"},
                             "volume.qcow2", false));
        f.rounds.add("qemu_cached", copying({"qemu-img", "convert", "-f", "raw", "-O", "qcow2"},
                                            "volume.qcow2", false));
    } else {
        std::fprintf(stderr,
                     "qemu-img is not installed (Debian package qemu-utils): its baselines are "
                     "skipped\n");
    }
    f.rounds.add("direct", [&w] {
        w.fresh_snapshot_copy();
        const Clock::time_point start = Clock::now();
        direct_write(w.pool_file("direct.raw"), w.data_bytes());
        return seconds_since(start);
    });
    run_rounds(f.rounds);
    f.bytes_read = last->bytes_read;
    f.storage_size = last->storage_size;
    return f;
}

// Made on first use (again after a failure).
const Full_Results& full_results() {
    static const Full_Results made = make_full_results();
    return made;
}

// Several disks of one VM at once, one disk worker per disk.
const Side_By_Side<double>& disk_results() {
    static const Side_By_Side<double> made = [] {
        World& w = World::get();
        Side_By_Side<double> d;
        for (const int n : {1, 2, 4})
            d.add("disks_" + std::to_string(n), [&w, n] {
                return w.backup_in_process(JOB_DEFINITION_SUBTYPE_FULL, w.disk_vm(n), n).transfer_s;
            });
        run_rounds(d);
        return d;
    }();
    return made;
}

// Bytes per second from the time; the benchmark's only iteration is not
// counted yet while it runs.
void report(benchmark::State& state, double seconds, uint64_t bytes) {
    state.SetIterationTime(seconds);
    if (seconds > 0)
        state.counters["MB_per_s"] = static_cast<double>(bytes) / seconds / 1e6;
}

// One full backup through the starter: the servant process's peak resident
// memory (the only child reaped so far, when this runs first).
void backup_full_starter(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            World& w = World::get();
            w.prepare_run();
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
                char target[64];
                std::snprintf(target, sizeof target, "< %.0f MiB", limit);
                figure("servant peak RSS (MiB), one disk worker", mib, target, mib < limit);
            }
        });
    }
}

// The servant's full transfer: from the progress record's state 1 until
// every disk is counted.
void backup_full_transfer(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Full_Results& f = full_results();
            const double t = f.median_s("servant");
            report(state, t, World::get().data_bytes());
            state.counters["zbs_read_MiB"] = static_cast<double>(f.bytes_read) / MiB;
            state.counters["image_MiB"] = static_cast<double>(f.storage_size) / MiB;
            figure("full transfer (s)", t, "", true);
            auto against = [&](const char* name, const std::string& what, double limit) {
                if (f.rounds.has(name))
                    ratio_figure("full transfer / " + what, f.servant_over(name), limit);
            };
            against("qemu_none", "qemu-img convert -t none", 1.0);
            against("cp", "cp --sparse=always + fsync", 0.8);
            against("direct", "O_DIRECT write of the data", 1.5);
            against("qemu_cached", "qemu-img convert (default cache)", -1);
        });
    }
}

// A baseline's median from the same rounds.
void baseline(benchmark::State& state, const char* name) {
    for (auto _ : state) {
        guarded(state,
                [&] { report(state, full_results().median_s(name), World::get().data_bytes()); });
    }
}

void baseline_cp_sparse_fsync(benchmark::State& state) {
    baseline(state, "cp");
}
void baseline_qemu_img_none(benchmark::State& state) {
    baseline(state, "qemu_none");
}
void baseline_qemu_img_cached(benchmark::State& state) {
    baseline(state, "qemu_cached");
}
void baseline_direct_write(benchmark::State& state) {
    baseline(state, "direct");
}

// Incremental backups after random data into 1% of the blocks each: bytes
// read from ZBS against the bytes changed, and the transfer time against
// the full's.
void backup_incremental(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            World& w = World::get();
            const double full_s = full_results().median_s("servant");
            std::vector<double> transfer, read;
            for (int i = 0; i < runs(); ++i) {
                w.change_blocks(0.01, 100 + static_cast<uint64_t>(i));
                w.prepare_run();
                const Backup_Run r = w.backup_in_process(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
                transfer.push_back(r.transfer_s);
                read.push_back(static_cast<double>(r.bytes_read));
                trace_run("incremental", r.transfer_s);
            }
            const double t = median(transfer);
            const double changed = static_cast<double>(w.changed_bytes(0.01));
            report(state, t, w.changed_bytes(0.01));
            state.counters["zbs_read_MiB"] = median(read) / MiB;
            state.counters["changed_MiB"] = changed / MiB;
            const double most = *std::max_element(read.begin(), read.end());
            const double least = *std::min_element(read.begin(), read.end());
            figure("incremental: bytes read from ZBS / bytes changed", most / changed, "= 1.00",
                   most == changed && least == changed);
            figure("incremental transfer / full transfer", full_s > 0 ? t / full_s : 0, "<= 0.05",
                   full_s > 0 && t / full_s <= 0.05);
        });
    }
}

// The disks of one VM at once: 1, 2 and 4 disks, one worker each.
void backup_disks(benchmark::State& state, int n) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Side_By_Side<double>& d = disk_results();
            const double t = median(d.runs("disks_" + std::to_string(n)));
            report(state, t, World::get().disk_vm_bytes(n));
            if (n == 1)
                return;
            // The n disks' time over n times the one disk's, round by round.
            std::vector<double> ones = d.runs("disks_1");
            for (double& one : ones)
                one *= n;
            const std::vector<double> ratios =
                per_round_ratios(d.runs("disks_" + std::to_string(n)), ones);
            state.counters["of_one_after_another"] = median(ratios);
            ratio_figure(std::to_string(n) + " disks at once / " + std::to_string(n) + " x 1 disk",
                         ratios, n == 4 ? 0.5 : -1);
        });
    }
}

}  // namespace

// The starter run first: its peak memory is read from the reaped children.
BENCHMARK(backup_full_starter)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(backup_full_transfer)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_cp_sparse_fsync)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_qemu_img_none)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_qemu_img_cached)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_direct_write)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(backup_incremental)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(backup_disks, 1, 1)
    ->Name("backup_disks_1")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(backup_disks, 2, 2)
    ->Name("backup_disks_2")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK_CAPTURE(backup_disks, 4, 4)
    ->Name("backup_disks_4")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseManualTime();

int main(int argc, char** argv) {
    return bench_main<World>(argc, argv, true);
}
