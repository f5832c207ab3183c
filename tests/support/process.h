// Runs a command line under /bin/sh and collects its output and status.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct Command_Result {
    int exit_code = -1;  // -1 when killed by a signal
    std::string output;  // standard output and error
};

inline Command_Result run_command(const std::string& cmd) {
    Command_Result r;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        r.output.append(buf, n);
    const int status = ::pclose(p);
    if (WIFEXITED(status))
        r.exit_code = WEXITSTATUS(status);
    return r;
}

inline std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

#endif
