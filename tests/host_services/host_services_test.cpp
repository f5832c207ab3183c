// The host's HTTP clients against a local server, over loopback, and its
// calls to the backup server simulator (the module's login look-up tests
// check what those calls carry).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include <ace/Message_Block.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "host/backupd_client.h"
#include "host/http_client.h"
#include "host/json_spirit/json_io.h"
#include "sim/backup_server/backup_server.h"
#include "sim/http_server.h"
#include "support/temp_root.h"
#include "world/host_settings.h"

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

    // A GET of /version through the session; whether it was answered.
    static bool session_get(HTTP_Session& session) {
        HTTP_Request req(HTTP_METHOD_GET, "/version", false);
        HTTP_Response resp;
        return session.send(req, resp).get() != nullptr && resp.status() == 200;
    }
    ACE_Intrusive_Auto_Ptr<HTTP_Session> session() const {
        return HTTP_Session_Factory::create("127.0.0.1", port_, false, nullptr, 3, nullptr, false,
                                            120, 120, 120, 0);
    }

    Temp_Root root_;
    sim::Http_Server server_;  // counts the connections
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

// A session made on the thread of a keep-alive JSON client for the same
// server goes over the client's connection; any other makes its own for
// each request.
TEST_F(HttpClient, SessionsBorrowTheConnectionOfTheThreadsLatestClientOfTheirServer) {
    const struct {
        const char* what;
        bool keep_alive;
        bool on_another_thread;  // the session is made there
        bool client_gone;        // before the session is made
        size_t connections;      // for a request of the client, two of the session, one more of
                                 // the client (unless gone)
    } rows[] = {
        {"same thread and server", true, false, false, 1},
        {"client without keep-alive", false, false, false, 4},
        {"session made on another thread", true, true, false, 3},
        {"client destroyed first", true, false, true, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const size_t before = server_.connections();
        std::unique_ptr<JSON_RESTful_Client> client(
            new JSON_RESTful_Client("127.0.0.1", port_, false, row.keep_alive));
        EXPECT_EQ(200, post(*client, "/version", true));
        if (row.client_gone)
            client.reset();
        ACE_Intrusive_Auto_Ptr<HTTP_Session> s;
        if (row.on_another_thread)
            std::thread([&] { s = session(); }).join();
        else
            s = session();
        ASSERT_NE(nullptr, s.get());
        EXPECT_TRUE(session_get(*s));
        EXPECT_TRUE(session_get(*s));
        if (client) {
            EXPECT_EQ(200, post(*client, "/version", true));
        }
        EXPECT_EQ(row.connections, server_.connections() - before);
    }
    // A client pointed at another server lends nothing for this one.
    const size_t before = server_.connections();
    JSON_RESTful_Client moved("127.0.0.1", port_, false, true);
    EXPECT_EQ(200, post(moved, "/version", true));
    ASSERT_TRUE(moved.reset("127.0.0.1", 1, false));
    auto s = session();
    EXPECT_TRUE(session_get(*s));
    EXPECT_EQ(2u, server_.connections() - before);
}

// The host's calls to the backup server, JSON-RPC and alerts, against its
// simulator.
class BackupdCalls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start());
        write_host_settings(root_.path(), server_.port());
        server_.add_instance({"inst-1", "10.1.2.3", 8443, true, "root", "Pa55w0rd!", ""});
    }
    static bool query() {
        json_spirit::Value result;
        return global_json_rpc("smartx.query", Value(Object{{"uuid", Value("inst-1")}}),
                               JSON_RPC_DEFAULT_TIMEOUT, result, json_spirit::obj_type,
                               JSON_RPC_NO_RETRY);
    }
    // The process's sockets connected to the server: whether each is closed
    // on exec.
    std::vector<bool> sockets_to_server() const {
        std::vector<bool> out;
        DIR* dir = ::opendir("/proc/self/fd");
        for (dirent* e; dir != nullptr && (e = ::readdir(dir)) != nullptr;) {
            const int fd = std::atoi(e->d_name);
            struct stat st;
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            if (e->d_name[0] == '.' || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
                ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
                peer.sin_family != AF_INET || ntohs(peer.sin_port) != server_.port())
                continue;
            out.push_back((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        }
        if (dir != nullptr)
            ::closedir(dir);
        return out;
    }

    Temp_Root root_;
    sim::Backup_Server server_{test_host_keys().public_pem};
};

// Calls one after another go over one connection, kept open between them
// and closed on exec; one the server dropped is made again.
TEST_F(BackupdCalls, OneConnectionIsKeptAndMadeAgainWhenDropped) {
    const size_t before = server_.connections();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(query()) << i;
    RESTful_Alert_Client alerts;
    const time_t now = 0;
    ASSERT_TRUE(
        alerts.send_alert(1, Value(Object()), 1, "host", "res", "def", "job", &now, &now, 1));
    EXPECT_EQ(1u, server_.connections() - before);

    // Restarted at the same address, the server has dropped the connection.
    // (Stopped, it has closed its sockets: the scan cannot meet one closing.)
    server_.stop();
    EXPECT_EQ(std::vector<bool>{true}, sockets_to_server());
    ASSERT_TRUE(server_.start(server_.port()));
    ASSERT_TRUE(query());
    ASSERT_TRUE(query());
    EXPECT_EQ(2u, server_.connections() - before);
    EXPECT_EQ(6u, server_.requests().size()) << "each call was sent once";
}

// Calls at the same time each take a connection of their own.
TEST_F(BackupdCalls, ConcurrentCallsDoNotShareAConnection) {
    const int threads = 6, calls = 20;
    const size_t before = server_.connections();
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&failures, t] {
            for (int i = 0; i < calls; ++i)
                failures[t] += !query();
        });
    for (std::thread& t : pool)
        t.join();
    EXPECT_EQ(std::vector<int>(threads, 0), failures);
    EXPECT_LE(server_.connections() - before, static_cast<size_t>(threads));
    EXPECT_EQ(static_cast<size_t>(threads * calls), server_.requests().size());
}

}  // namespace
