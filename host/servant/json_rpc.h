// The host's JSON-RPC 2.0 layer: objects, channels that carry them, and the
// handler interfaces that modules implement (servant handlers answer one
// request per call on the caller's thread; thread-pool handlers take objects
// on pool threads).
//
// Wire form: one JSON text per object, ended by a newline (compact JSON never
// holds a raw newline).
#ifndef HOST_SERVANT_JSON_RPC_H
#define HOST_SERVANT_JSON_RPC_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Refcounted_Auto_Ptr.h>

#include "host/json_spirit/value.h"

// JSON-RPC 2.0 error codes.
enum JSON_RPC_Error_Code {
    JSON_RPC_PARSE_ERROR = -32700,
    JSON_RPC_INVALID_REQUEST = -32600,
    JSON_RPC_METHOD_NOT_FOUND = -32601,
    JSON_RPC_INVALID_PARAMS = -32602,
    JSON_RPC_INTERNAL_ERROR = -32603,
};

class JSON_RPC_Object {
public:
    enum Type {
        TYPE_NONE = 0,
        TYPE_NOTIFY = 1,
        TYPE_REQUEST = 2,
        TYPE_RESPONSE = 3,
        TYPE_RESPONSE_ERROR = 4
    };

    virtual ~JSON_RPC_Object();

    Type type() const { return type_; }
    // Null for a notification, and for an error answering a request whose id
    // could not be read.
    json_spirit::Value id;

    // The wire form {"jsonrpc": "2.0", ...}.
    virtual json_spirit::Object dump() const = 0;

protected:
    explicit JSON_RPC_Object(Type type) : type_(type) {}
    JSON_RPC_Object(const JSON_RPC_Object&) = default;
    JSON_RPC_Object& operator=(const JSON_RPC_Object&) = default;
    void set_type(Type type) { type_ = type; }

private:
    Type type_;
};

typedef ACE_Refcounted_Auto_Ptr<JSON_RPC_Object, ACE_Recursive_Thread_Mutex> JSON_RPC_Object_Ptr;

// A request, or a notification when it has no id (TYPE_NOTIFY).
class JSON_RPC_Request : public JSON_RPC_Object {
public:
    JSON_RPC_Request() : JSON_RPC_Object(TYPE_REQUEST) {}
    JSON_RPC_Request(const std::string& method, const json_spirit::Value& params,
                     const json_spirit::Value& id);

    std::string method;
    json_spirit::Value params;  // object, array or null (absent)

    // A request without an id is a notification.
    void set_notify(bool notify) { set_type(notify ? TYPE_NOTIFY : TYPE_REQUEST); }
    json_spirit::Object dump() const override;
};

class JSON_RPC_Response : public JSON_RPC_Object {
public:
    JSON_RPC_Response() : JSON_RPC_Object(TYPE_RESPONSE) {}
    // The response to a request: takes its id.
    explicit JSON_RPC_Response(const JSON_RPC_Object& request) : JSON_RPC_Object(TYPE_RESPONSE) {
        id = request.id;
    }

    json_spirit::Value result;

    json_spirit::Object dump() const override;
};

class JSON_RPC_Response_Error : public JSON_RPC_Object {
public:
    JSON_RPC_Response_Error() : JSON_RPC_Object(TYPE_RESPONSE_ERROR) {}
    JSON_RPC_Response_Error(int code, const json_spirit::Value& id, const std::string& message,
                            const json_spirit::Value& data);

    int code = 0;
    std::string message;
    json_spirit::Value data;  // null: left out

    json_spirit::Object dump() const override;
};

// The object a wire value describes; null (with the reason in *error) when it
// is none: not an object, a "jsonrpc" other than "2.0", neither "method" nor
// "result" nor a well-formed "error".
JSON_RPC_Object_Ptr json_rpc_from_value(const json_spirit::Value& v, std::string* error = nullptr);
// One object from its wire text (a trailing newline is allowed).
JSON_RPC_Object_Ptr json_rpc_parse(const std::string& text, std::string* error = nullptr);
// The wire text of one object, newline included; empty when it cannot be
// written.
std::string json_rpc_text(const JSON_RPC_Object& obj);

