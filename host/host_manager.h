// This host's identity and settings, read from the host settings file
// /etc/opt/velmora/tarnvik3/host.json (through host_path). Keys: see README.
#ifndef HOST_HOST_MANAGER_H
#define HOST_HOST_MANAGER_H

#include <mutex>
#include <string>

#include "host/secure_memory.h"

class Host_Manager {
public:
    // The process-wide instance; the settings file is read at the first call.
    static Host_Manager* instance();

    // Re-reads the settings file. Without a readable, well-formed file every
    // setting is empty (false; a malformed file is logged).
    bool reload();

    // Where the settings file is looked for.
    static std::string settings_path();

    // True in the backup server's own processes.
    bool on_backupd() const;
    // The key this host presents to the backup server, and the one the backup
    // server's own node presents.
    secure_string access_key() const;
    secure_string node_access_key() const;
    // The host's RSA private key: the path of its PEM file, and its PEM text
    // (read from that file at the first call after a load of the settings;
    // empty when it cannot be read, and then read again at the next call).
    std::string rsa_prvkey_file() const;
    secure_string rsa_prvkey() const;
    // The backup server's address.
    std::string backupd_host() const;
    int backupd_port() const;
    bool backupd_ssl() const;
    // How TLS peers (the backup server, CloudTower) are checked: against the
    // system's CA store, or against this CA file instead when it is named;
    // not at all only when tls_verify() is false, which the settings must say.
    std::string ca_file() const;
    bool tls_verify() const;

    Host_Manager(const Host_Manager&) = delete;
    Host_Manager& operator=(const Host_Manager&) = delete;

private:
    struct Settings {
        bool on_backupd = false;
        secure_string access_key;
        secure_string node_access_key;
        std::string rsa_prvkey_file;
        std::string backupd_host;
        int backupd_port = 0;
        bool backupd_ssl = false;
        std::string ca_file;
        bool tls_verify = true;
    };

    Host_Manager();

    mutable std::mutex mutex_;
    Settings settings_;
    mutable secure_string rsa_prvkey_;  // the key file's text, once read
};

#endif
