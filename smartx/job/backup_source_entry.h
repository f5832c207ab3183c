// One entry of a backup source: a VM, host, cluster or folder, optionally
// narrowed to some of a VM's disks.
#ifndef SMARTX_JOB_BACKUP_SOURCE_ENTRY_H
#define SMARTX_JOB_BACKUP_SOURCE_ENTRY_H

#include <string>
#include <vector>

#include "host/json_spirit/value.h"

namespace smartx {

class Backup_Source_Entry {
public:
    class Disk_Volume {
    public:
        std::string disk_id;
        std::string disk_type;  // not carried in JSON
        std::string volume_id;
        std::string lun_id;
        std::string volume_name;
        std::string volume_local_id;
        std::string volume_policy;
    };

    std::string id;
    std::string name;
    std::string type;  // "VirtualMachine", "HostSystem", "Cluster" or "Folder"
    std::vector<Disk_Volume> volumes;

    // Required "id", "name", "type"; optional "disks", appended to volumes
    // (call clear first to reuse an entry).
    bool load(const json_spirit::Value& value);
    // "disks" only when there are volumes.
    json_spirit::Object dump() const;
    void clear();
};

}  // namespace smartx

#endif
