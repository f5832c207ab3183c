// cloudtower-sim: the simulated CloudTower as a process of its own.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/cloudtower/cloudtower_sim.h"

namespace {

void usage(const char* self) {
    std::fprintf(
        stderr,
        "usage: %s --inventory FILE --store DIR [--port N] [--version V] [--user U --password P]\n"
        "  --inventory FILE  records to serve (see sim/README.md)\n"
        "  --store DIR       volume store shared with the simulated ZBS (default $ZBS_SIM_STORE)\n"
        "  --port N          port on 127.0.0.1 (default 0: a free one)\n"
        "  --version V       answer of GET /v2/api/get-version (default 4.1.0)\n"
        "  --user U --password P  the login it accepts (default admin/admin123)\n",
        self);
}

}  // namespace

int main(int argc, char** argv) {
    sim::cloudtower::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(argv[0]);
            return 0;
        }
        if (i + 1 >= argc) {
            usage(argv[0]);
            return 2;
        }
        std::string value = argv[++i];
        if (arg == "--inventory")
            options.inventory_file = value;
        else if (arg == "--store")
            options.store_dir = value;
        else if (arg == "--port")
            options.port = std::atoi(value.c_str());
        else if (arg == "--version")
            options.version = value;
        else if (arg == "--user")
            options.username = value;
        else if (arg == "--password")
            options.password = value;
        else {
            usage(argv[0]);
            return 2;
        }
    }

    // Signals are taken by sigwait below: block them before any thread starts.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::cloudtower::Server server(options);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "cloudtower-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s\n", server.url().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
    return 0;
}
