#include "smartx/zbs/zbs_wrapper.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smartx/common/connect_params.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "world/zbs_sim.h"

namespace {
struct Entry {
    const char* name;
    void* address;
};

std::vector<Entry> entries() {
    std::vector<Entry> out;
#define ENTRY(name) out.push_back({#name, reinterpret_cast<void*>(smartx::name)});
    SMARTX_ZBS_FUNCTIONS(ENTRY)
#undef ENTRY
    return out;
}

bool none_bound() {
    for (const Entry& e : entries())
        if (e.address != nullptr)
            return false;
    return true;
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

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    for (const std::string& t : texts)
        if (t.find(text) != std::string::npos)
            return true;
    return false;
}

class Zbs_Init_Test : public ::testing::Test {
protected:
    void TearDown() override {
        smartx::zbs_finalize();
        Smartx_Connect_Params::close_instance();
        for (const char* v :
             {"ZBS_TIMEOUT", "ZBS_INITIAL_INTERVAL", "ZBS_MAX_INTERVAL", "ZBS_RETRIES"})
            ::unsetenv(v);
    }

    Temp_Root root_;
    Log_Capture log_;
};
}  // namespace

TEST_F(Zbs_Init_Test, NullOrEmptyVersionFailsTheCheck) {
    EXPECT_EQ(0, smartx::zbs_init(nullptr));
    EXPECT_EQ(0, smartx::zbs_init(""));
    ASSERT_EQ(2u, log_.lines().size());
    for (const Log_Capture::Line& l : log_.lines()) {
        EXPECT_EQ(LM_EMERGENCY, l.priority);
        EXPECT_EQ(0u, l.text.find("Unexpected error in ")) << l.text;
        EXPECT_NE(std::string::npos, l.text.find(", version is NULL or \"\":\n")) << l.text;
    }
    EXPECT_TRUE(none_bound());
}

TEST_F(Zbs_Init_Test, MissingLibraryFailsWithThePathAndBindsNothing) {
    EXPECT_EQ(0, smartx::zbs_init("5.5.1"));
    ASSERT_EQ(1u, log_.lines().size());
    EXPECT_EQ(LM_ERROR, log_.lines()[0].priority);
    EXPECT_EQ(0u, log_.lines()[0].text.find("Failed to load " + library_path("5.5.1") + ", "))
        << log_.lines()[0].text;
    EXPECT_TRUE(none_bound());

    log_.clear();
    EXPECT_EQ(1, smartx::zbs_finalize());
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Zbs_Init_Test, BindsEveryFunctionByItsOwnNameAndKeepsTheFirstLibrary) {
    install_zbs_sim(ZBS_SIM_PATH, "5.5.1");
    install_zbs_sim(ZBS_SIM_PATH, "6.0.0", true);
    ASSERT_EQ(1, smartx::zbs_init("5.5.1"));
    for (const Entry& e : entries()) {
        Dl_info info{};
        ASSERT_NE(nullptr, e.address) << e.name;
        ASSERT_NE(0, ::dladdr(e.address, &info)) << e.name;
        EXPECT_STREQ(e.name, info.dli_sname);  // no entry holds another function
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

    // Unloaded, another version binds.
    ASSERT_EQ(1, smartx::zbs_init("6.0.0"));
    EXPECT_EQ(library_path("6.0.0"), bound_file());
}

TEST_F(Zbs_Init_Test, MissingSymbolReleasesTheLibraryAndFailsAgainOnRetry) {
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

TEST_F(Zbs_Init_Test, LongVersionsKeepTheWholePath) {
    // The path is longer than the formatter's inline buffer.
    const std::string version = std::string(150, 'v') + "-1.0";
    install_zbs_sim(ZBS_SIM_PATH, version);
    ASSERT_GT(library_path(version).size(), 128u);
    ASSERT_EQ(1, smartx::zbs_init(version.c_str()));
    EXPECT_EQ(library_path(version), bound_file());
    ASSERT_EQ(1, smartx::zbs_finalize());

    // Too long for a file name: the failure still names the whole path.
    log_.clear();
    const std::string too_long(300, 'w');
    EXPECT_EQ(0, smartx::zbs_init(too_long.c_str()));
    ASSERT_EQ(1u, log_.lines().size());
    EXPECT_EQ(0u, log_.lines()[0].text.find("Failed to load " + library_path(too_long) + ", "));
}

TEST_F(Zbs_Init_Test, RefusesVersionsThatCouldLeaveTheInstallDirectory) {
    // A library the traversal would reach: tarnvik3/x/libzbs.so.1.
    install_zbs_sim(ZBS_SIM_PATH, "../x");
    for (const char* version :
         {"../x", ".", "..", "5.5.1/../../x", "/x", "5.5 1", "5.5.1\n", "5.5.1;"}) {
        log_.clear();
        EXPECT_EQ(0, smartx::zbs_init(version)) << version;
        ASSERT_EQ(1u, log_.lines().size()) << version;
        EXPECT_EQ(LM_ERROR, log_.lines()[0].priority);
        EXPECT_EQ(0u,
                  log_.lines()[0].text.find(std::string("Refused zbs version '") + version + "'"))
            << log_.lines()[0].text;
        EXPECT_TRUE(none_bound()) << version;
    }

    install_zbs_sim(ZBS_SIM_PATH, "5.5.1_rc-2.B");
    EXPECT_EQ(1, smartx::zbs_init("5.5.1_rc-2.B"));
}

TEST_F(Zbs_Init_Test, LoadAppliesTheEnvironmentAndAFailedLoadDoesNot) {
    ::setenv("ZBS_TIMEOUT", "5000", 1);
    ::setenv("ZBS_RETRIES", "7", 1);

    ASSERT_EQ(0, smartx::zbs_init("5.5.1"));  // not installed
    const Smartx_Connect_Params* params = Smartx_Connect_Params::instance();
    EXPECT_EQ(3000u, params->zbs_timeout);
    EXPECT_EQ(5u, params->zbs_retries);

    install_zbs_sim(ZBS_SIM_PATH, "5.5.1");
    log_.clear();
    ASSERT_EQ(1, smartx::zbs_init("5.5.1"));
    EXPECT_EQ(5000u, params->zbs_timeout);
    EXPECT_EQ(7u, params->zbs_retries);
    EXPECT_EQ(1u, params->zbs_initial_interval);
    EXPECT_EQ(10u, params->zbs_max_interval);
    EXPECT_TRUE(contains(log_.texts(), "Get zbs_timeout=5000\n"));
    EXPECT_TRUE(contains(log_.texts(), "Get zbs_retries=7\n"));
}
