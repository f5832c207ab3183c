// Filling the storage-pool I/O options from the host and the job definition.
#ifndef QORM_CLIENT_IO_OPTIONS_HELPER_H
#define QORM_CLIENT_IO_OPTIONS_HELPER_H

#include "host/cgi_response.h"
#include "host/client_io_options.h"
#include "host/host_manager.h"
#include "host/secure_memory.h"

// Sends value in the HTTP head with the host's identifier head_id. A head the
// host does not name is not set.
inline void set_http_head_to_options(Client_IO_Base::Options& options, int head_id,
                                     const secure_string& value) {
    const char* name = http_head_string(head_id, 0);
    if (name != nullptr)
        options.set_extra_option(name, value);
}

inline void set_access_key_to_options(Client_IO_Base::Options& options, const secure_string& key) {
    set_http_head_to_options(options, HTTP_HEAD_ACCESS_KEY, key);
}

// The backup server's own processes present the node key, the others the
// host's key.
inline void set_options_by_host(Client_IO_Base::Options& options) {
    const Host_Manager* host = Host_Manager::instance();
    set_access_key_to_options(options,
                              host->on_backupd() ? host->node_access_key() : host->access_key());
}

// Retry time, resumption buffer and rate limits of the job, the limits shared
// among its channels. Any definition type with max_seconds_retry,
// resumption_buffer_size and rate_limits members.
template <class Definition>
void set_options_by_job_def(Client_IO_Base::Options& options, const Definition& def, int channels) {
    options.max_seconds_retry = def.max_seconds_retry;
    options.resumption_buffer_size = def.resumption_buffer_size;
    options.rate_limits = def.rate_limits;
    options.rate_limits.set_rate_limits_by_channels(channels);
}

#endif
