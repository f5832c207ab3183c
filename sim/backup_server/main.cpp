// backup-server-sim --config FILE: serves the backup server's JSON-RPC and
// alert endpoints on 127.0.0.1 until SIGINT or SIGTERM. Prints
// "listening on http://127.0.0.1:PORT" once it accepts connections.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/backup_server/backup_server.h"

int main(int argc, char** argv) {
  std::string config;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) config = argv[++i];
  }
  if (config.empty()) {
    std::fprintf(stderr, "usage: backup-server-sim --config FILE\n");
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
