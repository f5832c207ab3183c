#include <dlfcn.h>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smartx/common/connect_params.h"
#include "smartx/zbs/zbs_wrapper.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/zbs_sim.h"

namespace {

const char* const env_names[] = {"ZBS_TIMEOUT", "ZBS_INITIAL_INTERVAL", "ZBS_MAX_INTERVAL",
                                 "ZBS_RETRIES"};

void clear_env() {
    for (const char* v : env_names)
        ::unsetenv(v);
}

struct Row {
    std::vector<const char*> env;  // by env_names; null or absent: unset
    std::vector<uint32_t> fields;  // timeout, initial and max interval, retries
    std::vector<std::string> log;
    std::vector<unsigned> delays;  // empty: not checked
};

TEST(ConnectParams, EnvironmentOverridesCapsOrIsIgnored) {
    const std::string big = "99999999999999999999999";
    std::vector<Row> rows = {
        {{"+4500", nullptr, "30"},
         {4500, 1, 30, 5},
         {"Get zbs_timeout=+4500\n", "Get zbs_max_interval=30\n"},
         {1, 2, 4, 8, 16}},
        {{"4294967295", nullptr, nullptr, big.c_str()},
         {INT_MAX, 1, 10, UINT32_MAX},
         {"Get zbs_timeout=4294967295\n", "Capped ZBS_TIMEOUT='4294967295' at 2147483647.\n",
          "Get zbs_retries=" + big + "\n", "Capped ZBS_RETRIES='" + big + "' at 4294967295.\n"},
         {}},
        // The defaults come back after close_instance; zero retries still try once.
        {{}, {3000, 1, 10, 5}, {}, {1, 2, 4, 8, 10}},
        {{nullptr, "3", nullptr, "0"},
         {3000, 3, 10, 0},
         {"Get zbs_initial_interval=3\n", "Get zbs_retries=0\n"},
         {3}},
        {{nullptr, "3", "5", "4"},
         {3000, 3, 5, 4},
         {"Get zbs_initial_interval=3\n", "Get zbs_max_interval=5\n", "Get zbs_retries=4\n"},
         {3, 5, 5, 5}},
    };
    for (const char* bad : {"-3", "12x", "", " 5", "0x10"}) {
        rows.push_back(
            {{nullptr, bad, nullptr, bad},
             {3000, 1, 10, 5},
             {std::string("Get zbs_initial_interval=") + bad + "\n",
              std::string("Ignored ZBS_INITIAL_INTERVAL='") + bad +
                  "': not a decimal number, keeping 1.\n",
              std::string("Get zbs_retries=") + bad + "\n",
              std::string("Ignored ZBS_RETRIES='") + bad + "': not a decimal number, keeping 5.\n"},
             {1, 2, 4, 8, 10}});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.log.empty() ? std::string("defaults") : r.log[0]);
        clear_env();
        for (size_t i = 0; i < r.env.size(); ++i) {
            if (r.env[i] != nullptr)
                ::setenv(env_names[i], r.env[i], 1);
        }
        Smartx_Connect_Params::close_instance();
        Smartx_Connect_Params* p = Smartx_Connect_Params::instance();
        ASSERT_EQ(p, Smartx_Connect_Params::instance());
        Log_Capture log;
        p->update();
        EXPECT_EQ(r.fields, (std::vector<uint32_t>{p->zbs_timeout, p->zbs_initial_interval,
                                                   p->zbs_max_interval, p->zbs_retries}));
        EXPECT_EQ(static_cast<int>(std::min<uint32_t>(r.fields[0], INT_MAX)), p->timeout_ms());
        EXPECT_EQ(r.log, log.texts());
        for (const auto& line : log.lines())
            EXPECT_EQ(line.text[0] == 'G' ? LM_INFO : LM_WARNING, line.priority) << line.text;
        if (r.delays.empty())
            continue;
        std::vector<unsigned> delays;
        for (unsigned d : p->backoff())
            delays.push_back(d);
        EXPECT_EQ(r.delays, delays);
    }
    // Set by other writers (the list handler's options) beyond an int.
    Smartx_Connect_Params::instance()->zbs_timeout = 3000000000u;
    EXPECT_EQ(INT_MAX, Smartx_Connect_Params::instance()->timeout_ms());
    clear_env();
    Smartx_Connect_Params::close_instance();
}

