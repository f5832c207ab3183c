// Storage-pool client I/O: the options a connection is opened with. The I/O
// classes derive from Client_IO_Base.
#ifndef HOST_CLIENT_IO_OPTIONS_H
#define HOST_CLIENT_IO_OPTIONS_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "host/rate_limits.h"
#include "host/secure_memory.h"

class Client_IO_Base {
 public:
  // Plain values throughout: copies are member-wise. Keys and credentials
  // live in wiping strings.
  struct Options {
    bool overwrite = false;
    int sock_timeout = 60;  // seconds
    int compression = 0;    // compression method, 0 none
    int compression_level = 0;
    int cipher = 0;  // 0: no encryption
    secure_string key;
    secure_string iv;
    size_t dedup_min_size = 0;
    size_t dedup_avg_size = 0;
    size_t dedup_max_size = 0;
    secure_string access_key;
    secure_string secret_key;
    std::string source_address;
    std::map<std::string, std::string> node_addrs;
    std::vector<std::string> scan_initiators;
    int access_mode = 0;
    size_t max_seconds_retry = 0;
    size_t resumption_buffer_size = 0;
    Rate_Limits rate_limits;
    // Named extras, among them the HTTP heads sent with each request (which
    // carry access keys).
    std::map<std::string, secure_string> extra_options;

    // Sets or replaces one extra option.
    void set_extra_option(const std::string& name, const secure_string& value);
    void set_extra_option(const std::string& name, const std::string& value);
    void set_extra_option(const std::string& name, const char* value);
    // The option's value, or null when it is not set.
    const secure_string* extra_option(const std::string& name) const;
  };
};

// Writes every option into out as members; keys and extra options become
// secure strings.
json_spirit::Object& operator<<(json_spirit::Object& out, const Client_IO_Base::Options& options);
// Reads the members of in that are present (others keep their values). A
// mistyped member gives false and leaves options unchanged.
bool operator>>(const json_spirit::Object& in, Client_IO_Base::Options& options);

#endif
