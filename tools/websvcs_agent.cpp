// websvcs-agent: the console's web-services agent. Loads the module, makes
// its list, login and instance handlers and serves them as JSON-RPC 2.0 over
// HTTP on 127.0.0.1.
//
//   websvcs-agent [--module PATH] [--port N] [--max-request BYTES]
//                 [--timeout SECONDS] [--idle-timeout SECONDS]
//                 [--read-timeout SECONDS] [--threads N] [--list-arg ARG]...
//
// It prints "listening on http://127.0.0.1:PORT" (port 0, the default: a
// free one) and serves until SIGINT, SIGTERM or SIGHUP. POST /jsonrpc takes
// one request object; the method chooses the handler:
//
//   "smartx.list"            the list handler (browse, search, VM check, disks)
//   "smartx.login"           the login handler (login test)
//   "smartx.instances"       the instance handler's instances, by name
//   "smartx.instance.state"  {"name"}: the instance's state
//
// Every answer is HTTP 200 with the JSON-RPC answer, but a notification gets
// 204 and no body. A body larger than --max-request (default 1 MiB) gets 413
// with a -32600 error, one that is not JSON or nests deeper than 512 levels
// -32700, a JSON value that is not one request -32600, an unknown method
// -32601, ambiguous framing (two Content-Length headers, Content-Length with
// Transfer-Encoding, ...) or a header line the parser would drop (no colon,
// continued, not ended by CR LF) 400 with a -32600 error. A head over 32 KiB,
// over 100 header lines or with a header line over 8 KiB gets 431 (a chunk
// line over 8 KiB 400). A connection waits --idle-timeout (default 5 s) for a
// request, which must have come whole --read-timeout (default 10 s) after
// the connection was ready for it, pausing 5 s at most, else 408; either
// closes it, as does any answer of 400 or above. --threads (default 32)
// connections are served at once. --list-arg passes an init argument to the
// list handler (--list-arg --zbs-timeout --list-arg 5000). A port another
// server listens on is not shared: the agent exits 1 naming it.
// Logs go to standard error; request params never do.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ace/Log_Msg.h>
#include <httplib.h>

#include "host/instance_handler.h"
#include "host/json_nesting.h"
#include "host/json_spirit/json_io.h"
#include "host/secure_memory.h"
#include "host/servant/json_rpc.h"
#include "tools/websvcs_agent_http.h"

namespace {

typedef void (*Gobble_Function)(void*);
typedef JSON_RPC_Handler* (*Make_Handler)(Gobble_Function*);
typedef Instance_Handler* (*Make_Instance_Handler)(Gobble_Function*);

const long MAX_THREADS = 1024;

struct Options {
    std::string module = DEFAULT_MODULE_PATH;
    int port = 0;
    size_t max_request = 1u << 20;
    int timeout_s = 300;
    Http_Limits http;
    std::vector<std::string> list_args;
};

// Takes the one answer of one HTTP request from a handler's pool thread.
class Answer_Channel : public JSON_RPC_Channel {
public:
    // The answer's wire text; false when none came in time.
    bool wait(std::chrono::seconds limit, std::string& text) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, limit, [this] { return answered_; }))
            return false;
        text.swap(text_);
        return true;
    }

protected:
    int send_object(const JSON_RPC_Object& obj) override {
        std::string text = json_rpc_text(obj);
        std::lock_guard<std::mutex> lock(mutex_);
        if (answered_ || text.empty())
            return -1;
        text_.swap(text);
        answered_ = true;
        cv_.notify_all();
        return 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string text_;
    bool answered_ = false;
};

std::string error_text(int code, const json_spirit::Value& id, const std::string& message) {
    const std::string text =
        json_rpc_text(JSON_RPC_Response_Error(code, id, message, json_spirit::Value()));
    // An id without text (a number beyond a double) is answered as null.
    return text.empty() && !id.is_null() ? error_text(code, json_spirit::Value(), message) : text;
}

