// The host's calls to the backup server (against the simulated server) and
// its HTTP clients (against a local server), over loopback.
#include <chrono>
#include <mutex>
#include <thread>

#include <ace/Message_Block.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "host/backupd_client.h"
#include "host/http_client.h"
#include "host/json_spirit/json_io.h"
#include "host/rsa_codec.h"
#include "sim/backup_server/backup_server.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

class BackupdClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start());
        write_host_settings(root_.path(), server_.port());
        sim::Instance_Login login;
        login.uuid = "inst-1";
        login.host = "10.0.0.5";
        login.password = "p@ss";
        login.token = "tok-123";
        server_.add_instance(login);
    }

    static std::string decrypt(const std::string& cipher) {
        const std::string& key = test_host_keys().private_pem;
        RSA_Decoder d(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                      reinterpret_cast<const unsigned char*>(key.data()), key.size(), true, 1);
        return d ? std::string(reinterpret_cast<const char*>(d.get()), d.length()) : "<failed>";
    }

    // smartx.query for instance uuid.
    bool query(const char* uuid, Value& result, json_spirit::Value_type expected,
               int timeout_ms = -1, int retries = -1) {
        return global_json_rpc("smartx.query", Object{{"uuid", Value(uuid)}}, timeout_ms, result,
                               expected, retries);
    }

    Temp_Root root_;
    sim::Backup_Server server_{test_host_keys().public_pem};
};

TEST_F(BackupdClient, QueryReturnsTheLoginWithSecretsEncryptedForTheHostOrFails) {
    Value result;
    ASSERT_TRUE(query("inst-1", result, json_spirit::obj_type));
    const Object o = result.get_obj();
    EXPECT_EQ("10.0.0.5", o.at("host").get_str());
    EXPECT_NE("p@ss", o.at("password").get_str());
    EXPECT_EQ("p@ss", decrypt(o.at("password").get_str()));
    EXPECT_EQ("tok-123", decrypt(o.at("token").get_str()));
    EXPECT_EQ("/jsonrpc", server_.requests().at(0).path);
    result = Value();
    EXPECT_FALSE(query("nope", result, json_spirit::null_type));
    server_.set_query_result_override("[1, 2]");
    EXPECT_FALSE(query("inst-1", result, json_spirit::obj_type)) << "a result of another type";
    server_.set_rpc_error(true);
    EXPECT_FALSE(query("inst-1", result, json_spirit::null_type));
    EXPECT_EQ(json_spirit::null_type, result.type());
    server_.stop();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(query("inst-1", result, json_spirit::null_type, 5000, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
}

TEST_F(BackupdClient, AlertsReachTheServer) {
    RESTful_Alert_Client client;
    const Object detail{{"id", Value("vm-1")}, {"name", Value("web")}};
    time_t start = 100, last = 0;
    const Error_ID id(Error_ID::LV_ERROR, 3, 39, 1, 28, 0);
    EXPECT_EQ(0x700000327010001cull, id.value());
    ASSERT_TRUE(client.send_alert(id.value(), detail, 2, "host-1", "res-1", "def-1", "job-1",
                                  &start, &last, 1));
    const auto alerts = server_.alerts();
    ASSERT_EQ(1u, alerts.size());
    const Object& a = alerts[0].get_obj();
    EXPECT_EQ(id.value(), a.at("code").get_uint64());
    EXPECT_EQ(Value(detail), a.at("detail"));
    EXPECT_EQ(100, a.at("start_time").get_int64());
    server_.stop();
    EXPECT_FALSE(client.send_alert(id.value(), detail, 2, "host-1", "res-1", "def-1", "job-1",
                                   &start, &last, 1));
}

// A local server answering each path with a fixed status, body and type, and
// recording what /echo was sent.
class HttpClient : public ::testing::Test {
protected:
    HttpClient() : port_(static_cast<uint16_t>(server_.bind_to_any_port("127.0.0.1"))) {
        server_.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(req.get_header_value("Authorization") + " " +
                            req.get_header_value("Content-Type") + " " + req.body + " " +
                            std::to_string(req.remote_port));
            res.set_content(R"([{"size": 18446744073709551615}])", "application/json");
        });
        answer("/denied", 401, R"({"status": 401, "message": "bad token"})");
        answer("/broken", 500, "<html>oops</html>", "text/html");
        answer("/garbage", 200, "{not json");
        answer("/version", 200, "\"4.1.0\"");
        answer("/big", 200, std::string(10000, 'v'), "text/plain");
        answer("/huge", 200, std::string(70 * 1024, 'h'), "text/plain");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())  // stop() before the accept loop runs would be lost
            std::this_thread::yield();
    }
    ~HttpClient() override {
        server_.stop();
        thread_.join();
    }
    void answer(const std::string& path, int status, const std::string& body,
                const char* type = "application/json") {
        auto handler = [=](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, type);
        };
        server_.Post(path, handler);
        server_.Get(path, handler);
    }
    // Posts body to path; the status.
    int post(JSON_RESTful_Client& client, const char* path, bool ok, const Value& body = Object(),
             const char* token = nullptr) {
        HTTP_Request req(HTTP_METHOD_POST, path, false);
        req.headers().put(16, "application/json; charset=utf-8", true);
        if (token)
            req.headers().put(6, secure_string(token), true);
        HTTP_Response resp;
        EXPECT_EQ(ok, client.post(req, body, resp, reply_)) << path << ": " << resp.status_string();
        return resp.status();
    }

    Temp_Root root_;
    httplib::Server server_;
    const uint16_t port_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> seen_;
    Value reply_;
};

