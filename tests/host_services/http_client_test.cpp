// The host's HTTP clients against a local server.
#include <mutex>
#include <thread>

#include <ace/Message_Block.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "host/http_client.h"
#include "host/json_spirit/json_io.h"
#include "support/temp_root.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

class LocalServer {
public:
    LocalServer() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() before the accept loop runs would be lost.
        while (!server_.is_running())
            std::this_thread::yield();
    }
    ~LocalServer() {
        server_.stop();
        thread_.join();
    }
    // Answers path with status and body of type.
    void answer(const std::string& path, int status, const std::string& body,
                const char* type = "application/json") {
        auto handler = [=](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, type);
        };
        server_.Post(path, handler);
        server_.Get(path, handler);
    }
    httplib::Server& server() { return server_; }
    uint16_t port() const { return static_cast<uint16_t>(port_); }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_;
};

class HttpClient : public ::testing::Test {
protected:
    // Posts {} to path; the reply's status.
    bool post(JSON_RESTful_Client& client, const char* path, int* status = nullptr) {
        HTTP_Request req(HTTP_METHOD_POST, path, false);
        HTTP_Response resp;
        const bool ok = client.post(req, Object(), resp, reply_);
        if (status)
            *status = resp.status();
        return ok;
    }

    Temp_Root root_;
    LocalServer server_;
    Value reply_;
};

TEST_F(HttpClient, PostsJsonWithTheHeadersAndReusesTheConnection) {
    std::vector<std::string> auths, types;
    std::vector<int> remote_ports;
    std::mutex m;
    server_.server().Post("/v2/api/get-vms", [&](const httplib::Request& req,
                                                 httplib::Response& res) {
        std::lock_guard<std::mutex> lock(m);
        auths.push_back(req.get_header_value("Authorization"));
        types.push_back(req.get_header_value("Content-Type"));
        remote_ports.push_back(req.remote_port);
        res.set_content("[{\"id\": \"vm-1\", \"size\": 18446744073709551615}]", "application/json");
    });
    JSON_RESTful_Client client("127.0.0.1", server_.port(), false, true);
    for (int i = 0; i < 2; ++i) {
        HTTP_Request req(HTTP_METHOD_POST, "/v2/api/get-vms", false);
        req.headers().put(16, "application/json; charset=utf-8", true);
        req.headers().put(6, secure_string("tok"), true);
        HTTP_Response resp;
        ASSERT_TRUE(client.post(req, Object{{"first", Value(100)}}, resp, reply_))
            << resp.status_string();
        EXPECT_EQ(200, resp.status());
        EXPECT_EQ(18446744073709551615ull,
                  reply_.get_array().at(0).get_obj().at("size").get_uint64());
    }
    ASSERT_EQ(2u, auths.size());
    EXPECT_EQ("tok", auths[0]);
    EXPECT_EQ("application/json; charset=utf-8", types[0]);
    EXPECT_EQ(remote_ports[0], remote_ports[1]);
}

TEST_F(HttpClient, ErrorStatusesFailButKeepTheJsonBody) {
    server_.answer("/denied", 401, R"({"status": 401, "path": "/denied", "message": "bad token"})");
    server_.answer("/broken", 500, "<html>oops</html>", "text/html");
    server_.answer("/garbage", 200, "{not json");
    JSON_RESTful_Client client("127.0.0.1", server_.port(), false, true);
    int status = 0;
    EXPECT_FALSE(post(client, "/denied", &status));
    EXPECT_EQ(401, status);
    EXPECT_EQ("bad token", reply_.get_obj().at("message").get_str());
    EXPECT_FALSE(post(client, "/broken", &status));
    EXPECT_EQ(500, status);
    EXPECT_EQ(json_spirit::null_type, reply_.type());
    EXPECT_FALSE(post(client, "/garbage", &status));
    EXPECT_EQ(200, status);
    EXPECT_FALSE(is_status_ok(401));
    EXPECT_TRUE(is_status_ok(200));
}

TEST_F(HttpClient, UnreachableServerAndRetarget) {
    uint16_t dead_port;
    {
        LocalServer gone;
        dead_port = gone.port();
    }
    JSON_RESTful_Client client("127.0.0.1", dead_port, false, true);
    HTTP_Request req(HTTP_METHOD_POST, "/x", false);
    HTTP_Response resp;
    EXPECT_FALSE(client.post(req, Object(), resp, reply_));
    EXPECT_EQ(0, resp.status());
    EXPECT_STRNE("OK", resp.status_string());

    server_.answer("/x", 200, "{}");
    ASSERT_TRUE(client.reset("127.0.0.1", server_.port(), false));
    EXPECT_TRUE(post(client, "/x"));
    EXPECT_FALSE(client.reset("", 1, false));
}

// The body read raw, block by block, from a session of its own.
std::string read_all(HTTP_Connection& conn) {
    std::string out;
    ACE_Message_Block block(4096);
    while (conn.socket_state() != HTTP_Connection::SS_CLOSED &&
           conn.socket_state() != HTTP_Connection::SS_CONTENT_RECEIVED) {
        const long n = conn.read(&block, 0, 2);
        if (n < 0)
            return "<failed>";
        out.append(block.rd_ptr(), block.length());
        block.reset();
    }
    return out;
}

TEST_F(HttpClient, SessionReadsTheRawBodyInBlocksAndCapsIt) {
    const std::string big(10000, 'v');
    server_.answer("/v2/api/get-version", 200, "\"4.1.0\"");
    server_.answer("/big", 200, big, "text/plain");
    server_.answer("/huge", 200, std::string(70 * 1024, 'h'), "text/plain");
    auto session = HTTP_Session_Factory::create("127.0.0.1", server_.port(), false, nullptr, 3,
                                                nullptr, false, 120, 120, 120, 0);
    ASSERT_NE(nullptr, session.get());
    auto get = [&](const char* path, HTTP_Response& resp) {
        HTTP_Request req(HTTP_METHOD_GET, path, false);
        return session->send(req, resp);
    };
    HTTP_Response resp;
    auto conn = get("/v2/api/get-version", resp);
    ASSERT_NE(nullptr, conn.get());
    EXPECT_EQ(200, resp.status());
    EXPECT_TRUE(resp.has_body());
    EXPECT_EQ("\"4.1.0\"", read_all(*conn));
    conn = get("/big", resp);
    ASSERT_NE(nullptr, conn.get());
    EXPECT_EQ(big, read_all(*conn));
    EXPECT_EQ(nullptr, get("/huge", resp).get());
    EXPECT_EQ(
        nullptr,
        HTTP_Session_Factory::create("", 1, false, nullptr, 3, nullptr, false, 1, 1, 1, 0).get());
}

}  // namespace
