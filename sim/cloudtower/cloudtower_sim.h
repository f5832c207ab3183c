// A CloudTower on 127.0.0.1 for tests and the demo: the /v2/api/ paths the
// module uses, answered as CloudTower 4.1.0 does (login token, paged and
// filtered queries, mutations that run as tasks), over an inventory loaded
// from JSON and a volume store shared with the simulated ZBS library.
#ifndef SIM_CLOUDTOWER_CLOUDTOWER_SIM_H
#define SIM_CLOUDTOWER_CLOUDTOWER_SIM_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

namespace sim {
namespace cloudtower {

struct Options {
    std::string inventory_file;  // empty: start with no records
    std::string store_dir;       // empty: $ZBS_SIM_STORE; both empty: no volume files
    std::string version = "4.1.0";
    std::string username = "admin";
    std::string password = "admin123";
    int port = 0;  // 0: a free port chosen at start
};

// How many get-tasks answers show a new task PENDING, then EXECUTING,
// before the one that shows it SUCCESSED or FAILED. Both 0: a task completes
// before the mutation answers.
struct Task_Timing {
    int pending_polls = 0;
    int executing_polls = 0;
};

struct Logged_Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // Authorization's value hidden
    std::string body;
    // What Authorization carried: "none", "valid", "invalid" or "bearer" (a
    // "Bearer "-prefixed token, which CloudTower refuses).
    std::string auth;
};

class Server {
public:
    explicit Server(Options options = Options());
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the inventory, prepares the volume store (creating missing volume
    // files), binds 127.0.0.1 and serves on threads of its own.
    bool start(std::string* error = nullptr);
    void stop();
    int port() const;
    std::string url() const;  // "http://127.0.0.1:PORT"

    // Volume store: the file of a ZBS volume or snapshot id.
    const std::string& store_dir() const;
    std::string volume_path(const std::string& zbs_id) const;

    // Inventory. Kinds are those of the inventory file (sim/README.md).
    bool load_inventory(const std::string& path, std::string* error = nullptr);
    json_spirit::Array records(const std::string& kind) const;
    bool record(const std::string& kind, const std::string& id, json_spirit::Object& out) const;
    // Adds or replaces records by "id" (LUNs and LUN snapshots get their
    // volume files); false when a record has no "id" or the kind is unknown.
    bool put_records(const std::string& kind, const json_spirit::Array& records,
                     std::string* error = nullptr);
    void clear_records(const std::string& kind);
    json_spirit::Object inventory() const;

    // Logins. A token as a successful login would hand out.
    std::string issue_token();
    // Every token handed out so far is refused from now on.
    void expire_tokens();
    void set_version(const std::string& version);
    void set_credentials(const std::string& username, const std::string& password);

    // Fault switches. A path is "/v2/api/<name>" or just "<name>"; times -1
    // keeps a switch until reset, n > 0 fires it on the next n requests.
    // The path answers status with a CloudTower error body (message, status,
    // path, plus the members of extra).
    void fail_path(const std::string& path, int status, const std::string& message, int times = -1,
                   const json_spirit::Object& extra = json_spirit::Object());
    // The path answers this body as it is (for instance text that is not JSON).
    void answer_raw(const std::string& path, int status, const std::string& body,
                    const std::string& content_type = "text/plain", int times = -1);
    // Tasks started by the path end FAILED with this message.
    void fail_tasks(const std::string& path, const std::string& message, int times = -1,
                    const std::string& code = "SimulatedFailure");
    // Answers of the path (every path when "") wait ms milliseconds first.
    void set_delay(const std::string& path, int ms);
    // List answers of the path serve the first page whatever "skip" says.
    void ignore_skip(const std::string& path, bool on);
    void set_task_timing(const Task_Timing& timing);
    // The simulator's clock (the times of the records and tasks it makes)
    // runs this many seconds ahead of the host's, behind when negative.
    void set_clock_offset(long seconds);
    // Tasks started by the path never end (PENDING at every poll) until
    // release_tasks() or reset_switches(); then they go on at their next poll.
    void hold_tasks(const std::string& path, int times = -1);
    void release_tasks();
    // Every switch off (timing back to 0/0, held tasks released, the clock
    // the host's); the log and tokens stay.
    void reset_switches();

    // Requests to /v2/api/, oldest first, the latest 100000 (the /__sim/ admin
    // calls are not logged).
    std::vector<Logged_Request> requests() const;
    void clear_requests();
    // Connections accepted since start, admin calls' included.
    size_t connections() const;
    // Tasks started and not yet completed.
    size_t running_tasks() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cloudtower
}  // namespace sim

#endif
