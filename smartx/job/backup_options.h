#ifndef SMARTX_JOB_BACKUP_OPTIONS_H
#define SMARTX_JOB_BACKUP_OPTIONS_H

#include "host/job/job_object.h"
#include "host/json_spirit/value.h"

namespace smartx {

// The options a backup job's text gave; defaults live with the executor.
class Backup_Options : public Job_Options {
 public:
  int generate(yajl_gen g) override;
  json_spirit::Value& value() { return value_; }

 private:
  json_spirit::Value value_;
};

}  // namespace smartx

#endif
