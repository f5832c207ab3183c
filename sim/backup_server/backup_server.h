// A backup server on 127.0.0.1 for tests and the demo: answers the module's
// JSON-RPC calls ("smartx.query" for an instance's CloudTower login, with
// the secrets encrypted for the host), records the alerts it is sent, keeps
// the backup-set catalog (in SQLite) and answers resources' protection flags.
#ifndef SIM_BACKUP_SERVER_BACKUP_SERVER_H
#define SIM_BACKUP_SERVER_BACKUP_SERVER_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

namespace sim {

struct Instance_Login {
    std::string uuid;
    std::string host;
    int port = 0;
    bool ssl = false;
    std::string username;
    std::string password;  // plain here; encrypted on the wire
    std::string token;     // may be empty
};

struct Logged_Request {
    std::string method;  // HTTP method
    std::string path;
    std::string body;
};

class Backup_Server {
public:
    // public_key_pem: the host's public key; secrets are encrypted with it.
    explicit Backup_Server(std::string public_key_pem);
    ~Backup_Server();
    Backup_Server(const Backup_Server&) = delete;
    Backup_Server& operator=(const Backup_Server&) = delete;

    // Loads {"public_key_file", "instances": [{"uuid", "host", "port", "ssl",
    // "username", "password", "token"}], "db": catalog file, "access_key",
    // "resources": [{"uuid", "flags": [...]}]}; null with a message in error.
    static std::unique_ptr<Backup_Server> from_config(const std::string& path, std::string* error);

    // Binds 127.0.0.1 on a free port (or this one: a restart after stop()
    // keeps its address) and serves on a thread of its own.
    bool start(int port = 0);
    void stop();
    int port() const { return port_; }

    void add_instance(const Instance_Login& login);

    // The catalog and resource flags live in this SQLite file (created when
    // missing) from now on; "" keeps them in memory (the default).
    bool open_catalog(const std::string& path, std::string* error);
    // Requests under /zq/ must carry this X-Access-Key ("" : any or none).
    void set_access_key(const std::string& key);
    // Flags of a resource, as GET /zq/r/v2/resources answers them.
    void set_resource_flags(const std::string& uuid, const std::vector<std::string>& flags);
    // Every set of a catalog, in commit order.
    std::vector<json_spirit::Object> catalog_rows(const std::string& catalog) const;

    // Switches for fault tests.
    // The next "smartx.query" answers this raw JSON value as its result.
    void set_query_result_override(const std::string& json);
    // Every JSON-RPC call answers a JSON-RPC error.
    void set_rpc_error(bool on);
    // The next count catalog requests (commits and views) answer this status
    // with an error body.
    void fail_catalog(int count, int status);
    // How a faulted commit is answered: cut off after the head (the sender
    // sees its connection break), 200 with a body that is not JSON, 200 with
    // an object naming no set, 503, or 400.
    enum class Commit_Answer { CUT_OFF, NOT_JSON, NAMES_NO_SET, SERVER_ERROR, CLIENT_ERROR };
    // The next count commits are stored (when store) or not, and answered so.
    void fault_commits(int count, bool store, Commit_Answer answer);
    // Faulted commits to be stored (fault_commits' store) are kept aside,
    // still on their way in, until land_held_commits() stores them; how
    // many it stored.
    void hold_faulted_commits(bool held);
    size_t land_held_commits();
    // Once a commit has come in, the next count view requests answer status.
    void fail_views_after_commit(int count, int status);
    // Once a commit has come in, the next count view requests answer this
    // raw text (200), whatever their filter.
    void answer_views_after_commit(int count, const std::string& text);
    // Commits wait this long before they are handled (0: none); counted as
    // they arrive.
    void delay_commits(int ms);
    int commits_received() const;
    // Commits received and not yet answered.
    int commits_pending() const;
    // The next view, or resources, request answers this raw text (200);
    // with kept, every view request does until the text is set again.
    void set_view_override(const std::string& text, bool kept = false);
    void set_resources_override(const std::string& text);

    std::vector<json_spirit::Value> alerts() const;
    std::vector<Logged_Request> requests() const;
    // Connections accepted since the first start.
    size_t connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace sim

#endif
