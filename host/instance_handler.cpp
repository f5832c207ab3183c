#include "host/instance_handler.h"

Instance_Handler::Instance_Handler(const char* type) : type_(type ? type : "") {}

Instance_Handler::~Instance_Handler() = default;

int Instance_Handler::init(int, char**) {
    return 0;
}

int Instance_Handler::fini() {
    return 0;
}

int Instance_Handler::probe_instances(Instance_Map&) {
    return 0;
}

const std::string& Instance_Handler::get_state(const char*, std::string& state) {
    state = "unknown";
    return state;
}

int Instance_Handler::get_states(const std::vector<std::string>& names,
                                 std::map<std::string, std::string>& states) {
    for (const std::string& name : names) {
        std::string state;
        states[name] = get_state(name.c_str(), state);
    }
    return 0;
}

int Instance_Handler::logon(const char*, const char*, const char*, const json_spirit::Object*) {
    return -1;
}

int Instance_Handler::logoff(const char*) {
    return 0;
}

int Instance_Handler::update_options(const char*, const json_spirit::Object&) {
    return 0;
}
