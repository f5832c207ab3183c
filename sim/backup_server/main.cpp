// backup-server-sim --config FILE [--db FILE]: serves the backup server's
// JSON-RPC, alert, catalog and resource endpoints on 127.0.0.1 until SIGINT
// or SIGTERM. Prints "listening on http://127.0.0.1:PORT" once it accepts
// connections. --db keeps the catalog in that SQLite file (over the
// configuration's "db").
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/backup_server/backup_server.h"

int main(int argc, char** argv) {
    std::string config, db;
    bool have_db = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc)
            config = argv[++i];
        if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
            db = argv[++i];
            have_db = true;
        }
    }
    if (config.empty()) {
        std::fprintf(stderr, "usage: backup-server-sim --config FILE [--db FILE]\n");
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
    if (!server->start()) {
        std::fprintf(stderr, "backup-server-sim: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d\n", server->port());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    server->stop();
    return 0;
}
