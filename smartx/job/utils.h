// Between the executors and the host's servant framework: preparing the
// servant process of one VM task, and decoding what it answers.
#ifndef SMARTX_JOB_UTILS_H
#define SMARTX_JOB_UTILS_H

#include <string>

#include "host/json_spirit/value.h"
#include "host/servant/json_rpc.h"
#include "host/servant/servant.h"

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
}  // namespace smartx

#endif
