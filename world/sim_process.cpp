#include "world/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace world {

Sim_Process::Sim_Process(const std::string& name, const std::vector<std::string>& args,
                         const std::string& log_dir, bool own_session)
    : name_(name), out_(log_dir + "/" + name + ".out") {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (own_session)
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string err = log_dir + "/" + name + ".err";
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
}

Sim_Process::~Sim_Process() {
    stop();
}

int Sim_Process::wait_for_port() {
    const std::string mark = "listening on http://127.0.0.1:";
    for (int i = 0; i < 1500; ++i) {
        std::ifstream in(out_);
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, mark.size(), mark) == 0)
                return std::atoi(line.c_str() + mark.size());
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error(name_ + " ended before it listened (its output is in " + out_ +
                                     ")");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error(name_ + " did not say where it listens");
}

void Sim_Process::stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace world
