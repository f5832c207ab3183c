// Storage-pool records and the I/O options a pool asks for.
//
// Pool records come from the pools file $HOST_ROOT/etc/opt/velmora/tarnvik3/
// pools.json ({"pools": [record, ...]}; keys in host/README.md). The backup
// server will serve them later: only fetch_pool_record in pool_service.cpp
// knows the source.
#ifndef HOST_POOL_SERVICE_H
#define HOST_POOL_SERVICE_H

#include <cstddef>
#include <string>

#include "host/client_io_options.h"
#include "host/json_spirit/value.h"
#include "host/pool_info.h"

class JSON_RESTful_Client;

// Fills info with the pool pool_uuid as seen from the device device_id
// (device_exists: the device is empty, the pool lists no devices, or lists
// this one).
//   quiet: false logs a failure at error priority.
//   max_seconds_retry: how long a source that cannot be read is tried again
//     (0: once); an unknown pool is final at once.
//   client: the backup-server connection to ask; not used while records
//     come from the pools file.
//   check_device: a pool that does not have the device fails.
//   error: the reason of a failure.
//   pools_file: another pools file (null: the host's).
//   allow_no_url: a pool without a url is accepted.
// False leaves info unchanged.
bool get_pool_info(const std::string& pool_uuid, const std::string& device_id, Pool_Info& info,
                   bool quiet = false, size_t max_seconds_retry = 0,
                   JSON_RESTful_Client* client = nullptr, bool check_device = true,
                   std::string* error = nullptr, const char* pools_file = nullptr,
                   bool allow_no_url = false);

// Adjusts options to the pool: its encryption (server-side: none here;
// client-side: the pool's cipher, key and iv), its preferred source address,
// its node addresses and its tenant access key (sent instead of the host's).
// False (options unchanged, reason logged) when the pool has no url, the
// device is not one of the pool's, or client-side encryption has no key.
bool set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& pool);

// One pool record as JSON -> Pool_Info (device_exists for device_id). False
// with the reason on a missing "uuid" or a mistyped member.
bool read_pool_info(const json_spirit::Object& record, const std::string& device_id,
                    Pool_Info& info, std::string* error);

// Where the host's pools file is.
std::string pools_file_path();

#endif
