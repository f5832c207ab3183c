// Runs a definition's precondition, pre-action or post-action script.
#ifndef HOST_JOB_EXECUTE_SCRIPT_H
#define HOST_JOB_EXECUTE_SCRIPT_H

#include <functional>
#include <string>

// An empty (or all-blank) script passes. Otherwise the text runs under
// "/bin/sh -c" and passes when it exits with status 0. Each output line
// (stdout and stderr) goes to log when set. background true starts the script
// and returns at once (passing when it started).
bool execute_script(const std::string& script, bool background,
                    const std::function<void(const std::string&)>& log);

#endif
