// A storage pool as the backup server describes it (filled by get_pool_info).
#ifndef HOST_POOL_INFO_H
#define HOST_POOL_INFO_H

#include <map>
#include <string>

#include "host/secure_memory.h"

struct Pool_Info {
    std::string uuid;
    std::string name;
    std::string host_uuid;
    std::string url;
    bool device_exists = true;
    bool multidevice = false;
    bool server_side_encryption = false;
    int cipher = 0;
    // Key material and credentials are wiped when dropped.
    secure_string key;
    secure_string iv;
    std::string preferred_source_address;
    secure_string tenant_access_key;
    std::map<std::string, std::string> ext_attrs;
    std::map<std::string, std::string> node_addrs;
    std::string dedup_backend_type;
    // May carry S3 credentials.
    std::map<std::string, secure_string> default_s3;
    bool s3_enabled = false;
};

#endif
