#include "sim/backup_server/backup_server.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include <httplib.h>

#include "host/json_spirit/json_io.h"
#include "host/rsa_codec.h"
#include "sim/backup_server/catalog_store.h"
#include "sim/http_server.h"

namespace sim {

struct Backup_Server::Impl {
    // An instance's login as "smartx.query" answers it, encrypted once when
    // the instance is added, as a backup server keeps it.
    struct Stored_Login {
        std::string uuid;
        bool encrypted = false;  // false: the secrets could not be encrypted
        json_spirit::Object login;
    };

    std::string public_key;
    Http_Server server;
    std::thread thread;

    mutable std::mutex mutex;
    std::vector<Stored_Login> instances;
    std::vector<json_spirit::Value> alerts;
    std::vector<Logged_Request> requests;
    std::string query_override;
    bool rpc_error = false;
    Catalog_Store store;
    std::string access_key;
    int catalog_failures = 0;
    int catalog_failure_status = 500;
    std::atomic<int> commit_delay_ms{0};
    std::atomic<int> commits_received{0};
    std::atomic<int> commits_handled{0};
    int commit_faults = 0;
    bool faulted_commits_stored = false;
    // Faulted commits kept aside, stored only when landed: still on their
    // way in.
    bool faulted_commits_held = false;
    struct Held_Commit {
        std::string catalog, body, replace;
    };
    std::vector<Held_Commit> held_commits;
    Backup_Server::Commit_Answer commit_answer = Backup_Server::Commit_Answer::CUT_OFF;
    int views_to_fail = 0;  // armed by a commit
    int view_failures = 0;
    int view_failure_status = 500;
    std::string view_failure_text;  // answered as is; empty: an error body
    std::string view_override;
    bool view_override_kept = false;
    std::string resources_override;

    static void answer(httplib::Response& res, int status, const json_spirit::Value& body) {
        res.status = status;
        res.set_content(json_spirit::write(body), "application/json");
    }
    static void answer_error(httplib::Response& res, int status, const std::string& message) {
        json_spirit::Object err;
        err["message"] = message;
        answer(res, status, err);
    }

