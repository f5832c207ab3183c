// JSON-RPC objects, channels and the thread-pool handler base.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "host/json_spirit/json_io.h"
#include "host/servant/fd_io.h"
#include "host/servant/json_rpc.h"

namespace {

using json_spirit::Object;
using json_spirit::Value;

JSON_RPC_Object_Ptr parse(const std::string& text) {
    std::string why;
    JSON_RPC_Object_Ptr p = json_rpc_parse(text, &why);
    if (p.null())
        ADD_FAILURE() << text << ": " << why;
    return p;
}

TEST(Json_Rpc_Object, WireTextIsClassifiedByType) {
    auto req = parse(R"({"jsonrpc":"2.0","id":7,"method":"m","params":{"a":1}})");
    ASSERT_EQ(JSON_RPC_Object::TYPE_REQUEST, req->type());
    EXPECT_EQ(Value(7), req->id);
    EXPECT_EQ("m", static_cast<JSON_RPC_Request*>(req.get())->method);

    EXPECT_EQ(JSON_RPC_Object::TYPE_NOTIFY, parse(R"({"jsonrpc":"2.0","method":"m"})")->type());
    // A null id is still a request (it is present).
    EXPECT_EQ(JSON_RPC_Object::TYPE_REQUEST,
              parse(R"({"jsonrpc":"2.0","id":null,"method":"m"})")->type());

    auto resp = parse(R"({"jsonrpc":"2.0","id":"x","result":[1]})");
    ASSERT_EQ(JSON_RPC_Object::TYPE_RESPONSE, resp->type());
    EXPECT_EQ(json_spirit::array_type, static_cast<JSON_RPC_Response*>(resp.get())->result.type());

    auto err = parse(
        R"({"jsonrpc":"2.0","id":3,"error":{"code":-32603,"message":"Failed to initialize job."}})");
    ASSERT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, err->type());
    EXPECT_EQ(-32603, static_cast<JSON_RPC_Response_Error*>(err.get())->code);
    EXPECT_EQ("Failed to initialize job.",
              static_cast<JSON_RPC_Response_Error*>(err.get())->message);
}

TEST(Json_Rpc_Object, MalformedObjectsAreRefused) {
    for (const char* text :
         {"[1]", "not json", R"({"id":1,"method":"m"})", R"({"jsonrpc":"1.0","id":1,"method":"m"})",
          R"({"jsonrpc":"2.0","id":1,"method":5})",
          R"({"jsonrpc":"2.0","id":1,"method":"m","params":3})",
          R"({"jsonrpc":"2.0","id":{},"method":"m"})", R"({"jsonrpc":"2.0","result":1})",
          R"({"jsonrpc":"2.0","id":1,"result":1,"error":{"code":1,"message":""}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":"x","message":""}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":1}})", R"({"jsonrpc":"2.0","id":1})"}) {
        std::string why;
        EXPECT_TRUE(json_rpc_parse(text, &why).null()) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}

TEST(Json_Rpc_Object, DumpsReadBack) {
    JSON_RPC_Request req("smartx.servant.backup", Object{{"param", Value(Object())}}, Value(12));
    auto back = parse(json_rpc_text(req));
    ASSERT_EQ(JSON_RPC_Object::TYPE_REQUEST, back->type());
    EXPECT_EQ(req.params, static_cast<JSON_RPC_Request*>(back.get())->params);

    JSON_RPC_Request note("n", Value(), Value(1));
    note.set_notify(true);
    EXPECT_EQ(JSON_RPC_Object::TYPE_NOTIFY, parse(json_rpc_text(note))->type());

    JSON_RPC_Response_Error err(-32602, Value("id-1"), "", Value());
    std::string text = json_rpc_text(err);
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find("\"data\""));
    auto e = parse(text);
    ASSERT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, e->type());
    EXPECT_EQ(Value("id-1"), e->id);
}

TEST(Json_Rpc_Channel, StreamChannelSendsOneLinePerObjectAndOnlyOnceWhenAsked) {
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    JSON_RPC_Stream_Channel once(sv[0], true);
    JSON_RPC_Request req("m", Value(), Value(5));
    JSON_RPC_Response r(req);
    r.result = Object{{"code", Value(0)}};
    EXPECT_EQ(0, once.send(r));
    EXPECT_EQ(-1, once.send_error(-32603, req.id, "late", Value()));
    EXPECT_EQ(1u, once.count());
    ::shutdown(sv[0], SHUT_WR);
    std::string line;
    ASSERT_EQ(1, fd_read_line(sv[1], line, 1 << 20, 5000));
    auto back = parse(line);
    ASSERT_EQ(JSON_RPC_Object::TYPE_RESPONSE, back->type());
    EXPECT_EQ(Value(5), back->id);
    EXPECT_EQ(0, fd_read_line(sv[1], line, 1 << 20, 5000));  // nothing after the first answer
    ::close(sv[0]);
    ::close(sv[1]);

    // A peer that is gone makes send fail, without a SIGPIPE.
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    ::close(sv[1]);
    JSON_RPC_Stream_Channel broken(sv[0], false);
    EXPECT_EQ(-1, broken.send(r));
    ::close(sv[0]);
}

