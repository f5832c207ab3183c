// The host's HTTP clients against a local server.
#include <thread>

#include <ace/Message_Block.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "host/http_client.h"
#include "host/json_spirit/json_io.h"
#include "support/temp_root.h"

namespace {

class Local_Server {
public:
    Local_Server() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() before the accept loop runs would be lost.
        while (!server_.is_running())
            std::this_thread::yield();
    }
    ~Local_Server() {
        server_.stop();
        thread_.join();
    }
    httplib::Server& server() { return server_; }
    uint16_t port() const { return static_cast<uint16_t>(port_); }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_;
};

TEST(JSON_RESTful_Client, PostsJsonWithTheHeadersAndReusesTheConnection) {
    Temp_Root root;
    Local_Server s;
    std::vector<std::string> auths, types;
    std::vector<int> remote_ports;
    std::mutex m;
    s.server().Post("/v2/api/get-vms", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(m);
        auths.push_back(req.get_header_value("Authorization"));
        types.push_back(req.get_header_value("Content-Type"));
        remote_ports.push_back(req.remote_port);
        res.set_content("[{\"id\": \"vm-1\", \"size\": 18446744073709551615}]", "application/json");
    });
    JSON_RESTful_Client client("127.0.0.1", s.port(), false, true);
    for (int i = 0; i < 2; ++i) {
        HTTP_Request req(HTTP_METHOD_POST, "/v2/api/get-vms", false);
        req.headers().put(16, "application/json; charset=utf-8", true);
        req.headers().put(6, secure_string("tok"), true);
        HTTP_Response resp;
        json_spirit::Value reply;
        json_spirit::Object body;
        body["first"] = 100;
        ASSERT_TRUE(client.post(req, body, resp, reply)) << resp.status_string();
        EXPECT_EQ(200, resp.status());
        ASSERT_EQ(json_spirit::array_type, reply.type());
        EXPECT_EQ(18446744073709551615ull, reply.get_array()[0].get_obj().at("size").get_uint64());
    }
    ASSERT_EQ(2u, auths.size());
    EXPECT_EQ("tok", auths[0]);
    EXPECT_EQ("application/json; charset=utf-8", types[0]);
    EXPECT_EQ(remote_ports[0], remote_ports[1]);
}

TEST(JSON_RESTful_Client, ErrorStatusesFailButKeepTheJsonBody) {
    Temp_Root root;
    Local_Server s;
    s.server().Post("/denied", [](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_content(R"({"status": 401, "path": "/denied", "message": "bad token"})",
                        "application/json");
    });
    s.server().Post("/broken", [](const httplib::Request&, httplib::Response& res) {
        res.status = 500;
        res.set_content("<html>oops</html>", "text/html");
    });
    s.server().Post("/garbage", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{not json", "application/json");
    });
    JSON_RESTful_Client client("127.0.0.1", s.port(), false, true);
    HTTP_Request denied(HTTP_METHOD_POST, "/denied", false);
    HTTP_Response resp;
    json_spirit::Value reply;
    EXPECT_FALSE(client.post(denied, json_spirit::Object(), resp, reply));
    EXPECT_EQ(401, resp.status());
    ASSERT_EQ(json_spirit::obj_type, reply.type());
    EXPECT_EQ("bad token", reply.get_obj().at("message").get_str());

    HTTP_Request broken(HTTP_METHOD_POST, "/broken", false);
    EXPECT_FALSE(client.post(broken, json_spirit::Object(), resp, reply));
    EXPECT_EQ(500, resp.status());
    EXPECT_EQ(json_spirit::null_type, reply.type());

    HTTP_Request garbage(HTTP_METHOD_POST, "/garbage", false);
    EXPECT_FALSE(client.post(garbage, json_spirit::Object(), resp, reply));
    EXPECT_EQ(200, resp.status());
    EXPECT_FALSE(is_status_ok(401));
    EXPECT_TRUE(is_status_ok(200));
}

TEST(JSON_RESTful_Client, UnreachableServerAndRetarget) {
    Temp_Root root;
    uint16_t dead_port;
    {
        Local_Server gone;
        dead_port = gone.port();
    }
    JSON_RESTful_Client client("127.0.0.1", dead_port, false, true);
    HTTP_Request req(HTTP_METHOD_POST, "/x", false);
    HTTP_Response resp;
    json_spirit::Value reply;
    EXPECT_FALSE(client.post(req, json_spirit::Object(), resp, reply));
    EXPECT_EQ(0, resp.status());
    EXPECT_STRNE("OK", resp.status_string());

    Local_Server s;
    s.server().Post("/x", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{}", "application/json");
    });
    ASSERT_TRUE(client.reset("127.0.0.1", s.port(), false));
    EXPECT_TRUE(client.post(req, json_spirit::Object(), resp, reply));
    EXPECT_FALSE(client.reset("", 1, false));
}

// The version is read raw, block by block, from a session of its own.
std::string read_all(HTTP_Connection& conn, bool* ok) {
    std::string out;
    ACE_Message_Block block(4096);
    *ok = true;
    while (conn.socket_state() != HTTP_Connection::SS_CLOSED &&
           conn.socket_state() != HTTP_Connection::SS_CONTENT_RECEIVED) {
        long n = conn.read(&block, 0, 2);
        if (n < 0) {
            *ok = false;
            break;
        }
        out.append(block.rd_ptr(), block.length());
        block.reset();
    }
    return out;
}

TEST(HTTP_Session, ReadsTheRawBodyInBlocksAndCapsIt) {
    Temp_Root root;
    Local_Server s;
    std::string big(10000, 'v');
    s.server().Get("/v2/api/get-version", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("\"4.1.0\"", "application/json");
    });
    s.server().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(big, "text/plain");
    });
    s.server().Get("/huge", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(70 * 1024, 'h'), "text/plain");
    });
    auto session = HTTP_Session_Factory::create("127.0.0.1", s.port(), false, nullptr, 3, nullptr,
                                                false, 120, 120, 120, 0);
    ASSERT_NE(nullptr, session.get());

    HTTP_Request req(HTTP_METHOD_GET, "/v2/api/get-version", false);
    HTTP_Response resp;
    auto conn = session->send(req, resp);
    ASSERT_NE(nullptr, conn.get());
    EXPECT_EQ(200, resp.status());
    EXPECT_TRUE(resp.has_body());
    bool ok = false;
    EXPECT_EQ("\"4.1.0\"", read_all(*conn, &ok));
    EXPECT_TRUE(ok);

    HTTP_Request big_req(HTTP_METHOD_GET, "/big", false);
    conn = session->send(big_req, resp);
    ASSERT_NE(nullptr, conn.get());
    EXPECT_EQ(big, read_all(*conn, &ok));

    HTTP_Request huge_req(HTTP_METHOD_GET, "/huge", false);
    EXPECT_EQ(nullptr, session->send(huge_req, resp).get());

    EXPECT_EQ(
        nullptr,
        HTTP_Session_Factory::create("", 1, false, nullptr, 3, nullptr, false, 1, 1, 1, 0).get());
}

}  // namespace
