#include "host/servant/json_rpc.h"

#include <cmath>
#include <condition_variable>
#include <deque>
#include <new>
#include <thread>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/json_spirit/json_io.h"
#include "host/secure_memory.h"
#include "host/servant/fd_io.h"

namespace {

json_spirit::Object envelope(const json_spirit::Value& id) {
    json_spirit::Object o;
    o["jsonrpc"] = "2.0";
    o["id"] = id;
    return o;
}

bool valid_id(const json_spirit::Value& id) {
    switch (id.type()) {
        case json_spirit::null_type:
        case json_spirit::str_type:
        case json_spirit::int_type:
            return true;
        case json_spirit::real_type:
            // One beyond a double has no text: the answer could not carry it.
            return std::isfinite(id.get_real());
        default:
            return false;
    }
}

JSON_RPC_Object_Ptr invalid(std::string* error, const char* why) {
    if (error)
        *error = why;
    return JSON_RPC_Object_Ptr();
}

JSON_RPC_Object* clone(const JSON_RPC_Object& obj) {
    switch (obj.type()) {
        case JSON_RPC_Object::TYPE_REQUEST:
        case JSON_RPC_Object::TYPE_NOTIFY:
            return new (std::nothrow) JSON_RPC_Request(static_cast<const JSON_RPC_Request&>(obj));
        case JSON_RPC_Object::TYPE_RESPONSE:
            return new (std::nothrow) JSON_RPC_Response(static_cast<const JSON_RPC_Response&>(obj));
        case JSON_RPC_Object::TYPE_RESPONSE_ERROR:
            return new (std::nothrow)
                JSON_RPC_Response_Error(static_cast<const JSON_RPC_Response_Error&>(obj));
        default:
            return nullptr;
    }
}

}  // namespace

JSON_RPC_Object::~JSON_RPC_Object() = default;

JSON_RPC_Request::JSON_RPC_Request(const std::string& m, const json_spirit::Value& p,
                                   const json_spirit::Value& i)
    : JSON_RPC_Object(TYPE_REQUEST), method(m), params(p) {
    id = i;
}

json_spirit::Object JSON_RPC_Request::dump() const {
    json_spirit::Object o = envelope(id);
    if (type() == TYPE_NOTIFY)
        o.erase("id");
    o["method"] = method;
    if (!params.is_null())
        o["params"] = params;
    return o;
}

json_spirit::Object JSON_RPC_Response::dump() const {
    json_spirit::Object o = envelope(id);
    o["result"] = result;
    return o;
}

JSON_RPC_Response_Error::JSON_RPC_Response_Error(int c, const json_spirit::Value& i,
                                                 const std::string& m, const json_spirit::Value& d)
    : JSON_RPC_Object(TYPE_RESPONSE_ERROR), code(c), message(m), data(d) {
    id = i;
}

json_spirit::Object JSON_RPC_Response_Error::dump() const {
    json_spirit::Object err;
    err["code"] = code;
    err["message"] = message;
    if (!data.is_null())
        err["data"] = data;
    json_spirit::Object o = envelope(id);
    o["error"] = std::move(err);
    return o;
}

JSON_RPC_Object_Ptr json_rpc_from_value(const json_spirit::Value& v, std::string* error) {
    if (v.type() != json_spirit::obj_type)
        return invalid(error, "not a JSON object");
    const json_spirit::Object& o = v.get_obj();
    const std::string* version = json_spirit::object_get_str(o, "jsonrpc");
    if (!version || *version != "2.0")
        return invalid(error, "\"jsonrpc\" is not \"2.0\"");
    const json_spirit::Value* id = json_spirit::object_get_value(o, "id");
    if (id && !valid_id(*id))
        return invalid(error, "\"id\" is not a string, a number or null");
    json_spirit::Value id_value = id ? *id : json_spirit::Value();

    if (const json_spirit::Value* method = json_spirit::object_get_value(o, "method")) {
        if (method->type() != json_spirit::str_type)
            return invalid(error, "\"method\" is not a string");
        const json_spirit::Value* params = json_spirit::object_get_value(o, "params");
        if (params && params->type() != json_spirit::obj_type &&
            params->type() != json_spirit::array_type)
            return invalid(error, "\"params\" is neither an object nor an array");
        JSON_RPC_Request* r = new (std::nothrow)
            JSON_RPC_Request(method->get_str(), params ? *params : json_spirit::Value(), id_value);
        if (!r)
            return invalid(error, "out of memory");
        r->set_notify(id == nullptr);
        return JSON_RPC_Object_Ptr(r);
    }
    const json_spirit::Value* result = json_spirit::object_get_value(o, "result");
    const json_spirit::Value* err = json_spirit::object_get_value(o, "error");
    if (result && err)
        return invalid(error, "both \"result\" and \"error\"");
    if (!id)
        return invalid(error, "a response without \"id\"");
    if (result) {
        JSON_RPC_Response* r = new (std::nothrow) JSON_RPC_Response();
        if (!r)
            return invalid(error, "out of memory");
        r->id = id_value;
        r->result = *result;
        return JSON_RPC_Object_Ptr(r);
    }
    if (!err)
        return invalid(error, "neither \"method\", \"result\" nor \"error\"");
    if (err->type() != json_spirit::obj_type)
        return invalid(error, "\"error\" is not an object");
    const json_spirit::Object& e = err->get_obj();
    const json_spirit::Value* code = json_spirit::object_get_value(e, "code");
    const std::string* message = json_spirit::object_get_str(e, "message");
    if (!code || code->type() != json_spirit::int_type || !message)
        return invalid(error, "\"error\" lacks an integer \"code\" or a string \"message\"");
    int c = 0;
    if (!json_spirit::object_get(e, "code", c))
        return invalid(error, "\"code\" is out of range");
    const json_spirit::Value* data = json_spirit::object_get_value(e, "data");
    JSON_RPC_Response_Error* r = new (std::nothrow)
        JSON_RPC_Response_Error(c, id_value, *message, data ? *data : json_spirit::Value());
    if (!r)
        return invalid(error, "out of memory");
    return JSON_RPC_Object_Ptr(r);
}

