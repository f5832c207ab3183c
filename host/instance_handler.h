// The host's instance plug-ins: the instance agent asks each handler of a
// platform type which instances it sees, their state, and logs on to them.
#ifndef HOST_INSTANCE_HANDLER_H
#define HOST_INSTANCE_HANDLER_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

// One instance as the instance agent lists it.
struct Instance {
    std::string type;
    std::string name;
    json_spirit::Object options;
};

typedef std::map<std::string, std::shared_ptr<Instance>> Instance_Map;

class Instance_Handler {
public:
    // type: the platform type this handler answers for ("smartx", ...).
    explicit Instance_Handler(const char* type);
    virtual ~Instance_Handler();
    Instance_Handler(const Instance_Handler&) = delete;
    Instance_Handler& operator=(const Instance_Handler&) = delete;

    const std::string& type() const { return type_; }

    // Defaults of every slot: init, fini, logoff and update_options succeed
    // (0) doing nothing; probe_instances adds none; get_state says
    // "unknown"; logon refuses (-1).
    virtual int init(int argc, char** argv);
    virtual int fini();
    // Adds or replaces the instances this handler sees, by name.
    virtual int probe_instances(Instance_Map& instances);
    // Sets state and returns it.
    virtual const std::string& get_state(const char* name, std::string& state);
    // get_state for each name, into states by name; 0.
    virtual int get_states(const std::vector<std::string>& names,
                           std::map<std::string, std::string>& states);
    // 0 when the credentials are accepted.
    virtual int logon(const char* name, const char* username, const char* password,
                      const json_spirit::Object* options);
    virtual int logoff(const char* name);
    virtual int update_options(const char* name, const json_spirit::Object& options);

private:
    std::string type_;
};

#endif
