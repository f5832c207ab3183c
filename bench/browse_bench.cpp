// The console's browse through websvcs-agent against the same CloudTower
// requests sent straight to the simulator, side by side in rotated rounds.
//
// The world: the CloudTower simulator over the test fixtures and the backup
// server simulator in this process, the agent (the built program and
// module) as a process of its own. One untimed browse walks the hosts, VMs,
// storages and tags views from their roots, expanding every node that has
// children; it fixes the agent calls and records the CloudTower requests
// the agent made for them. Each round then runs both contenders once, the
// order rotated, each with the request log cleared first:
//   console_browse          those calls to the agent, one after another on
//                           one kept-open connection (libcurl)
//   baseline_browse_direct  the recorded CloudTower requests, one after
//                           another on one kept-open connection (libcurl)
// BENCH_BROWSE_ROUNDS rounds (default 15); times are medians, and the
// ratio's median and worst round go to the figures. The counters give the
// connections each contender opened to the simulators. BENCH_BROWSE_BUILD
// names another build tree whose agent and module to run; BENCH_BROWSE_DIR
// is where the host root goes (default /tmp). See bench/README.md.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "bench/curl_client.h"
#include "host/json_spirit/json_io.h"
#include "sim/backup_server/backup_server.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "world/host_settings.h"
#include "world/sim_process.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;
using Clock = std::chrono::steady_clock;

const char* const INSTANCE = "inst-1";
const char* const VIEWS[] = {"hosts", "vms", "storages", "tags"};
const double TARGET_RATIO = 3.0;

int rounds() {
    return static_cast<int>(env_number("BENCH_BROWSE_ROUNDS", 15));
}

std::string list_call(int id, const std::string& view, const std::string& type,
                      const std::string& moid) {
    Object params{{"uuid", Value(INSTANCE)},
                  {"subtype", Value("inventory")},
                  {"view", Value(view)},
                  {"type", Value(type)},
                  {"moid", Value(moid)}};
    Object call{{"jsonrpc", Value("2.0")},
                {"id", Value(id)},
                {"method", Value("smartx.list")},
                {"params", Value(params)}};
    return json_spirit::write(Value(call));
}

// One timed run: seconds, the CloudTower requests it made and the
// connections it opened to CloudTower and to the backup server.
struct Run {
    double seconds = 0;
    size_t tower_requests = 0;
    size_t tower_connections = 0;
    size_t backupd_connections = 0;
};

class World {
public:
    void set_up() {
        root_ = make_host_root("BENCH_BROWSE_DIR", "browse");
        curl_global_init(CURL_GLOBAL_DEFAULT);
        ::unsetenv("ZBS_SIM_STORE");  // no volume files: browsing never reads them
        backupd_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        if (!backupd_->start())
            throw std::runtime_error("backup server simulator did not start");
        write_host_settings(root_, backupd_->port());
        sim::cloudtower::Options o;
        o.inventory_file = std::string(BENCH_FIXTURES_DIR) + "/inventory.json";
        tower_.reset(new sim::cloudtower::Server(o));
        std::string error;
        if (!tower_->start(&error))
            throw std::runtime_error("CloudTower simulator: " + error);
        backupd_->add_instance(sim::Instance_Login{INSTANCE, "127.0.0.1", tower_->port(), false,
                                                   o.username, o.password, ""});
        const char* other = ::getenv("BENCH_BROWSE_BUILD");
        const std::string build = other != nullptr ? other : "";
        agent_.reset(new world::Sim_Process(
            "websvcs-agent",
            {build.empty() ? WEBSVCS_AGENT_PATH : build + "/tools/websvcs-agent", "--module",
             build.empty() ? SMARTX_MODULE_PATH : build + "/libsmartx.so"},
            root_));
        agent_url_ = "http://127.0.0.1:" + std::to_string(agent_->wait_for_port()) + "/jsonrpc";
        walk();
    }

    ~World() {
        agent_.reset();
        if (tower_)
            tower_->stop();
        if (backupd_)
            backupd_->stop();
        curl_global_cleanup();
        remove_dir(&root_);
    }

    size_t calls() const { return calls_.size(); }
    size_t tower_requests() const { return recorded_.size(); }

    Run browse() {
        Http_Client client;
        client.set_headers({"Content-Type: application/json"});
        tower_->clear_requests();
        const Counts before = counts();
        const Clock::time_point start = Clock::now();
        std::vector<std::string> answers;
        for (const std::string& call : calls_)
            answers.push_back(client.request("POST", agent_url_, call));
        Run run = finish(start, before);
        if (answers != answers_)
            throw std::runtime_error("a browse through the agent answered differently");
        return run;
    }

    Run direct() {
        Http_Client client;
        client.set_headers(
            {"Content-Type: application/json; charset=utf-8", "Authorization: " + token_});
        tower_->clear_requests();
        const Counts before = counts();
        const Clock::time_point start = Clock::now();
        for (const sim::cloudtower::Logged_Request& r : recorded_)
            client.request(r.method, tower_->url() + r.path, r.body);
        return finish(start, before);
    }

private:
    struct Counts {
        size_t tower = 0, backupd = 0;
    };
    Counts counts() const { return Counts{tower_->connections(), backupd_->connections()}; }