// Credentials among the params go into wiping strings.
void secure_credentials(json_spirit::Value& params) {
    if (params.type() == json_spirit::obj_type)
        json_spirit::secure_credentials(params.get_obj());
}

class Agent {
public:
    Agent(const Options& options, JSON_RPC_Handler* list, JSON_RPC_Handler* login,
          Instance_Handler* instances)
        : options_(options), list_(list), login_(login), instances_(instances) {}

    // The HTTP status and body for one request body.
    int answer(std::string& body, std::string& out) {
        if (nested_deeper(body, JSON_MAX_DEPTH)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a request nested deeper than %u levels.\n"),
                       static_cast<unsigned>(JSON_MAX_DEPTH)));
            out = error_text(JSON_RPC_PARSE_ERROR, json_spirit::Value(), "Parse error");
            return 200;
        }
        json_spirit::Value doc;
        std::string why;
        const bool read = json_spirit::read(body, doc, &why);
        secure_memset(&body[0], 0, body.size());
        if (!read) {
            ACE_ERROR(
                (LM_ERROR, ACE_TEXT("Refused a request that is not JSON: %C.\n"), why.c_str()));
            out = error_text(JSON_RPC_PARSE_ERROR, json_spirit::Value(), "Parse error");
            return 200;
        }
        JSON_RPC_Object_Ptr obj = json_rpc_from_value(doc, &why);
        if (obj.null() || (obj->type() != JSON_RPC_Object::TYPE_REQUEST &&
                           obj->type() != JSON_RPC_Object::TYPE_NOTIFY)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a JSON text that is not a request%C%C.\n"),
                       why.empty() ? "" : ": ", why.c_str()));
            json_spirit::Value id;
            if (doc.type() == json_spirit::obj_type)
                json_spirit::object_get(doc.get_obj(), "id", id);
            out = error_text(JSON_RPC_INVALID_REQUEST, id, "Invalid Request");
            return 200;
        }
        JSON_RPC_Request& request = *static_cast<JSON_RPC_Request*>(obj.get());
        secure_credentials(request.params);
        const bool notify = obj->type() == JSON_RPC_Object::TYPE_NOTIFY;

        if (request.method == "smartx.instances" || request.method == "smartx.instance.state") {
            if (!notify)
                out = instance_answer(request);
            return notify ? 204 : 200;
        }
        JSON_RPC_Handler* handler = request.method == "smartx.list"    ? list_
                                    : request.method == "smartx.login" ? login_
                                                                       : nullptr;
        if (!handler) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a request for the unknown method %C.\n"),
                       request.method.c_str()));
            if (notify)
                return 204;
            out = error_text(JSON_RPC_METHOD_NOT_FOUND, request.id, "Method not found");
            return 200;
        }
        auto channel = std::make_shared<Answer_Channel>();
        handler->handle_object(JSON_RPC_Channel_Weak_Ptr(channel), obj);
        if (notify)
            return 204;
        if (!channel->wait(std::chrono::seconds(options_.timeout_s), out)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("A %C request got no answer within %d s.\n"),
                       request.method.c_str(), options_.timeout_s));
            out = error_text(JSON_RPC_INTERNAL_ERROR, request.id, "Internal error: no answer.");
        }
        return 200;
    }

private:
    // The instance handler is no JSON-RPC handler: the agent asks it itself.
    std::string instance_answer(const JSON_RPC_Request& request) {
        JSON_RPC_Response response(request);
        if (request.method == "smartx.instances") {
            Instance_Map instances;
            if (instances_->probe_instances(instances) != 0)
                return error_text(JSON_RPC_INTERNAL_ERROR, request.id,
                                  "Internal error: failed to probe instances.");
            json_spirit::Object result;
            for (const auto& kv : instances) {
                json_spirit::Object o;
                o["type"] = kv.second->type;
                o["name"] = kv.second->name;
                o["options"] = kv.second->options;
                result[kv.first] = std::move(o);
            }
            response.result = std::move(result);
        } else {
            const std::string* name =
                request.params.type() == json_spirit::obj_type
                    ? json_spirit::object_get_str(request.params.get_obj(), "name")
                    : nullptr;
            if (!name)
                return error_text(JSON_RPC_INVALID_PARAMS, request.id,
                                  "Invalid params: 'name' is expected as string in params.");
            std::string state;
            json_spirit::Object result;
            result["name"] = *name;
            result["state"] = instances_->get_state(name->c_str(), state);
            response.result = std::move(result);
        }
        return json_rpc_text(response);
    }

    const Options& options_;
    JSON_RPC_Handler* list_;
    JSON_RPC_Handler* login_;
    Instance_Handler* instances_;
};

