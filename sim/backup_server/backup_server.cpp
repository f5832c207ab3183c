#include "sim/backup_server/backup_server.h"

#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "host/json_spirit/json_io.h"
#include "host/rsa_codec.h"

namespace sim {

struct Backup_Server::Impl {
  std::string public_key;
  httplib::Server server;
  std::thread thread;

  mutable std::mutex mutex;
  std::vector<Instance_Login> instances;
  std::vector<json_spirit::Value> alerts;
  std::vector<Logged_Request> requests;
  std::string query_override;
  bool rpc_error = false;

  json_spirit::Value rpc_error_reply(const json_spirit::Value& id, int code, const std::string& message) {
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
  bool login_object(const Instance_Login& in, json_spirit::Object& out) {
    std::string pwd, token;
    if (!rsa_encrypt_to_base64(public_key, in.password, pwd)) return false;
    if (!in.token.empty() && !rsa_encrypt_to_base64(public_key, in.token, token)) return false;
    out["host"] = in.host;
    out["port"] = in.port;
    out["ssl"] = in.ssl;
    out["username"] = in.username;
    out["password"] = pwd;
    if (!in.token.empty()) out["token"] = token;
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
    if (!json_spirit::object_get(obj, "method", method)) return rpc_error_reply(id, -32600, "Invalid Request");
    std::lock_guard<std::mutex> lock(mutex);
    if (rpc_error) return rpc_error_reply(id, -32603, "Internal error");
    if (method != "smartx.query") return rpc_error_reply(id, -32601, "Method not found");
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
    for (const auto& inst : instances) {
      if (inst.uuid != uuid) continue;
      json_spirit::Object login;
      if (!login_object(inst, login)) return rpc_error_reply(id, -32603, "Internal error");
      return rpc_result_reply(id, login);
    }
    return rpc_error_reply(id, -32602, "No such instance");
  }
};

Backup_Server::Backup_Server(std::string public_key_pem) : impl_(new Impl) {
  impl_->public_key = std::move(public_key_pem);
  Impl* impl = impl_.get();
  impl->server.set_logger([impl](const httplib::Request& req, const httplib::Response&) {
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
}

Backup_Server::~Backup_Server() { stop(); }

std::unique_ptr<Backup_Server> Backup_Server::from_config(const std::string& path, std::string* error) {
  auto fail = [error](const std::string& m) {
    if (error) *error = m;
    return std::unique_ptr<Backup_Server>();
  };
  std::ifstream in(path);
  if (!in) return fail("cannot open " + path);
  std::stringstream buf;
  buf << in.rdbuf();
  json_spirit::Value doc;
  std::string parse_error;
  if (!json_spirit::read(buf.str(), doc, &parse_error) || doc.type() != json_spirit::obj_type)
    return fail(path + ": " + (parse_error.empty() ? "not a JSON object" : parse_error));
  const json_spirit::Object& cfg = doc.get_obj();
  std::string key_file;
  if (!json_spirit::object_get(cfg, "public_key_file", key_file)) return fail("'public_key_file' is missing");
  std::ifstream key_in(key_file);
  if (!key_in) return fail("cannot open " + key_file);
  std::stringstream key;
  key << key_in.rdbuf();
  std::unique_ptr<Backup_Server> server(new Backup_Server(key.str()));
  if (const json_spirit::Array* list = json_spirit::object_get_array(cfg, "instances")) {
    for (const auto& v : *list) {
      if (v.type() != json_spirit::obj_type) return fail("an instance is not a JSON object");
      const json_spirit::Object& o = v.get_obj();
      Instance_Login login;
      if (!json_spirit::object_get(o, "uuid", login.uuid) || !json_spirit::object_get(o, "host", login.host))
        return fail("an instance needs \"uuid\" and \"host\"");
      json_spirit::object_get(o, "port", login.port);
      json_spirit::object_get(o, "ssl", login.ssl);
      json_spirit::object_get(o, "username", login.username);
      json_spirit::object_get(o, "password", login.password);
      json_spirit::object_get(o, "token", login.token);
      server->add_instance(login);
    }
  }
  return server;
}

bool Backup_Server::start() {
  if (impl_->thread.joinable()) return true;
  port_ = impl_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return false;
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // A stop() before the accept loop runs would be lost.
  while (!impl_->server.is_running()) std::this_thread::yield();
  return true;
}

void Backup_Server::stop() {
  if (!impl_->thread.joinable()) return;
  impl_->server.stop();
  impl_->thread.join();
}

void Backup_Server::add_instance(const Instance_Login& login) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->instances.push_back(login);
}

void Backup_Server::set_query_result_override(const std::string& json) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->query_override = json;
}

void Backup_Server::set_rpc_error(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->rpc_error = on;
}

std::vector<json_spirit::Value> Backup_Server::alerts() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->alerts;
}

std::vector<Logged_Request> Backup_Server::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

}  // namespace sim
