// The console's list and login handlers, given request bodies as the
// web-services agent hands them over: nesting bounded, the JSON read, one
// request object, credentials in wiping strings, the handler the method
// names. Each request gets exactly one answer carrying its id.
//
// Nothing leaves the machine: the backup server of the host settings is a
// loopback port bound and never listened on, every HTTP transfer goes
// through a "proxy" on that port, and connect() refuses any address but
// loopback. A "password" beginning "plain:" is encrypted for the host key
// here, so that logins get past the decryption.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/json_nesting.h"
#include "host/json_spirit/json_io.h"
#include "host/rsa_codec.h"
#include "host/secure_memory.h"
#include "host/servant/json_rpc.h"
#include "smartx/websvcs_agent/list_handler.h"
#include "smartx/websvcs_agent/login_handler.h"
#include "world/host_settings.h"

// Only loopback is reached, whatever the input names.
extern "C" int connect(int fd, const struct sockaddr* addr, socklen_t len) {
    using Connect = int (*)(int, const struct sockaddr*, socklen_t);
    static const Connect real = reinterpret_cast<Connect>(::dlsym(RTLD_NEXT, "connect"));
    bool loopback = false;
    if (addr != nullptr && addr->sa_family == AF_INET && len >= sizeof(sockaddr_in))
        loopback =
            (ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr) >> 24) == 127;
    else if (addr != nullptr && addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6))
        loopback = IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr);
    else if (addr != nullptr && addr->sa_family == AF_UNIX)
        loopback = true;
    if (!loopback) {
        errno = ECONNREFUSED;
        return -1;
    }
    return real(fd, addr, len);
}

namespace {

struct Console {
    Console() {
        quiet_logs();
        char dir[] = "/tmp/fuzz-console-XXXXXX";
        FUZZ_CHECK(::mkdtemp(dir) != nullptr);
        ::setenv("HOST_ROOT", dir, 1);
        // libFuzzer ends with exit(): the settings go with the process.
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(::getenv("HOST_ROOT"), ignored);
        });
        // A port bound and never listened on refuses every connection.
        closed_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        FUZZ_CHECK(closed_ >= 0 && ::bind(closed_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                   ::getsockname(closed_, reinterpret_cast<sockaddr*>(&a), &len) == 0);
        const int port = ntohs(a.sin_port);
        const std::string proxy = "http://127.0.0.1:" + std::to_string(port);
        for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "ALL_PROXY"})
            ::setenv(name, proxy.c_str(), 1);
        ::unsetenv("no_proxy");
        ::unsetenv("NO_PROXY");
        write_host_settings(dir, port);
        public_pem = test_host_keys().public_pem;
        list = _make_JSON_RPC_SmartX_List_Handler(&gobble_list);
        login = _make_JSON_RPC_SmartX_Login_Handler(&gobble_login);
        FUZZ_CHECK(list && login && gobble_list && gobble_login);
    }

    int closed_ = -1;
    std::string public_pem;
    Gobble_Function gobble_list = nullptr;
    Gobble_Function gobble_login = nullptr;
    // Never destroyed: the fuzzer exits without unwinding.
    JSON_RPC_Handler* list = nullptr;
    JSON_RPC_Handler* login = nullptr;
};

Console& console() {
    static Console* c = new Console();
    return *c;
}

// Credentials go into wiping strings; a "plain:" password is encrypted.
void secure_credentials(json_spirit::Value& params, const std::string& public_pem) {
    if (params.type() != json_spirit::obj_type)
        return;
    for (auto& kv : params.get_obj()) {
        if ((kv.first != "password" && kv.first != "token") ||
            kv.second.type() != json_spirit::str_type)
            continue;
        std::string plain = kv.second.get_str();
        std::string cipher;
        if (kv.first == "password" && plain.compare(0, 6, "plain:") == 0 &&
            rsa_encrypt_to_base64(public_pem, plain.substr(6), cipher))
            plain.swap(cipher);
        kv.second = json_spirit::Value(secure_string(plain.data(), plain.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Console& c = console();
    const std::string body(reinterpret_cast<const char*>(data), size);
    if (nested_deeper(body, JSON_MAX_DEPTH))
        return 0;
    json_spirit::Value doc;
    if (!json_spirit::read(body, doc, nullptr))
        return 0;
    std::string why;
    JSON_RPC_Object_Ptr obj = json_rpc_from_value(doc, &why);
    if (obj.null() || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
        return 0;
    auto& request = static_cast<JSON_RPC_Request&>(*obj);
    JSON_RPC_Handler* handler = request.method == "smartx.list"    ? c.list
                                : request.method == "smartx.login" ? c.login
                                                                   : nullptr;
    if (handler == nullptr)
        return 0;
    secure_credentials(request.params, c.public_pem);

    JSON_RPC_Memory_Channel channel;
    auto* pool = static_cast<JSON_RPC_Thread_Pool_Handler_Impl*>(handler);
    pool->handle_request(&channel, request);
    const std::vector<JSON_RPC_Object_Ptr> sent = channel.sent();
    FUZZ_CHECK(sent.size() == 1);
    const JSON_RPC_Object& answer = *sent[0];
    FUZZ_CHECK(answer.type() == JSON_RPC_Object::TYPE_RESPONSE ||
               answer.type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR);
    FUZZ_CHECK(answer.id == request.id);
    FUZZ_CHECK(!json_rpc_text(answer).empty());
    return 0;
}
