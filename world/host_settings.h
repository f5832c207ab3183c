// The host settings file under HOST_ROOT (backup server, key pair, access
// key), written for a test, a benchmark or the demo; the host reloads it.
// Inline: a program needs only the host library for it.
#ifndef WORLD_HOST_SETTINGS_H
#define WORLD_HOST_SETTINGS_H

#include <fstream>
#include <string>

#include "host/host_manager.h"
#include "host/json_spirit/json_io.h"
#include "host/paths.h"
#include "host/rsa_codec.h"

struct Host_Key_Pair {
    std::string private_pem;
    std::string public_pem;
};

// One throwaway key pair per process: generating RSA keys is slow.
inline const Host_Key_Pair& test_host_keys() {
    static const Host_Key_Pair keys = [] {
        Host_Key_Pair k;
        rsa_generate_key_pair(k.private_pem, k.public_pem);
        return k;
    }();
    return keys;
}

// Writes host.json (backup server at 127.0.0.1:port, that key pair,
// the given access key) and the key files; returns the public key's path.
inline std::string write_host_settings(const std::string& root, int backupd_port,
                                       const std::string& access_key = "test-access-key") {
    const Host_Key_Pair& keys = test_host_keys();
    std::string priv = root + "/host-key.pem", pub = root + "/host-key.pub.pem";
    std::ofstream(priv) << keys.private_pem;
    std::ofstream(pub) << keys.public_pem;
    json_spirit::Object backupd;
    backupd["host"] = "127.0.0.1";
    backupd["port"] = backupd_port;
    backupd["ssl"] = false;
    json_spirit::Object settings;
    settings["backup_server"] = backupd;
    settings["rsa_private_key_file"] = priv;
    settings["access_key"] = access_key;
    std::string path = Host_Manager::settings_path();
    make_directories(path.substr(0, path.rfind('/')), 0750);
    std::ofstream(path) << json_spirit::write(json_spirit::Value(settings));
    Host_Manager::instance()->reload();
    return pub;
}

#endif