// Every entry of the binding: its name and where it points.
typedef std::vector<std::pair<const char*, void*>> Entries;
Entries entries() {
    Entries out;
#define ENTRY(name) out.emplace_back(#name, reinterpret_cast<void*>(smartx::name));
    SMARTX_ZBS_FUNCTIONS(ENTRY)
#undef ENTRY
    return out;
}

bool none_bound() {
    const Entries all = entries();
    return std::all_of(all.begin(), all.end(), [](const auto& e) { return !e.second; });
}

bool is_loaded(const std::string& path) {
    void* lib = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (lib != nullptr)
        ::dlclose(lib);
    return lib != nullptr;
}

// The library file the zbs_read entry points into.
std::string bound_file() {
    Dl_info info{};
    if (smartx::zbs_read == nullptr ||
        ::dladdr(reinterpret_cast<void*>(smartx::zbs_read), &info) == 0)
        return "";
    return info.dli_fname ? info.dli_fname : "";
}

std::string library_path(const std::string& version) {
    return zbs_sim_dir(version) + "/libzbs.so.1";
}

class ZbsInit : public ::testing::Test {
protected:
    void TearDown() override {
        smartx::zbs_finalize();
        Smartx_Connect_Params::close_instance();
        for (const char* v : {"ZBS_TIMEOUT", "ZBS_RETRIES"})
            ::unsetenv(v);
    }

    Temp_Root root_;
    Log_Capture log_;
};

TEST_F(ZbsInit, RefusedOrMissingVersionsLogWhyAndBindNothing) {
    // A library the traversal would reach: tarnvik3/x/libzbs.so.1.
    install_zbs_sim(ZBS_SIM_PATH, "../x");
    const std::string too_long(300, 'w');  // too long for a file name
    const struct Row {
        const char* version;
        ACE_Log_Priority priority;
        std::string begins, contains;
    } rows[] = {
        {nullptr, LM_EMERGENCY, "Unexpected error in ", ", version is NULL or \"\":\n"},
        {"", LM_EMERGENCY, "Unexpected error in ", ", version is NULL or \"\":\n"},
        {"5.5.1", LM_ERROR, "Failed to load " + library_path("5.5.1") + ", ", ""},
        {too_long.c_str(), LM_ERROR, "Failed to load " + library_path(too_long) + ", ", ""},
        {"../x", LM_ERROR, "Refused zbs version '../x'", ""},
        {".", LM_ERROR, "Refused zbs version '.'", ""},
        {"..", LM_ERROR, "Refused zbs version '..'", ""},
        {"/x", LM_ERROR, "Refused zbs version '/x'", ""},
        {"5.5 1", LM_ERROR, "Refused zbs version '5.5 1'", ""},
        {"5.5.1\n", LM_ERROR, "Refused zbs version '5.5.1\n'", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.begins);
        log_.clear();
        EXPECT_EQ(0, smartx::zbs_init(r.version));
        ASSERT_EQ(1u, log_.lines().size());
        EXPECT_EQ(r.priority, log_.lines()[0].priority);
        EXPECT_EQ(0u, log_.lines()[0].text.find(r.begins)) << log_.lines()[0].text;
        EXPECT_NE(std::string::npos, log_.lines()[0].text.find(r.contains));
        EXPECT_TRUE(none_bound());
    }
    // Nothing loaded: nothing to unload.
    log_.clear();
    EXPECT_EQ(1, smartx::zbs_finalize());
    EXPECT_TRUE(log_.lines().empty());

    install_zbs_sim(ZBS_SIM_PATH, "5.5.1_rc-2.B");
    EXPECT_EQ(1, smartx::zbs_init("5.5.1_rc-2.B"));
}

