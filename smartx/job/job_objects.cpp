#include "host/json_spirit/yajl_gen_value.h"
#include "smartx/job/backup_options.h"
#include "smartx/job/backup_source.h"
#include "smartx/job/restore_options.h"
#include "smartx/job/restore_source.h"

namespace smartx {

int Backup_Source::generate(yajl_gen g) const { return yajl_gen_value(g, value_); }
int Restore_Source::generate(yajl_gen g) const { return yajl_gen_value(g, value_); }
int Backup_Options::generate(yajl_gen g) { return yajl_gen_value(g, value_); }
int Restore_Options::generate(yajl_gen g) { return yajl_gen_value(g, value_); }

}  // namespace smartx
