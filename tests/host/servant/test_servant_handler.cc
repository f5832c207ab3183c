// A servant handler for tests, loaded by the starter program like a
// module's. The request's params say what to do ("action"):
//
//   echo        {"code": 0, "params", "method", "handler", "secure_secrets": n}
//   code        {"code": params.code}
//   attempts    appends a line to params.file; answers params.codes[n - 1]
//               (the last one once they run out) for the n-th attempt
//   error       JSON-RPC error params.error_code with params.message (or none)
//   crash       abort()
//   exit        _exit(params.status) without an answer
//   silent      answers nothing and returns
//   twice       answers {"code": 0} twice
//   barrier     marker file in params.dir named by its pid; waits (30 s at
//               most) until params.expect markers exist, then answers the
//               most markers it saw
//   block       touches params.started, then waits (60 s at most) for
//               params.release to exist; {"code": 0}
//   hang        answers {"code": 0}, then sleeps
//   linger      answers {"code": 0} (with params.reply false: shuts its
//               channel instead), closes its standard output and error, then
//               sleeps params.seconds
//   env         {"code": 0, "env": {name: value or null for params.vars},
//               "fds": [open descriptors], "argv": [...], "init_args": [...]}
//   log         writes params.lines to standard error and {"code": 0}
//
// A handler made with init argument "--fail-init" fails its init; one made
// with "--params=JSON" takes those params for a request without an action
// (a module's request, e.g. a backup's).
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"

namespace {

// The scheduler starts servants with their channel on descriptor 3.
const int CHANNEL_FD = 3;

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

int count_secure(const Value& v) {
    switch (v.type()) {
        case json_spirit::secure_str_type:
            return 1;
        case json_spirit::obj_type: {
            int n = 0;
            for (const auto& kv : v.get_obj())
                n += count_secure(kv.second);
            return n;
        }
        case json_spirit::array_type: {
            int n = 0;
            for (const auto& e : v.get_array())
                n += count_secure(e);
            return n;
        }
        default:
            return 0;
    }
}

// Markers in dir: all of them, and those whose name starts with "<owner>.".
int count_markers(const std::string& dir) {
    int all = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            all += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
        ::closedir(d);
    }
    return all;
}

std::vector<std::string> read_cmdline() {
    std::vector<std::string> out;
    std::ifstream in("/proc/self/cmdline");
    std::string arg;
    while (std::getline(in, arg, '\0'))
        out.push_back(arg);
    return out;
}

Array open_fds() {
    Array out;
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return out;
    int self = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = std::atoi(e->d_name);
        if (fd != self)
            out.push_back(fd);
    }
    ::closedir(d);
    return out;
}

class Test_Servant_Handler : public JSON_RPC_Handler {
public:
    explicit Test_Servant_Handler(const char* kind) : kind_(kind) {}

    int init(int argc, char** argv) override {
        for (int i = 0; i < argc; ++i)
            init_args_.push_back(argv[i]);
        for (const std::string& a : init_args_) {
            if (a == "--fail-init")
                return -1;
            if (a.compare(0, 9, "--params=") == 0 &&
                (!json_spirit::read(a.substr(9), default_params_) ||
                 default_params_.type() != json_spirit::obj_type))
                return -1;
        }
        return 0;
    }

