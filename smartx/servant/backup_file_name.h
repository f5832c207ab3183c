// Names the backup servant gives what it stores: image and VM-description
// files in the storage pool, the catalog's texts for the backup level, and
// the minor resource id of a VM; and the block size of its images.
#ifndef SMARTX_SERVANT_BACKUP_FILE_NAME_H
#define SMARTX_SERVANT_BACKUP_FILE_NAME_H

#include <cstdint>
#include <ctime>
#include <string>

#include "host/job_definition_subtype.h"

namespace smartx {

// The block size backups write their images with: no image of ours holds a
// larger record.
constexpr uint32_t IMAGE_BLOCK_SIZE = 262144;

// "full", "incremental", "cumulative"; "none" for anything else.
const char* job_def_subtype_to_string(Job_Definition_Subtype type);

// File suffix of a storage-pool compression method ("" for none or unknown).
const char* compression_value_to_suffix(int compression);

// A stable id of one VM of a protected resource, the same for every backup
// of that VM; false when either part is empty.
bool compute_minor_resource_id(const std::string& resource_uuid, const std::string& vm_id,
                               std::string& out);

// "YYYYmmdd-HHMMSS": what names the files of a backup started at start_time.
std::string backup_file_stamp(time_t start_time);

// "<vm id>/[not_exists_]<name>_<level>_<stamp><suffix>": every file
// of one VM shares a directory; "not_exists_" marks an image without data.
std::string backup_file_name(const std::string& vm_id, bool empty, const std::string& name,
                             Job_Definition_Subtype type, time_t start_time, int compression);

}  // namespace smartx

#endif
