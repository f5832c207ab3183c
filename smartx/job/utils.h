// Between the executors and the host's servant framework: preparing the
// servant process of one VM task, and decoding what it answers. Also the
// backup server's answers a restore needs: protection flags and catalog rows.
#ifndef SMARTX_JOB_UTILS_H
#define SMARTX_JOB_UTILS_H

#include <string>

#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant.h"

class Backup_Set;
class SmartX_Backup_Set;

namespace smartx {
// Points the servant at the starter with the module's servant configuration
// under servant_name, sends its output lines to log_callback (when set), puts the ZBS library
// directory of zbs_version first on its LD_LIBRARY_PATH and hands it the process-wide ZBS
// connection settings. False (nothing started) when the name or version cannot be used or the
// inherited LD_LIBRARY_PATH is unset or empty.
bool init_servant(Servant& servant, const std::string& servant_name, const std::string& zbs_version,
                  const Log_Msg_Callback& log_callback);

// The result object of a servant's JSON-RPC answer, moved into result; false
// (logged) for a missing answer, an error answer or a result that is not an
// object.
bool get_servant_result(const JSON_RPC_Object_Ptr& resp, json_spirit::Object& result);

// The local time now in a strftime format (default "%Y-%m-%d %H:%M:%S");
// empty when it cannot be had.
std::string local_time_now(const char* format = "%Y-%m-%d %H:%M:%S");

// Whether the backup server flags the resource "protected". False (logged)
// when the answer cannot be had or read; is_protected is then false.
bool get_vm_protected_flags(const std::string& resource_uuid, bool& is_protected);

// A view of the "smartx" catalog with a filter. max_retries and max_seconds
// bound the retries of the host's catalog operator (-1: none of its own).
bool get_catalog(const char* view_name, const json_spirit::Object& filter, int max_retries,
                 int max_seconds, json_spirit::Value& result);

// The backup set of catalog uuid made for the resource, loaded into set.
bool get_catalog_by_uuid(const std::string& uuid, const std::string& resource_uuid,
                         SmartX_Backup_Set& set, int max_retries, int max_seconds);

// A catalog row as the backup servant commits it. Each part is left as it
// was when its load fails (logged); load_backup_set stops at the first.
bool load_backup_set(const json_spirit::Object& row, SmartX_Backup_Set& set);
bool load_base_backup_set(const json_spirit::Object& row, Backup_Set& set);
bool load_vm_backup_set(const json_spirit::Object& row, SmartX_Backup_Set& set);
}  // namespace smartx

#endif