    // Access key and armed faults of /zq/ requests; false when answered here.
    bool admit(const httplib::Request& req, httplib::Response& res, bool catalog) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!access_key.empty() && req.get_header_value("X-Access-Key") != access_key) {
            answer_error(res, 401, "access key refused");
            return false;
        }
        if (catalog && catalog_failures > 0) {
            --catalog_failures;
            answer_error(res, catalog_failure_status, "simulated failure");
            return false;
        }
        return true;
    }

    // What the views after the next commit answer: status, and text as is
    // (empty: an error body).
    void arm_views(int count, int status, std::string text) {
        std::lock_guard<std::mutex> lock(mutex);
        views_to_fail = count;
        view_failures = 0;
        view_failure_status = status;
        view_failure_text = std::move(text);
    }

    // An armed raw answer is given once.
    bool answer_override(std::string& text, httplib::Response& res, bool kept = false) {
        std::lock_guard<std::mutex> lock(mutex);
        if (text.empty())
            return false;
        res.set_content(text, "application/json");
        if (!kept)
            text.clear();
        return true;
    }

    void handle_commit(const httplib::Request& req, httplib::Response& res) {
        ++commits_received;
        // A held commit is the window in which its sender can die.
        if (const int ms = commit_delay_ms.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        commit(req, res);
        ++commits_handled;
    }

    void commit(const httplib::Request& req, httplib::Response& res) {
        if (!admit(req, res, true))
            return;
        bool faulted = false;
        bool store_it = true;
        Backup_Server::Commit_Answer how = Backup_Server::Commit_Answer::CUT_OFF;
        {
            std::lock_guard<std::mutex> lock(mutex);
            view_failures += views_to_fail;
            views_to_fail = 0;
            if (commit_faults > 0) {
                --commit_faults;
                faulted = true;
                store_it = faulted_commits_stored;
                how = commit_answer;
                if (store_it && faulted_commits_held) {
                    held_commits.push_back(
                        {req.matches[1], req.body, req.get_param_value("replace")});
                    store_it = false;
                }
            }
        }
        // A faulted commit's own answer is dropped for the fault's.
        httplib::Response dropped;
        if (store_it)
            store_commit(req.matches[1], req.body, req.get_param_value("replace"),
                         faulted ? dropped : res);
        if (faulted)
            answer_fault(res, how);
    }

    static void answer_fault(httplib::Response& res, Backup_Server::Commit_Answer how) {
        using A = Backup_Server::Commit_Answer;
        switch (how) {
            case A::CUT_OFF: {
                // The head promises a body that never comes.
                res.status = 201;
                const size_t promised = 64;
                res.set_content_provider(promised, "application/json",
                                         [](size_t, size_t, httplib::DataSink&) { return false; });
                return;
            }
            case A::NOT_JSON:
                res.status = 200;
                res.set_content("{\"uuid\": ", "application/json");
                return;
            case A::NAMES_NO_SET:
                answer(res, 200, json_spirit::Object{{"ok", json_spirit::Value(true)}});
                return;
            case A::SERVER_ERROR:
                answer_error(res, 503, "simulated failure");
                return;
            case A::CLIENT_ERROR:
                answer_error(res, 400, "simulated refusal");
                return;
        }
    }

    void store_commit(const std::string& catalog, const std::string& body,
                      const std::string& replace, httplib::Response& res) {
        json_spirit::Value row;
        if (!json_spirit::read(body, row) || row.type() != json_spirit::obj_type) {
            answer_error(res, 400, "a backup set must be a JSON object");
            return;
        }
        const std::string* uuid = json_spirit::object_get_str(row.get_obj(), "uuid");
        if (!uuid || uuid->empty()) {
            answer_error(res, 400, "a backup set needs \"uuid\"");
            return;
        }
        switch (store.commit(catalog, *uuid, row.get_obj(), replace == "1" || replace == "true")) {
            case Catalog_Store::COMMITTED:
                answer(res, 201, json_spirit::Object{{"uuid", json_spirit::Value(*uuid)}});
                return;
            case Catalog_Store::REPLACED:
                answer(res, 200, json_spirit::Object{{"uuid", json_spirit::Value(*uuid)}});
                return;
            case Catalog_Store::DUPLICATE:
                answer_error(res, 409, "backup set " + *uuid + " is already in the catalog");
                return;
            case Catalog_Store::FAILED:
                break;
        }
        answer_error(res, 500, "the catalog cannot be written");
    }

    void handle_view(const httplib::Request& req, httplib::Response& res) {
        if (!admit(req, res, true))
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (view_failures > 0) {
                --view_failures;
                if (view_failure_text.empty()) {
                    answer_error(res, view_failure_status, "simulated failure");
                } else {
                    res.status = view_failure_status;
                    res.set_content(view_failure_text, "application/json");
                }
                return;
            }
        }
        if (answer_override(view_override, res, view_override_kept))
            return;
        json_spirit::Value filter;
        if (!json_spirit::read(req.body.empty() ? std::string("{}") : req.body, filter) ||
            filter.type() != json_spirit::obj_type) {
            answer_error(res, 400, "a filter must be a JSON object");
            return;
        }
        std::vector<json_spirit::Object> rows;
        if (!store.rows(req.matches[1], rows)) {
            answer_error(res, 500, "the catalog cannot be read");
            return;
        }
        json_spirit::Value out;
        std::string error;
        int status = catalog_view(req.matches[2], filter.get_obj(), rows, out, error);
        if (status == 200)
            answer(res, 200, out);
        else
            answer_error(res, status, error);
    }

    void handle_resources(const httplib::Request& req, httplib::Response& res) {
        if (!admit(req, res, false))
            return;
        if (answer_override(resources_override, res))
            return;
        json_spirit::Array rows;
        std::string uuid = req.get_param_value("uuid");
        std::vector<std::string> flags;
        if (!uuid.empty() && store.flags(uuid, flags)) {
            json_spirit::Object row;
            row["uuid"] = uuid;
            row["flags"] = json_spirit::Array(flags.begin(), flags.end());
            rows.push_back(row);
        }
        answer(res, 200, json_spirit::Object{{"rows", json_spirit::Value(rows)}});
    }

    json_spirit::Value rpc_error_reply(const json_spirit::Value& id, int code,
                                       const std::string& message) {
        json_spirit::Object err;
        err["code"] = code;
        err["message"] = message;
        json_spirit::Object reply;
        reply["jsonrpc"] = "2.0";
        reply["id"] = id;
        reply["error"] = err;
        return reply;
    }

    json_spirit::Value rpc_result_reply(const json_spirit::Value& id, json_spirit::Value result) {
        json_spirit::Object reply;
        reply["jsonrpc"] = "2.0";
        reply["id"] = id;
        reply["result"] = std::move(result);
        return reply;
    }

    // The login as the backup server keeps it: secrets encrypted for the host.
    bool login_object(const Instance_Login& in, json_spirit::Object& out) const {
        std::string pwd, token;
        if (!rsa_encrypt_to_base64(public_key, in.password, pwd))
            return false;
        if (!in.token.empty() && !rsa_encrypt_to_base64(public_key, in.token, token))
            return false;
        out["host"] = in.host;
        out["port"] = in.port;
        out["ssl"] = in.ssl;
        out["username"] = in.username;
        out["password"] = pwd;
        if (!in.token.empty())
            out["token"] = token;
        return true;
    }

    json_spirit::Value handle_rpc(const std::string& body) {
        json_spirit::Value req;
        if (!json_spirit::read(body, req) || req.type() != json_spirit::obj_type)
            return rpc_error_reply(json_spirit::Value(), -32700, "Parse error");
        const json_spirit::Object& obj = req.get_obj();
        json_spirit::Value id;
        json_spirit::object_get(obj, "id", id);
        std::string method;
        if (!json_spirit::object_get(obj, "method", method))
            return rpc_error_reply(id, -32600, "Invalid Request");
        std::lock_guard<std::mutex> lock(mutex);
        if (rpc_error)
            return rpc_error_reply(id, -32603, "Internal error");
        if (method != "smartx.query")
            return rpc_error_reply(id, -32601, "Method not found");
        if (!query_override.empty()) {
            json_spirit::Value v;
            json_spirit::read(query_override, v);
            query_override.clear();
            return rpc_result_reply(id, v);
        }
        const json_spirit::Object* params = json_spirit::object_get_object(obj, "params");
        std::string uuid;
        if (!params || !json_spirit::object_get(*params, "uuid", uuid))
            return rpc_error_reply(id, -32602, "Invalid params");
        for (const Stored_Login& inst : instances) {
            if (inst.uuid != uuid)
                continue;
            if (!inst.encrypted)
                return rpc_error_reply(id, -32603, "Internal error");
            return rpc_result_reply(id, inst.login);
        }
        return rpc_error_reply(id, -32602, "No such instance");
    }
};

