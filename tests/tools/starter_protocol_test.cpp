// The starter program on its own: one request in, one answer out, through
// the handler its configuration names for the request's method.
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant_test_support.h"
#include "support/process.h"
#include "support/temp_root.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

std::string line(const std::string& text) {
    return text + "\n";
}
std::string request(const std::string& method, const std::string& params,
                    const std::string& id = "1") {
    return line(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method + R"(","params":)" +
                params + "}");
}

constexpr int kNoAnswer = 1;  // nothing on the channel

struct Case {
    const char* name;
    std::string request;
    std::string args;
    int status;
    int error;                  // the answer's error code; 0: a result; kNoAnswer
    const char* key = nullptr;  // of the result, compared with value
    Value value = Value();
    const char* err_has = nullptr;    // standard error holds this...
    const char* err_lacks = nullptr;  // ...and not this
};

class Starter : public ::testing::Test {
protected:
    void SetUp() override {
        Object handlers;
        handlers["smartx.servant.backup"] = "Test_Servant_Handler";
        handlers["smartx.servant.restore"] = "Test_Other_Servant_Handler";
        handlers["fails.init"] = Object{{"factory", Value("Test_Servant_Handler")},
                                        {"args", Array{Value("-x"), Value("--fail-init")}}};
        handlers["with.args"] = Object{{"factory", Value("Test_Servant_Handler")},
                                       {"args", Array{Value("-t"), Value("5000")}}};
        handlers["no.factory"] = Object{{"factory", Value("Nothing_Here")}};
        write_servant_config(handlers);
    }

    // Runs the starter with the case's request on its standard input.
    void check(const Case& c) {
        SCOPED_TRACE(c.name);
        std::ofstream(root_.file("in")) << c.request;
        const auto file = [this](const char* name) { return shell_quote(root_.file(name)); };
        const int st = std::system((shell_quote(STARTER_PATH) + " " + c.args + " <" + file("in") +
                                    " >" + file("out") + " 2>" + file("err"))
                                       .c_str());
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, c.status);
        const std::string answer = root_.text("out"), errors = root_.text("err");
        EXPECT_TRUE(c.err_has == nullptr || errors.find(c.err_has) != std::string::npos) << errors;
        EXPECT_TRUE(c.err_lacks == nullptr || errors.find(c.err_lacks) == std::string::npos)
            << errors;
        if (c.error == kNoAnswer) {
            EXPECT_EQ(answer, "");
            return;
        }
        // Exactly one line, one answer.
        EXPECT_EQ(std::count(answer.begin(), answer.end(), '\n'), 1) << answer << errors;
        std::string why;
        const JSON_RPC_Object_Ptr a = json_rpc_parse(answer, &why);
        ASSERT_FALSE(a.null()) << why << ": " << answer << errors;
        if (c.error != 0) {
            ASSERT_EQ(a->type(), JSON_RPC_Object::TYPE_RESPONSE_ERROR) << answer;
            EXPECT_EQ(static_cast<JSON_RPC_Response_Error&>(*a).code, c.error);
        } else {
            ASSERT_EQ(a->type(), JSON_RPC_Object::TYPE_RESPONSE) << answer << errors;
            Value sent;
            ASSERT_TRUE(json_spirit::read(c.request, sent));
            EXPECT_EQ(a->id, sent.get_obj().at("id"));
            const Value& result = static_cast<JSON_RPC_Response&>(*a).result;
            EXPECT_EQ(result.get_obj().at(c.key), c.value);
        }
    }

    Temp_Root root_;
};

TEST_F(Starter, AnswersEachRequestOnceThroughTheHandlerOfItsMethod) {
    const std::string echo = R"({"action":"echo"})", code = R"({"action":"code","code":0})";
    const Case cases[] = {
        // The method picks the handler from the shared configuration.
        {"backup", request("smartx.servant.backup", echo, "\"b-1\""), "", 0, 0, "handler",
         Value("test")},
        {"restore", request("smartx.servant.restore", echo), "", 0, 0, "handler", Value("other")},
        {"unknown method", request("smartx.servant.verify", echo), "", 0, -32601},
        // The configuration under the host root by default, or by template.
        {"default configuration", request("smartx.servant.backup", code), "", 0, 0, "code",
         Value(0)},
        {"configuration template", request("smartx.servant.backup", code),
         "--config " + shell_quote(servant_config_template()), 0, 0, "code", Value(0)},
        {"no configuration", request("smartx.servant.backup", "{}"),
         "--config " + shell_quote(root_.file("none.conf")), 0, -32603},
        // Init arguments come from the configuration.
        {"init arguments", request("with.args", R"({"action":"env"})"), "", 0, 0, "init_args",
         Value(Array{Value("-t"), Value("5000")})},
        {"failed init", request("fails.init", echo), "", 0, -32603},
        {"no factory", request("no.factory", "{}"), "", 0, -32603},
        // Unreadable requests are answered without echoing them.
        {"not JSON", line(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"password":"S3cr3t)"),
         "", 0, -32700, nullptr, Value(), nullptr, "S3cr3t"},
        // Nesting past the reader's bound is refused before anything walks it.
        {"nested too deep",
         request("smartx.servant.backup", std::string(100000, '[') + std::string(100000, ']')), "",
         0, -32700, nullptr, Value(), "nested deeper than"},
        {"a response", line(R"({"jsonrpc":"2.0","id":1,"result":{}})"), "", 0, -32600},
        // A notification cannot be answered; nothing is written.
        {"notification",
         line(R"({"jsonrpc":"2.0","method":"smartx.servant.backup","params":{"action":"echo"}})"),
         "", 1, kNoAnswer},
        {"no request", "", "", 1, kNoAnswer},
        // Only the first answer goes out, and silence is a failure.
        {"twice", request("smartx.servant.backup", R"({"action":"twice"})"), "", 0, 0, "code",
         Value(0)},
        {"silent", request("smartx.servant.backup", R"({"action":"silent"})"), "", 1, kNoAnswer,
         nullptr, Value(), "sent no answer"},
        // Bad arguments exit with 2 (77 is not an open descriptor).
        {"--channel", "", "--channel", 2, kNoAnswer},
        {"--channel x", "", "--channel x", 2, kNoAnswer},
        {"--channel 77", "", "--channel 77", 2, kNoAnswer},
    };
    for (const Case& c : cases)
        check(c);

    // A module that does not load: an internal error naming it.
    write_servant_config(Object{{"smartx.servant.backup", Value("Test_Servant_Handler")}},
                         root_.file("nope.so"));
    check({"no module", request("smartx.servant.backup", "{}"), "", 0, -32603, nullptr, Value(),
           "nope.so"});
}

}  // namespace
