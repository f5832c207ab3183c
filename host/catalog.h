// The backup server's catalog: committing backup sets and reading the views
// of a catalog, over HTTP with the host's access key.
//
//   commit:  POST /zq/r/v2/catalogs/<set type>/sets[?replace=1]   body: the set's row
//            answer: {"uuid": <the set's uuid>}
//   view:    POST /zq/r/v2/catalogs/<catalog>/views/<view>        body: the filter
//            answer: the view's value (for "catalogs", "base_catalog" and
//            "restore": an array of rows, in commit order)
//
// Transport failures and 5xx answers are retried as the two integers of the
// constructors say; any other answer is final.
//
// A commit whose answer is lost may still have been recorded: commit_set
// says so (UNSETTLED), and find_set looks the set up. Only an answer that
// lists the set proves it is there; an empty list says only that it was not
// there when asked, which a commit still in flight does not settle.
#ifndef HOST_CATALOG_H
#define HOST_CATALOG_H

#include <cstdint>
#include <memory>
#include <string>

#include "host/json_spirit/value.h"
#include "host/secure_memory.h"

class Backup_Set;
class Curl_Handle;

class RESTful_Catalog_Operator {
public:
    // max_retries or max_seconds without a bound of its own.
    enum { NO_BOUND = -1 };
    // Pauses between attempts grow from the first to the last.
    enum { FIRST_RETRY_DELAY_S = 1, MAX_RETRY_DELAY_S = 10 };

    // max_retries: further attempts after a failed one (NO_BOUND: none of its
    // own); max_seconds: how long to keep retrying (NO_BOUND: none of its
    // own). With both NO_BOUND there is one attempt.
    RESTful_Catalog_Operator(const std::string& host, uint16_t port, bool ssl,
                             const secure_string& access_key, int max_retries, int max_seconds);
    virtual ~RESTful_Catalog_Operator();
    RESTful_Catalog_Operator(const RESTful_Catalog_Operator&) = delete;
    RESTful_Catalog_Operator& operator=(const RESTful_Catalog_Operator&) = delete;

    // What a commit came to.
    enum Commit_Outcome {
        // A 2xx answer is the JSON object {"uuid": <the set's uuid>, ...}.
        COMMITTED,
        // Refused (a 4xx answer), or no attempt ever left this host: the
        // catalog does not hold the set.
        NOT_COMMITTED,
        // An attempt went out, and no answer says what became of it (none,
        // cut off, garbled, not naming the set, 5xx): it may be recorded.
        UNSETTLED,
    };

    // Records a set in the catalog named by its set type. replace: a set of the
    // same uuid already there is replaced in place (a retried commit whose first
    // answer was lost then succeeds); otherwise such a commit is refused.
    Commit_Outcome commit_set(const Backup_Set& set, bool replace);
    // commit_set that says COMMITTED.
    bool commit(const Backup_Set& set, bool replace) {
        return commit_set(set, replace) == COMMITTED;
    }

    // Looks the set of that uuid up in the catalog (view "catalogs", filtered
    // by the uuid): found when every row of the answer names the set (a
    // non-empty list), not found when the list is empty. False when the
    // answer proves nothing (found is then false): no list, or a row that
    // does not carry the uuid as text (a server that ignored the filter).
    bool find_set(const char* catalog, const std::string& uuid, bool& found);

    // Reads a view of a catalog with a filter; out gets the view's value.
    bool get_view(const char* catalog, const char* view, const json_spirit::Object& filter,
                  json_spirit::Value& out);

    // Time-outs of each exchange.
    void set_timeouts(long connect_ms, long transfer_ms);

private:
    // POSTs body, retried as set; a 2xx answer's JSON goes into reply.
    enum Post_Result { ANSWERED, NOT_DONE, MAYBE_DONE };
    Post_Result post(const std::string& path, const std::string& body, const char* what,
                     json_spirit::Value* reply);

    std::string base_url_;
    secure_string access_key_;
    int max_retries_;
    int max_seconds_;
    long connect_ms_ = 10000;
    long transfer_ms_ = 60000;
    std::unique_ptr<Curl_Handle> handle_;
};

// The same against the backup server of the host settings, with this host's
// access key (the node's key in the backup server's own processes).
class Catalog_Operator : public RESTful_Catalog_Operator {
public:
    Catalog_Operator(int max_retries, int max_seconds);
};

#endif