Backup_Server::Backup_Server(std::string public_key_pem) : impl_(new Impl) {
    impl_->public_key = std::move(public_key_pem);
    impl_->store.open("", nullptr);
    Impl* impl = impl_.get();
    // Recorded before the answer goes out, so a client that has its answer
    // finds its request in the log.
    impl->server.set_post_routing_handler([impl](const httplib::Request& req, httplib::Response&) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->requests.push_back({req.method, req.path, req.body});
    });
    impl->server.Post("/jsonrpc", [impl](const httplib::Request& req, httplib::Response& res) {
        res.set_content(json_spirit::write(impl->handle_rpc(req.body)), "application/json");
    });
    impl->server.Post("/alerts", [impl](const httplib::Request& req, httplib::Response& res) {
        json_spirit::Value alert;
        if (!json_spirit::read(req.body, alert) || alert.type() != json_spirit::obj_type) {
            res.status = 400;
            res.set_content(R"({"message":"alert is not a JSON object"})", "application/json");
            return;
        }
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->alerts.push_back(alert);
        res.set_content(R"({"ok":true})", "application/json");
    });
    // What a process-run simulator was sent, for tools and tests outside it.
    impl->server.Get("/alerts", [impl](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        json_spirit::Array all(impl->alerts.begin(), impl->alerts.end());
        res.set_content(json_spirit::write(json_spirit::Value(all)), "application/json");
    });
    impl->server.Post(R"(/zq/r/v2/catalogs/([A-Za-z0-9._-]+)/sets)",
                      [impl](const httplib::Request& req, httplib::Response& res) {
                          impl->handle_commit(req, res);
                      });
    impl->server.Post(R"(/zq/r/v2/catalogs/([A-Za-z0-9._-]+)/views/([A-Za-z0-9._-]+))",
                      [impl](const httplib::Request& req, httplib::Response& res) {
                          impl->handle_view(req, res);
                      });
    impl->server.Get("/zq/r/v2/resources",
                     [impl](const httplib::Request& req, httplib::Response& res) {
                         impl->handle_resources(req, res);
                     });
}

