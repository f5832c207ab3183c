// What the module's option and source objects hold: the JSON value their
// text parsed into, written back through yajl on request.
#ifndef SMARTX_JOB_JOB_VALUE_H
#define SMARTX_JOB_JOB_VALUE_H

#include "host/job/job_object.h"
#include "host/json_spirit/value.h"

namespace smartx {

class Job_Value {
public:
    json_spirit::Value& value() { return value_; }
    const json_spirit::Value& value() const { return value_; }

protected:
    // A yajl_gen_status.
    int generate_value(yajl_gen g) const;

private:
    json_spirit::Value value_;
};

// The whole backup source document; the executor reads its "entries".
class Backup_Source : public Job_Source, public Job_Value {
public:
    int generate(yajl_gen g) const override { return generate_value(g); }
};

// The whole restore source document.
class Restore_Source : public Job_Source, public Job_Value {
public:
    int generate(yajl_gen g) const override { return generate_value(g); }
};

// The options a job's text gave; defaults live with the executors.
class Backup_Options : public Job_Options, public Job_Value {
public:
    int generate(yajl_gen g) override { return generate_value(g); }
};

class Restore_Options : public Job_Options, public Job_Value {
public:
    int generate(yajl_gen g) override { return generate_value(g); }
};

}  // namespace smartx

#endif
