#ifndef SMARTX_JOB_BACKUP_SOURCE_H
#define SMARTX_JOB_BACKUP_SOURCE_H

#include "host/job/job_object.h"
#include "host/json_spirit/value.h"

namespace smartx {

// The whole backup source document; the executor reads its "entries".
class Backup_Source : public Job_Source {
 public:
  int generate(yajl_gen g) const override;
  json_spirit::Value& value() { return value_; }
  const json_spirit::Value& value() const { return value_; }

 private:
  json_spirit::Value value_;
};

}  // namespace smartx

#endif
