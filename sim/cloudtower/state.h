// What the simulator's request handlers share: the inventory, the volume
// store and the asynchronous tasks that mutations start. Guarded by the
// server's one mutex; nothing here locks.
#ifndef SIM_CLOUDTOWER_STATE_H
#define SIM_CLOUDTOWER_STATE_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "sim/cloudtower/inventory.h"
#include "sim/cloudtower/volume_store.h"

namespace sim {
namespace cloudtower {

class State;

// One asynchronous task as a mutation describes it.
struct Task_Spec {
    std::string description;
    std::string resource_type;      // "Vm", "VmVolume", ...
    std::string resource_mutation;  // "createVm", ...
    std::string resource_id;
    std::string cluster_id;
    // The change, made when the task completes; a non-empty result fails the
    // task with that message and must leave the inventory as it was.
    std::function<std::string(State&)> apply;
};

// A refused request: HTTP status and the message of the error body.
struct Failure {
    int status = 400;
    std::string message;
};

class State {
public:
    Inventory inv;
    Volume_Store store;
    Task_Timing timing;
    // {id, name} of the user whose token made the current request, or null.
    json_spirit::Value current_user;
    // The path being served: task failures are armed per path.
    std::string current_path;

    struct Task_Failure {
        std::string message;
        std::string code;
        int times = -1;  // -1: until cleared
    };
    std::map<std::string, Task_Failure> task_failures;
    // Paths whose tasks never end until released, and how many more (-1: all).
    std::map<std::string, int> task_holds;

    // Records a PENDING task and returns its id; with no polls asked by the
    // timing it completes before this returns.
    std::string start_task(Task_Spec spec);
    // The tasks a get-tasks answer is about to show move one step on.
    void observe_tasks(const std::vector<std::string>& ids);
    // Tasks not yet completed.
    size_t running_tasks() const { return running_.size(); }
    // Held tasks go on from their next poll.
    void release_tasks();

    // A LUN number not used in the inventory nor handed out before.
    int64_t next_lun_id();

private:
    struct Running {
        Task_Spec spec;
        int seen = 0;
        int pending = 0;
        int executing = 0;
        bool forced = false;
        bool held = false;
        std::string message;
        std::string code;
    };
    void finish(const std::string& id);

    std::map<std::string, Running> running_;
    int64_t lun_high_water_ = 0;
};

// A mutation path ("create-vm") and its handler: fills out with the
// WithTask answers, or fails with the error to send.
using Mutation = bool (*)(State& st, const json_spirit::Value& body, json_spirit::Array& out,
                          Failure& f);
Mutation find_mutation(const std::string& name);

}  // namespace cloudtower
}  // namespace sim

#endif
