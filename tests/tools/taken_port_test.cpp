// A port one server serves is not shared: the agent and the simulators,
// started a second time on it, exit at once naming the address.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/temp_root.h"
#include "world/host_settings.h"
#include "world/sim_process.h"

namespace {

// How long the second server may take to give up: well past a refusal,
// and it ends a second server that shares the port and serves.
const char* const GIVE_UP = "timeout 20 ";

TEST(TakenPort, ASecondServerOnAServedPortExitsNamingIt) {
    Temp_Root root;
    std::ofstream(root.file("host-key.pub.pem")) << test_host_keys().public_pem;
    std::ofstream(root.file("backup-server.json"))
        << R"({"public_key_file": ")" << root.file("host-key.pub.pem") << R"(", "instances": []})";
    const struct {
        const char* name;
        std::vector<std::string> args;
    } servers[] = {
        {"websvcs-agent", {WEBSVCS_AGENT_PATH, "--module", SMARTX_MODULE_PATH}},
        {"cloudtower-sim",
         {CLOUDTOWER_SIM_PATH, "--inventory",
          std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower/inventory.json", "--store",
          root.file("store")}},
        {"backup-server-sim",
         {BACKUP_SERVER_SIM_PATH, "--config", root.file("backup-server.json")}},
    };
    for (const auto& s : servers) {
        SCOPED_TRACE(s.name);
        std::vector<std::string> first_args = s.args;
        first_args.insert(first_args.end(), {"--port", "0"});
        world::Sim_Process first(s.name, first_args, root.path());
        const std::string port = std::to_string(first.wait_for_port());
        std::string again = GIVE_UP;
        for (const std::string& a : s.args)
            again += shell_quote(a) + " ";
        const Command_Result second = run_command(again + "--port " + port);
        EXPECT_EQ(1, second.exit_code) << second.output;
        EXPECT_NE(std::string::npos, second.output.find("127.0.0.1:" + port)) << second.output;
    }
}

}  // namespace
