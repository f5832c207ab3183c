// A backup server on 127.0.0.1 for tests and the demo: answers the module's
// JSON-RPC calls ("smartx.query" for an instance's CloudTower login, with
// the secrets encrypted for the host) and records the alerts it is sent.
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
  // "username", "password", "token"}]}; false with a message in error.
  static std::unique_ptr<Backup_Server> from_config(const std::string& path, std::string* error);

  // Binds 127.0.0.1 on a free port and serves on a thread of its own.
  bool start();
  void stop();
  int port() const { return port_; }

  void add_instance(const Instance_Login& login);

  // Switches for fault tests.
  // The next "smartx.query" answers this raw JSON value as its result.
  void set_query_result_override(const std::string& json);
  // Every JSON-RPC call answers a JSON-RPC error.
  void set_rpc_error(bool on);

  std::vector<json_spirit::Value> alerts() const;
  std::vector<Logged_Request> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace sim

#endif
