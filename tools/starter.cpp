// starter: the servant process. Answers one JSON-RPC request through a
// module's servant handler and exits.
//
//   starter [--config FILE] [--name NAME] [--channel FD] [init args...]
//
// The request is read from the channel descriptor (one JSON text up to a
// newline or the end of input) and the one answer written back to it;
// without --channel the request comes on standard input and the answer goes
// to standard output. Logs go to standard error. --name names the servant in
// logs. Arguments after the options are ignored (the handler's init
// arguments come from the configuration).
//
// Configuration (default /etc/opt/velmora/tarnvik3/$COMPONENT/servant/smartx/svc.conf;
// product paths are resolved under HOST_ROOT), a JSON object:
//
//   {"module": "/opt/velmora/tarnvik3/lib/libsmartx.so",
//    "handlers": {"smartx.servant.backup": "SmartX_Backup_Servant_Handler",
//                 "smartx.servant.restore": {"factory": "SmartX_Restore_Servant_Handler",
//                                            "module": "...", "args": ["..."]}}}
//
// The handler is chosen by the request's method: the servant scheduler
// sends its own name ("smartx.servant.backup", "smartx.servant.restore") as
// the method, so backup and restore share one configuration file. A handler
// named F is made by the module's exported _make_F(&destroyer) and released
// with the destroyer it hands back.
//
// Exit status: 0 when an answer was sent, 1 otherwise, 2 on bad arguments.
#include <dlfcn.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>

#include "host/json_spirit/json_io.h"
#include "host/secure_memory.h"
#include "host/servant/fd_io.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant.h"

