#include "host/pool_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/backoff.h"
#include "host/cgi_response.h"
#include "host/json_record.h"
#include "host/json_spirit/json_parser.h"
#include "host/paths.h"

namespace {

const char* const POOLS_FILE = "/etc/opt/velmora/tarnvik3/pools.json";

enum Lookup { FOUND, NOT_FOUND, UNAVAILABLE };

void read_map(const json_spirit::Object& obj, const char* key,
              std::map<std::string, std::string>& out) {
    json_spirit::Object m;
    json_record::read_optional(obj, key, m);
    out.clear();
    for (const auto& kv : m)
        out[kv.first] = json_spirit::object_get_str_or_throw(m, kv.first);
}

// Parsed trees keep strings in plain storage; records hold keys.
void wipe_strings(json_spirit::Value& v) {
    if (v.type() == json_spirit::str_type) {
        std::string& s = v.get_str();
        if (!s.empty())
            secure_memset(&s[0], 0, s.size());
    } else if (v.type() == json_spirit::obj_type) {
        for (auto& kv : v.get_obj())
            wipe_strings(kv.second);
    } else if (v.type() == json_spirit::array_type) {
        for (auto& e : v.get_array())
            wipe_strings(e);
    }
}

bool read_whole_file(const std::string& path, secure_string& text, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + ::strerror(errno);
        return false;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    bool ok = size >= 0 && ::lseek(fd, 0, SEEK_SET) == 0;
    if (ok) {
        text.resize(static_cast<size_t>(size));
        size_t done = 0;
        while (ok && done < text.size()) {
            const ssize_t n =
                ::pread(fd, &text[done], text.size() - done, static_cast<off_t>(done));
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n == 0)
                text.resize(done);
            else
                ok = errno == EINTR;
        }
    }
    if (!ok)
        error = "cannot read " + path + ": " + ::strerror(errno);
    ::close(fd);
    return ok;
}

// The one place that knows where pool records come from.
Lookup fetch_pool_record(const std::string& uuid, const std::string& device_id,
                         JSON_RESTful_Client* /*client*/, const char* pools_file, Pool_Info& info,
                         std::string& error) {
    const std::string path = pools_file != nullptr ? std::string(pools_file) : pools_file_path();
    secure_string text;
    if (!read_whole_file(path, text, error))
        return UNAVAILABLE;
    json_spirit::Value root;
    JSON_Parser parser(&root);
    std::string why;
    Lookup result = UNAVAILABLE;
    if (!parser.parse(text.data(), text.size(), &why)) {
        error = "malformed pools file " + path + ": " + why;
    } else if (root.type() != json_spirit::obj_type) {
        error = "pools file " + path + " is not a JSON object";
    } else {
        const json_spirit::Array* pools = json_spirit::object_get_array(root.get_obj(), "pools");
        if (pools == nullptr) {
            error = "pools file " + path + " has no \"pools\" array";
        } else {
            result = NOT_FOUND;
            error = "no storage pool " + uuid;
            for (const json_spirit::Value& p : *pools) {
                if (p.type() != json_spirit::obj_type)
                    continue;
                const std::string* id = json_spirit::object_get_str(p.get_obj(), "uuid");
                if (id == nullptr || *id != uuid)
                    continue;
                result = read_pool_info(p.get_obj(), device_id, info, &why) ? FOUND : NOT_FOUND;
                if (result == FOUND)
                    error.clear();
                else
                    error = "storage pool " + uuid + ": " + why;
                break;
            }
        }
    }
    wipe_strings(root);
    return result;
}

}  // namespace

std::string pools_file_path() {
    return host_path(POOLS_FILE);
}

