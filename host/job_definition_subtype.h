// Subtypes of a job definition. A backup definition's subtype is its backup
// level; a restore definition's subtype says what is restored. The numbers
// are stored in catalogs and passed between processes: never renumber them.
#ifndef HOST_JOB_DEFINITION_SUBTYPE_H
#define HOST_JOB_DEFINITION_SUBTYPE_H

enum Job_Definition_Subtype : int {
    JOB_DEFINITION_SUBTYPE_NONE = 0,
    // Backup levels.
    JOB_DEFINITION_SUBTYPE_FULL = 1,
    JOB_DEFINITION_SUBTYPE_INCREMENTAL = 2,
    JOB_DEFINITION_SUBTYPE_CUMULATIVE = 3,
    // Restore kinds.
    JOB_DEFINITION_SUBTYPE_DISK = 23,
    JOB_DEFINITION_SUBTYPE_VM = 24,
};

#endif
