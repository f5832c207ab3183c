#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <httplib.h>

#include "host/json_spirit/json_io.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "sim/cloudtower/json_util.h"
#include "sim/cloudtower/query.h"
#include "sim/cloudtower/state.h"
#include "sim/http_server.h"

namespace sim {
namespace cloudtower {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

const char API[] = "/v2/api/";
// A long demo run must not grow the request log without bound.
const size_t MAX_LOGGED = 100000;
const char JSON_TYPE[] = "application/json; charset=utf-8";

// List paths and the kind each serves. get-data-stores is the module's
// name for what CloudTower 4.1.0 publishes as get-elf-data-stores.
const std::map<std::string, std::string>& list_paths() {
    static const std::map<std::string, std::string> paths = {
        {"get-organizations", "organizations"},
        {"get-datacenters", "datacenters"},
        {"get-clusters", "clusters"},
        {"get-hosts", "hosts"},
        {"get-vm-folders", "vm_folders"},
        {"get-vms", "vms"},
        {"get-vm-snapshots", "vm_snapshots"},
        {"get-vm-disks", "vm_disks"},
        {"get-vm-nics", "vm_nics"},
        {"get-vm-volumes", "vm_volumes"},
        {"get-vm-volume-snapshots", "vm_volume_snapshots"},
        {"get-iscsi-targets", "iscsi_targets"},
        {"get-iscsi-luns", "iscsi_luns"},
        {"get-iscsi-lun-snapshots", "iscsi_lun_snapshots"},
        {"get-labels", "labels"},
        {"get-data-stores", "data_stores"},
        {"get-elf-data-stores", "data_stores"},
        {"get-vlans", "vlans"},
        {"get-vdses", "vdses"},
        {"get-gpu-devices", "gpu_devices"},
        {"get-usb-devices", "usb_devices"},
        {"get-elf-storage-policies", "elf_storage_policies"},
        {"get-tasks", "tasks"},
        {"get-user-role-nexts", "user_roles"},
    };
    return paths;
}

// The operation names CloudTower puts in error bodies.
std::string operation_name(const std::string& name) {
    std::string op;
    bool upper = true;
    for (char c : name) {
        if (c == '-') {
            upper = true;
            continue;
        }
        op += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        upper = false;
    }
    return op;
}

std::string full_path(const std::string& path) {
    if (path.empty() || path[0] == '/')
        return path;
    return API + path;
}

std::string random_token() {
    static std::mutex m;
    static std::mt19937_64 rng{std::random_device{}()};
    std::lock_guard<std::mutex> lock(m);
    char buf[65];
    for (int i = 0; i < 4; ++i)
        std::snprintf(buf + 16 * i, 17, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

struct Error_Switch {
    int status = 500;
    std::string message;
    Object extra;
    int times = -1;
};

struct Raw_Switch {
    int status = 200;
    std::string body;
    std::string content_type;
    int times = -1;
};

bool same_text_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Counts down a switch that fires n times; true when it fires now.
template <class Map>
bool fire(Map& switches, const std::string& path, typename Map::mapped_type& out) {
    auto it = switches.find(path);
    if (it == switches.end())
        return false;
    out = it->second;
    if (it->second.times > 0 && --it->second.times == 0)
        switches.erase(it);
    return true;
}

}  // namespace

struct Server::Impl {
    Server* owner = nullptr;
    Options options;
    Http_Server http;
    std::thread thread;
    int port = 0;
    bool running = false;

    mutable std::mutex mutex;
    // Delayed answers wait on this, so that stopping does not wait for them.
    std::condition_variable wake;
    bool stopping = false;
    State state;
    std::string version;
    std::string username, password;
    std::map<std::string, std::string> tokens;  // token -> user name
    std::map<std::string, Error_Switch> errors;
    std::map<std::string, Raw_Switch> raws;
    std::map<std::string, int> delays;  // "" = every path
    std::set<std::string> skip_ignored;
    std::deque<Logged_Request> log;  // the latest MAX_LOGGED requests

    // ---- answers ----

    static void send_json(httplib::Response& res, int status, const Value& body) {
        res.status = status;
        res.set_content(json_spirit::write(body), JSON_TYPE);
    }

    static Object error_body(int status, const std::string& message, const std::string& path) {
        Object e;
        e["status"] = status;
        e["message"] = message;
        e["path"] = path;
        std::string name =
            path.compare(0, sizeof(API) - 1, API) == 0 ? path.substr(sizeof(API) - 1) : path;
        e["operationName"] = operation_name(name);
        return e;
    }

    static void send_error(httplib::Response& res, int status, const std::string& message,
                           const std::string& path) {
        send_json(res, status, error_body(status, message, path));
    }

    // ---- authorization ----

    std::string classify(const httplib::Request& req) const {
        if (!req.has_header("Authorization"))
            return "none";
        std::string value = req.get_header_value("Authorization");
        if (value.compare(0, 7, "Bearer ") == 0 || value.compare(0, 7, "bearer ") == 0)
            return "bearer";
        return tokens.count(value) ? "valid" : "invalid";
    }

    void record(const httplib::Request& req, const std::string& auth) {
        Logged_Request entry;
        entry.method = req.method;
        entry.path = req.path;
        entry.body = req.body;
        entry.auth = auth;
        for (const auto& h : req.headers) {
            if (h.first == "REMOTE_ADDR" || h.first == "REMOTE_PORT" || h.first == "LOCAL_ADDR" ||
                h.first == "LOCAL_PORT")
                continue;
            bool secret = same_text_ignoring_case(h.first, "Authorization");
            entry.headers[h.first] = secret ? std::string("<hidden>") : h.second;
        }
        log.push_back(std::move(entry));
        if (log.size() > MAX_LOGGED)
            log.pop_front();
    }

    void set_current_user(const httplib::Request& req) {
        state.current_user = Value();
        auto t = tokens.find(req.get_header_value("Authorization"));
        if (t == tokens.end())
            return;
        for (const Object& u : state.inv.records("users"))
            if (str_of(u, "username") == t->second)
                state.current_user = name_ref(u);
    }

    // ---- the API ----

    void serve(const httplib::Request& req, httplib::Response& res) {
        res.set_header("x-tower-request-id", new_local_id());
        const std::string path = req.path;
        std::unique_lock<std::mutex> lock(mutex);
        record(req, classify(req));
        auto d = delays.find(path);
        if (d == delays.end())
            d = delays.find("");
        if (d != delays.end() && d->second > 0) {
            wake.wait_for(lock, std::chrono::milliseconds(d->second), [this] { return stopping; });
            if (stopping)
                return send_error(res, 503, "the server is stopping", path);
        }

        Raw_Switch raw;
        if (fire(raws, path, raw)) {
            res.status = raw.status;
            res.set_content(raw.body, raw.content_type);
            return;
        }
        Error_Switch err;
        if (fire(errors, path, err)) {
            Object body = error_body(err.status, err.message, path);
            for (const auto& m : err.extra)
                body[m.first] = m.second;
            send_json(res, err.status, body);
            return;
        }
        const std::string name = path.substr(sizeof(API) - 1);
        if (req.method == "GET") {
            if (name != "get-version")
                return send_error(res, 404, "Cannot GET " + path, path);
            // A JSON string, as CloudTower answers it.
            return send_json(res, 200, Value(version));
        }
        if (name == "get-version")
            return send_error(res, 404, "Cannot POST " + path, path);

        Value body;
        std::string why;
        if (!req.body.empty() && !json_spirit::read(req.body, body, &why))
            return send_error(res, 400, "request body is not JSON: " + why, path);

        if (name == "login")
            return login(body, res, path);

        std::string auth = classify(req);
        if (auth != "valid")
            return send_error(res, 401,
                              auth == "none" ? "Authorization header is required" : "Invalid token",
                              path);
        set_current_user(req);
        state.current_path = path;

        if (name == "get-my-info")
            return my_info(req, res);
        auto list = list_paths().find(name);
        if (list != list_paths().end())
            return query(list->second, body, path, res);
        if (Mutation mutation = find_mutation(name)) {
            Array out;
            Failure f;
            if (!mutation(state, body, out, f))
                return send_error(res, f.status, f.message, path);
            return send_json(res, 200, out);
        }
        send_error(res, 404, "Cannot POST " + path, path);
    }

    void login(const Value& body, httplib::Response& res, const std::string& path) {
        if (body.type() != json_spirit::obj_type)
            return send_error(res, 400, "the body must be an object", path);
        const Object& o = body.get_obj();
        const std::string* user = json_spirit::object_get_str(o, "username");
        const std::string* pwd = json_spirit::object_get_str(o, "password");
        if (!user || !pwd)
            return send_error(res, 400, "\"username\" and \"password\" are required", path);
        const Value* source = json_spirit::object_get_value(o, "source");
        if (source && !source->is_null() &&
            (source->type() != json_spirit::str_type ||
             (source->get_str() != "LOCAL" && source->get_str() != "LDAP" &&
              source->get_str() != "AUTHN")))
            return send_error(res, 400, "\"source\" must be LOCAL, LDAP or AUTHN", path);
        bool local = !source || source->is_null() || source->get_str() == "LOCAL";
        if (!local || *user != username || *pwd != password)
            return send_error(res, 400, "Invalid username or password", path);
        std::string token = random_token();
        tokens[token] = *user;
        Object data;
        data["token"] = token;
        Object answer;
        answer["task_id"] = Value();
        answer["data"] = data;
        send_json(res, 200, answer);
    }

    void my_info(const httplib::Request& req, httplib::Response& res) {
        const std::string& user = tokens[req.get_header_value("Authorization")];
        for (const Object& u : state.inv.records("users"))
            if (str_of(u, "username") == user)
                return send_json(res, 200, u);
        // A login the inventory does not list: an administrator of its own.
        Object u;
        u["id"] = "sim-user-" + user;
        u["username"] = user;
        u["name"] = user;
        u["display_username"] = user;
        u["internal"] = false;
        u["source"] = "LOCAL";
        u["role"] = "ADMIN";
        Array roles;
        for (const Object& r : state.inv.records("user_roles"))
            if (str_of(r, "preset") == "ADMIN")
                roles.push_back(name_ref(r));
        u["roles"] = roles;
        send_json(res, 200, u);
    }

    void query(const std::string& kind, const Value& body, const std::string& path,
               httplib::Response& res) {
        Array out;
        std::string error;
        bool ignore = skip_ignored.count(path) > 0;
        if (!run_query(state.inv, kind, body, ignore, out, &error))
            return send_error(res, 400, error, path);
        if (kind == "tasks") {
            // Polling moves tasks on: the answer shows their new state.
            std::vector<std::string> ids;
            for (const Value& v : out)
                ids.push_back(str_of(v.get_obj(), "id"));
            state.observe_tasks(ids);
            run_query(state.inv, kind, body, ignore, out, &error);
        }
        send_json(res, 200, out);
    }

    // ---- admin endpoints for a simulator in another process ----

    void admin(const httplib::Request& req, httplib::Response& res);

    bool ensure_volume_files(std::string* error) {
        for (const Object& lun : state.inv.records("iscsi_luns"))
            if (!state.store.ensure(str_of(lun, "zbs_volume_id"), int_of(lun, "assigned_size", 0),
                                    error))
                return false;
        for (const Object& ls : state.inv.records("iscsi_lun_snapshots")) {
            const Object* lun = state.inv.find("iscsi_luns", ref_id(ls, "iscsi_lun"));
            if (!state.store.ensure(str_of(ls, "local_id"),
                                    lun ? int_of(*lun, "assigned_size", 0) : 0, error))
                return false;
        }
        return true;
    }
};

void Server::Impl::admin(const httplib::Request& req, httplib::Response& res) {
    const std::string what = req.path.substr(std::string("/__sim/").size());
    Object ok;
    ok["ok"] = true;
    if (req.method == "GET") {
        if (what == "requests") {
            Array out;
            for (const Logged_Request& r : owner->requests()) {
                Object e;
                e["method"] = r.method;
                e["path"] = r.path;
                e["body"] = r.body;
                e["auth"] = r.auth;
                Object headers;
                for (const auto& h : r.headers)
                    headers[h.first] = h.second;
                e["headers"] = headers;
                out.push_back(e);
            }
            return send_json(res, 200, out);
        }
        if (what == "inventory")
            return send_json(res, 200, owner->inventory());
        return send_error(res, 404, "no admin call " + req.path, req.path);
    }
    Value body;
    if (!req.body.empty() && !json_spirit::read(req.body, body))
        return send_error(res, 400, "body is not JSON", req.path);
    static const Object empty;
    const Object& o = body.type() == json_spirit::obj_type ? body.get_obj() : empty;
    std::string path = str_of(o, "path");
    int times = static_cast<int>(int_of(o, "times", -1));
    if (what == "error") {
        const Object* extra = json_spirit::object_get_object(o, "extra");
        owner->fail_path(path, static_cast<int>(int_of(o, "status", 500)), str_of(o, "message"),
                         times, extra ? *extra : Object());
    } else if (what == "raw") {
        std::string type = str_of(o, "content_type");
        owner->answer_raw(path, static_cast<int>(int_of(o, "status", 200)), str_of(o, "body"),
                          type.empty() ? "text/plain" : type, times);
    } else if (what == "fail-task") {
        std::string code = str_of(o, "code");
        owner->fail_tasks(path, str_of(o, "message"), times,
                          code.empty() ? "SimulatedFailure" : code);
    } else if (what == "delay") {
        owner->set_delay(path, static_cast<int>(int_of(o, "ms", 0)));
    } else if (what == "ignore-skip") {
        owner->ignore_skip(path, bool_of(o, "on", true));
    } else if (what == "task-timing") {
        Task_Timing t;
        t.pending_polls = static_cast<int>(int_of(o, "pending_polls", 0));
        t.executing_polls = static_cast<int>(int_of(o, "executing_polls", 0));
        owner->set_task_timing(t);
    } else if (what == "clock") {
        owner->set_clock_offset(static_cast<long>(int_of(o, "offset_s", 0)));
    } else if (what == "hold-task") {
        owner->hold_tasks(path, times);
    } else if (what == "release-tasks") {
        owner->release_tasks();
    } else if (what == "expire-tokens") {
        owner->expire_tokens();
    } else if (what == "version") {
        owner->set_version(str_of(o, "version"));
    } else if (what == "reset") {
        owner->reset_switches();
    } else if (what == "requests/clear") {
        owner->clear_requests();
    } else if (what == "token") {
        ok["token"] = owner->issue_token();
    } else if (what == "records") {
        const Array* records = json_spirit::object_get_array(o, "records");
        std::string error;
        if (!records || !owner->put_records(str_of(o, "kind"), *records, &error))
            return send_error(res, 400, records ? error : "\"records\" must be a list", req.path);
    } else {
        return send_error(res, 404, "no admin call " + req.path, req.path);
    }
    send_json(res, 200, ok);
}

Server::Server(Options options) : impl_(new Impl) {
    impl_->owner = this;
    impl_->options = options;
    impl_->version = options.version;
    impl_->username = options.username;
    impl_->password = options.password;
    std::string store = options.store_dir;
    if (store.empty()) {
        const char* env = std::getenv("ZBS_SIM_STORE");
        if (env)
            store = env;
    }
    impl_->state.store = Volume_Store(store);

    Impl* impl = impl_.get();
    auto api = [impl](const httplib::Request& req, httplib::Response& res) {
        impl->serve(req, res);
    };
    impl->http.Post(R"(/v2/api/[^/]+)", api);
    impl->http.Get(R"(/v2/api/[^/]+)", api);
    auto admin = [impl](const httplib::Request& req, httplib::Response& res) {
        impl->admin(req, res);
    };
    impl->http.Post(R"(/__sim/.+)", admin);
    impl->http.Get(R"(/__sim/.+)", admin);
}

Server::~Server() {
    stop();
}

bool Server::start(std::string* error) {
    if (impl_->running)
        return true;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->options.inventory_file.empty() &&
            !impl_->state.inv.load_file(impl_->options.inventory_file, error))
            return false;
        if (!impl_->state.store.prepare(error) || !impl_->ensure_volume_files(error))
            return false;
    }
    if (impl_->options.port > 0) {
        if (!impl_->http.bind_to_port("127.0.0.1", impl_->options.port)) {
            if (error)
                *error = "cannot bind 127.0.0.1:" + std::to_string(impl_->options.port);
            return false;
        }
        impl_->port = impl_->options.port;
    } else {
        impl_->port = impl_->http.bind_to_any_port("127.0.0.1");
        if (impl_->port <= 0) {
            if (error)
                *error = "cannot bind 127.0.0.1";
            return false;
        }
    }
    Impl* impl = impl_.get();
    impl->thread = std::thread([impl] { impl->http.listen_after_bind(); });
    // stop() only reaches a server that has begun listening.
    while (!impl->http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->running = true;
    return true;
}

void Server::stop() {
    if (!impl_->running)
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    impl_->http.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
    impl_->running = false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = false;
}

int Server::port() const {
    return impl_->port;
}
std::string Server::url() const {
    return "http://127.0.0.1:" + std::to_string(impl_->port);
}
const std::string& Server::store_dir() const {
    return impl_->state.store.dir();
}
std::string Server::volume_path(const std::string& zbs_id) const {
    return impl_->state.store.path(zbs_id);
}

bool Server::load_inventory(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Inventory fresh;
    if (!fresh.load_file(path, error))
        return false;
    impl_->state.inv = std::move(fresh);
    return impl_->ensure_volume_files(error);
}

Array Server::records(const std::string& kind) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Array out;
    for (const Object& r : impl_->state.inv.records(kind))
        out.push_back(r);
    return out;
}

bool Server::record(const std::string& kind, const std::string& id, Object& out) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Object* r = impl_->state.inv.find(kind, id);
    if (r)
        out = *r;
    return r != nullptr;
}

