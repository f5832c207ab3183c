// The job engine program loading the real module: what a person running a
// job definition sees.
#include <dlfcn.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "host/job/job_creator.h"
#include "host/job/job_object.h"
#include "support/process.h"
#include "support/temp_root.h"

namespace {

class JobEngine : public ::testing::Test {
protected:
    // Runs the engine (then the shell text after it) on a backup definition
    // whose frame has these members; its output and exit status.
    Command_Result engine(const std::string& frame, const std::string& after = "") {
        const std::string def = root_.file("def.json");
        std::ofstream(def) << R"({"id": "6b3f7c1e-0000-4000-8000-000000000001", "type": 1, )"
                           << frame << R"(, "source": {"id": "s", "name": "n", "entries": []}})";
        return run_command(shell_quote(JOB_ENGINE_PATH) + " --timeout 120 " + shell_quote(def) +
                           after);
    }
    static bool once(const std::string& text, const std::string& what) {
        return text.find(what) != std::string::npos && text.find(what) == text.rfind(what);
    }
    Temp_Root root_;
};

TEST_F(JobEngine, RefusesWhatItCannotRun) {
    const std::string def = root_.file("def.json");
    for (const char* text : {R"({"id": "x", "type": 0})", "{not json", "[1, 2]"}) {
        std::ofstream(def) << text;
        EXPECT_EQ(2, run_command(shell_quote(JOB_ENGINE_PATH) + " " + shell_quote(def)).exit_code)
            << text;
    }
    EXPECT_EQ(
        2, run_command(shell_quote(JOB_ENGINE_PATH) + " " + shell_quote(root_.file("missing.json")))
               .exit_code);
    EXPECT_EQ(2, run_command(shell_quote(JOB_ENGINE_PATH)).exit_code);
}

// A definition the engine cannot take says what is wrong and where.
TEST_F(JobEngine, BadDefinitionsNameTheMemberAtFault) {
    const struct {
        std::string frame;
        const char* says;
    } cases[] = {
        {R"("retry_count": 1e999)", "'retry_count' is a number out of range"},
        {R"("retry_interval": 9999999999)", "'retry_interval' is a number out of range"},
        {R"("options": {"channels": 1, "exclusion": [1e400]})",
         "'options.exclusion[0]' is a number out of range"},
        {R"("pre_action": ")" + std::string(200000, ':') + "\"",
         "'pre_action' is 200000 bytes long; a script may hold at most 131071"},
        {R"("options": )" + std::string(200, '[') + std::string(200, ']'),
         "JSON nested deeper than 127 levels"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const Command_Result r = engine(c.frame);
        EXPECT_EQ(2, r.exit_code) << r.output.substr(0, 400);
        EXPECT_TRUE(once(r.output, c.says)) << r.output.substr(0, 400);
    }
    // At the bound the script runs.
    const Command_Result r = engine(R"("pre_action": "true)" + std::string(131067, ' ') + "\"");
    EXPECT_TRUE(once(r.output, "report: start")) << r.output.substr(0, 400);
}

TEST_F(JobEngine, InterruptCancelsTheRun) {
    const std::string started = shell_quote(root_.file("started")),
                      release = shell_quote(root_.file("release")),
                      out = shell_quote(root_.file("out.txt"));
    const Command_Result r = engine(
        R"("pre_action": "touch )" + started + "; while [ ! -f " + release +
            R"( ]; do sleep 0.02; done")",
        " >" + out + " 2>&1 & pid=$!; while [ ! -f " + started +
            " ]; do sleep 0.02; done; kill -INT $pid; sleep 0.2; touch " + release + "; wait $pid");
    const std::string text = root_.text("out.txt");
    EXPECT_EQ(1, r.exit_code) << text;
    EXPECT_NE(std::string::npos, text.find("report: canceled")) << text;
    EXPECT_EQ(std::string::npos, text.find("report: failure")) << text;
}

TEST(ModuleExports, OnlyFactoriesFollowingTheDestroyerConventionLeaveTheModule) {
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
    gobble(make(nullptr));  // without the out-parameter
    gobble(nullptr);
    dlclose(h);

    // Every other exported function is a _make_ or _gobble_ factory.
    const Command_Result r = run_command("nm -D --defined-only " + shell_quote(SMARTX_MODULE_PATH));
    ASSERT_EQ(0, r.exit_code) << r.output;
    const std::regex line(R"(^[0-9a-f]+ T (\S+)$)");
    std::istringstream in(r.output);
    int factories = 0;
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line) || m[1] == "_init" || m[1] == "_fini")
            continue;
        const std::string sym = m[1];
        EXPECT_TRUE(sym.rfind("_make_", 0) == 0 || sym.rfind("_gobble_", 0) == 0) << sym;
        ++factories;
    }
    EXPECT_GE(factories, 2);
}

}  // namespace