Backup_Server::~Backup_Server() {
    stop();
}

std::unique_ptr<Backup_Server> Backup_Server::from_config(const std::string& path,
                                                          std::string* error) {
    auto fail = [error](const std::string& m) {
        if (error)
            *error = m;
        return std::unique_ptr<Backup_Server>();
    };
    std::ifstream in(path);
    if (!in)
        return fail("cannot open " + path);
    std::stringstream buf;
    buf << in.rdbuf();
    json_spirit::Value doc;
    std::string parse_error;
    if (!json_spirit::read(buf.str(), doc, &parse_error) || doc.type() != json_spirit::obj_type)
        return fail(path + ": " + (parse_error.empty() ? "not a JSON object" : parse_error));
    const json_spirit::Object& cfg = doc.get_obj();
    std::string key_file;
    if (!json_spirit::object_get(cfg, "public_key_file", key_file))
        return fail("'public_key_file' is missing");
    std::ifstream key_in(key_file);
    if (!key_in)
        return fail("cannot open " + key_file);
    std::stringstream key;
    key << key_in.rdbuf();
    std::unique_ptr<Backup_Server> server(new Backup_Server(key.str()));
    if (const json_spirit::Array* list = json_spirit::object_get_array(cfg, "instances")) {
        for (const auto& v : *list) {
            if (v.type() != json_spirit::obj_type)
                return fail("an instance is not a JSON object");
            const json_spirit::Object& o = v.get_obj();
            Instance_Login login;
            if (!json_spirit::object_get(o, "uuid", login.uuid) ||
                !json_spirit::object_get(o, "host", login.host))
                return fail("an instance needs \"uuid\" and \"host\"");
            json_spirit::object_get(o, "port", login.port);
            json_spirit::object_get(o, "ssl", login.ssl);
            json_spirit::object_get(o, "username", login.username);
            json_spirit::object_get(o, "password", login.password);
            json_spirit::object_get(o, "token", login.token);
            server->add_instance(login);
        }
    }
    std::string db, access_key, db_error;
    json_spirit::object_get(cfg, "db", db);
    if (!server->open_catalog(db, &db_error))
        return fail(db_error);
    if (json_spirit::object_get(cfg, "access_key", access_key))
        server->set_access_key(access_key);
    if (const json_spirit::Array* list = json_spirit::object_get_array(cfg, "resources")) {
        for (const auto& v : *list) {
            const json_spirit::Object* o =
                v.type() == json_spirit::obj_type ? &v.get_obj() : nullptr;
            const std::string* uuid = o ? json_spirit::object_get_str(*o, "uuid") : nullptr;
            if (!uuid)
                return fail("a resource needs \"uuid\"");
            std::vector<std::string> flags;
            if (const json_spirit::Array* fl = json_spirit::object_get_array(*o, "flags")) {
                for (const auto& f : *fl) {
                    if (f.type() != json_spirit::str_type)
                        return fail("resource flags must be strings");
                    flags.push_back(f.get_str());
                }
            }
            server->set_resource_flags(*uuid, flags);
        }
    }
    return server;
}