    Run finish(Clock::time_point start, const Counts& before) const {
        Run run;
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        run.tower_requests = tower_->requests().size();
        run.tower_connections = tower_->connections() - before.tower;
        run.backupd_connections = backupd_->connections() - before.backupd;
        return run;
    }

    // Every view from its root, each node with children expanded, breadth
    // first; the calls, their answers and the CloudTower requests made.
    void walk() {
        Http_Client client;
        client.set_headers({"Content-Type: application/json"});
        tower_->clear_requests();
        for (const char* view : VIEWS) {
            std::deque<std::pair<std::string, std::string>> nodes{{"", ""}};
            for (; !nodes.empty(); nodes.pop_front()) {
                calls_.push_back(list_call(static_cast<int>(calls_.size()) + 1, view,
                                           nodes.front().first, nodes.front().second));
                answers_.push_back(client.request("POST", agent_url_, calls_.back()));
                Value answer;
                if (!json_spirit::read(answers_.back(), answer) ||
                    answer.type() != json_spirit::obj_type ||
                    json_spirit::object_get_array(answer.get_obj(), "result") == nullptr)
                    throw std::runtime_error("the agent answered " + answers_.back());
                for (const Value& item :
                     *json_spirit::object_get_array(answer.get_obj(), "result")) {
                    const Object& o = item.get_obj();
                    if (o.at("has_children").get_bool())
                        nodes.emplace_back(o.at("type").get_str(), o.at("moid").get_str());
                }
            }
        }
        recorded_ = tower_->requests();
        token_ = tower_->issue_token();
    }

    std::string root_;
    std::unique_ptr<sim::Backup_Server> backupd_;
    std::unique_ptr<sim::cloudtower::Server> tower_;
    std::unique_ptr<world::Sim_Process> agent_;
    std::string agent_url_;
    std::vector<std::string> calls_;
    std::vector<std::string> answers_;
    std::vector<sim::cloudtower::Logged_Request> recorded_;
    std::string token_;
};

using The_World = Once_Per_Process<World>;

struct Results {
    std::vector<Run> agent, direct;
    std::vector<double> ratios;  // per round
};

const Results& results() {
    static std::unique_ptr<Results> cached;
    if (cached)
        return *cached;
    World& w = The_World::get();
    static const bool verbose = ::getenv("BENCH_BROWSE_VERBOSE") != nullptr;
    Results r;
    for (int round = 0; round < rounds(); ++round) {
        Run agent, direct;
        if (round % 2 == 0) {
            agent = w.browse();
            direct = w.direct();
        } else {
            direct = w.direct();
            agent = w.browse();
        }
        r.agent.push_back(agent);
        r.direct.push_back(direct);
        r.ratios.push_back(agent.seconds / direct.seconds);
        if (verbose)
            std::fprintf(stderr, "  round %d: agent %.1f ms, direct %.1f ms, ratio %.2f\n", round,
                         agent.seconds * 1000, direct.seconds * 1000, r.ratios.back());
    }
    cached.reset(new Results(std::move(r)));
    return *cached;
}

double median_seconds(const std::vector<Run>& runs) {
    std::vector<double> v;
    for (const Run& r : runs)
        v.push_back(r.seconds);
    return median(v);
}

// The time is the median; the counts, the most of any round.
void report(benchmark::State& state, const std::vector<Run>& runs) {
    state.SetIterationTime(median_seconds(runs));
    const auto most = [&runs](size_t Run::*count) {
        size_t n = 0;
        for (const Run& r : runs)
            n = std::max(n, r.*count);
        return static_cast<double>(n);
    };
    state.counters["tower_requests"] = most(&Run::tower_requests);
    state.counters["tower_connections"] = most(&Run::tower_connections);
    state.counters["backupd_connections"] = most(&Run::backupd_connections);
}

void console_browse(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] {
            const Results& r = results();
            const World& w = The_World::get();
            report(state, r.agent);
            state.counters["calls"] = static_cast<double>(w.calls());
            const double ratio = median(r.ratios);
            const double worst = *std::max_element(r.ratios.begin(), r.ratios.end());
            figure("browse through the agent (ms)", median_seconds(r.agent) * 1000, "", true);
            figure("the same CloudTower requests direct (ms)", median_seconds(r.direct) * 1000, "",
                   true);
            figure("browse through the agent / direct, median", ratio, "<= 3.00",
                   ratio <= TARGET_RATIO);
            figure("browse through the agent / direct, worst round", worst, "", true);
            for (const Run& run : r.agent)
                if (run.tower_requests != w.tower_requests())
                    throw std::runtime_error("a browse made another number of requests");
        });
    }
}

void baseline_browse_direct(benchmark::State& state) {
    for (auto _ : state) {
        guarded(state, [&] { report(state, results().direct); });
    }
}

}  // namespace

BENCHMARK(console_browse)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(baseline_browse_direct)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv) {
    return bench_main<The_World>(argc, argv, false);
}
