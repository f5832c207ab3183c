#include "host/curl_transfer.h"

#include <fcntl.h>
#include <strings.h>

#include <cstring>
#include <mutex>

#include <ace/Log_Msg.h>
#include <curl/curl.h>

#include "host/host_manager.h"

namespace {

// CURLOPT_SSL_VERIFYHOST's value that checks the certificate names the host.
const long VERIFY_HOST_NAME = 2L;

struct Sink {
    std::string* out;
    size_t limit;
    bool overflow = false;
};

size_t write_body(char* p, size_t size, size_t n, void* user) {
    Sink* s = static_cast<Sink*>(user);
    size_t len = size * n;
    if (s->out->size() + len > s->limit) {
        s->overflow = true;
        return 0;  // aborts the transfer
    }
    s->out->append(p, len);
    return len;
}

size_t write_header(char* p, size_t size, size_t n, void* user) {
    auto* list = static_cast<std::vector<std::string>*>(user);
    std::string line(p, size * n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    if (!line.empty())
        list->push_back(line);
    return size * n;
}

// Connections outlive a transfer (kept for the next one): none may leak into
// a program the host starts.
int close_on_exec(void*, curl_socket_t fd, curlsocktype) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0 ? CURL_SOCKOPT_OK
                                                                       : CURL_SOCKOPT_ERROR;
}

// "host:port" of a URL, for the log.
std::string peer_of(const std::string& url) {
    std::string peer = url;
    CURLU* u = curl_url();
    char* host = nullptr;
    char* port = nullptr;
    if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK)
        peer = std::string(host) + ":" + port;
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(u);
    return peer;
}

// TLS peers are verified, certificate and host name, against the system's CA
// store or the host's CA file instead; only the host settings turn that off.
void set_tls_policy(CURL* curl, bool verify, const std::string& ca) {
    if (!verify) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        return;
    }
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, VERIFY_HOST_NAME);
    if (!ca.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
        // That file alone: not the system's directory of CAs as well.
        curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    }
}

// Every TLS connection made without verification is logged, each time one
// is made (a kept connection once).
void warn_unverified(CURL* curl, const std::string& url) {
    char* scheme = nullptr;
    long made = 0;
    if (curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr ||
        ::strcasecmp(scheme, "https") != 0 ||
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &made) != CURLE_OK || made == 0)
        return;
    ACE_ERROR((LM_WARNING,
               ACE_TEXT("Made a TLS connection to %C without verifying its certificate "
                        "(\"tls_verify\": false in the host settings).\n"),
               peer_of(url).c_str()));
}

void curl_global() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

Curl_Handle::Curl_Handle() {
    curl_global();
    handle_ = curl_easy_init();
}

Curl_Handle::~Curl_Handle() {
    if (handle_)
        curl_easy_cleanup(static_cast<CURL*>(handle_));
}

bool curl_transfer(Http_Exchange& x, Curl_Handle* reuse) {
    curl_global();
    x.status = 0;
    x.response.clear();
    x.response_headers.clear();
    x.error.clear();
    x.never_sent = false;

    CURL* curl = reuse ? static_cast<CURL*>(reuse->get()) : curl_easy_init();
    if (!curl) {
        x.error = "cannot create an HTTP handle";
        x.never_sent = true;
        return false;
    }
    if (reuse)
        curl_easy_reset(curl);
    struct curl_slist* headers = nullptr;
    for (const auto& h : x.headers)
        headers = curl_slist_append(headers, h.c_str());

    Sink sink{&x.response, x.max_response_bytes};
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, x.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, x.connect_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, x.timeout_ms);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, write_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &x.response_headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, close_on_exec);

    const Host_Manager& host = *Host_Manager::instance();
    const bool verify = host.tls_verify();
    const std::string ca = host.ca_file();
    set_tls_policy(curl, verify, ca);

    if (x.method == "POST" || x.method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, x.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x.body.size()));
        if (x.method == "PUT")
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
    } else if (x.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, x.method.c_str());
    }

    CURLcode rc = curl_easy_perform(curl);
    if (!verify)
        warn_unverified(curl, x.url);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &x.status);
    } else if (sink.overflow) {
        x.error = "the answer is larger than allowed";
    } else {
        x.error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        x.never_sent = rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_RESOLVE_PROXY ||
                       rc == CURLE_COULDNT_CONNECT;
    }
    // libcurl's copies of the heads are plain heap blocks: wiped before they go.
    for (curl_slist* h = headers; h != nullptr; h = h->next)
        secure_memset(h->data, 0, std::strlen(h->data));
    curl_slist_free_all(headers);
    if (!reuse)
        curl_easy_cleanup(curl);
    return rc == CURLE_OK;
}
