// JSON-RPC objects, channels and the thread-pool handler base.
#include <sys/socket.h>
#include <unistd.h>

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

const JSON_RPC_Response_Error& as_error(const JSON_RPC_Object_Ptr& p) {
    return *static_cast<const JSON_RPC_Response_Error*>(p.get());
}

const Value& result_of(const JSON_RPC_Object_Ptr& p) {
    return static_cast<const JSON_RPC_Response*>(p.get())->result;
}

TEST(JsonRpcObject, WireTextIsClassifiedByTypeAndDumpsReadBack) {
    const std::pair<const char*, JSON_RPC_Object::Type> rows[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"m","params":{"a":1}})",
         JSON_RPC_Object::TYPE_REQUEST},
        {R"({"jsonrpc":"2.0","method":"m"})", JSON_RPC_Object::TYPE_NOTIFY},
        // A null id is still a request (it is present).
        {R"({"jsonrpc":"2.0","id":null,"method":"m"})", JSON_RPC_Object::TYPE_REQUEST},
        {R"({"jsonrpc":"2.0","id":"x","result":[1]})", JSON_RPC_Object::TYPE_RESPONSE},
        {R"({"jsonrpc":"2.0","id":3,"error":{"code":-32603,"message":"Failed to initialize job."}})",
         JSON_RPC_Object::TYPE_RESPONSE_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        const JSON_RPC_Object_Ptr p = parse(row.first);
        ASSERT_EQ(row.second, p->type());
        // Its text reads back as the same object.
        const JSON_RPC_Object_Ptr back = parse(json_rpc_text(*p));
        ASSERT_EQ(row.second, back->type());
        EXPECT_EQ(p->dump(), back->dump());
    }
    EXPECT_EQ(-32603, as_error(parse(rows[4].first)).code);
    EXPECT_EQ("Failed to initialize job.", as_error(parse(rows[4].first)).message);
    EXPECT_EQ(Value(json_spirit::Array{1}), result_of(parse(rows[3].first)));

    JSON_RPC_Request note("n", Value(), Value(1));
    note.set_notify(true);
    EXPECT_EQ(JSON_RPC_Object::TYPE_NOTIFY, parse(json_rpc_text(note))->type());
    const std::string text =
        json_rpc_text(JSON_RPC_Response_Error(-32602, Value("id-1"), "", Value()));
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find("\"data\""));
    EXPECT_EQ(Value("id-1"), parse(text)->id);
}

TEST(JsonRpcObject, MalformedObjectsAreRefused) {
    for (const char* text :
         {"[1]", "not json", R"({"id":1,"method":"m"})", R"({"jsonrpc":"1.0","id":1,"method":"m"})",
          R"({"jsonrpc":"2.0","id":1,"method":5})",
          R"({"jsonrpc":"2.0","id":1,"method":"m","params":3})",
          R"({"jsonrpc":"2.0","id":{},"method":"m"})", R"({"jsonrpc":"2.0","result":1})",
          R"({"jsonrpc":"2.0","id":1,"result":1,"error":{"code":1,"message":""}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":"x","message":""}})",
          R"({"jsonrpc":"2.0","id":1,"error":{"code":1}})", R"({"jsonrpc":"2.0","id":1})"}) {
        SCOPED_TRACE(text);
        std::string why;
        EXPECT_TRUE(json_rpc_parse(text, &why).null());
        EXPECT_FALSE(why.empty());
    }
}

TEST(JsonRpcChannel, StreamChannelSendsOneLinePerObjectAndOnlyOnceWhenAsked) {
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
    EXPECT_EQ(Value(5), parse(line)->id);
    EXPECT_EQ(0, fd_read_line(sv[1], line, 1 << 20, 5000));  // nothing after the first answer
    ::close(sv[0]);
    ::close(sv[1]);

    // A peer that is gone makes send fail, without a SIGPIPE.
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    ::close(sv[1]);
    EXPECT_EQ(-1, JSON_RPC_Stream_Channel(sv[0], false).send(r));
    ::close(sv[0]);
}

TEST(JsonRpcChannel, MemoryChannelKeepsCopiesInOrder) {
    JSON_RPC_Memory_Channel ch;
    JSON_RPC_Request req("m", Value(), Value(1));
    JSON_RPC_Response r(req);
    r.result = Value("first");
    EXPECT_EQ(0, ch.send(r));
    r.result = Value("changed after sending");
    EXPECT_EQ(0, ch.send_error(-32602, req.id, nullptr, Value()));
    const auto sent = ch.sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(Value("first"), result_of(sent[0]));
    EXPECT_EQ("", as_error(sent[1]).message);
    ch.set_broken(true);
    EXPECT_EQ(-1, ch.send(r));
}

// Records which slot took each object and whether the caller's thread did;
// "block" requests wait for release().
class RecordingHandler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
    using JSON_RPC_Thread_Pool_Handler_Impl::JSON_RPC_Thread_Pool_Handler_Impl;
    ~RecordingHandler() override { close(); }

    int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override {
        note("request");
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return released_ || request.method != "block"; });
        lock.unlock();
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
    void wait_for_first() {
        while (slots().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool ran_on_caller() {
        std::lock_guard<std::mutex> lock(mutex_);
        return on_caller_;
    }

private:
    int note(const char* slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.insert(slot);
        on_caller_ = on_caller_ || std::this_thread::get_id() == caller_;
        return 0;
    }
    const std::thread::id caller_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false, on_caller_ = false;
    std::multiset<std::string> slots_;
};

TEST(JsonRpcThreadPoolHandler, ObjectsGoToTheirSlotsOnPoolThreads) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    RecordingHandler h(2, 16);
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
    if (sent[0]->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR)
        std::swap(sent[0], sent[1]);
    EXPECT_EQ(Value("a"), result_of(sent[0]));
    EXPECT_EQ(-32601, as_error(sent[1]).code);
    EXPECT_EQ(Value(4), sent[1]->id);
}

TEST(JsonRpcThreadPoolHandler, AGoneRequesterIsNotAnswered) {
    RecordingHandler h(1, 16);
    {
        auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
        ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":1,"method":"block"})")));
        h.wait_for_first();
        ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":2,"method":"a"})")));
    }
    // The requester went away while its second request waited.
    h.release();
    h.wait_idle();
    EXPECT_EQ(1u, h.slots().size());
}

TEST(JsonRpcThreadPoolHandler, AFullQueueAnswersBusyAndCloseDrainsTheQueue) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    RecordingHandler h(1, 1);
    ASSERT_EQ(0, h.handle_object(ch, parse(R"({"jsonrpc":"2.0","id":1,"method":"block"})")));
    // The pool thread takes the first; the next one fills the queue.
    h.wait_for_first();
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