bool Server::put_records(const std::string& kind, const Array& records, std::string* error) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!Inventory::known_kind(kind)) {
        if (error)
            *error = "unknown record kind '" + kind + "'";
        return false;
    }
    for (const Value& v : records)
        if (v.type() != json_spirit::obj_type || str_of(v.get_obj(), "id").empty()) {
            if (error)
                *error = "every record needs an \"id\"";
            return false;
        }
    for (const Value& v : records)
        impl_->state.inv.put(kind, v.get_obj());
    impl_->state.inv.refresh();
    return impl_->ensure_volume_files(error);
}

void Server::clear_records(const std::string& kind) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->state.inv.clear(kind);
    impl_->state.inv.refresh();
}

Object Server::inventory() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->state.inv.dump();
}

std::string Server::issue_token() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::string token = random_token();
    impl_->tokens[token] = impl_->username;
    return token;
}

void Server::expire_tokens() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->tokens.clear();
}

void Server::set_version(const std::string& version) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->version = version;
}

void Server::set_credentials(const std::string& username, const std::string& password) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->username = username;
    impl_->password = password;
}

void Server::fail_path(const std::string& path, int status, const std::string& message, int times,
                       const Object& extra) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Error_Switch s;
    s.status = status;
    s.message = message;
    s.extra = extra;
    s.times = times;
    impl_->errors[full_path(path)] = s;
}

