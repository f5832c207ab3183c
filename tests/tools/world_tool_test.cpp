// The world a person drives by hand: what smartx-world refuses, that its
// simulators outlive it until it is stopped, stop_world's care with pids and
// directories, and the restore definition's choice of sets.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/smartx_backup_set.h"
#include "support/process.h"
#include "support/temp_root.h"
#include "world/demo_vms.h"
#include "world/process_world.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Running and not a zombie.
bool alive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    return std::getline(in, line) && line.substr(line.rfind(')') + 2, 1) != "Z";
}

// A shell script as a process of this one, with HOST_ROOT=root.
pid_t spawn_for(const std::string& root, const std::string& script) {
    std::vector<std::string> env{"HOST_ROOT=" + root, "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", c = "-c", text = script;
    char* argv[] = {&sh[0], &c[0], &text[0], nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, envp.data()) != 0)
        throw std::runtime_error("cannot spawn " + script);
    return pid;
}

// The signal that ended a child, 0 when it exited; waits at most a few seconds.
int end_signal(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(StopWorld, EndsOnlyTheWorldsOwnProcessesThenRemovesIt) {
    const struct {
        const char* name;
        const char* script;
        bool other_root;  // the pid file's process runs for another root
        int ended_by;     // its end: the signal, or -2 for still running
    } cases[] = {
        {"a simulator", "exec sleep 30", false, SIGTERM},
        {"one that ignores SIGTERM", "trap '' TERM; exec sleep 30", false, SIGKILL},
        {"a pid since taken by another world's process", "exec sleep 30", true, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Temp_Root root, other;
        write_text(root.file(".smartx-world"), "");
        ASSERT_EQ(0, ::mkdir(root.file("pids").c_str(), 0750));
        const pid_t pid = spawn_for(c.other_root ? other.path() : root.path(), c.script);
        // Let the shell reach its exec: the environment is read from /proc.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        write_text(root.file("pids/sim"), std::to_string(pid) + "\n");
        // A pid file of a process long gone and one of no pid at all are passed over.
        write_text(root.file("pids/gone"), "999999999\n");
        write_text(root.file("pids/junk"), "not a pid\n");

        std::string error;
        EXPECT_TRUE(world::stop_world(root.path() + "/", &error)) << error;
        EXPECT_FALSE(exists(root.path()));
        if (c.ended_by == -2) {
            EXPECT_TRUE(alive(pid));
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        } else {
            EXPECT_EQ(c.ended_by, end_signal(pid));
        }
        ASSERT_EQ(0, ::mkdir(root.path().c_str(), 0750));  // for Temp_Root to remove
    }
}

TEST(StopWorld, RefusesADirectoryNoWorldWasMadeIn) {
    Temp_Root root;
    write_text(root.file("precious"), "keep me");
    for (const std::string& dir : {root.path(), std::string(), root.file("missing")}) {
        SCOPED_TRACE(dir);
        std::string error;
        EXPECT_FALSE(world::stop_world(dir, &error));
        EXPECT_NE(std::string::npos, error.find("no world was made in")) << error;
    }
    EXPECT_EQ("keep me", root.text("precious"));
}

Object set_row(const std::string& uuid, const std::string& vm_id) {
    SmartX_Backup_Set set;
    set.uuid = uuid;
    set.vm_id = vm_id;
    set.vm_name = vm_id;
    return set.dump();
}

TEST(NewestSets, TheLastCommittedSetOfEachVm) {
    const std::vector<world::VM> vms = world::demo_vms();
    const std::vector<Object> rows{set_row("s1", vms[0].id), set_row("s2", vms[1].id),
                                   set_row("s3", vms[0].id), set_row("s4", "another-vm"),
                                   set_row("s5", vms[2].id)};
    const std::map<std::string, std::string> sets = world::newest_sets(rows, vms);
    EXPECT_EQ((std::map<std::string, std::string>{
                  {vms[0].id, "s3"}, {vms[1].id, "s2"}, {vms[2].id, "s5"}}),
              sets);

    const struct {
        std::vector<Object> rows;
        const char* says;
    } refused[] = {
        {{set_row("s1", vms[0].id), set_row("s2", vms[2].id)},
         "the catalog holds no backup set of demo-db-01: run a backup job first"},
        {{Object{{"uuid", Value(5)}}}, "a catalog row does not load"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.says);
        try {
            world::newest_sets(r.rows, vms);
            ADD_FAILURE() << "taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(r.says)) << e.what();
        }
    }
}

Command_Result world_tool(const std::string& args, const std::string& env = "") {
    return run_command(env + shell_quote(SMARTX_WORLD_PATH) + " " + args);
}

TEST(SmartxWorld, RefusesWhatItCannotDo) {
    Temp_Root root;
    write_text(root.file("precious"), "keep me");
    const std::string unset = "env -u HOST_ROOT ";
    const struct {
        std::string args;
        std::string env;
        int exit_code;
        const char* says;
    } cases[] = {
        {"", "", 2, "usage: smartx-world start [DIR]"},
        {"begin", "", 2, "usage:"},
        {"stop a b", "", 2, "usage:"},
        {"start " + shell_quote(root.path()), "", 1, "is not empty"},
        {"stop " + shell_quote(root.path()), "", 1, "no world was made in"},
        {"stop", unset, 1, "name the world's directory, or set HOST_ROOT"},
        {"restore-job", "", 1, "no world was made in"},
        {"restore-job", unset, 1, "HOST_ROOT is not set"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.env + c.args);
        const Command_Result r = world_tool(c.args, c.env);
        EXPECT_EQ(c.exit_code, r.exit_code) << r.output;
        EXPECT_NE(std::string::npos, r.output.find(c.says)) << r.output;
    }
    EXPECT_EQ("keep me", root.text("precious"));
    EXPECT_FALSE(exists(root.file("pids")));
}

// The simulators outlive start and answer where env says; the commands it
// prints run as printed (the last one stops the world).
TEST(SmartxWorld, WhatItPrintsRunsAsPrinted) {
    Temp_Root scratch;
    const std::string root = scratch.file("world");
    const Command_Result started = world_tool("start " + shell_quote(root));
    ASSERT_EQ(0, started.exit_code) << started.output;
    std::vector<pid_t> pids;
    for (const char* name : {"cloudtower-sim", "backup-server-sim"}) {
        std::ifstream in(root + "/pids/" + name);
        pid_t pid = 0;
        ASSERT_TRUE(in >> pid) << name;
        EXPECT_TRUE(alive(pid)) << name;
        pids.push_back(pid);
    }
    for (const char* file :
         {"job-full.json", "job-incremental.json", "host-key.pub.pem", "backup-server.json"})
        EXPECT_TRUE(exists(root + "/" + file)) << file;

    // No backup has run yet: there is nothing to restore.
    const Command_Result early =
        run_command(". " + shell_quote(root + "/env") + " && smartx-world restore-job");
    EXPECT_EQ(1, early.exit_code) << early.output;
    EXPECT_NE(std::string::npos, early.output.find("run a backup job first")) << early.output;

    // The indented lines after "Drive it", as a script, but the stop line.
    std::string script, stop_line;
    const size_t drive = started.output.find("\nDrive it");
    ASSERT_NE(std::string::npos, drive) << started.output;
    std::istringstream lines(started.output.substr(started.output.find('\n', drive + 1) + 1));
    for (std::string line; std::getline(lines, line) && line.rfind("  ", 0) == 0;)
        (line.rfind("  smartx-world stop", 0) == 0 ? stop_line : script) += line.substr(2) + "\n";
    std::ofstream(scratch.file("drive.sh")) << script;
    const Command_Result drove =
        run_command("bash -e -o pipefail " + shell_quote(scratch.file("drive.sh")));
    EXPECT_EQ(0, drove.exit_code) << drove.output;
    for (const char* says :
         {"report: success", "SmartX VM restore result (succeeded/total): 3/3.",
          "\"name\":\"dc-hangzhou\"", "\"name\":\"demo-web-01\"", "Success to login SmartX"})
        EXPECT_NE(std::string::npos, drove.output.find(says)) << says << "\n" << drove.output;
    EXPECT_EQ(std::string::npos, drove.output.find("\"error\":{")) << drove.output;

    // Pasted in a shell that drives another world, the stop line still
    // stops this one and leaves the other.
    Temp_Root other;
    write_text(other.file(".smartx-world"), "");
    const Command_Result stopped =
        run_command(". " + shell_quote(root + "/env") +
                    " && HOST_ROOT=" + shell_quote(other.path()) + " && " + stop_line);
    EXPECT_EQ(0, stopped.exit_code) << stop_line << stopped.output;
    EXPECT_NE(std::string::npos, stopped.output.find("is stopped and removed")) << stopped.output;
    EXPECT_TRUE(exists(other.file(".smartx-world")));
    EXPECT_FALSE(exists(root));
    for (pid_t pid : pids) {
        for (int i = 0; i < 100 && alive(pid); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(alive(pid));
    }
}

}  // namespace
