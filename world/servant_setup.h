// What a host needs before its servant scheduler can start servants: the
// starter program where the host looks for programs, and the servant
// configuration naming the module and its handlers. Inline: a program needs
// only the host library for it.
#ifndef WORLD_SERVANT_SETUP_H
#define WORLD_SERVANT_SETUP_H

#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "host/servant/servant.h"

// The configuration path the executors hand to the starter (unresolved).
inline const char* servant_config_template() {
    return SERVANT_DEFAULT_CONFIG;
}

// Links the built starter to $HOST_ROOT/opt/velmora/tarnvik3/bin/starter;
// returns the link. Throws when it cannot.
inline std::string install_starter(const std::string& built) {
    const std::string dir = host_path("/opt/velmora/tarnvik3/bin");
    if (make_directories(dir, 0755) != 0)
        throw std::runtime_error("cannot make " + dir);
    const std::string link = dir + "/starter";
    ::unlink(link.c_str());
    if (::symlink(built.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot link " + link);
    return link;
}

// Writes the servant configuration at its default place: each method of
// handlers maps to its entry (a factory name or an object), the module is
// loaded from module. Returns the file's path.
inline std::string write_servant_config(const json_spirit::Object& handlers,
                                        const std::string& module) {
    const std::string path = host_path(servant_config_template());
    make_directories(path.substr(0, path.rfind('/')), 0755);
    json_spirit::Object cfg;
    cfg["module"] = module;
    cfg["handlers"] = handlers;
    std::ofstream out(path);
    out << json_spirit::write(json_spirit::Value(cfg));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
    return path;
}

#endif
