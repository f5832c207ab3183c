#include "host/host_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include <ace/Log_Msg.h>

#include "host/json_record.h"
#include "host/json_spirit/json_parser.h"
#include "host/paths.h"

namespace {

const char* const SETTINGS_FILE = "/etc/opt/velmora/tarnvik3/host.json";
const char* const SECRET_KEYS[] = {"access_key", "node_access_key"};

// Settings and key files hold secrets: their text is read into wiping storage.
bool read_file(const std::string& path, secure_string& text, int& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    char buf[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            err = errno;
            ok = false;
            break;
        }
    }
    secure_memset(buf, 0, sizeof buf);
    ::close(fd);
    return ok;
}

// The plain parser keeps strings in plain storage: the secret members of the
// top object go straight into wiping strings instead, and into the tree as
// secure strings once the parse is over.
class Settings_Parser : public JSON_Parser {
public:
    explicit Settings_Parser(json_spirit::Value* root) : JSON_Parser(root), root_(root) {}

    int handle_string_i(const char* s, size_t len) override {
        if (levels() == 1)
            for (size_t i = 0; i < SECRETS; ++i)
                if (key() == SECRET_KEYS[i]) {
                    secrets_[i].assign(s, len);
                    found_[i] = true;
                    return JSON_Parser::handle_string_i("", 0);
                }
        return JSON_Parser::handle_string_i(s, len);
    }

    void put_secrets() {
        if (root_->type() != json_spirit::obj_type)
            return;
        json_spirit::Object& obj = root_->get_obj();
        for (size_t i = 0; i < SECRETS; ++i) {
            auto it = obj.find(SECRET_KEYS[i]);
            if (found_[i] && it != obj.end() && it->second.type() == json_spirit::str_type)
                it->second = json_spirit::Value(std::move(secrets_[i]));
        }
    }

private:
    static constexpr size_t SECRETS = sizeof SECRET_KEYS / sizeof SECRET_KEYS[0];
    json_spirit::Value* root_;
    secure_string secrets_[SECRETS];
    bool found_[SECRETS] = {};
};

}  // namespace

Host_Manager* Host_Manager::instance() {
    static Host_Manager manager;
    return &manager;
}

Host_Manager::Host_Manager() {
    reload();
}

std::string Host_Manager::settings_path() {
    return host_path(SETTINGS_FILE);
}

bool Host_Manager::reload() {
    const std::string path = settings_path();
    Settings loaded;
    secure_string text;
    int err = 0;
    bool ok = read_file(path, text, err);
    if (!ok) {
        if (err == ENOENT)
            ACE_DEBUG((LM_DEBUG, ACE_TEXT("No host settings file %C.\n"), path.c_str()));
        else
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read host settings %C: %C.\n"), path.c_str(),
                       ::strerror(err)));
    } else {
        json_spirit::Value root;
        Settings_Parser parser(&root);
        std::string reason;
        if (!parser.parse(text.data(), text.size(), &reason)) {
            ok = false;
        } else {
            parser.put_secrets();
            try {
                const json_spirit::Object& obj = root.get_obj();
                using json_record::read_optional;
                read_optional(obj, "on_backupd", loaded.on_backupd);
                read_optional(obj, "access_key", loaded.access_key);
                read_optional(obj, "node_access_key", loaded.node_access_key);
                read_optional(obj, "rsa_private_key_file", loaded.rsa_prvkey_file);
                read_optional(obj, "ca_file", loaded.ca_file);
                read_optional(obj, "tls_verify", loaded.tls_verify);
                json_spirit::Object server;
                read_optional(obj, "backup_server", server);
                read_optional(server, "host", loaded.backupd_host);
                read_optional(server, "port", loaded.backupd_port);
                read_optional(server, "ssl", loaded.backupd_ssl);
            } catch (const std::exception& e) {
                reason = e.what();
                ok = false;
            }
        }
        if (!ok) {
            // Parse and member errors name positions and keys, never values.
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to load host settings %C: %C.\n"), path.c_str(),
                       reason.c_str()));
            loaded = Settings();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = std::move(loaded);
    rsa_prvkey_.clear();
    return ok;
}

bool Host_Manager::on_backupd() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.on_backupd;
}

secure_string Host_Manager::access_key() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.access_key;
}

secure_string Host_Manager::node_access_key() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.node_access_key;
}

std::string Host_Manager::rsa_prvkey_file() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.rsa_prvkey_file;
}

secure_string Host_Manager::rsa_prvkey() const {
    // Read once (every console request decrypts with it); a failed read is
    // tried again at the next call.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!rsa_prvkey_.empty())
        return rsa_prvkey_;
    const std::string& path = settings_.rsa_prvkey_file;
    secure_string pem;
    int err = 0;
    if (path.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("No RSA private key file in host settings %C.\n"),
                   settings_path().c_str()));
    } else if (!read_file(path, pem, err)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to read RSA private key %C: %C.\n"), path.c_str(),
                   ::strerror(err)));
        pem.clear();
    }
    rsa_prvkey_ = pem;
    return pem;
}

std::string Host_Manager::backupd_host() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.backupd_host;
}

int Host_Manager::backupd_port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.backupd_port;
}

bool Host_Manager::backupd_ssl() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.backupd_ssl;
}

std::string Host_Manager::ca_file() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.ca_file;
}

bool Host_Manager::tls_verify() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.tls_verify;
}
