// The host's HTTP message head: a status and headers addressed by small
// integer ids (see http_head_string), serialisable to iovecs.
#ifndef HOST_CGI_RESPONSE_H
#define HOST_CGI_RESPONSE_H

#include <map>
#include <string>

struct iovec;

// Header ids. Only these are known; other ids have no name.
enum HTTP_Head_Id {
    HTTP_HEAD_AUTHORIZATION = 6,
    HTTP_HEAD_CONNECTION = 8,
    HTTP_HEAD_CONTENT_LENGTH = 12,
    HTTP_HEAD_CONTENT_TYPE = 16,
    HTTP_HEAD_TRANSFER_ENCODING = 41,
    HTTP_HEAD_ACCESS_KEY = 49,  // "X-Access-Key": storage access key
};

// The header name of an id ("Content-Length"), or null for an unknown id.
// flags: reserved, pass 0.
const char* http_head_string(int id, int flags);
// The id of a header name (case-insensitive), or -1 when it has none.
int http_head_id(const char* name);

class CGI_Response {
public:
    CGI_Response() = default;
    virtual ~CGI_Response();

    int status() const { return status_; }
    void status(int s) { status_ = s; }

    // The value of a header, or null when absent.
    const char* head(int id) const;
    // Stores a header; a null value removes it. False for an id without a
    // name or a value holding CR or LF (header injection).
    bool head(int id, const char* value);
    void remove_head(int id) { heads_.erase(id); }

    // One iovec per header line "Name: value\r\n", in id order. to_iovec fills
    // at most n and returns how many; the iovecs point into this object and
    // stay valid until its headers change.
    virtual int iovec_count() const;
    virtual int to_iovec(struct iovec* iov, int n) const;

private:
    struct Head {
        std::string value;
        std::string line;
    };
    int status_ = 200;
    std::map<int, Head> heads_;
};

#endif
