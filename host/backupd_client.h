// Calls to the backup server: JSON-RPC and alerts. The server's address,
// the access key and the TLS policy come from the host settings
// (Host_Manager).
//
// JSON-RPC: an HTTP POST of a JSON-RPC 2.0 request to "/jsonrpc".
// Alerts: an HTTP POST of the alert as a JSON object to "/alerts".
#ifndef HOST_BACKUPD_CLIENT_H
#define HOST_BACKUPD_CLIENT_H

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "host/json_spirit/value.h"

class Job;

// global_json_rpc's defaults: the whole exchange within 60 s, no further
// attempt after a transport failure.
constexpr int JSON_RPC_DEFAULT_TIMEOUT = -1;
constexpr int JSON_RPC_DEFAULT_TIMEOUT_MS = 60000;
constexpr int JSON_RPC_NO_RETRY = -1;

// Calls method with params and stores the call's "result" in result.
// timeout_ms: the whole exchange (JSON_RPC_DEFAULT_TIMEOUT). expected: the
// JSON type the result must have (null_type: any). retries: further attempts
// after a transport failure (JSON_RPC_NO_RETRY). False on a transport
// failure, an HTTP error, a JSON-RPC error or a result of another type; each
// is logged.
bool global_json_rpc(const char* method, const json_spirit::Value& params, int timeout_ms,
                     json_spirit::Value& result, json_spirit::Value_type expected, int retries);

// Alert identifiers: level, then four classification fields and the code.
class Error_ID {
public:
    enum Level { LV_INFO = 3, LV_WARNING = 5, LV_ERROR = 7 };
    // The classification every alert of the SmartX module carries.
    enum SmartX_Class : unsigned { SMARTX_DOMAIN = 3, SMARTX_MODULE = 39, SMARTX_CATEGORY = 1 };

    explicit Error_ID(uint64_t value = 0) : value_(value) {}
    Error_ID(unsigned level, unsigned domain, unsigned module, unsigned category, unsigned code,
             unsigned extra)
        : value_((uint64_t(level & 0xf) << 60) | (uint64_t(domain & 0xffffff) << 36) |
                 (uint64_t(module & 0xff) << 28) | (uint64_t(category & 0xff) << 20) |
                 (uint64_t(extra & 0xf) << 16) | uint64_t(code & 0xffff)) {}

    // A SmartX module alert.
    static Error_ID smartx(unsigned level, unsigned code, unsigned extra) {
        return Error_ID(level, SMARTX_DOMAIN, SMARTX_MODULE, SMARTX_CATEGORY, code, extra);
    }

    uint64_t value() const { return value_; }
    unsigned level() const { return unsigned(value_ >> 60); }
    unsigned code() const { return unsigned(value_ & 0xffff); }

private:
    uint64_t value_;
};

class RESTful_Alert_Client {
public:
    // Each alert is posted within this time.
    enum { TIMEOUT_MS = 30000 };

    RESTful_Alert_Client();
    ~RESTful_Alert_Client();

    // Sends one job alert; true when the backup server accepted it.
    bool send_alert(uint64_t code, const json_spirit::Value& detail, int job_revision,
                    const std::string& host_id, const std::string& resource_uuid,
                    const std::string& def_id, const std::string& job_id, const time_t* start_time,
                    const time_t* last_run_time, int count);

private:
    struct Client;
    std::unique_ptr<Client> client_;  // made at the first alert
};

// Alerts about a running job, filled from its definition and activity; the
// second form raises a SmartX module alert (Error_ID::smartx).
bool write_job_alert(Job& job, const Error_ID& id, const json_spirit::Value& props, int count);
bool write_job_alert(Job& job, unsigned level, unsigned code, unsigned extra,
                     const json_spirit::Value& props, int count);

#endif
