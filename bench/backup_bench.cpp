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

#include "bench/bench_support.h"
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

std::string level_name(Job_Definition_Subtype type) {
    return type == JOB_DEFINITION_SUBTYPE_FULL ? "full" : "incremental";
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

// The backup world with one VM over the volume, set up once per process.
class World : public Once_Per_Process<World> {
    friend class Once_Per_Process<World>;

public:
    ~World() { tear_down(); }

    uint64_t data_bytes() const { return data_bytes_; }
    const std::string& volume_file() const { return volume_file_; }
    std::string pool_file(const std::string& name) const { return world_->pool_dir() + "/" + name; }

    // Empties the pool (earlier images are never read again) and flushes what
    // earlier runs left dirty, so that no run pays for another's writes.
    void prepare_run() {
        std::error_code ignored;
        for (const auto& e : std::filesystem::directory_iterator(world_->pool_dir()))
            std::filesystem::remove_all(e.path(), ignored);
        const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
        world_->zbs().reset();
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
        const Value params(request_params(type));
        world::Servant_Reply reply;
        {
            Transfer_Clock clock(&world_->progress(vm_.id));
            const Clock::time_point start = Clock::now();
            reply = world::call_servant(*handler_, params);
            run.request_s = seconds_since(start);
            run.transfer_s = clock.stop();
        }
        if (reply.sent != 1 || reply.error)
            throw std::runtime_error("the servant answered no result");
        check_reply(reply, type, run);
        trace_run(level_name(type), run.request_s, run.transfer_s);
        run.bytes_read = world_->zbs_totals().bytes_read;
        return run;
    }

    // One backup through the starter program and the built module.
    Backup_Run backup_through_starter(Job_Definition_Subtype type) {
        prepare_run();
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
        world_.reset();
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
        write_blocks(half, 1);

        install_starter(STARTER_PATH);
        write_servant_config(
            Object{{"smartx.servant.backup", Value("SmartX_Backup_Servant_Handler")}},
            SMARTX_MODULE_PATH);
        handler_ = world::make_backup_handler();
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
    world::Handler_Ptr handler_{nullptr, nullptr};
};

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
