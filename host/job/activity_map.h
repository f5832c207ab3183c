// Maps a job definition's activity record, shared between the job engine
// and its servant processes.
#ifndef HOST_JOB_ACTIVITY_MAP_H
#define HOST_JOB_ACTIVITY_MAP_H

#include <string>

#include "host/job/job_types.h"

class Job_Activity_Map {
public:
    Job_Activity_Map() = default;
    ~Job_Activity_Map();
    Job_Activity_Map(const Job_Activity_Map&) = delete;
    Job_Activity_Map& operator=(const Job_Activity_Map&) = delete;

    // create: make the file (zeroed, 4096 bytes) when missing. An existing file
    // shorter than the record is refused. 0 or -1 (errno).
    int open(const std::string& def_id, bool create);
    void close();
    int sync();

    static std::string path_of(const std::string& def_id);

    Job_Activity* get() const { return rec_; }
    Job_Activity* operator->() const { return rec_; }
    explicit operator bool() const { return rec_ != nullptr; }

private:
    Job_Activity* rec_ = nullptr;
};

#endif