TEST_F(HttpClient, PostsJsonWithTheHeadersOverOneConnection) {
    JSON_RESTful_Client client("127.0.0.1", port_, false, true);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(200, post(client, "/echo", true, Object{{"first", Value(100)}}, "tok"));
        EXPECT_EQ(18446744073709551615ull,
                  reply_.get_array().at(0).get_obj().at("size").get_uint64());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(2u, seen_.size());
    EXPECT_EQ(0u, seen_[0].find(R"(tok application/json; charset=utf-8 {"first":100} )"))
        << seen_[0];
    EXPECT_EQ(seen_[0], seen_[1]) << "the same headers, body and connection";
}

TEST_F(HttpClient, ErrorStatusesFailButKeepTheJsonBody) {
    JSON_RESTful_Client client("127.0.0.1", port_, false, true);
    EXPECT_EQ(401, post(client, "/denied", false));
    EXPECT_EQ("bad token", reply_.get_obj().at("message").get_str());
    EXPECT_EQ(500, post(client, "/broken", false));
    EXPECT_EQ(json_spirit::null_type, reply_.type());
    EXPECT_EQ(200, post(client, "/garbage", false));
    EXPECT_FALSE(is_status_ok(401));
    EXPECT_TRUE(is_status_ok(200));

    // Unreachable, then pointed at this server.
    JSON_RESTful_Client moved("127.0.0.1", 1, false, true);
    EXPECT_EQ(0, post(moved, "/garbage", false));
    ASSERT_TRUE(moved.reset("127.0.0.1", port_, false));
    EXPECT_EQ(200, post(moved, "/version", true));
    EXPECT_FALSE(moved.reset("", 1, false));
}

// A session reads a body raw, block by block, and refuses one above 64 KiB.
TEST_F(HttpClient, SessionReadsTheRawBodyInBlocksAndCapsIt) {
    auto session = HTTP_Session_Factory::create("127.0.0.1", port_, false, nullptr, 3, nullptr,
                                                false, 120, 120, 120, 0);
    ASSERT_NE(nullptr, session.get());
    auto body = [&](const char* path) {
        HTTP_Request req(HTTP_METHOD_GET, path, false);
        HTTP_Response resp;
        auto conn = session->send(req, resp);
        if (conn.get() == nullptr)
            return std::string("<none>");
        EXPECT_EQ(200, resp.status());
        EXPECT_TRUE(resp.has_body());
        std::string out;
        ACE_Message_Block block(4096);
        while (conn->socket_state() != HTTP_Connection::SS_CLOSED &&
               conn->socket_state() != HTTP_Connection::SS_CONTENT_RECEIVED) {
            if (conn->read(&block, 0, 2) < 0)
                return out + "<failed>";
            out.append(block.rd_ptr(), block.length());
            block.reset();
        }
        return out;
    };
    EXPECT_EQ("\"4.1.0\"", body("/version"));
    EXPECT_EQ(std::string(10000, 'v'), body("/big"));
    EXPECT_EQ("<none>", body("/huge"));
    EXPECT_EQ(
        nullptr,
        HTTP_Session_Factory::create("", 1, false, nullptr, 3, nullptr, false, 1, 1, 1, 0).get());
}

}  // namespace