// Where answers go. Channels may be shared by several threads.
class JSON_RPC_Channel {
public:
    virtual ~JSON_RPC_Channel();

    // 0 when the response went out, -1 otherwise.
    virtual int send(const JSON_RPC_Response& response);
    // Sends an error answer; message may be null (then empty), data null
    // leaves "data" out.
    int send_error(int code, const json_spirit::Value& id, const char* message,
                   const json_spirit::Value& data);

protected:
    // Every object leaves through here.
    virtual int send_object(const JSON_RPC_Object& obj) = 0;
};

typedef std::weak_ptr<JSON_RPC_Channel> JSON_RPC_Channel_Weak_Ptr;

// Keeps what is sent, for hosts that collect answers in-process.
class JSON_RPC_Memory_Channel : public JSON_RPC_Channel {
public:
    // The objects sent so far, in order.
    std::vector<JSON_RPC_Object_Ptr> sent() const;
    size_t count() const;
    // Makes every later send fail (-1), as a broken connection would.
    void set_broken(bool broken);

protected:
    int send_object(const JSON_RPC_Object& obj) override;

private:
    mutable std::mutex mutex_;
    std::vector<JSON_RPC_Object_Ptr> sent_;
    bool broken_ = false;
};

// Writes objects to a descriptor (socket or pipe) in the wire form. With
// once, only the first object goes out; later sends fail and are logged.
class JSON_RPC_Stream_Channel : public JSON_RPC_Channel {
public:
    JSON_RPC_Stream_Channel(int fd, bool once);
    size_t count() const;

protected:
    int send_object(const JSON_RPC_Object& obj) override;

private:
    mutable std::mutex mutex_;
    int fd_;
    bool once_;
    size_t count_ = 0;
};

// What a module implements. The host calls init once with its configured
// arguments (argv[0] is the first argument, not a program name), then
// handle_object for each object received, then fini.
class JSON_RPC_Handler {
public:
    virtual ~JSON_RPC_Handler();
    virtual int init(int argc, char** argv);
    virtual int fini();
    // Answers through the channel; returns what the channel's send returned,
    // or -1 when nothing could be answered.
    virtual int handle_object(const JSON_RPC_Channel_Weak_Ptr& channel,
                              const JSON_RPC_Object_Ptr& obj) = 0;
};

// A handler whose objects are taken up by its own pool of threads:
// handle_object queues and returns at once; a pool thread runs
// handle_object_i, which hands the object by type to handle_request,
// handle_notify, handle_response or handle_response_error.
//
// Pool threads call the virtual slots, so the host calls close() before it
// destroys the handler (the destructor only catches a forgotten close).
class JSON_RPC_Thread_Pool_Handler_Impl : public JSON_RPC_Handler {
public:
    enum { DEFAULT_THREADS = 4, DEFAULT_CAPACITY = 1024 };

    explicit JSON_RPC_Thread_Pool_Handler_Impl(size_t threads = DEFAULT_THREADS,
                                               size_t capacity = DEFAULT_CAPACITY);
    ~JSON_RPC_Thread_Pool_Handler_Impl() override;

    // 0 when queued. A full queue answers a request with -32603 at once and
    // gives -1; so do a closed handler and a null object.
    int handle_object(const JSON_RPC_Channel_Weak_Ptr& channel,
                      const JSON_RPC_Object_Ptr& obj) override;
    virtual int handle_object_i(const JSON_RPC_Channel_Weak_Ptr& channel,
                                const JSON_RPC_Object_Ptr& obj);
    // Default: -32601 "Method not found".
    virtual int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request);
    // Defaults: ignored (0).
    virtual int handle_notify(JSON_RPC_Channel* channel, JSON_RPC_Request& notify);
    virtual int handle_response(JSON_RPC_Channel* channel, JSON_RPC_Response& response);
    virtual int handle_response_error(JSON_RPC_Channel* channel, JSON_RPC_Response_Error& error);

    // Blocks until every queued object has been handled.
    void wait_idle();
    // Stops taking objects, lets the queued ones finish and joins the pool.
    void close();

private:
    struct Pool;
    void run();

    std::unique_ptr<Pool> pool_;
};

#endif
