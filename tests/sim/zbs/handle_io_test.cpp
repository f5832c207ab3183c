// Handles, reads and writes, fault switches and the request log of the
// simulated library.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "fixture.h"

using ::testing::HasSubstr;

namespace {
std::string file_text(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

std::string create_error(const char* address, int timeout_ms) {
    char* err = nullptr;
    EXPECT_EQ(nullptr, smartx::zbs_create_external_with_timeout(address, timeout_ms, &err));
    return err ? err : "<no error>";
}
}  // namespace

TEST_F(ZbsSim, HandleCreationChecksTheAddressListTimeOutStoreAndInjectedFaults) {
    for (const char* bad :
         {"", "10.0.0.1:", ":10201", "10.0.0.1:10201,,10.0.0.2:1", "10.0.0.1:70000", "10.0.0.1:0"})
        EXPECT_THAT(create_error(bad, 3000), HasSubstr("invalid ZBS address list")) << bad;
    create_error(nullptr, 3000);
    EXPECT_THAT(create_error("10.0.0.1:10201", -1), HasSubstr("time-out"));

    zbs_t one = smartx::zbs_create_external_with_timeout("10.0.0.1:10201", 0, nullptr);
    ASSERT_NE(nullptr, one);
    EXPECT_EQ(0, sim_->handle_timeout(one));
    EXPECT_EQ(3000, sim_->handle_timeout(zbs_));
    EXPECT_EQ(2u, sim_->live_handles());
    // Injected failures fire once each.
    sim_->fail_create(2);
    EXPECT_THAT(create_error(zbs_address, 3000), HasSubstr("injected"));
    EXPECT_EQ(nullptr, smartx::zbs_create_external(zbs_address, nullptr));
    char* err = nullptr;
    EXPECT_NE(nullptr, smartx::zbs_create_external_with_timeout(zbs_address, 3000, &err));
    EXPECT_EQ(nullptr, err);

    ::setenv("ZBS_SIM_STORE", (store_ + "/missing").c_str(), 1);
    EXPECT_THAT(create_error(zbs_address, 3000), HasSubstr("is not a directory"));
    ::unsetenv("ZBS_SIM_STORE");
    EXPECT_EQ("ZBS_SIM_STORE is not set", create_error(zbs_address, 3000));
}

TEST_F(ZbsSim, ReadsAndWritesStayInsideTheVolumeTheStoreAndLiveHandles) {
    const std::string path = volume("vol-1", 1 << 20);
    std::string data;
    ASSERT_EQ(0, read("vol-1", data, 8192, 4096));
    EXPECT_EQ(std::string(8192, '\0'), data);                                // never written: zeros
    ASSERT_EQ(0, write("vol-1", std::string(4096, 'a'), (1 << 20) - 4096));  // up to the end
    ASSERT_EQ(0, read("vol-1", data, 4096, (1 << 20) - 4096));
    EXPECT_EQ(std::string(4096, 'a'), data);
    ASSERT_EQ(0, read("vol-1", data, 0, 1 << 20));

    EXPECT_EQ(-ERANGE, read("vol-1", data, 8192, (1 << 20) - 4096));
    EXPECT_EQ(-ERANGE, read("vol-1", data, 1, 1 << 20));
    EXPECT_EQ(-ERANGE, read("vol-1", data, 100, UINT64_MAX - 10));  // offset + length wraps
    EXPECT_EQ(-ERANGE, write("vol-1", std::string(8192, 'b'), (1 << 20) - 4096));
    EXPECT_EQ(uint64_t(1) << 20, std::filesystem::file_size(path));  // a volume never grows
    EXPECT_EQ(-ENOENT, read("vol-2", data, 512, 0));
    EXPECT_EQ(-ENOENT, write("vol-2", "x", 0));
    zbs_volume info{};
    ASSERT_EQ(0, smartx::zbs_volume_get_by_id(zbs_, "vol-1", &info));
    EXPECT_EQ(uint64_t(1) << 20, info.size);
    // Ids that would reach a file beside the store.
    std::ofstream(root_.file("escape")) << std::string(4096, 'X');
    volume("vol..1", 4096);
    for (const char* id : {"", "../escape", "./../escape", "..", "a/b", "vol..1", "/etc/passwd"}) {
        EXPECT_EQ(-EINVAL, read(id, data, 16, 0)) << id;
        EXPECT_EQ(-EINVAL, write(id, std::string(16, 'Y'), 0)) << id;
        zbs_pextent* map = nullptr;
        EXPECT_EQ(-EINVAL, smartx::zbs_pextents_get_by_volume_id(zbs_, id, &map)) << id;
    }
    EXPECT_EQ(std::string(4096, 'X'), file_text(root_.file("escape")));
    char* err = nullptr;
    smartx::zbs_err_str(zbs_, &err);
    EXPECT_THAT(err ? err : "", HasSubstr("/etc/passwd"));
    // Unknown and destroyed handles.
    EXPECT_EQ(-EINVAL, smartx::zbs_read(nullptr, "vol-1", &data[0], 0, 0));
    zbs_t other = smartx::zbs_create_external(zbs_address, nullptr);
    ASSERT_NE(nullptr, other);
    smartx::zbs_destroy(other);
    EXPECT_EQ(-EINVAL, smartx::zbs_read(other, "vol-1", &data[0], 16, 0));
    zbs_sim_stats s{};
    EXPECT_EQ(-EINVAL, sim_->handle_stats(other, &s));
    EXPECT_EQ(1u, sim_->live_handles());
}

TEST_F(ZbsSim, FaultSwitchesFailTheFirstCallsAndCountersAndLogTellWhatHappened) {
    volume("vol-0", 1 << 20);
    volume("vol-1", 1 << 20);
    const std::string log = root_.file("zbs.log");
    ASSERT_EQ(0, sim_->set_log(log.c_str()));
    sim_->fail_writes(1);
    sim_->fail_reads(2);
    sim_->fail_queries(1);
    EXPECT_EQ(ZBS_SIM_FAULT_CODE, write("vol-1", std::string(4096, 'w'), 0));
    ASSERT_EQ(0, write("vol-1", std::string(4096, 'v'), 4096));
    std::string data;
    EXPECT_EQ(ZBS_SIM_FAULT_CODE, read("vol-1", data, 8192, 0));
    EXPECT_EQ(ZBS_SIM_FAULT_CODE, read("vol-1", data, 8192, 0));
    ASSERT_EQ(0, read("vol-1", data, 8192, 0));
    // The failed write wrote nothing.
    EXPECT_EQ(std::string(4096, '\0') + std::string(4096, 'v'), data);
    zbs_pextent* map = nullptr;
    EXPECT_EQ(ZBS_SIM_FAULT_CODE, smartx::zbs_pextents_get_by_volume_id(zbs_, "vol-1", &map));
    EXPECT_EQ(1, smartx::zbs_pextents_get_by_volume_id(zbs_, "vol-1", &map));
    const zbs_sim_stats s = sim_->stats(zbs_);
    EXPECT_EQ((std::vector<uint64_t>{7, 4, 3, 2, 8192, 4096}),
              (std::vector<uint64_t>{s.calls, s.failed, s.reads, s.writes, s.bytes_read,
                                     s.bytes_written}));
    // One log line per call, until logging stops; a delay changes nothing else.
    EXPECT_EQ(-ERANGE, read("vol-1", data, 512, 1 << 20));
    zbs_diff_t diff = nullptr;
    ASSERT_EQ(0, smartx::zbs_get_volume_diff(zbs_, "vol-0", "vol-1", 0, 0, &diff));
    ASSERT_NE(nullptr, smartx::zbs_create_external("10.0.0.9:10201", nullptr));
    ASSERT_EQ(0, sim_->set_log(nullptr));
    sim_->set_delay_ms(1);
    EXPECT_EQ(0, read("vol-1", data, 4096, 4096));
    EXPECT_EQ(std::string(4096, 'v'), data);
    EXPECT_EQ(
        "write\tvol-1\t0\t4096\t-5\nwrite\tvol-1\t4096\t4096\t0\n"
        "read\tvol-1\t0\t8192\t-5\nread\tvol-1\t0\t8192\t-5\nread\tvol-1\t0\t8192\t0\n"
        "pextents\tvol-1\t-\t-5\npextents\tvol-1\t-\t1\n"
        "read\tvol-1\t1048576\t512\t-34\nvolume_diff\tvol-0\tvol-1\t0\n"
        "create\t10.0.0.9:10201\t0\t0\n",
        file_text(log));
}

TEST_F(ZbsSim, EnvironmentArmsSwitchesOfAFreshlyLoadedLibrary) {
    ASSERT_EQ(1, smartx::zbs_finalize());
    sim_.reset();
    const std::string log = root_.file("env.log");
    ::setenv("ZBS_SIM_FAIL_READS", "1", 1);
    ::setenv("ZBS_SIM_LOG", log.c_str(), 1);
    // A copy is a library of its own: loaded afresh, it reads the environment.
    const std::string copy = install_zbs_sim(ZBS_SIM_PATH, "5.5.9", true);
    const int loaded = smartx::zbs_init("5.5.9");
    ::unsetenv("ZBS_SIM_FAIL_READS");
    ::unsetenv("ZBS_SIM_LOG");
    ASSERT_EQ(1, loaded);
    sim_ = std::make_unique<Zbs_Sim_Control>(copy);

    zbs_ = smartx::zbs_create_external_with_timeout(zbs_address, 100, nullptr);
    ASSERT_NE(nullptr, zbs_);
    volume("vol-1", 4096);
    std::string data;
    EXPECT_EQ(ZBS_SIM_FAULT_CODE, read("vol-1", data, 16, 0));
    EXPECT_EQ(0, read("vol-1", data, 16, 0));
    EXPECT_EQ("create\t" + std::string(zbs_address) +
                  "\t100\t0\nread\tvol-1\t0\t16\t-5\nread\tvol-1\t0\t16\t0\n",
              file_text(log));
}
