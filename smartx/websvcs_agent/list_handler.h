// The console's browse handler: each request names a protected instance
// ("uuid") and a "subtype" ("inventory", "verify_vms", "search", "disk");
// the handler fetches the instance's CloudTower login from the backup
// server, logs in with a client of its own and answers with one lister
// call's result or a JSON-RPC error.
//
// init takes the ZBS connection settings of the data movers in this process:
//   --zbs-timeout|-t MS  --zbs-initial-interval|-i S  --zbs-max-interval|-m S
//   --zbs-retries|-r N
#ifndef SMARTX_WEBSVCS_AGENT_LIST_HANDLER_H
#define SMARTX_WEBSVCS_AGENT_LIST_HANDLER_H

#include "host/servant/json_rpc.h"
#include "smartx/common/export.h"
#include "smartx/common/factory.h"

namespace smartx {

class JSON_RPC_SmartX_List_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
    JSON_RPC_SmartX_List_Handler();
    ~JSON_RPC_SmartX_List_Handler() override;

    // Unknown options are logged and skipped; always 0.
    int init(int argc, char** argv) override;
    int fini() override;
    // Exactly one answer per request; returns what sending it returned.
    int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override;
};

}  // namespace smartx

SMARTX_EXPORT JSON_RPC_Handler* _make_JSON_RPC_SmartX_List_Handler(Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_JSON_RPC_SmartX_List_Handler(void* handler);

#endif
