// Backup jobs through the job-engine program: wall time of a full backup job
// of BENCH_JOBS_VMS VMs (default 10) of BENCH_JOBS_MIB MiB each (default
// 1024, every other 256 KiB block written with random data) on two hosts,
// with "parallel_vms" 1, 2 and 4; the cost of starting one servant (a job of
// one tiny VM); and the engine's idle time between one servant's exit and
// the next one's start, seen by sampling /proc.
//
// Every contender runs once per round, BENCH_JOBS_ROUNDS rounds (default 3),
// the order rotated from round to round; before each run the pool is emptied,
// the file system flushed and the world's files dropped from the page cache.
// Medians are reported, and ratios as the medians of each round's. See
// bench/README.md.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "host/json_spirit/json_io.h"
#include "world/backup_world.h"
#include "world/job_run.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MiB = 1ULL << 20;
constexpr uint64_t BLOCK = 262144;
constexpr int SAMPLE_MS = 2;
// Four-way job time as a share of the one-way's, on 4 cores or more.
constexpr double FOUR_WAY_TARGET = 0.4;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// When each servant (a starter child of the engine) was first and last seen.
struct Servant_Life {
    Clock::time_point first, last;
};

struct Job_Run {
    double wall_s = 0;
    double span_s = 0;                   // first servant's start to the last one's exit
    std::vector<Servant_Life> servants;  // by first sighting
    size_t most_at_once = 0;
};

// The contenders: parallel VMs of the big job, 0 for the tiny VM's job.
const int CONTENDERS[] = {1, 2, 4, 0};

class World : public Once_Per_Process<World> {
    friend class Once_Per_Process<World>;

public:
    ~World() { tear_down(); }

    uint64_t data_bytes() const { return data_bytes_; }
    size_t vm_count() const { return vms_.size(); }

    // What every run starts from: an empty pool, nothing dirty, none of the
    // world's files cached, the ZBS counters at zero.
    void prepare_run() {
        std::error_code ignored;
        for (const auto& e : std::filesystem::directory_iterator(world_->pool_dir()))
            std::filesystem::remove_all(e.path(), ignored);
        settle_page_cache({root_});
        world_->zbs().reset();
    }

    // One full job, from where prepare_run() left the world; parallel 0: the
    // tiny VM alone.
    Job_Run run_job(int parallel) {
        const std::vector<world::VM> vms = parallel > 0 ? vms_ : std::vector<world::VM>{tiny_};
        const int limit = std::max(parallel, 1);
        const Object options{{"channels", Value(64)},
                             {"parallel_vms", Value(limit)},
                             {"parallel_vms_per_host", Value(64)}};
        const std::string def_file = root_ + "/def.json", out_file = root_ + "/engine.out";
        world::write_job_definition(def_file, JOB_DEFINITION_SUBTYPE_FULL, vms, options);

        Job_Run run;
        std::map<pid_t, Servant_Life> seen;
        const Clock::time_point start = Clock::now();
        const pid_t engine = world::start_job_engine(JOB_ENGINE_PATH, def_file, out_file, {}, 3600);
        if (engine <= 0)
            throw std::runtime_error("job-engine did not start");
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                const std::vector<pid_t> live = world::live_children(engine, "starter");
                const Clock::time_point now = Clock::now();
                for (pid_t p : live) {
                    auto it = seen.find(p);
                    if (it == seen.end())
                        seen[p] = {now, now};
                    else
                        it->second.last = now;
                }
                run.most_at_once = std::max(run.most_at_once, live.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(SAMPLE_MS));
            }
        });
        const world::Job_Engine_Run r = world::finish_job_engine(engine, out_file);
        run.wall_s = seconds_between(start, Clock::now());
        done = true;
        sampler.join();

        const std::string summary =
            "Smartx VM backup result (succeeded/total): " + std::to_string(vms.size()) + "/" +
            std::to_string(vms.size()) + ".";
        if (r.exit_code != 0 || r.output.find(summary) == std::string::npos)
            throw std::runtime_error("the job failed (exit " + std::to_string(r.exit_code) +
                                     "):\n" + r.output);
        for (const auto& kv : seen)
            run.servants.push_back(kv.second);
        std::sort(run.servants.begin(), run.servants.end(),
                  [](const Servant_Life& a, const Servant_Life& b) { return a.first < b.first; });
        if (!run.servants.empty()) {
            Clock::time_point end = run.servants[0].last;
            for (const Servant_Life& l : run.servants)
                end = std::max(end, l.last);
            run.span_s = seconds_between(run.servants[0].first, end);
        }
        if (::getenv("BENCH_JOBS_VERBOSE") != nullptr)
            std::fprintf(
                stderr, "  %s: %.0f ms, servants %.0f ms, %zu servants seen, at most %zu at once\n",
                parallel > 0 ? ("parallel " + std::to_string(parallel)).c_str() : "tiny VM",
                run.wall_s * 1000, run.span_s * 1000, run.servants.size(), run.most_at_once);
        return run;
    }

