// Codes of the alerts the module raises (the code of an Error_ID::smartx),
// each with the level it is raised at.
#ifndef SMARTX_COMMON_ALERT_CODES_H
#define SMARTX_COMMON_ALERT_CODES_H

namespace smartx {

enum Alert_Code : unsigned {
    ALERT_NO_PRIOR_BACKUP = 4,         // warning: no base backup set, backed up in full
    ALERT_LAST_SNAPSHOT_UNUSABLE = 5,  // warning: the base snapshot will not do, in full
    ALERT_SHORT_OF_SPACE = 7,          // error: the cluster lacks the reserved space
    ALERT_CATALOG_FAILED = 9,          // error: the backup set was not committed
    ALERT_VM_INFO_FAILED = 12,         // error: the VM description was not written
    ALERT_VOLUMES_FAILED = 13,         // error: a disk was not copied
    ALERT_ENTRY_NOT_FOUND = 15,        // error: a source entry's VMs could not be queried
    ALERT_SNAPSHOT_FAILED = 16,        // error: no snapshot, or no plan of its disks
    ALERT_BACKUP_FAILED = 25,          // warning: failed once disks were planned
    ALERT_SOME_VMS_FAILED = 28,        // error: a backup job in which some VMs failed
};

}  // namespace smartx

#endif