JSON_RPC_Object_Ptr json_rpc_parse(const std::string& text, std::string* error) {
    json_spirit::Value v;
    std::string why;
    if (!json_spirit::read(text, v, &why)) {
        if (error)
            *error = "malformed JSON: " + why;
        return JSON_RPC_Object_Ptr();
    }
    return json_rpc_from_value(v, error);
}

std::string json_rpc_text(const JSON_RPC_Object& obj) {
    std::string text = json_spirit::write(json_spirit::Value(obj.dump()));
    if (!text.empty())
        text += '\n';
    return text;
}

// --- channels ---

JSON_RPC_Channel::~JSON_RPC_Channel() = default;

int JSON_RPC_Channel::send(const JSON_RPC_Response& response) {
    return send_object(response);
}

int JSON_RPC_Channel::send_error(int code, const json_spirit::Value& id, const char* message,
                                 const json_spirit::Value& data) {
    JSON_RPC_Response_Error err(code, id, message ? message : "", data);
    return send_object(err);
}

std::vector<JSON_RPC_Object_Ptr> JSON_RPC_Memory_Channel::sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

size_t JSON_RPC_Memory_Channel::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_.size();
}

void JSON_RPC_Memory_Channel::set_broken(bool broken) {
    std::lock_guard<std::mutex> lock(mutex_);
    broken_ = broken;
}

int JSON_RPC_Memory_Channel::send_object(const JSON_RPC_Object& obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_)
        return -1;
    JSON_RPC_Object* copy = clone(obj);
    if (!copy)
        return -1;
    sent_.push_back(JSON_RPC_Object_Ptr(copy));
    return 0;
}

JSON_RPC_Stream_Channel::JSON_RPC_Stream_Channel(int fd, bool once) : fd_(fd), once_(once) {}

size_t JSON_RPC_Stream_Channel::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

int JSON_RPC_Stream_Channel::send_object(const JSON_RPC_Object& obj) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (once_ && count_ > 0) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT("A JSON-RPC answer was already sent on this channel; type %d dropped.\n"),
             static_cast<int>(obj.type())));
        return -1;
    }
    std::string text = json_rpc_text(obj);
    bool ok = !text.empty() && fd_write_all(fd_, text.data(), text.size());
    if (!text.empty())
        secure_memset(&text[0], 0, text.size());  // answers may carry secrets
    if (!ok) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to send a JSON-RPC object: %m.\n")));
        return -1;
    }
    ++count_;
    return 0;
}

// --- handlers ---

JSON_RPC_Handler::~JSON_RPC_Handler() = default;
int JSON_RPC_Handler::init(int, char**) {
    return 0;
}
int JSON_RPC_Handler::fini() {
    return 0;
}

struct JSON_RPC_Thread_Pool_Handler_Impl::Pool {
    struct Item {
        JSON_RPC_Channel_Weak_Ptr channel;
        JSON_RPC_Object_Ptr obj;
    };

    Pool(size_t t, size_t c) : threads(t ? t : 1), capacity(c ? c : 1) {}

    const size_t threads;
    const size_t capacity;
    std::mutex mutex;
    std::condition_variable work_cv;
    std::condition_variable idle_cv;
    std::deque<Item> queue;
    size_t busy = 0;
    bool closed = false;
    std::vector<std::thread> workers;  // started with the first object
};