TEST(Json_Rpc_Channel, MemoryChannelKeepsCopiesInOrder) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    JSON_RPC_Request req("m", Value(), Value(1));
    JSON_RPC_Response r(req);
    r.result = Value("first");
    EXPECT_EQ(0, ch->send(r));
    r.result = Value("changed after sending");
    EXPECT_EQ(0, ch->send_error(-32602, req.id, nullptr, Value()));
    auto sent = ch->sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(Value("first"), static_cast<JSON_RPC_Response*>(sent[0].get())->result);
    EXPECT_EQ("", static_cast<JSON_RPC_Response_Error*>(sent[1].get())->message);
    ch->set_broken(true);
    EXPECT_EQ(-1, ch->send(r));
}

// Records which thread took each object and by which slot.
class Recording_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
    Recording_Handler(size_t threads, size_t capacity)
        : JSON_RPC_Thread_Pool_Handler_Impl(threads, capacity) {}
    ~Recording_Handler() override { close(); }

    int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override {
        note("request");
        if (request.method == "block") {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return released_; });
        }
        if (request.method == "unknown")
            return JSON_RPC_Thread_Pool_Handler_Impl::handle_request(channel, request);
        JSON_RPC_Response r(request);
        r.result = Value(request.method);
        return channel->send(r);
    }
    int handle_notify(JSON_RPC_Channel*, JSON_RPC_Request&) override { return note("notify"); }
    int handle_response(JSON_RPC_Channel*, JSON_RPC_Response&) override { return note("response"); }
    int handle_response_error(JSON_RPC_Channel*, JSON_RPC_Response_Error&) override {
        return note("error");
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    std::multiset<std::string> slots() {
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_;
    }
    bool ran_on_caller() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_.count(std::this_thread::get_id()) > 0;
    }

private:
    int note(const char* slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.insert(slot);
        threads_.insert(std::this_thread::get_id());
        return 0;
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::multiset<std::string> slots_;
    std::set<std::thread::id> threads_;
};

TEST(Json_Rpc_Thread_Pool_Handler, ObjectsGoToTheirSlotsOnPoolThreads) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    Recording_Handler h(2, 16);
    for (const char* text :
         {R"({"jsonrpc":"2.0","id":1,"method":"a"})", R"({"jsonrpc":"2.0","method":"n"})",
          R"({"jsonrpc":"2.0","id":2,"result":1})",
          R"({"jsonrpc":"2.0","id":3,"error":{"code":-1,"message":"x"}})",
          R"({"jsonrpc":"2.0","id":4,"method":"unknown"})"})
        EXPECT_EQ(0, h.handle_object(ch, parse(text)));
    h.wait_idle();
    EXPECT_EQ((std::multiset<std::string>{"request", "request", "notify", "response", "error"}),
              h.slots());
    EXPECT_FALSE(h.ran_on_caller());
    auto sent = ch->sent();
    ASSERT_EQ(2u, sent.size());
    for (const auto& s : sent) {
        if (s->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
            EXPECT_EQ(-32601, static_cast<JSON_RPC_Response_Error*>(s.get())->code);
            EXPECT_EQ(Value(4), s->id);
        } else {
            EXPECT_EQ(Value("a"), static_cast<JSON_RPC_Response*>(s.get())->result);
        }
    }
}

TEST(Json_Rpc_Thread_Pool_Handler, AGoneRequesterIsNotAnswered) {
    Recording_Handler h(1, 16);
    std::weak_ptr<JSON_RPC_Channel> gone;
    {
        auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
        gone = ch;
        ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":1,"method":"block"})")));
        while (h.slots().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":2,"method":"a"})")));
    }
    // The requester went away while its second request waited.
    h.release();
    h.wait_idle();
    EXPECT_EQ(1u, h.slots().size());
}

TEST(Json_Rpc_Thread_Pool_Handler, AFullQueueAnswersBusyAndCloseDrainsTheQueue) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    Recording_Handler h(1, 1);
    ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":1,"method":"block"})")));
    // The pool thread takes the first; the next one fills the queue.
    while (h.slots().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":2,"method":"queued"})")));
    EXPECT_EQ(-1, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":3,"method":"refused"})")));
    auto sent = ch->sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, sent[0]->type());
    EXPECT_EQ(Value(3), sent[0]->id);

    std::thread closer([&] { h.close(); });
    h.release();
    closer.join();
    EXPECT_EQ(3u, ch->count());  // both queued requests were answered before close returned
    EXPECT_EQ(-1, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","method":"late"})")));
}

}  // namespace