bool read_pool_info(const json_spirit::Object& record, const std::string& device_id,
                    Pool_Info& info, std::string* error) {
    Pool_Info p;
    try {
        using json_record::read_optional;
        p.uuid = json_spirit::object_get_str_or_throw(record, "uuid");
        read_optional(record, "name", p.name);
        read_optional(record, "host_uuid", p.host_uuid);
        read_optional(record, "url", p.url);
        read_optional(record, "multidevice", p.multidevice);
        read_optional(record, "server_side_encryption", p.server_side_encryption);
        read_optional(record, "cipher", p.cipher);
        read_optional(record, "key", p.key);
        read_optional(record, "iv", p.iv);
        read_optional(record, "preferred_source_address", p.preferred_source_address);
        read_optional(record, "tenant_access_key", p.tenant_access_key);
        read_map(record, "ext_attrs", p.ext_attrs);
        read_map(record, "node_addrs", p.node_addrs);
        read_optional(record, "dedup_backend_type", p.dedup_backend_type);
        json_spirit::Object s3;
        read_optional(record, "default_s3", s3);
        for (const auto& kv : s3)
            p.default_s3[kv.first] = json_record::read_secure_str(s3, kv.first);
        read_optional(record, "s3_enabled", p.s3_enabled);
        std::vector<std::string> devices;
        json_record::read_strings(record, "devices", devices);
        p.device_exists = device_id.empty() || devices.empty();
        for (const std::string& d : devices)
            p.device_exists = p.device_exists || d == device_id;
    } catch (const std::exception& e) {
        if (error != nullptr)
            *error = e.what();
        return false;
    }
    info = std::move(p);
    return true;
}

namespace {
// An unavailable pool service is asked again after pauses from 1 s up to 8 s,
// at most this many times, within the caller's max_seconds_retry.
const unsigned POOL_RETRY_FIRST_DELAY_S = 1;
const unsigned POOL_RETRY_MAX_DELAY_S = 8;
const unsigned POOL_RETRIES = 64;
}  // namespace

bool get_pool_info(const std::string& pool_uuid, const std::string& device_id, Pool_Info& info,
                   bool quiet, size_t max_seconds_retry, JSON_RESTful_Client* client,
                   bool check_device, std::string* error, const char* pools_file,
                   bool allow_no_url) {
    Pool_Info found;
    std::string why;
    Lookup result = NOT_FOUND;
    if (pool_uuid.empty()) {
        why = "no storage pool uuid";
    } else {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(max_seconds_retry);
        Exponential_Backoff_Iterator delay(POOL_RETRY_FIRST_DELAY_S, POOL_RETRIES,
                                           POOL_RETRY_MAX_DELAY_S, false);
        for (;;) {
            result = fetch_pool_record(pool_uuid, device_id, client, pools_file, found, why);
            if (result != UNAVAILABLE || delay == Exponential_Backoff_Iterator())
                break;
            const std::chrono::seconds pause(*delay);
            if (Clock::now() + pause > deadline)
                break;
            std::this_thread::sleep_for(pause);
            ++delay;
        }
    }
    if (result == FOUND && check_device && !found.device_exists) {
        result = NOT_FOUND;
        why = "device " + device_id + " is not a device of storage pool " + pool_uuid;
    }
    if (result == FOUND && !allow_no_url && found.url.empty()) {
        result = NOT_FOUND;
        why = "storage pool " + pool_uuid + " has no url";
    }
    if (result != FOUND) {
        if (!quiet)
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to look up storage pool: %C.\n"), why.c_str()));
        if (error != nullptr)
            *error = why;
        return false;
    }
    info = std::move(found);
    return true;
}

bool set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& pool) {
    const char* why = nullptr;
    if (pool.url.empty())
        why = "it has no url";
    else if (!pool.device_exists)
        why = "this device is not one of its devices";
    else if (!pool.server_side_encryption && pool.cipher != 0 && pool.key.empty())
        why = "it asks for encryption without a key";
    if (why != nullptr) {
        ACE_ERROR(
            (LM_ERROR, ACE_TEXT("Storage pool %C cannot be used: %C.\n"), pool.uuid.c_str(), why));
        return false;
    }
    Client_IO_Base::Options o = options;
    if (pool.server_side_encryption) {
        o.cipher = 0;  // the pool encrypts
        o.key.clear();
        o.iv.clear();
    } else if (pool.cipher != 0) {
        o.cipher = pool.cipher;
        o.key = pool.key;
        o.iv = pool.iv;
    }
    if (!pool.preferred_source_address.empty())
        o.source_address = pool.preferred_source_address;
    if (!pool.node_addrs.empty())
        o.node_addrs = pool.node_addrs;
    if (!pool.tenant_access_key.empty()) {
        const char* head = http_head_string(HTTP_HEAD_ACCESS_KEY, 0);
        if (head != nullptr)
            o.set_extra_option(head, pool.tenant_access_key);
    }
    options = std::move(o);
    return true;
}