JSON_RPC_Thread_Pool_Handler_Impl::JSON_RPC_Thread_Pool_Handler_Impl(size_t threads,
                                                                     size_t capacity)
    : pool_(new Pool(threads, capacity)) {}

JSON_RPC_Thread_Pool_Handler_Impl::~JSON_RPC_Thread_Pool_Handler_Impl() {
    close();
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_object(const JSON_RPC_Channel_Weak_Ptr& channel,
                                                     const JSON_RPC_Object_Ptr& obj) {
    if (obj.null())
        return -1;
    {
        Pool& p = *pool_;
        std::lock_guard<std::mutex> lock(p.mutex);
        if (!p.closed && p.queue.size() < p.capacity) {
            if (p.workers.empty()) {
                for (size_t i = 0; i < p.threads; ++i)
                    p.workers.emplace_back(&JSON_RPC_Thread_Pool_Handler_Impl::run, this);
            }
            p.queue.push_back(Pool::Item{channel, obj});
            p.work_cv.notify_one();
            return 0;
        }
    }
    if (obj->type() == JSON_RPC_Object::TYPE_REQUEST) {
        if (std::shared_ptr<JSON_RPC_Channel> ch = channel.lock())
            ch->send_error(JSON_RPC_INTERNAL_ERROR, obj->id, "Internal error: the server is busy.",
                           json_spirit::Value());
    }
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("JSON-RPC object of type %d refused: the handler is closed or busy.\n"),
               static_cast<int>(obj->type())));
    return -1;
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_object_i(const JSON_RPC_Channel_Weak_Ptr& channel,
                                                       const JSON_RPC_Object_Ptr& obj) {
    std::shared_ptr<JSON_RPC_Channel> ch = channel.lock();
    if (!ch) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Abort handling JSON-RPC object, requester has gone.\n")));
        return -1;
    }
    JSON_RPC_Object* o = obj.get();
    switch (o->type()) {
        case JSON_RPC_Object::TYPE_REQUEST:
            return handle_request(ch.get(), *static_cast<JSON_RPC_Request*>(o));
        case JSON_RPC_Object::TYPE_NOTIFY:
            return handle_notify(ch.get(), *static_cast<JSON_RPC_Request*>(o));
        case JSON_RPC_Object::TYPE_RESPONSE:
            return handle_response(ch.get(), *static_cast<JSON_RPC_Response*>(o));
        case JSON_RPC_Object::TYPE_RESPONSE_ERROR:
            return handle_response_error(ch.get(), *static_cast<JSON_RPC_Response_Error*>(o));
        default:
            ACE_ERROR((LM_ERROR, ACE_TEXT("Unknown JSON-RPC object type %d.\n"),
                       static_cast<int>(o->type())));
            return -1;
    }
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_request(JSON_RPC_Channel* channel,
                                                      JSON_RPC_Request& request) {
    if (!channel)
        return -1;
    return channel->send_error(JSON_RPC_METHOD_NOT_FOUND, request.id, "Method not found",
                               json_spirit::Value());
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_notify(JSON_RPC_Channel*, JSON_RPC_Request&) {
    return 0;
}
int JSON_RPC_Thread_Pool_Handler_Impl::handle_response(JSON_RPC_Channel*, JSON_RPC_Response&) {
    return 0;
}
int JSON_RPC_Thread_Pool_Handler_Impl::handle_response_error(JSON_RPC_Channel*,
                                                             JSON_RPC_Response_Error&) {
    return 0;
}

void JSON_RPC_Thread_Pool_Handler_Impl::run() {
    Pool& p = *pool_;
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.work_cv.wait(lock, [&p] { return p.closed || !p.queue.empty(); });
        if (p.queue.empty())
            return;  // closed and drained
        Pool::Item item = std::move(p.queue.front());
        p.queue.pop_front();
        ++p.busy;
        lock.unlock();
        handle_object_i(item.channel, item.obj);
        item = Pool::Item();  // let go of the object outside the lock
        lock.lock();
        --p.busy;
        if (p.queue.empty() && p.busy == 0)
            p.idle_cv.notify_all();
    }
}

void JSON_RPC_Thread_Pool_Handler_Impl::wait_idle() {
    Pool& p = *pool_;
    std::unique_lock<std::mutex> lock(p.mutex);
    p.idle_cv.wait(lock, [&p] { return p.queue.empty() && p.busy == 0; });
}

void JSON_RPC_Thread_Pool_Handler_Impl::close() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(pool_->mutex);
        pool_->closed = true;
        workers.swap(pool_->workers);
        pool_->work_cv.notify_all();
    }
    for (std::thread& t : workers)
        t.join();
}
