// What the engine asks a module for: a job per definition.
#ifndef HOST_JOB_JOB_CREATOR_H
#define HOST_JOB_JOB_CREATOR_H

#include <ace/Intrusive_Auto_Ptr.h>
#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

class Job;
class Job_Definition;

class Job_Creator {
public:
    virtual ~Job_Creator() = default;
    virtual int init(int, char**) { return 0; }
    virtual int fini() { return 0; }
    virtual ACE_Intrusive_Auto_Ptr<Job> create(
        ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex> def) = 0;
};

#endif
