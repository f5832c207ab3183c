// Listing BENCH_REST_VMS (default 10000) VMs through the REST client against
// the simulated CloudTower, against the same pages fetched by a bare libcurl
// loop (one kept-alive handle, the same bodies and headers, no parsing) from
// the same server in the same run. Prints the client's time as a ratio of the
// loop's at the end.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/curl_client.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vm.h"

#ifndef BENCH_FIXTURES_DIR
#define BENCH_FIXTURES_DIR "tests/fixtures/cloudtower"
#endif

namespace {

const int PAGE = 100;

struct Fixture {
    int vm_count = 10000;
    int pages = 0;  // as many requests as the client makes: the last one short or empty
    std::unique_ptr<sim::cloudtower::Server> server;
    smartx::RESTful_Client client;
    std::string token;
    std::unique_ptr<Http_Client> curl;

    Fixture() {
        if (const char* n = std::getenv("BENCH_REST_VMS"))
            if (std::atoi(n) > 0)
                vm_count = std::atoi(n);
        pages = vm_count / PAGE + 1;
        // No volume files: listing never touches them.
        ::unsetenv("ZBS_SIM_STORE");
        sim::cloudtower::Options options;
        options.inventory_file = std::string(BENCH_FIXTURES_DIR) + "/inventory.json";
        server.reset(new sim::cloudtower::Server(options));
        std::string error;
        if (!server->start(&error))
            throw std::runtime_error("simulator: " + error);
        make_vms();

        smartx::Login_Info info;
        info.host = "127.0.0.1";
        info.port = static_cast<uint16_t>(server->port());
        info.username = options.username;
        info.secure_pwd = options.password.c_str();
        smartx::Error login_error;
        if (!client.login(info, &login_error))
            throw std::runtime_error("login: " + login_error.message);
        token = info.secure_token.c_str();

        curl_global_init(CURL_GLOBAL_DEFAULT);
        curl.reset(new Http_Client);
        curl->set_headers(
            {"Content-Type: application/json; charset=utf-8", "Authorization: " + token});
    }

    ~Fixture() {
        curl.reset();
        curl_global_cleanup();
        server->stop();
    }

    // vm_count copies of a fixture VM, without disks or NICs.
    void make_vms() {
        json_spirit::Object model;
        for (const json_spirit::Value& v : server->records("vms"))
            if (v.get_obj().at("name").get_str() == "test-01")
                model = v.get_obj();
        if (model.empty())
            throw std::runtime_error("no VM test-01 in the fixtures");
        model["vm_disks"] = json_spirit::Array();
        model["vm_nics"] = json_spirit::Array();
        json_spirit::Array vms;
        vms.reserve(vm_count);
        char id[32];
        for (int i = 0; i < vm_count; ++i) {
            std::snprintf(id, sizeof id, "bench-vm-%05d", i);
            model["id"] = id;
            model["name"] = id;
            model["local_id"] = std::string(id) + "-local";
            vms.emplace_back(model);
        }
        server->clear_records("vms");
        std::string error;
        if (!server->put_records("vms", vms, &error))
            throw std::runtime_error("VMs: " + error);
    }

    // Every page as the client asks for it; the bytes received, -1 on failure.
    long long fetch_pages() {
        long long bytes = 0;
        for (int page = 0; page < pages; ++page) {
            const std::string body = R"({"where":{"name_not":"CloudTower"},"first":100,"skip":)" +
                                     std::to_string(page * PAGE) + "}";
            try {
                bytes += static_cast<long long>(
                    curl->request("POST", server->url() + "/v2/api/get-vms", body).size());
            } catch (const std::exception&) {
                return -1;
            }
        }
        return bytes;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// Mean milliseconds per iteration of each side, for the closing ratio.
double loop_ms = 0;
double client_ms = 0;

double mean_ms(const benchmark::State& state, double total_seconds) {
    return state.iterations() ? total_seconds * 1000 / static_cast<double>(state.iterations()) : 0;
}

void baseline_curl_pages(benchmark::State& state) {
    Fixture& f = fixture();
    long long bytes = 0;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        bytes = f.fetch_pages();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (bytes < 0) {
            state.SkipWithError("a page failed");
            return;
        }
        f.server->clear_requests();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    loop_ms = mean_ms(state, total);
}

void rest_list(benchmark::State& state) {
    Fixture& f = fixture();
    double total = 0;
    for (auto _ : state) {
        std::vector<smartx::VM> vms;
        smartx::Error error;
        const auto start = std::chrono::steady_clock::now();
        const bool listed = f.client.query_vms(vms, &error);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!listed || vms.size() != static_cast<size_t>(f.vm_count)) {
            state.SkipWithError(
                ("listed " + std::to_string(vms.size()) + " VMs: " + error.message).c_str());
            return;
        }
        f.server->clear_requests();
    }
    state.counters["vms"] = f.vm_count;
    client_ms = mean_ms(state, total);
}

BENCHMARK(baseline_curl_pages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(rest_list)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (loop_ms > 0 && client_ms > 0)
        std::printf(
            "rest_list: client %.1f ms, libcurl loop %.1f ms per listing of %d VMs; ratio %.2f "
            "(target <= 1.5)\n",
            client_ms, loop_ms, fixture().vm_count, client_ms / loop_ms);
    return 0;
}