int usage() {
    const Options d;
    std::fprintf(
        stderr,
        "usage: websvcs-agent [--module PATH] [--port N] [--max-request BYTES] "
        "[--timeout SECONDS] [--idle-timeout SECONDS] [--read-timeout SECONDS] "
        "[--threads N] [--list-arg ARG]...\n"
        "  --module PATH           the module (default %s)\n"
        "  --port N                port on 127.0.0.1 (default 0: a free one)\n"
        "  --max-request BYTES     largest request body (default %zu; larger: 413)\n"
        "  --timeout SECONDS       wait for a handler's answer (default %d)\n"
        "  --idle-timeout SECONDS  wait for a request's first byte (default %lld), then close\n"
        "  --read-timeout SECONDS  the whole request, head and body, must be in this long\n"
        "                          after the connection was ready for it (default %lld),\n"
        "                          and it may pause %lld s at most: else 408\n"
        "  --threads N             connections served at once (default %zu)\n"
        "  --list-arg ARG          an init argument of the list handler (repeatable)\n",
        d.module.c_str(), d.max_request, d.timeout_s, static_cast<long long>(d.http.idle.count()),
        static_cast<long long>(d.http.request.count()), static_cast<long long>(d.http.io.count()),
        d.http.threads);
    return 2;
}

bool parse_number(const char* text, long min, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return *text && !*end && errno == 0 && out >= min && out <= max;
}

// A made handler with the destroyer the module handed back.
template <class H>
struct Made {
    H* handler = nullptr;
    Gobble_Function gobble = nullptr;
    ~Made() {
        if (handler && gobble)
            gobble(handler);
    }
};