void Server::answer_raw(const std::string& path, int status, const std::string& body,
                        const std::string& content_type, int times) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Raw_Switch s;
    s.status = status;
    s.body = body;
    s.content_type = content_type;
    s.times = times;
    impl_->raws[full_path(path)] = s;
}

void Server::fail_tasks(const std::string& path, const std::string& message, int times,
                        const std::string& code) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    State::Task_Failure s;
    s.message = message;
    s.code = code;
    s.times = times;
    impl_->state.task_failures[full_path(path)] = s;
}

void Server::set_delay(const std::string& path, int ms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (ms > 0)
        impl_->delays[full_path(path)] = ms;
    else
        impl_->delays.erase(full_path(path));
}

void Server::ignore_skip(const std::string& path, bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (on)
        impl_->skip_ignored.insert(full_path(path));
    else
        impl_->skip_ignored.erase(full_path(path));
}

void Server::set_task_timing(const Task_Timing& timing) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->state.timing = timing;
}

void Server::hold_tasks(const std::string& path, int times) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->state.task_holds[full_path(path)] = times;
}

void Server::release_tasks() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->state.release_tasks();
}

void Server::reset_switches() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->state.release_tasks();
    impl_->errors.clear();
    impl_->raws.clear();
    impl_->delays.clear();
    impl_->skip_ignored.clear();
    impl_->state.task_failures.clear();
    impl_->state.timing = Task_Timing();
    set_clock_offset(0);
}

void Server::set_clock_offset(long seconds) {
    sim::cloudtower::set_clock_offset(seconds);
}

std::vector<Logged_Request> Server::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return std::vector<Logged_Request>(impl_->log.begin(), impl_->log.end());
}

void Server::clear_requests() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
}

size_t Server::connections() const {
    return impl_->http.connections();
}

size_t Server::running_tasks() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->state.running_tasks();
}

}  // namespace cloudtower
}  // namespace sim
