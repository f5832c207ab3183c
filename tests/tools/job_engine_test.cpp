// The job engine program loading the real module: what a person running a
// job definition sees.
#include <dlfcn.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "host/job/job_creator.h"
#include "host/job/job_object.h"
#include "support/process.h"
#include "support/temp_root.h"

namespace {

class Job_Engine : public ::testing::Test {
protected:
    std::string write_definition(const std::string& body) {
        std::string path = root_.file("def.json");
        std::ofstream(path) << body;
        return path;
    }
    Command_Result engine(const std::string& def_path) {
        return run_command(shell_quote(JOB_ENGINE_PATH) + " --timeout 120 " +
                           shell_quote(def_path));
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
            ++n;
        return n;
    }
    Temp_Root root_;
};

TEST_F(Job_Engine, FailedPreconditionPrintsNoReportAndFails) {
    auto r = engine(write_definition(R"({"id": "6b3f7c1e-0000-4000-8000-000000000001", "type": 1,
      "precondition": "exit 1", "source": {"id": "s", "name": "n", "entries": []}})"));
    EXPECT_NE(0, r.exit_code) << r.output;
    EXPECT_EQ(0u, count(r.output, "report:")) << r.output;
}

TEST_F(Job_Engine, RunsTheFrameAndReportsTheOutcome) {
    std::string pre = root_.file("pre-ran");
    auto r = engine(write_definition(R"({"id": "6b3f7c1e-0000-4000-8000-000000000002", "type": 1,
      "pre_action": "touch )" + pre + R"(", "source": {"id": "s", "name": "n", "entries": []}})"));
    EXPECT_TRUE(std::ifstream(pre).good()) << r.output;
    EXPECT_EQ(1u, count(r.output, "report: start")) << r.output;
    // Exit status 0 exactly when the run reported success.
    EXPECT_EQ(r.exit_code == 0, count(r.output, "report: success") == 1) << r.output;
}

TEST_F(Job_Engine, RefusesWhatItCannotRun) {
    EXPECT_EQ(2, engine(write_definition(R"({"id": "x", "type": 0})")).exit_code);
    EXPECT_EQ(2, engine(write_definition("{not json")).exit_code);
    EXPECT_EQ(2, engine(write_definition("[1, 2]")).exit_code);
    EXPECT_EQ(2, engine(root_.file("missing.json")).exit_code);
    EXPECT_EQ(2, run_command(shell_quote(JOB_ENGINE_PATH)).exit_code);
}

TEST(Module_Exports, FactoriesFollowTheDestroyerConvention) {
    void* h = dlopen(SMARTX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, h) << dlerror();
    auto make =
        reinterpret_cast<Job_Creator* (*)(Gobble_Function*)>(dlsym(h, "_make_SmartX_Job_Creator"));
    auto gobble = reinterpret_cast<void (*)(void*)>(dlsym(h, "_gobble_SmartX_Job_Creator"));
    ASSERT_NE(nullptr, make);
    ASSERT_NE(nullptr, gobble);

    Gobble_Function out = nullptr;
    Job_Creator* creator = make(&out);
    ASSERT_NE(nullptr, creator);
    EXPECT_EQ(gobble, out);
    gobble(creator);
    gobble(nullptr);

    Job_Creator* no_out = make(nullptr);
    ASSERT_NE(nullptr, no_out);
    gobble(no_out);

    for (const char* kind : {"Backup", "Restore"}) {
        std::string name = std::string("_make_SmartX_") + kind + "_Source_Parser_Creator";
        auto make_parser = reinterpret_cast<Object_Creator_T<YAJL_Handler>* (*)(Gobble_Function*)>(
            dlsym(h, name.c_str()));
        ASSERT_NE(nullptr, make_parser) << name;
        Gobble_Function g = nullptr;
        auto* c = make_parser(&g);
        ASSERT_NE(nullptr, c);
        ASSERT_NE(nullptr, g);
        g(c);
    }
    dlclose(h);
}

TEST(Module_Exports, OnlyFactoriesLeaveTheModule) {
    auto r = run_command("nm -D --defined-only " + shell_quote(SMARTX_MODULE_PATH));
    ASSERT_EQ(0, r.exit_code) << r.output;
    std::regex line(R"(^[0-9a-f]+ T (\S+)$)");
    std::istringstream in(r.output);
    std::string l;
    int factories = 0;
    while (std::getline(in, l)) {
        std::smatch m;
        if (!std::regex_match(l, m, line))
            continue;
        std::string sym = m[1];
        if (sym == "_init" || sym == "_fini")
            continue;
        EXPECT_TRUE(sym.rfind("_make_", 0) == 0 || sym.rfind("_gobble_", 0) == 0) << sym;
        ++factories;
    }
    EXPECT_GE(factories, 2);
}

}  // namespace

namespace {

TEST(Job_Engine_Signals, InterruptCancelsTheRun) {
    Temp_Root root;
    std::string started = root.file("started"), release = root.file("release");
    std::string def = root.file("def.json");
    std::ofstream(def) << R"({"id": "6b3f7c1e-0000-4000-8000-000000000003", "type": 1,
      "pre_action": "touch )"
                       << started << R"(; while [ ! -f )" << release << R"( ]; do sleep 0.02; done",
      "source": {"id": "s", "name": "n", "entries": []}})";
    std::string out = root.file("out.txt");
    std::string cmd = shell_quote(JOB_ENGINE_PATH) + " " + shell_quote(def) + " > " +
                      shell_quote(out) + " 2>&1 & pid=$!; while [ ! -f " + shell_quote(started) +
                      " ]; do sleep 0.02; done; kill -INT $pid; " + "sleep 0.2; touch " +
                      shell_quote(release) + "; wait $pid";
    auto r = run_command(cmd);
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(1, r.exit_code) << text;
    EXPECT_NE(std::string::npos, text.find("report: canceled")) << text;
    EXPECT_EQ(std::string::npos, text.find("report: failure")) << text;
}

}  // namespace
