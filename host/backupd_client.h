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

// Calls method with params and stores the call's "result" in result.
// timeout_ms: the whole exchange (-1: 60 s). expected: the JSON type the
// result must have (null_type: any). retries: further attempts after a
// transport failure (-1: none). False on a transport failure, an HTTP error,
// a JSON-RPC error or a result of another type; each is logged.
bool global_json_rpc(const char* method, const json_spirit::Value& params, int timeout_ms,
                     json_spirit::Value& result, json_spirit::Value_type expected, int retries);

// Alert identifiers: level, then four classification fields and the code.
class Error_ID {
public:
    enum Level { LV_INFO = 3, LV_WARNING = 5, LV_ERROR = 7 };

    explicit Error_ID(uint64_t value = 0) : value_(value) {}
    Error_ID(unsigned level, unsigned domain, unsigned module, unsigned category, unsigned code,
             unsigned extra)
        : value_((uint64_t(level & 0xf) << 60) | (uint64_t(domain & 0xffffff) << 36) |
                 (uint64_t(module & 0xff) << 28) | (uint64_t(category & 0xff) << 20) |
                 (uint64_t(extra & 0xf) << 16) | uint64_t(code & 0xffff)) {}

    uint64_t value() const { return value_; }
    unsigned level() const { return unsigned(value_ >> 60); }
    unsigned code() const { return unsigned(value_ & 0xffff); }

private:
    uint64_t value_;
};

class RESTful_Alert_Client {
public:
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

// Alerts about a running job, filled from its definition and activity.
bool write_job_alert(Job& job, const Error_ID& id, const json_spirit::Value& props, int count);
bool write_job_alert(Job& job, unsigned level, unsigned code, unsigned extra,
                     const json_spirit::Value& props, int count);

#endif
