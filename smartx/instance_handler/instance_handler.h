// The instance plug-in of type "smartx": the instance agent sees one fixed
// proxy instance through which the SmartX platform is reached.
#ifndef SMARTX_INSTANCE_HANDLER_INSTANCE_HANDLER_H
#define SMARTX_INSTANCE_HANDLER_INSTANCE_HANDLER_H

#include <string>

#include "host/instance_handler.h"
#include "smartx/common/export.h"
#include "smartx/common/factory.h"

class SmartX_Instance_Handler : public Instance_Handler {
public:
    SmartX_Instance_Handler();
    ~SmartX_Instance_Handler() override;

    // Puts the proxy instance under "SmartX_Proxy"; others stay.
    int probe_instances(Instance_Map& instances) override;
    // "enabled", whatever the name.
    const std::string& get_state(const char* name, std::string& state) override;
    // Nothing to log on to: always 0.
    int logon(const char* name, const char* username, const char* password,
              const json_spirit::Object* options) override;
};

SMARTX_EXPORT Instance_Handler* _make_SmartX_Instance_Handler(Gobble_Function* gobble);
SMARTX_EXPORT void _gobble_SmartX_Instance_Handler(void* handler);

#endif