template <class H, class Make>
bool make(void* module, const char* factory, Made<H>& out) {
    const std::string name = std::string("_make_") + factory;
    Make fn = reinterpret_cast<Make>(::dlsym(module, name.c_str()));
    out.handler = fn ? fn(&out.gobble) : nullptr;
    if (!out.handler)
        std::fprintf(stderr, "websvcs-agent: cannot make a handler with %s\n", name.c_str());
    return out.handler != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* value = argv[++i];
        long n = 0;
        if (a == "--module") {
            options.module = value;
        } else if (a == "--port" && parse_number(value, 0, 65535, n)) {
            options.port = static_cast<int>(n);
        } else if (a == "--max-request" && parse_number(value, 1, 1L << 30, n)) {
            options.max_request = static_cast<size_t>(n);
        } else if (a == "--timeout" && parse_number(value, 1, 86400, n)) {
            options.timeout_s = static_cast<int>(n);
        } else if (a == "--idle-timeout" && parse_number(value, 1, 86400, n)) {
            options.http.idle = std::chrono::seconds(n);
        } else if (a == "--read-timeout" && parse_number(value, 1, 86400, n)) {
            options.http.request = std::chrono::seconds(n);
        } else if (a == "--threads" && parse_number(value, 1, MAX_THREADS, n)) {
            options.http.threads = static_cast<size_t>(n);
        } else if (a == "--list-arg") {
            options.list_args.push_back(value);
        } else {
            return usage();
        }
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The priority leads each line ("LM_ERROR@..."), after the time.
    ACE_LOG_MSG->open("websvcs-agent", ACE_Log_Msg::STDERR);
    ACE_LOG_MSG->set_flags(ACE_Log_Msg::VERBOSE_LITE);

    void* module = ::dlopen(options.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "websvcs-agent: cannot load %s: %s\n", options.module.c_str(),
                     dlerror());
        return 1;
    }
    Made<JSON_RPC_Handler> list, login;
    Made<Instance_Handler> instances;
    if (!make<JSON_RPC_Handler, Make_Handler>(module, "JSON_RPC_SmartX_List_Handler", list) ||
        !make<JSON_RPC_Handler, Make_Handler>(module, "JSON_RPC_SmartX_Login_Handler", login) ||
        !make<Instance_Handler, Make_Instance_Handler>(module, "SmartX_Instance_Handler",
                                                       instances))
        return 1;
    std::vector<char*> list_argv;
    for (std::string& a : options.list_args)
        list_argv.push_back(&a[0]);
    list_argv.push_back(nullptr);
    if (list.handler->init(static_cast<int>(list_argv.size() - 1), list_argv.data()) != 0 ||
        login.handler->init(0, list_argv.data() + list_argv.size() - 1) != 0 ||
        instances.handler->init(0, list_argv.data() + list_argv.size() - 1) != 0) {
        std::fprintf(stderr, "websvcs-agent: a handler failed to initialise\n");
        return 1;
    }

    Agent agent(options, list.handler, login.handler, instances.handler);
    Agent_Http_Server server(options.http, [](httplib::Response& res) {
        res.set_content(
            error_text(JSON_RPC_INVALID_REQUEST, json_spirit::Value(), "Invalid Request"),
            "application/json");
    });
    server.Post("/jsonrpc", [&](const httplib::Request&, httplib::Response& res,
                                const httplib::ContentReader& reader) {
        std::string body;
        bool too_large = false;
        // Past the limit the rest is read and dropped, so that the client
        // still gets the answer; a client that sends without end is cut off.
        const size_t drop_limit = options.max_request * 4 + (16u << 20);
        size_t seen = 0;
        const bool whole = reader([&](const char* data, size_t len) {
            seen += len;
            if (!too_large && body.size() + len <= options.max_request) {
                body.append(data, len);
                return true;
            }
            if (!too_large && !body.empty())
                secure_memset(&body[0], 0, body.size());
            too_large = true;
            body.clear();
            return seen <= drop_limit;
        });
        std::string out;
        int status = 200;
        if (!whole && !too_large) {
            // The client left or was too slow: whatever is answered goes nowhere.
            if (!body.empty())
                secure_memset(&body[0], 0, body.size());
            status = 408;
        } else if (too_large) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Refused a request larger than %u bytes.\n"),
                       static_cast<unsigned>(options.max_request)));
            status = 413;
            out = error_text(
                JSON_RPC_INVALID_REQUEST, json_spirit::Value(),
                "Invalid Request: larger than " + std::to_string(options.max_request) + " bytes");
        } else {
            status = agent.answer(body, out);
        }
        res.status = status;
        if (!out.empty())
            res.set_content(out, "application/json");
        if (!out.empty())
            secure_memset(&out[0], 0, out.size());  // a login answer holds a token
    });

    errno = 0;
    const int port = options.port == 0
                         ? server.bind_to_any_port("127.0.0.1")
                         : (server.bind_to_port("127.0.0.1", options.port) ? options.port : -1);
    if (port <= 0) {
        // A port another server listens on is refused here, not shared.
        const int error = errno;
        std::fprintf(stderr, "websvcs-agent: cannot listen on 127.0.0.1:%d%s%s\n", options.port,
                     error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
        return 1;
    }
    std::thread serving([&server] { server.listen_after_bind(); });
    std::printf("listening on http://127.0.0.1:%d\n", port);
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.shut_down();
    serving.join();
    // Pool threads call the handlers' slots: stop them before fini.
    for (JSON_RPC_Handler* h : {list.handler, login.handler})
        if (auto* pool = dynamic_cast<JSON_RPC_Thread_Pool_Handler_Impl*>(h))
            pool->close();
    list.handler->fini();
    login.handler->fini();
    instances.handler->fini();
    return 0;
}