private:
    void tear_down() {
        world_.reset();
        remove_dir(&root_);
    }

    void set_up() {
        root_ = make_host_root("BENCH_JOBS_DIR", "jobs");
        world_.reset(new world::Backup_World({root_, BENCH_FIXTURES_DIR, ZBS_SIM_PATH, ""}));
        world::prepare_job_host(*world_, STARTER_PATH, SMARTX_MODULE_PATH);

        // Running with their tools: file-system consistent snapshots.
        const uint64_t size = env_number("BENCH_JOBS_MIB", 1024) * MiB;
        const size_t count = env_number("BENCH_JOBS_VMS", 10);
        for (size_t i = 0; i < count; ++i) {
            vms_.push_back(world::numbered_vm("bj", i, "bench-job-" + std::to_string(i), {size},
                                              "jobs benchmark VM"));
            vms_.back().running = true;
        }
        tiny_ = world::numbered_vm("bt", 0, "bench-tiny", {MiB}, "jobs benchmark tiny VM");
        tiny_.running = true;
        std::vector<world::VM> all = vms_;
        all.push_back(tiny_);
        world_->add_vms(all);
        // Every other VM on the second host, unless BENCH_JOBS_HOSTS=1.
        std::set<size_t> second;
        if (env_number("BENCH_JOBS_HOSTS", 2) > 1)
            for (size_t i = 1; i < count; i += 2)
                second.insert(i);
        if (!world::move_vms(*world_, vms_, second))
            throw std::runtime_error("cannot move VMs to the second host");
        for (size_t i = 0; i < vms_.size(); ++i)
            write_half(world_->volume_file(vms_[i].disks[0]), size, i + 1);
        world_->fill_disks(tiny_);
    }

    // Random data (nothing compresses) into every other block; on disk when done.
    void write_half(const std::string& file, uint64_t size, uint64_t seed) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + file);
        bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
        std::vector<uint64_t> data(BLOCK / 8);
        uint64_t x = 0x9E3779B97F4A7C15ULL ^ seed;
        for (uint64_t at = 0; ok && at + BLOCK <= size; at += 2 * BLOCK) {
            for (uint64_t& w : data) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = x;
            }
            ok = ::pwrite(fd, data.data(), BLOCK, static_cast<off_t>(at)) ==
                 static_cast<ssize_t>(BLOCK);
            data_bytes_ += BLOCK;
        }
        ok = ::fsync(fd) == 0 && ok;
        ::close(fd);
        if (!ok)
            throw std::runtime_error("cannot write " + file);
    }

    std::string root_;
    std::unique_ptr<world::Backup_World> world_;
    std::vector<world::VM> vms_;
    world::VM tiny_;
    uint64_t data_bytes_ = 0;
};

// A contender's name: its parallel VMs, 0 for the tiny VM's job.
std::string contender(int parallel) {
    return parallel > 0 ? "parallel_" + std::to_string(parallel) : "tiny";
}

// Every round of every contender, once per process (again after a failure).
const Side_By_Side<Job_Run>& rounds() {
    static const Side_By_Side<Job_Run> made = [] {
        World& w = World::get();
        Side_By_Side<Job_Run> r;
        for (const int c : CONTENDERS)
            r.add(contender(c), [&w, c] { return w.run_job(c); });
        r.run_rounds(static_cast<int>(env_number("BENCH_JOBS_ROUNDS", 3)),
                     [&w] { w.prepare_run(); });
        return r;
    }();
    return made;
}

