#include "smartx/common/connect_params.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace {
const char* const env_names[] = {"ZBS_TIMEOUT", "ZBS_INITIAL_INTERVAL", "ZBS_MAX_INTERVAL",
                                 "ZBS_RETRIES"};

class Connect_Params_Test : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : env_names)
            ::unsetenv(v);
        Smartx_Connect_Params::close_instance();
        params_ = Smartx_Connect_Params::instance();
        ASSERT_NE(nullptr, params_);
    }
    void TearDown() override {
        for (const char* v : env_names)
            ::unsetenv(v);
        Smartx_Connect_Params::close_instance();
    }

    std::vector<uint32_t> fields() const {
        return {params_->zbs_timeout, params_->zbs_initial_interval, params_->zbs_max_interval,
                params_->zbs_retries};
    }

    Smartx_Connect_Params* params_ = nullptr;
    Log_Capture log_;
};

std::vector<unsigned> delays(const Smartx_Connect_Params& p) {
    std::vector<unsigned> out;
    for (unsigned d : p.backoff())
        out.push_back(d);
    return out;
}
}  // namespace

TEST_F(Connect_Params_Test, DefaultsComeBackAfterCloseInstance) {
    EXPECT_EQ((std::vector<uint32_t>{3000, 1, 10, 5}), fields());
    EXPECT_EQ(params_, Smartx_Connect_Params::instance());
    params_->zbs_retries = 9;
    Smartx_Connect_Params::close_instance();
    EXPECT_EQ(5u, Smartx_Connect_Params::instance()->zbs_retries);
}

TEST_F(Connect_Params_Test, EnvironmentOverridesEachSetVariableAndLogsItsRawText) {
    ::setenv("ZBS_TIMEOUT", "+4500", 1);
    ::setenv("ZBS_MAX_INTERVAL", "30", 1);
    params_->update();
    EXPECT_EQ((std::vector<uint32_t>{4500, 1, 30, 5}), fields());
    EXPECT_EQ((std::vector<std::string>{"Get zbs_timeout=+4500\n", "Get zbs_max_interval=30\n"}),
              log_.texts());
    EXPECT_EQ(LM_INFO, log_.lines()[0].priority);
}

TEST_F(Connect_Params_Test, ValuesThatAreNotDecimalNumbersKeepTheSetting) {
    for (const char* bad : {"abc", "-3", "12x", "", " 5", "5 ", "0x10", "-0"}) {
        log_.clear();
        ::setenv("ZBS_RETRIES", bad, 1);
        ::setenv("ZBS_INITIAL_INTERVAL", bad, 1);
        params_->update();
        EXPECT_EQ((std::vector<uint32_t>{3000, 1, 10, 5}), fields()) << "'" << bad << "'";
        ASSERT_EQ(4u, log_.lines().size()) << bad;
        EXPECT_EQ(std::string("Get zbs_initial_interval=") + bad + "\n", log_.lines()[0].text);
        EXPECT_EQ(LM_WARNING, log_.lines()[1].priority);
        EXPECT_EQ(std::string("Ignored ZBS_INITIAL_INTERVAL='") + bad +
                      "': not a decimal number, keeping 1.\n",
                  log_.lines()[1].text);
        EXPECT_EQ(std::string("Get zbs_retries=") + bad + "\n", log_.lines()[2].text);
    }
}

TEST_F(Connect_Params_Test, LargeValuesAreCappedTheTimeOutAtIntMax) {
    ::setenv("ZBS_TIMEOUT", "4294967295", 1);
    ::setenv("ZBS_RETRIES", "99999999999999999999999", 1);
    params_->update();
    EXPECT_EQ(static_cast<uint32_t>(INT_MAX), params_->zbs_timeout);
    EXPECT_EQ(INT_MAX, params_->timeout_ms());
    EXPECT_EQ(UINT32_MAX, params_->zbs_retries);
    EXPECT_EQ("Capped ZBS_TIMEOUT='4294967295' at 2147483647.\n", log_.lines()[1].text);

    ::setenv("ZBS_TIMEOUT", "2147483647", 1);
    ::unsetenv("ZBS_RETRIES");
    params_->update();
    EXPECT_EQ(INT_MAX, params_->timeout_ms());

    // Set by other writers (the list handler's options) beyond an int.
    params_->zbs_timeout = 3000000000u;
    EXPECT_EQ(INT_MAX, params_->timeout_ms());
}

TEST_F(Connect_Params_Test, BackoffFollowsTheSettingsAndZeroRetriesStillTriesOnce) {
    EXPECT_EQ((std::vector<unsigned>{1, 2, 4, 8, 10}), delays(*params_));

    ::setenv("ZBS_RETRIES", "0", 1);
    ::setenv("ZBS_INITIAL_INTERVAL", "3", 1);
    params_->update();
    EXPECT_EQ(0u, params_->zbs_retries);
    EXPECT_EQ(std::vector<unsigned>{3}, delays(*params_));

    ::setenv("ZBS_RETRIES", "4", 1);
    ::setenv("ZBS_MAX_INTERVAL", "5", 1);
    params_->update();
    EXPECT_EQ((std::vector<unsigned>{3, 5, 5, 5}), delays(*params_));
}