TEST_F(ZbsInit, BindsEveryFunctionByItsOwnNameAndKeepsTheFirstLibrary) {
    install_zbs_sim(ZBS_SIM_PATH, "5.5.1");
    install_zbs_sim(ZBS_SIM_PATH, "6.0.0", true);
    ASSERT_EQ(1, smartx::zbs_init("5.5.1"));
    for (const auto& e : entries()) {
        Dl_info info{};
        ASSERT_NE(0, ::dladdr(e.second, &info)) << e.first;
        EXPECT_STREQ(e.first, info.dli_sname);  // no entry holds another function
    }
    EXPECT_EQ(library_path("5.5.1"), bound_file());
    // A load while one is in place keeps it, whatever the version.
    EXPECT_EQ(1, smartx::zbs_init("6.0.0"));
    EXPECT_EQ(library_path("5.5.1"), bound_file());
    EXPECT_FALSE(is_loaded(library_path("6.0.0")));

    EXPECT_EQ(1, smartx::zbs_finalize());
    EXPECT_TRUE(none_bound());
    log_.clear();
    EXPECT_EQ(1, smartx::zbs_finalize());
    EXPECT_TRUE(log_.lines().empty());
    // Unloaded, another version binds; a path longer than the formatter's
    // inline buffer is kept whole.
    ASSERT_EQ(1, smartx::zbs_init("6.0.0"));
    EXPECT_EQ(library_path("6.0.0"), bound_file());
    ASSERT_EQ(1, smartx::zbs_finalize());
    const std::string version = std::string(150, 'v') + "-1.0";
    install_zbs_sim(ZBS_SIM_PATH, version);
    ASSERT_EQ(1, smartx::zbs_init(version.c_str()));
    EXPECT_EQ(library_path(version), bound_file());
}

TEST_F(ZbsInit, MissingSymbolReleasesTheLibraryAndFailsAgainOnRetry) {
    install_zbs_sim(ZBS_SIM_NO_WRITE_PATH, "5.5.1");
    for (int attempt = 0; attempt < 2; ++attempt) {
        log_.clear();
        // Never 1 over a table with empty entries.
        EXPECT_EQ(0, smartx::zbs_init("5.5.1")) << attempt;
        ASSERT_EQ(1u, log_.lines().size()) << attempt;
        EXPECT_EQ(LM_ERROR, log_.lines()[0].priority);
        EXPECT_EQ("Not found symbol zbs_write !\n", log_.lines()[0].text);
        EXPECT_TRUE(none_bound()) << "the functions bound before zbs_write stay bound";
        EXPECT_FALSE(is_loaded(library_path("5.5.1")));
    }
    EXPECT_EQ(1, smartx::zbs_finalize());
    install_zbs_sim(ZBS_SIM_PATH, "5.5.2");
    EXPECT_EQ(1, smartx::zbs_init("5.5.2"));
    EXPECT_NE(nullptr, smartx::zbs_write);
}

TEST_F(ZbsInit, LoadAppliesTheEnvironmentAndAFailedLoadDoesNot) {
    ::setenv("ZBS_TIMEOUT", "5000", 1);
    ::setenv("ZBS_RETRIES", "7", 1);
    const Smartx_Connect_Params* params = Smartx_Connect_Params::instance();
    ASSERT_EQ(0, smartx::zbs_init("5.5.1"));  // not installed
    EXPECT_EQ((std::vector<uint32_t>{3000, 5}),
              (std::vector<uint32_t>{params->zbs_timeout, params->zbs_retries}));
    install_zbs_sim(ZBS_SIM_PATH, "5.5.1");
    log_.clear();
    ASSERT_EQ(1, smartx::zbs_init("5.5.1"));
    EXPECT_EQ((std::vector<uint32_t>{5000, 1, 10, 7}),
              (std::vector<uint32_t>{params->zbs_timeout, params->zbs_initial_interval,
                                     params->zbs_max_interval, params->zbs_retries}));
    EXPECT_EQ((std::vector<std::string>{"Get zbs_timeout=5000\n", "Get zbs_retries=7\n"}),
              log_.texts());
}

}  // namespace