std::vector<double> wall_s(int parallel) {
    return rounds().values(contender(parallel), [](const Job_Run& r) { return r.wall_s; });
}
std::vector<double> span_s(int parallel) {
    return rounds().values(contender(parallel), [](const Job_Run& r) { return r.span_s; });
}
size_t most_at_once(int parallel) {
    size_t most = 0;
    for (const Job_Run& r : rounds().runs(contender(parallel)))
        most = std::max(most, r.most_at_once);
    return most;
}

// The tiny VM's servant, first to last sighting.
std::vector<double> tiny_servant_life_s() {
    std::vector<double> out;
    for (const Job_Run& r : rounds().runs(contender(0)))
        if (r.servants.size() == 1)
            out.push_back(seconds_between(r.servants[0].first, r.servants[0].last));
    return out;
}

// One-way jobs: from one servant's exit to the next one's start.
std::vector<double> idle_between_s() {
    std::vector<double> out;
    for (const Job_Run& r : rounds().runs(contender(1)))
        for (size_t i = 1; i < r.servants.size(); ++i)
            out.push_back(seconds_between(r.servants[i - 1].last, r.servants[i].first));
    return out;
}

std::vector<std::string>& summary() {
    static std::vector<std::string> lines;
    return lines;
}

void report_job(benchmark::State& state, int parallel) {
    for (auto _ : state) {
        guarded(state, [&] {
            const double t = median(wall_s(parallel));
            const std::vector<double> of_one_way = per_round_ratios(wall_s(parallel), wall_s(1));
            state.SetIterationTime(t);
            state.counters["vms"] = static_cast<double>(World::get().vm_count());
            state.counters["most_at_once"] = static_cast<double>(most_at_once(parallel));
            state.counters["of_one_way"] = median(of_one_way);
            const std::vector<double> span_of_one_way =
                per_round_ratios(span_s(parallel), span_s(1));
            state.counters["servants_ms"] = median(span_s(parallel)) * 1000;
            state.counters["servants_of_one_way"] = median(span_of_one_way);
            if (parallel == 1) {
                state.counters["idle_between_ms"] = median(idle_between_s()) * 1000;
                return;
            }
            const std::string way = parallel == 2 ? "two-way" : "four-way";
            // The target holds where four servants can each have a core.
            const unsigned cores = std::thread::hardware_concurrency();
            ratio_figure(way + " / one-way job time", of_one_way,
                         parallel == 4 && cores >= 4 ? FOUR_WAY_TARGET : -1);
            ratio_figure(way + " / one-way servants' span", span_of_one_way, -1);
        });
    }
    if (!state.error_occurred())
        state.SetBytesProcessed(static_cast<int64_t>(World::get().data_bytes()) *
                                static_cast<int64_t>(state.iterations()));
}

// The one-way job: the baseline the others are compared with.
void baseline_job_parallel_1(benchmark::State& state) {
    report_job(state, 1);
}
void job_parallel_2(benchmark::State& state) {
    report_job(state, 2);
}
void job_parallel_4(benchmark::State& state) {
    report_job(state, 4);
}

// A job of one 1 MiB VM: engine start, one servant's spawn, module load,
// login and a tiny backup; servant_ms is the servant process's life.
void job_tiny_vm(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const double wall = median(wall_s(0)), life = median(tiny_servant_life_s());
            const std::vector<double> idle = idle_between_s();
            state.SetIterationTime(wall);
            state.counters["servant_ms"] = life * 1000;
            char line[200];
            std::snprintf(line, sizeof line,
                          "one servant start (tiny VM job %.0f ms, servant alive %.0f ms); idle "
                          "between dispatches %.1f ms (median of %zu gaps, sampled every %d ms)",
                          wall * 1000, life * 1000, median(idle) * 1000, idle.size(), SAMPLE_MS);
            summary().push_back(line);
        });
    }
}

}  // namespace

BENCHMARK(baseline_job_parallel_1)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(job_parallel_2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(job_parallel_4)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(job_tiny_vm)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv) {
    const int status = bench_main<World>(argc, argv, false);
    if (status != 0)
        return status;
    if (!summary().empty())
        std::printf("\n== servant start and dispatch\n");
    for (const std::string& line : summary())
        std::printf("%s\n", line.c_str());
    return 0;
}