    int handle_object(const JSON_RPC_Channel_Weak_Ptr& channel,
                      const JSON_RPC_Object_Ptr& obj) override {
        std::shared_ptr<JSON_RPC_Channel> ch = channel.lock();
        if (!ch || obj.null() || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
            return -1;
        const JSON_RPC_Request& req = *static_cast<const JSON_RPC_Request*>(obj.get());
        if (req.params.type() != json_spirit::obj_type)
            return ch->send_error(-32602, req.id, "Invalid params", Value());
        std::string action;
        json_spirit::object_get(req.params.get_obj(), "action", action);
        const bool own = action.empty() && default_params_.type() == json_spirit::obj_type;
        const Object& p = own ? default_params_.get_obj() : req.params.get_obj();
        if (own)
            json_spirit::object_get(p, "action", action);
        Object result;
        result["code"] = 0;

        if (action == "echo") {
            result["params"] = req.params;
            result["method"] = req.method;
            result["handler"] = kind_;
            result["secure_secrets"] = count_secure(req.params);
        } else if (action == "code") {
            int code = 0;
            json_spirit::object_get(p, "code", code);
            result["code"] = code;
        } else if (action == "attempts") {
            std::string file;
            json_spirit::object_get(p, "file", file);
            std::ofstream(file, std::ios::app) << "attempt\n";
            int n = 0;
            std::ifstream in(file);
            for (std::string line; std::getline(in, line);)
                ++n;
            const Array* codes = json_spirit::object_get_array(p, "codes");
            int code = 1;
            if (codes && !codes->empty())
                code = (*codes)[std::min<size_t>(n, codes->size()) - 1].get_int();
            result["code"] = code;
        } else if (action == "error") {
            int code = 0;
            json_spirit::object_get(p, "error_code", code);
            const std::string* message = json_spirit::object_get_str(p, "message");
            return ch->send_error(code, req.id, message ? message->c_str() : nullptr, Value());
        } else if (action == "crash") {
            std::abort();
        } else if (action == "exit") {
            int status = 0;
            json_spirit::object_get(p, "status", status);
            std::fflush(nullptr);
            ::_exit(status);
        } else if (action == "silent") {
            return -1;
        } else if (action == "twice") {
            JSON_RPC_Response r(req);
            r.result = result;
            ch->send(r);
            return ch->send(r);
        } else if (action == "barrier") {
            std::string dir;
            int expect = 1;
            json_spirit::object_get(p, "dir", dir);
            json_spirit::object_get(p, "expect", expect);
            std::string marker = dir + "/" + std::to_string(::getpid());
            std::ofstream(marker).put('x');
            int max_all = 0;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while ((max_all = std::max(max_all, count_markers(dir))) < expect &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // Give a servant that should not be running a chance to show up.
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            max_all = std::max(max_all, count_markers(dir));
            std::remove(marker.c_str());
            result["max_total"] = max_all;
        } else if (action == "block") {
            std::string started, release;
            json_spirit::object_get(p, "started", started);
            json_spirit::object_get(p, "release", release);
            std::ofstream(started).put('x');
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!exists(release) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else if (action == "hang") {
            JSON_RPC_Response r(req);
            r.result = result;
            ch->send(r);
            std::this_thread::sleep_for(std::chrono::seconds(120));
            return 0;
        } else if (action == "linger") {
            bool reply = true;
            double seconds = 0;
            json_spirit::object_get(p, "reply", reply);
            json_spirit::object_get(p, "seconds", seconds);
            if (reply) {
                JSON_RPC_Response r(req);
                r.result = result;
                ch->send(r);
            } else {
                ::shutdown(CHANNEL_FD, SHUT_RDWR);
            }
            std::fflush(nullptr);
            ::close(STDOUT_FILENO);
            ::close(STDERR_FILENO);
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            return 0;
        } else if (action == "env") {
            Object env;
            if (const Array* vars = json_spirit::object_get_array(p, "vars")) {
                for (const Value& v : *vars) {
                    const char* value = std::getenv(v.get_str().c_str());
                    env[v.get_str()] = value ? Value(value) : Value();
                }
            }
            result["env"] = env;
            result["fds"] = open_fds();
            Array argv, init_args;
            for (const std::string& a : read_cmdline())
                argv.push_back(a);
            for (const std::string& a : init_args_)
                init_args.push_back(a);
            result["argv"] = argv;
            result["init_args"] = init_args;
            char cwd[4096];
            result["cwd"] = ::getcwd(cwd, sizeof cwd) ? cwd : "";
        } else if (action == "log") {
            if (const Array* lines = json_spirit::object_get_array(p, "lines"))
                for (const Value& l : *lines)
                    std::fprintf(stderr, "%s\n", l.get_str().c_str());
            std::fflush(stderr);
        } else {
            return ch->send_error(-32602, req.id, "Invalid params", Value());
        }
        JSON_RPC_Response r(req);
        r.result = result;
        return ch->send(r);
    }

private:
    std::string kind_;
    std::vector<std::string> init_args_;
    Value default_params_;
};

void gobble(void* p) {
    delete static_cast<JSON_RPC_Handler*>(p);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) JSON_RPC_Handler* _make_Test_Servant_Handler(
    void (**g)(void*)) {
    if (g)
        *g = gobble;
    return new Test_Servant_Handler("test");
}

extern "C" __attribute__((visibility("default"))) JSON_RPC_Handler*
_make_Test_Other_Servant_Handler(void (**g)(void*)) {
    if (g)
        *g = gobble;
    return new Test_Servant_Handler("other");
}

extern "C" __attribute__((visibility("default"))) void _gobble_Test_Servant_Handler(void* p) {
    gobble(p);
}
extern "C" __attribute__((visibility("default"))) void _gobble_Test_Other_Servant_Handler(void* p) {
    gobble(p);
}
