// One servant process as the scheduler is about to start it: which program,
// which servant configuration and name, and its environment. The scheduler's
// initialisation callback edits it before each start.
#ifndef HOST_SERVANT_SERVANT_H
#define HOST_SERVANT_SERVANT_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

class ACE_Process_Options;

// The same callback type as the job's (host/job/job.h): one log line.
typedef std::function<void(const std::string& line)> Log_Msg_Callback;

// Where the starter reads the servant configuration unless told otherwise
// (unresolved: $COMPONENT and HOST_ROOT apply).
constexpr const char* SERVANT_DEFAULT_CONFIG =
    "/etc/opt/velmora/tarnvik3/$COMPONENT/servant/smartx/svc.conf";

// Product paths (/opt/velmora/tarnvik3/..., /etc/opt/velmora/tarnvik3/...,
// /var/opt/velmora/tarnvik3/...) and paths holding "$COMPONENT" go through
// host_path; any other path is used as given.
std::string resolve_product_path(const std::string& path);

// Where a program named without a directory is looked for:
// /opt/velmora/tarnvik3/bin/<name>, through host_path.
std::string servant_program_path(const std::string& program);

class Servant {
public:
    Servant();
    ~Servant();
    Servant(const Servant&) = delete;
    Servant& operator=(const Servant&) = delete;

    // program: a name without '/' runs servant_program_path(name), else the
    // path (resolve_product_path). configuration: the servant configuration
    // handed to the program (resolved by the program). working_directory: null
    // keeps the parent's. extra_args: further program arguments, a
    // null-terminated array, or null. name: the servant's name (logs, process
    // title). Starts over with fresh process options (the parent's environment,
    // nothing set). 0, or -1 for a null or empty program.
    int reset(const char* program, const char* configuration, const char* working_directory,
              const char* const* extra_args, const char* name);

    // The child's process options: setenv on them sets variables of the
    // child's environment (over the inherited ones).
    ACE_Process_Options& get_process_options();

    // Lines the servant writes on its standard output and error go here; unset,
    // they are logged at information priority with the servant's name.
    void set_log_msg_callback(const Log_Msg_Callback& callback);

    const std::string& program() const { return program_; }
    const std::string& configuration() const { return configuration_; }
    const std::string& working_directory() const { return working_directory_; }
    const std::vector<std::string>& extra_args() const { return extra_args_; }
    const std::string& name() const { return name_; }
    const Log_Msg_Callback& log_msg_callback() const { return log_callback_; }

    // The program path to execute and the child's whole environment
    // ("NAME=value"): the parent's, overridden by what the options set.
    std::string executable() const;
    std::vector<std::string> environment();

private:
    std::string program_;
    std::string configuration_;
    std::string working_directory_;
    std::vector<std::string> extra_args_;
    std::string name_;
    Log_Msg_Callback log_callback_;
    std::unique_ptr<ACE_Process_Options> options_;
};

#endif
