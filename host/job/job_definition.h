// A job definition as the engine hands it to a job: identity, scripts,
// retry settings, and the parsed options and source objects.
#ifndef HOST_JOB_JOB_DEFINITION_H
#define HOST_JOB_JOB_DEFINITION_H

#include <cstdint>
#include <memory>
#include <string>

#include "host/job/job_object.h"
#include "host/job/job_types.h"
#include "host/json_spirit/value.h"
#include "host/rate_limits.h"

struct Job_Target {
    std::string id;
    std::string device_id;
};

struct Job_Schedule {
    // A job run only when asked, with set-up and removal of its own.
    enum Type { TYPE_ON_DEMAND = 7 };
    int type = 0;
};

class Job_Definition {
public:
    // The longest precondition, pre- or post-action: the kernel's bound on one
    // argument (MAX_ARG_STRLEN, 128 KiB with its terminating zero).
    static constexpr size_t MAX_SCRIPT_BYTES = 131071;

    Job_Definition_Type type = JOB_DEFINITION_NONE;
    int subtype = 0;
    std::string id;
    std::string uid;
    std::string name;
    std::string host_id;
    std::string agent;
    int job_revision = 0;
    Job_Target target;
    Job_Schedule schedule;
    std::string precondition;
    std::string pre_action;
    std::string post_action;
    bool run_post_action_always = false;
    bool ignore_pre_action_failure = false;
    bool ignore_post_action_failure = false;
    int retry_count = 0;
    int retry_interval = 0;
    size_t max_seconds_retry = 0;
    size_t resumption_buffer_size = 0;
    Rate_Limits rate_limits;

    Job_Source* source() const { return source_.get(); }
    Job_Options* options() const { return options_.get(); }
    void source(std::shared_ptr<Job_Source> s) { source_ = std::move(s); }
    void options(std::shared_ptr<Job_Options> o) { options_ = std::move(o); }

    // Loads the fields from a JSON object. "options" and "source" (any JSON
    // value) are fed, as text, to parsers made by the given creators (either may
    // be null: that part is left empty). False with a message in error naming
    // the member at fault: a number out of range (anywhere), a script too long.
    bool load(const json_spirit::Object& obj, Object_Creator_T<YAJL_Handler>* options_creator,
              Object_Creator_T<YAJL_Handler>* source_creator, std::string* error);
    bool load_file(const std::string& path, Object_Creator_T<YAJL_Handler>* options_creator,
                   Object_Creator_T<YAJL_Handler>* source_creator, std::string* error);

private:
    std::shared_ptr<Job_Source> source_;
    std::shared_ptr<Job_Options> options_;
};

#endif
