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
        {{"2147483647"}, {INT_MAX, 1, 10, 5}, {"Get zbs_timeout=2147483647\n"}, {}},
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
    for (const char* bad : {"abc", "-3", "12x", "", " 5", "5 ", "0x10", "-0"}) {
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
}  // namespace
