#include "host/job/execute_script.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

extern char** environ;

namespace {
bool blank(const std::string& s) {
    return s.find_first_not_of(" \t\r\n") == std::string::npos;
}
}  // namespace

bool execute_script(const std::string& script, bool background,
                    const std::function<void(const std::string&)>& log) {
    if (blank(script))
        return true;

    int fds[2] = {-1, -1};
    const bool capture = static_cast<bool>(log) && !background;
    if (capture && ::pipe2(fds, O_CLOEXEC) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    char sh[] = "/bin/sh", dash_c[] = "-c";
    std::string text = script;
    char* argv[] = {sh, dash_c, &text[0], nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (capture)
        ::close(fds[1]);
    if (rc != 0) {
        if (capture)
            ::close(fds[0]);
        return false;
    }
    if (background)
        return true;

    if (capture) {
        std::string pending;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                log(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
        if (!pending.empty())
            log(pending);
        ::close(fds[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
