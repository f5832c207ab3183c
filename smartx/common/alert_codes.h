// Codes of the alerts the module raises (the code of an Error_ID::smartx),
// each with the level it is raised at.
#ifndef SMARTX_COMMON_ALERT_CODES_H
#define SMARTX_COMMON_ALERT_CODES_H

namespace smartx {

enum Alert_Code : unsigned {
    ALERT_NO_PRIOR_BACKUP = 4,         // warning: no base backup set, backed up in full
    ALERT_LAST_SNAPSHOT_UNUSABLE = 5,  // warning: the base snapshot will not do, in full
    ALERT_SHORT_OF_SPACE = 7,          // error: the cluster lacks the reserved space
    ALERT_CATALOG_NOT_LOADED = 8,      // error: the backup sets to restore did not load
    ALERT_CATALOG_FAILED = 9,          // error: the backup set was not committed
    ALERT_POWER_OFF_FAILED = 10,       // error before a restore, warning after it
    ALERT_POWER_ON_FAILED = 11,        // warning: the restored VM was not started
    ALERT_VM_INFO_FAILED = 12,         // error: the VM description was not written
    ALERT_VOLUMES_FAILED = 13,         // error: a disk was not copied
    ALERT_HOSTS_NOT_QUERIED = 14,      // error: the hosts could not be listed
    ALERT_ENTRY_NOT_FOUND = 15,        // error: a source entry's VMs could not be queried
    ALERT_SNAPSHOT_FAILED = 16,        // error: no snapshot, or no plan of its disks
    ALERT_VOLUME_NOT_CREATED = 21,     // error: a restored disk got no volume
    ALERT_VM_NOT_UPDATED = 22,         // error: the VM was not created or updated
    ALERT_BACKUP_FAILED = 25,          // warning: failed once disks were planned
    ALERT_DISK_COUNT_DIFFERS = 27,     // error: the VM's disks are not the backup's
    ALERT_SOME_VMS_FAILED = 28,        // error: a backup job in which some VMs failed
    // warning: what a dead restore's journal names stays (not provably its
    // own), or the journal is set aside (it cannot be read)
    ALERT_RESTORE_LEFTOVER_KEPT = 29,
};

}  // namespace smartx

#endif
