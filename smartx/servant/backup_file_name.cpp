#include "smartx/servant/backup_file_name.h"

#include <cstdint>

#include "host/uuid.h"
#include "qorm/snprintf.h"
#include "qorm/time_format.h"

namespace smartx {

const char* job_def_subtype_to_string(Job_Definition_Subtype type) {
    switch (type) {
        case JOB_DEFINITION_SUBTYPE_FULL:
            return "full";
        case JOB_DEFINITION_SUBTYPE_INCREMENTAL:
            return "incremental";
        case JOB_DEFINITION_SUBTYPE_CUMULATIVE:
            return "cumulative";
        default:
            return "none";
    }
}

const char* compression_value_to_suffix(int compression) {
    switch (compression) {
        case 1:
            return ".lz4";
        case 2:
            return ".zst";
        default:
            return "";
    }
}

namespace {
// FNV-1a over the text, from a given basis.
uint64_t fnv1a(const std::string& text, uint64_t basis) {
    uint64_t h = basis;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}
}  // namespace

bool compute_minor_resource_id(const std::string& resource_uuid, const std::string& vm_id,
                               std::string& out) {
    if (resource_uuid.empty() || vm_id.empty())
        return false;
    // The separator keeps ("ab", "c") and ("a", "bc") apart.
    const std::string key = resource_uuid + '\0' + vm_id;
    const uint64_t hi = fnv1a(key, 0xcbf29ce484222325ULL);
    const uint64_t lo = fnv1a(key, 0x84222325cbf29ce4ULL);
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(hi >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(lo >> (56 - 8 * i));
    }
    // A name-based UUID: version 5 bits, RFC 4122 variant.
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x50);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    out = uuid_to_string(bytes);
    return true;
}

std::string backup_file_stamp(time_t start_time) {
    return POSIX_Time_Format<32>(start_time, "%Y%m%d-%H%M%S").c_str();
}

std::string backup_file_name(const std::string& vm_id, bool empty, const std::string& name,
                             Job_Definition_Subtype type, time_t start_time, int compression) {
    return string_sprintf("%s/%s%s_%s_%s%s", vm_id.c_str(), empty ? "not_exists_" : "",
                          name.c_str(), job_def_subtype_to_string(type),
                          backup_file_stamp(start_time).c_str(),
                          compression_value_to_suffix(compression));
}

}  // namespace smartx