namespace {

const size_t MAX_REQUEST = 64u << 20;
const int REQUEST_TIMEOUT_MS = 60000;

typedef void (*Gobble_Function)(void*);
typedef JSON_RPC_Handler* (*Make_Function)(Gobble_Function*);

struct Handler_Config {
    std::string module;
    std::string factory;
    std::vector<std::string> args;
};

// The handler entry for a method; false with the reason in error.
bool load_config(const std::string& path, const std::string& method, Handler_Config& out,
                 std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    json_spirit::Value doc;
    std::string why;
    if (!json_spirit::read(text.str(), doc, &why) || doc.type() != json_spirit::obj_type) {
        error = path + " is not a JSON object" + (why.empty() ? std::string() : ": " + why);
        return false;
    }
    const json_spirit::Object& cfg = doc.get_obj();
    json_spirit::object_get(cfg, "module", out.module);
    const json_spirit::Object* handlers = json_spirit::object_get_object(cfg, "handlers");
    const json_spirit::Value* entry =
        handlers ? json_spirit::object_get_value(*handlers, method) : nullptr;
    if (!entry) {
        error = "no handler for method " + method;
        return false;
    }
    if (entry->type() == json_spirit::str_type) {
        out.factory = entry->get_str();
    } else if (entry->type() == json_spirit::obj_type) {
        const json_spirit::Object& e = entry->get_obj();
        json_spirit::object_get(e, "factory", out.factory);
        json_spirit::object_get(e, "module", out.module);
        if (const json_spirit::Array* args = json_spirit::object_get_array(e, "args")) {
            for (const auto& a : *args) {
                if (a.type() != json_spirit::str_type) {
                    error = "an argument of the handler of " + method + " is not a string";
                    return false;
                }
                out.args.push_back(a.get_str());
            }
        }
    }
    if (out.factory.empty() || out.module.empty()) {
        error = "the handler of " + method + " lacks a factory or a module";
        return false;
    }
    out.module = resolve_product_path(out.module);
    return true;
}

// Credentials arrive as plain JSON strings; keep them in wiping strings from
// here on.
void secure_secrets(json_spirit::Value& v) {
    if (v.type() == json_spirit::array_type) {
        for (auto& e : v.get_array())
            secure_secrets(e);
    } else if (v.type() == json_spirit::obj_type) {
        json_spirit::secure_credentials(v.get_obj());
        for (auto& kv : v.get_obj())
            secure_secrets(kv.second);
    }
}

int usage() {
    std::fprintf(stderr, "usage: starter [--config FILE] [--name NAME] [--channel FD]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config, name = "starter";
    int in_fd = 0, out_fd = 1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--config" || a == "--name" || a == "--channel") && i + 1 >= argc)
            return usage();
        if (a == "--config") {
            config = argv[++i];
        } else if (a == "--name") {
            name = argv[++i];
        } else if (a == "--channel") {
            char* end = nullptr;
            long fd = std::strtol(argv[++i], &end, 10);
            if (!*argv[i] || *end || fd < 0 || fd > 1024)
                return usage();
            in_fd = out_fd = static_cast<int>(fd);
            // Nothing the handler starts may hold our channel open.
            if (!fd_set_cloexec(in_fd)) {
                std::fprintf(stderr, "starter: bad channel descriptor %ld\n", fd);
                return 2;
            }
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    ACE_LOG_MSG->open(name.c_str(), ACE_Log_Msg::STDERR);
    ::prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
    if (config.empty())
        config = SERVANT_DEFAULT_CONFIG;
    config = resolve_product_path(config);

    auto channel = std::make_shared<JSON_RPC_Stream_Channel>(out_fd, true);
    std::string text;
    int r = fd_read_line(in_fd, text, MAX_REQUEST, REQUEST_TIMEOUT_MS);
    if (r <= 0) {
        if (r < 0)
            ACE_ERROR(
                (LM_ERROR, ACE_TEXT("Servant %C failed to read its request: %m.\n"), name.c_str()));
        else
            ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C got no request.\n"), name.c_str()));
        return 1;
    }
    std::string why;
    JSON_RPC_Object_Ptr obj = json_rpc_parse(text, &why);
    if (!text.empty())
        secure_memset(&text[0], 0, text.size());
    if (obj.null()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C got a request it cannot read: %C.\n"),
                   name.c_str(), why.c_str()));
        return channel->send_error(-32700, json_spirit::Value(), "Parse error",
                                   json_spirit::Value()) == 0
                   ? 0
                   : 1;
    }
    if (obj->type() != JSON_RPC_Object::TYPE_REQUEST) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Servant %C got a JSON-RPC object of type %d, not a request.\n"),
                   name.c_str(), static_cast<int>(obj->type())));
        if (obj->type() == JSON_RPC_Object::TYPE_NOTIFY)
            return 1;
        return channel->send_error(-32600, json_spirit::Value(), "Invalid Request",
                                   json_spirit::Value()) == 0
                   ? 0
                   : 1;
    }
    JSON_RPC_Request& request = *static_cast<JSON_RPC_Request*>(obj.get());
    secure_secrets(request.params);

    auto fail = [&](int code, const char* message) {
        return channel->send_error(code, request.id, message, json_spirit::Value()) == 0 ? 0 : 1;
    };
    Handler_Config hc;
    std::string error;
    if (!load_config(config, request.method, hc, error)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C cannot find its handler: %C.\n"), name.c_str(),
                   error.c_str()));
        if (error.compare(0, 15, "no handler for ") == 0)
            return fail(-32601, "Method not found");
        return fail(-32603, "Internal error: the servant configuration cannot be used.");
    }
    void* module = ::dlopen(hc.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C cannot load %C: %C.\n"), name.c_str(),
                   hc.module.c_str(), dlerror()));
        return fail(-32603, "Internal error: the servant module cannot be loaded.");
    }
    std::string make_name = "_make_" + hc.factory;
    Make_Function make = reinterpret_cast<Make_Function>(::dlsym(module, make_name.c_str()));
    Gobble_Function gobble = nullptr;
    JSON_RPC_Handler* handler = make ? make(&gobble) : nullptr;
    if (!handler) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Servant %C cannot make its handler with %C in %C.\n"),
                   name.c_str(), make_name.c_str(), hc.module.c_str()));
        return fail(-32603, "Internal error: the servant handler cannot be made.");
    }

    std::vector<char*> args;
    for (std::string& a : hc.args)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    int status = 1;
    if (handler->init(static_cast<int>(args.size() - 1), args.data()) != 0) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Servant %C: its handler failed to initialise.\n"), name.c_str()));
        status = fail(-32603, "Internal error: the servant handler failed to initialise.");
    } else {
        handler->handle_object(JSON_RPC_Channel_Weak_Ptr(channel), obj);
        if (channel->count() == 0)
            ACE_ERROR(
                (LM_ERROR, ACE_TEXT("Servant %C: its handler sent no answer.\n"), name.c_str()));
        else
            status = 0;
        handler->fini();
    }
    if (gobble)
        gobble(handler);
    return status;
}
