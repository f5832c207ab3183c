// backup-server-sim --config FILE [--db FILE] [--port N]: serves the backup
// server's JSON-RPC, alert, catalog and resource endpoints on 127.0.0.1
// (port N; 0, the default: a free one) until SIGINT or SIGTERM. Prints
// "listening on http://127.0.0.1:PORT" once it accepts connections; a port
// another server listens on exits 1 naming it. --db keeps the catalog in
// that SQLite file (over the configuration's "db").
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/backup_server/backup_server.h"

namespace {

const long MAX_PORT = 65535;

}  // namespace

int main(int argc, char** argv) {
    std::string config, db;
    bool have_db = false;
    long port = 0;
    bool port_ok = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc)
            config = argv[++i];
        if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
            db = argv[++i];
            have_db = true;
        }
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const char* text = argv[++i];
            port = std::strtol(text, &end, 10);
            port_ok = *text != '\0' && *end == '\0' && port >= 0 && port <= MAX_PORT;
        }
    }
    if (config.empty() || !port_ok) {
        std::fprintf(stderr, "usage: backup-server-sim --config FILE [--db FILE] [--port N]\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::string error;
    auto server = sim::Backup_Server::from_config(config, &error);
    if (!server) {
        std::fprintf(stderr, "backup-server-sim: %s\n", error.c_str());
        return 2;
    }
    if (have_db && !server->open_catalog(db, &error)) {
        std::fprintf(stderr, "backup-server-sim: %s\n", error.c_str());
        return 1;
    }
    if (!server->start(static_cast<int>(port))) {
        std::fprintf(stderr, "backup-server-sim: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d\n", server->port());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    server->stop();
    return 0;
}
