// A simulator (cloudtower-sim, backup-server-sim) started as a process of its
// own, its standard output and error in files under a log directory.
#ifndef WORLD_SIM_PROCESS_H
#define WORLD_SIM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace world {

// Stopped (SIGTERM, then SIGKILL) when destroyed, unless released.
class Sim_Process {
public:
    // args[0] is the program; output goes to <log_dir>/<name>.out and .err.
    // A process in a session of its own outlives its starter's terminal.
    // Throws std::runtime_error when it cannot be started.
    Sim_Process(const std::string& name, const std::vector<std::string>& args,
                const std::string& log_dir, bool own_session = false);
    ~Sim_Process();
    Sim_Process(const Sim_Process&) = delete;
    Sim_Process& operator=(const Sim_Process&) = delete;

    // The port of its "listening on http://127.0.0.1:PORT" line; throws when
    // it ends first or does not say within 15 s.
    int wait_for_port();
    void stop();
    // Leaves it running past this object (its parent's exit hands it to init).
    void release() { pid_ = -1; }
    pid_t pid() const { return pid_; }

private:
    std::string name_;
    std::string out_;
    pid_t pid_ = -1;
};

}  // namespace world

#endif
