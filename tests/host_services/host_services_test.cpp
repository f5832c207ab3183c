// The host's HTTP clients against a local server, over loopback (its calls
// to the backup server: the module's login look-up tests).
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
