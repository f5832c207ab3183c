#include "smartx/instance_handler/instance_handler.h"

#include <memory>

#include "qorm/guard.h"

namespace {
const char* const PROXY_NAME = "SmartX_Proxy";
}

SmartX_Instance_Handler::SmartX_Instance_Handler() : Instance_Handler("smartx") {}

SmartX_Instance_Handler::~SmartX_Instance_Handler() = default;

int SmartX_Instance_Handler::probe_instances(Instance_Map& instances) {
    return qorm::guarded("probe SmartX instances", -1, [&] {
        std::shared_ptr<Instance> proxy = std::make_shared<Instance>();
        proxy->type = type();
        proxy->name = PROXY_NAME;
        proxy->options["is_proxy"] = true;
        instances[PROXY_NAME] = proxy;
        return 0;
    });
}

const std::string& SmartX_Instance_Handler::get_state(const char*, std::string& state) {
    state = "enabled";
    return state;
}

int SmartX_Instance_Handler::logon(const char*, const char*, const char*,
                                   const json_spirit::Object*) {
    return 0;
}

Instance_Handler* _make_SmartX_Instance_Handler(Gobble_Function* gobble) {
    return smartx::make_exported<SmartX_Instance_Handler, Instance_Handler>(
        gobble, _gobble_SmartX_Instance_Handler);
}

void _gobble_SmartX_Instance_Handler(void* handler) {
    smartx::gobble_exported<Instance_Handler>(handler);
}
