#include "host/servant/servant.h"

#include <cstring>
#include <map>

#include <ace/Process.h>

#include "host/paths.h"

extern char** environ;

namespace {

const char* const PRODUCT_PREFIXES[] = {"/opt/velmora/tarnvik3/", "/etc/opt/velmora/tarnvik3/",
                                        "/var/opt/velmora/tarnvik3/"};

}  // namespace

std::string resolve_product_path(const std::string& path) {
    bool product = path.find("$COMPONENT") != std::string::npos;
    for (const char* prefix : PRODUCT_PREFIXES) {
        if (path.compare(0, std::strlen(prefix), prefix) == 0)
            product = true;
    }
    return product ? host_path(path) : path;
}

std::string servant_program_path(const std::string& program) {
    return host_path("/opt/velmora/tarnvik3/bin/" + program);
}

Servant::Servant() : options_(new ACE_Process_Options(true)) {}
Servant::~Servant() = default;

int Servant::reset(const char* program, const char* configuration, const char* working_directory,
                   const char* const* extra_args, const char* name) {
    options_.reset(new ACE_Process_Options(true));
    program_ = program ? program : "";
    configuration_ = configuration ? configuration : "";
    working_directory_ = working_directory ? working_directory : "";
    extra_args_.clear();
    for (const char* const* a = extra_args; a && *a; ++a)
        extra_args_.push_back(*a);
    name_ = name ? name : "";
    return program_.empty() ? -1 : 0;
}

ACE_Process_Options& Servant::get_process_options() {
    return *options_;
}

void Servant::set_log_msg_callback(const Log_Msg_Callback& callback) {
    log_callback_ = callback;
}

std::string Servant::executable() const {
    if (program_.find('/') == std::string::npos)
        return servant_program_path(program_);
    return resolve_product_path(program_);
}

std::vector<std::string> Servant::environment() {
    // Ordered by name so the child's environment does not depend on the
    // order the callback set things in.
    std::map<std::string, std::string> vars;
    auto put = [&vars](const char* assignment) {
        const char* eq = std::strchr(assignment, '=');
        if (!eq || eq == assignment)
            return;
        vars[std::string(assignment, eq)] = assignment;
    };
    if (options_->inherit_environment()) {
        for (char** e = environ; e && *e; ++e)
            put(*e);
    }
    for (ACE_TCHAR* const* e = options_->env_argv(); e && *e; ++e)
        put(*e);
    std::vector<std::string> out;
    out.reserve(vars.size());
    for (auto& kv : vars)
        out.push_back(std::move(kv.second));
    return out;
}
