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
    for (const auto& [text, type] : rows) {
        SCOPED_TRACE(text);
        const JSON_RPC_Object_Ptr p = parse(text);
        ASSERT_EQ(type, p->type());
        const JSON_RPC_Object_Ptr back = parse(json_rpc_text(*p));
        ASSERT_EQ(type, back->type());
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
        std::string why;
        EXPECT_TRUE(json_rpc_parse(text, &why).null()) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}

TEST(JsonRpcChannel, ChannelsSendWhatTheyAreGivenUntilBrokenOrAnswered) {
    JSON_RPC_Request req("m", Value(), Value(5));
    JSON_RPC_Response r(req);
    r.result = Object{{"code", Value(0)}};
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    JSON_RPC_Stream_Channel once(sv[0], true);
    EXPECT_EQ(0, once.send(r));
    EXPECT_EQ(-1, once.send_error(-32603, req.id, "late", Value())) << "one answer only";
    EXPECT_EQ(1u, once.count());
    ::shutdown(sv[0], SHUT_WR);
    std::string line;
    ASSERT_EQ(1, fd_read_line(sv[1], line, 1 << 20, 5000));
    EXPECT_EQ(Value(5), parse(line)->id);
    EXPECT_EQ(0, fd_read_line(sv[1], line, 1 << 20, 5000));
    ::close(sv[1]);
    // A peer that is gone makes send fail, without a SIGPIPE.
    EXPECT_EQ(-1, JSON_RPC_Stream_Channel(sv[0], false).send(r));
    ::close(sv[0]);

    JSON_RPC_Memory_Channel memory;
    r.result = Value("first");
    EXPECT_EQ(0, memory.send(r));
    r.result = Value("changed after sending");
    EXPECT_EQ(0, memory.send_error(-32602, req.id, nullptr, Value()));
    const auto sent = memory.sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(Value("first"), result_of(sent[0]));
    EXPECT_EQ("", as_error(sent[1]).message);
    memory.set_broken(true);
    EXPECT_EQ(-1, memory.send(r));
}

// Records which slot took each object ("!" when on the caller's thread);
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
    // Sends text and waits until a pool thread has taken the first object.
    int take(const std::shared_ptr<JSON_RPC_Channel>& ch, const char* text, bool wait = false) {
        const int rc = handle_object(ch, parse(text));
        while (wait && slots().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return rc;
    }

private:
    int note(const std::string& slot) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.insert(slot + (std::this_thread::get_id() == caller_ ? "!" : ""));
        return 0;
    }
    const std::thread::id caller_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
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
        EXPECT_EQ(0, h.take(ch, text));
    h.wait_idle();
    EXPECT_EQ((std::multiset<std::string>{"request", "request", "notify", "response", "error"}),
              h.slots());
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
        ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":1,"method":"block"})", true));
        ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":2,"method":"a"})"));
    }  // the requester goes away while its second request waits
    h.release();
    h.wait_idle();
    EXPECT_EQ(1u, h.slots().size());
}

TEST(JsonRpcThreadPoolHandler, AFullQueueAnswersBusyAndCloseDrainsTheQueue) {
    auto ch = std::make_shared<JSON_RPC_Memory_Channel>();
    RecordingHandler h(1, 1);
    // The pool thread takes the first; the next one fills the queue.
    ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":1,"method":"block"})", true));
    ASSERT_EQ(0, h.take(ch, R"({"jsonrpc":"2.0","id":2,"method":"queued"})"));
    EXPECT_EQ(-1, h.take(ch, R"({"jsonrpc":"2.0","id":3,"method":"refused"})"));
    ASSERT_EQ(1u, ch->count());
    EXPECT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, ch->sent()[0]->type());
    EXPECT_EQ(Value(3), ch->sent()[0]->id);

    std::thread closer([&] { h.close(); });
    h.release();
    closer.join();
    EXPECT_EQ(3u, ch->count());  // both queued requests were answered before close returned
    EXPECT_EQ(-1, h.take(ch, R"({"jsonrpc":"2.0","method":"late"})"));
}

}  // namespace