bool Backup_Server::start(int port) {
    if (impl_->thread.joinable())
        return true;
    if (port > 0)
        port_ = impl_->server.bind_to_port("127.0.0.1", port) ? port : -1;
    else
        port_ = impl_->server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        return false;
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    // A stop() before the accept loop runs would be lost.
    while (!impl_->server.is_running())
        std::this_thread::yield();
    return true;
}

void Backup_Server::stop() {
    if (!impl_->thread.joinable())
        return;
    impl_->server.stop();
    impl_->thread.join();
}

void Backup_Server::add_instance(const Instance_Login& login) {
    Impl::Stored_Login stored;
    stored.uuid = login.uuid;
    stored.encrypted = impl_->login_object(login, stored.login);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->instances.push_back(std::move(stored));
}

void Backup_Server::set_query_result_override(const std::string& json) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->query_override = json;
}

void Backup_Server::set_rpc_error(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->rpc_error = on;
}

bool Backup_Server::open_catalog(const std::string& path, std::string* error) {
    return impl_->store.open(path, error);
}

void Backup_Server::set_access_key(const std::string& key) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->access_key = key;
}

void Backup_Server::set_resource_flags(const std::string& uuid,
                                       const std::vector<std::string>& flags) {
    impl_->store.set_flags(uuid, flags);
}

std::vector<json_spirit::Object> Backup_Server::catalog_rows(const std::string& catalog) const {
    std::vector<json_spirit::Object> rows;
    impl_->store.rows(catalog, rows);
    return rows;
}

void Backup_Server::delay_commits(int ms) {
    impl_->commit_delay_ms = ms;
}

int Backup_Server::commits_received() const {
    return impl_->commits_received.load();
}

int Backup_Server::commits_pending() const {
    return impl_->commits_received.load() - impl_->commits_handled.load();
}

void Backup_Server::fail_catalog(int count, int status) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->catalog_failures = count;
    impl_->catalog_failure_status = status;
}

void Backup_Server::fault_commits(int count, bool store, Commit_Answer answer) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->commit_faults = count;
    impl_->faulted_commits_stored = store;
    impl_->commit_answer = answer;
}

void Backup_Server::hold_faulted_commits(bool held) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faulted_commits_held = held;
}

size_t Backup_Server::land_held_commits() {
    std::vector<Impl::Held_Commit> landing;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        landing.swap(impl_->held_commits);
    }
    for (const Impl::Held_Commit& c : landing) {
        httplib::Response unheard;
        impl_->store_commit(c.catalog, c.body, c.replace, unheard);
    }
    return landing.size();
}

void Backup_Server::fail_views_after_commit(int count, int status) {
    impl_->arm_views(count, status, std::string());
}

void Backup_Server::answer_views_after_commit(int count, const std::string& text) {
    const int ok = 200;
    impl_->arm_views(count, ok, text);
}

void Backup_Server::set_view_override(const std::string& text, bool kept) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->view_override = text;
    impl_->view_override_kept = kept;
}

void Backup_Server::set_resources_override(const std::string& text) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->resources_override = text;
}

std::vector<json_spirit::Value> Backup_Server::alerts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->alerts;
}

std::vector<Logged_Request> Backup_Server::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

size_t Backup_Server::connections() const {
    return impl_->server.connections();
}

}  // namespace sim
