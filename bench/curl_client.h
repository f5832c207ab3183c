// A libcurl client for the benchmarks: one handle, so its connection stays
// open from one request to the next.
#ifndef BENCH_CURL_CLIENT_H
#define BENCH_CURL_CLIENT_H

#include <curl/curl.h>

#include <stdexcept>
#include <string>
#include <vector>

inline size_t curl_collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

class Http_Client {
public:
    Http_Client() : curl_(curl_easy_init()) {
        if (curl_ == nullptr)
            throw std::runtime_error("curl_easy_init failed");
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, curl_collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer_);
    }
    ~Http_Client() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(curl_);
    }
    Http_Client(const Http_Client&) = delete;
    Http_Client& operator=(const Http_Client&) = delete;

    void set_headers(const std::vector<std::string>& headers) {
        curl_slist_free_all(headers_);
        headers_ = nullptr;
        for (const std::string& h : headers)
            headers_ = curl_slist_append(headers_, h.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    }

    // The answer's body; throws unless the status is 200.
    const std::string& request(const std::string& method, const std::string& url,
                               const std::string& body) {
        answer_.clear();
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        if (method == "GET") {
            curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        }
        long status = 0;
        if (curl_easy_perform(curl_) != CURLE_OK ||
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
            throw std::runtime_error(method + " " + url + " answered " + std::to_string(status));
        return answer_;
    }

private:
    CURL* curl_;
    curl_slist* headers_ = nullptr;
    std::string answer_;
};

#endif
