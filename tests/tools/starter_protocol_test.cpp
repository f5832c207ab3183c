// The starter program on its own: one request in, one answer out, through
// the handler its configuration names for the request's method.
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant_test_support.h"
#include "support/process.h"
#include "support/temp_root.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

struct Starter_Run {
    int status = -1;
    std::string out;  // what went to the channel (standard output here)
    std::string err;
};

class Starter : public ::testing::Test {
protected:
    void SetUp() override {
        Object handlers;
        handlers["smartx.servant.backup"] = "Test_Servant_Handler";
        handlers["smartx.servant.restore"] = "Test_Other_Servant_Handler";
        handlers["fails.init"] =
            Object{{"factory", Value("Test_Servant_Handler")},
                   {"args", json_spirit::Array{Value("-x"), Value("--fail-init")}}};
        handlers["with.args"] = Object{{"factory", Value("Test_Servant_Handler")},
                                       {"args", json_spirit::Array{Value("-t"), Value("5000")}}};
        handlers["no.factory"] = Object{{"factory", Value("Nothing_Here")}};
        write_servant_config(handlers);
    }

    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Runs the starter with the given request text on its standard input.
    Starter_Run starter(const std::string& request, const std::string& args = "") {
        std::string in = root_.file("request"), out = root_.file("out"), err = root_.file("err");
        std::ofstream(in) << request;
        std::string cmd = shell_quote(STARTER_PATH) + " " + args + " <" + shell_quote(in) + " >" +
                          shell_quote(out) + " 2>" + shell_quote(err);
        Starter_Run r;
        int st = std::system(cmd.c_str());
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    static std::string request(const std::string& method, const std::string& params,
                               const std::string& id = "1") {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method + R"(","params":)" +
               params + "}\n";
    }

    // The one answer written, parsed.
    static JSON_RPC_Object_Ptr answer(const Starter_Run& r) {
        EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n')) << r.out << r.err;
        std::string why;
        JSON_RPC_Object_Ptr p = json_rpc_parse(r.out, &why);
        EXPECT_FALSE(p.null()) << why << ": " << r.out << r.err;
        return p;
    }

    static int error_code(const JSON_RPC_Object_Ptr& p) {
        if (p.null() || p->type() != JSON_RPC_Object::TYPE_RESPONSE_ERROR)
            return 0;
        return static_cast<JSON_RPC_Response_Error*>(p.get())->code;
    }

    static Object result(const JSON_RPC_Object_Ptr& p) {
        if (p.null() || p->type() != JSON_RPC_Object::TYPE_RESPONSE)
            return Object();
        return static_cast<JSON_RPC_Response*>(p.get())->result.get_obj();
    }

    Temp_Root root_;
};

TEST_F(Starter, TheMethodPicksTheHandlerFromTheSharedConfiguration) {
    Starter_Run backup =
        starter(request("smartx.servant.backup", R"({"action":"echo"})", "\"b-1\""));
    EXPECT_EQ(0, backup.status) << backup.err;
    auto a = answer(backup);
    EXPECT_EQ(Value("b-1"), a->id);
    EXPECT_EQ("test", json_spirit::object_get_str_or_throw(result(a), "handler"));

    Starter_Run restore = starter(request("smartx.servant.restore", R"({"action":"echo"})"));
    EXPECT_EQ("other", json_spirit::object_get_str_or_throw(result(answer(restore)), "handler"));

    Starter_Run unknown = starter(request("smartx.servant.verify", R"({"action":"echo"})"));
    EXPECT_EQ(-32601, error_code(answer(unknown)));
}

TEST_F(Starter, TheConfigurationIsFoundUnderTheHostRootByDefaultOrByTemplate) {
    // Default: no --config at all; by template: the unresolved product path.
    for (std::string args : {std::string(), "--config " + shell_quote(servant_config_template())}) {
        Starter_Run r =
            starter(request("smartx.servant.backup", R"({"action":"code","code":0})"), args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(0, json_spirit::object_get_int_or_throw(result(answer(r)), "code"));
    }
    Starter_Run missing = starter(request("smartx.servant.backup", "{}"),
                                  "--config " + shell_quote(root_.file("none.conf")));
    EXPECT_EQ(-32603, error_code(answer(missing)));
}

TEST_F(Starter, InitArgumentsComeFromTheConfiguration) {
    Starter_Run r = starter(request("with.args", R"({"action":"env"})"));
    auto args = json_spirit::object_get_array_or_throw(result(answer(r)), "init_args");
    EXPECT_EQ((json_spirit::Array{Value("-t"), Value("5000")}), args);

    Starter_Run failed = starter(request("fails.init", R"({"action":"echo"})"));
    EXPECT_EQ(-32603, error_code(answer(failed)));
}

TEST_F(Starter, HandlersThatCannotBeMadeAnswerInternalErrors) {
    EXPECT_EQ(-32603, error_code(answer(starter(request("no.factory", "{}")))));
    write_servant_config(Object{{"smartx.servant.backup", Value("Test_Servant_Handler")}},
                         root_.file("nope.so"));
    Starter_Run r = starter(request("smartx.servant.backup", "{}"));
    EXPECT_EQ(-32603, error_code(answer(r)));
    EXPECT_NE(std::string::npos, r.err.find("nope.so")) << r.err;
}

TEST_F(Starter, UnreadableRequestsAreAnsweredWithoutEchoingThem) {
    Starter_Run garbage =
        starter(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"password":"S3cr3t-Pa55")"
                "\n");
    EXPECT_EQ(-32700, error_code(answer(garbage)));
    EXPECT_EQ(std::string::npos, garbage.err.find("S3cr3t")) << garbage.err;

    Starter_Run response = starter(R"({"jsonrpc":"2.0","id":1,"result":{}})"
                                   "\n");
    EXPECT_EQ(-32600, error_code(answer(response)));

    // A notification cannot be answered; nothing is written.
    Starter_Run note =
        starter(R"({"jsonrpc":"2.0","method":"smartx.servant.backup","params":{"action":"echo"}})"
                "\n");
    EXPECT_EQ(1, note.status);
    EXPECT_EQ("", note.out);

    Starter_Run empty = starter("");
    EXPECT_EQ(1, empty.status);
    EXPECT_EQ("", empty.out);
}

TEST_F(Starter, OnlyTheFirstAnswerGoesOutAndSilenceIsAFailure) {
    Starter_Run twice = starter(request("smartx.servant.backup", R"({"action":"twice"})"));
    EXPECT_EQ(0, twice.status);
    answer(twice);  // exactly one line

    Starter_Run silent = starter(request("smartx.servant.backup", R"({"action":"silent"})"));
    EXPECT_EQ(1, silent.status);
    EXPECT_EQ("", silent.out);
    EXPECT_NE(std::string::npos, silent.err.find("sent no answer")) << silent.err;
}

TEST_F(Starter, BadArgumentsExitWithTwo) {
    EXPECT_EQ(2, starter("", "--channel").status);
    EXPECT_EQ(2, starter("", "--channel x").status);
    EXPECT_EQ(2, starter("", "--channel 77").status);  // not an open descriptor
}

}  // namespace
