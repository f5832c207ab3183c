#include "host/cgi_response.h"

#include <strings.h>
#include <sys/uio.h>

#include <cstring>

namespace {
struct Head_Name {
    int id;
    const char* name;
};
const Head_Name kHeadNames[] = {
    {HTTP_HEAD_AUTHORIZATION, "Authorization"},         {HTTP_HEAD_CONNECTION, "Connection"},
    {HTTP_HEAD_CONTENT_LENGTH, "Content-Length"},       {HTTP_HEAD_CONTENT_TYPE, "Content-Type"},
    {HTTP_HEAD_TRANSFER_ENCODING, "Transfer-Encoding"}, {HTTP_HEAD_ACCESS_KEY, "X-Access-Key"},
};
}  // namespace

const char* http_head_string(int id, int /*flags*/) {
    for (const Head_Name& h : kHeadNames)
        if (h.id == id)
            return h.name;
    return nullptr;
}

int http_head_id(const char* name) {
    if (!name)
        return -1;
    for (const Head_Name& h : kHeadNames)
        if (::strcasecmp(h.name, name) == 0)
            return h.id;
    return -1;
}

CGI_Response::~CGI_Response() = default;

const char* CGI_Response::head(int id) const {
    auto it = heads_.find(id);
    return it == heads_.end() ? nullptr : it->second.value.c_str();
}

bool CGI_Response::head(int id, const char* value) {
    const char* name = http_head_string(id, 0);
    if (!name)
        return false;
    if (!value) {
        heads_.erase(id);
        return true;
    }
    if (std::strpbrk(value, "\r\n"))
        return false;
    Head& h = heads_[id];
    h.value = value;
    h.line = std::string(name) + ": " + value + "\r\n";
    return true;
}

int CGI_Response::iovec_count() const {
    return static_cast<int>(heads_.size());
}

int CGI_Response::to_iovec(struct iovec* iov, int n) const {
    int i = 0;
    for (auto it = heads_.begin(); it != heads_.end() && i < n; ++it, ++i) {
        iov[i].iov_base = const_cast<char*>(it->second.line.data());
        iov[i].iov_len = it->second.line.size();
    }
    return i;
}
