#include "sim/cloudtower/state.h"

#include <algorithm>

#include "sim/cloudtower/json_util.h"

namespace sim {
namespace cloudtower {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

std::string State::start_task(Task_Spec spec) {
    std::string id = new_resource_id();
    Object task;
    task["id"] = id;
    task["args"] = Object();
    task["description"] = spec.description;
    task["internal"] = false;
    task["local_created_at"] = now_text();
    task["progress"] = 0;
    task["snapshot"] = "";
    task["status"] = "PENDING";
    task["steps"] = Array();
    task["resource_type"] = spec.resource_type;
    task["resource_mutation"] = spec.resource_mutation;
    task["resource_id"] = spec.resource_id;
    const Object* cluster = inv.find("clusters", spec.cluster_id);
    task["cluster"] = cluster ? Value(name_ref(*cluster)) : Value();
    task["user"] = current_user;
    inv.put("tasks", std::move(task));

    Running run;
    run.spec = std::move(spec);
    run.pending = std::max(0, timing.pending_polls);
    run.executing = std::max(0, timing.executing_polls);
    auto armed = task_failures.find(current_path);
    if (armed != task_failures.end()) {
        run.forced = true;
        run.message = armed->second.message;
        run.code = armed->second.code;
        if (armed->second.times > 0 && --armed->second.times == 0)
            task_failures.erase(armed);
    }
    auto hold = task_holds.find(current_path);
    if (hold != task_holds.end()) {
        run.held = true;
        if (hold->second > 0 && --hold->second == 0)
            task_holds.erase(hold);
    }
    const bool at_once = run.pending == 0 && run.executing == 0 && !run.held;
    running_[id] = std::move(run);
    if (at_once)
        finish(id);
    return id;
}

void State::release_tasks() {
    task_holds.clear();
    for (auto& run : running_)
        run.second.held = false;
}

void State::observe_tasks(const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
        auto it = running_.find(id);
        if (it == running_.end())
            continue;
        Running& run = it->second;
        if (run.held)
            continue;
        int step = run.seen++;
        Object* task = inv.find("tasks", id);
        if (!task) {
            running_.erase(it);
            continue;
        }
        if (step < run.pending) {
            (*task)["status"] = "PENDING";
        } else if (step < run.pending + run.executing) {
            if (str_of(*task, "status") != "EXECUTING")
                (*task)["started_at"] = now_text();
            (*task)["status"] = "EXECUTING";
        } else {
            finish(id);
        }
    }
}

void State::finish(const std::string& id) {
    auto it = running_.find(id);
    if (it == running_.end())
        return;
    Running run = std::move(it->second);
    running_.erase(it);

    std::string error;
    std::string code;
    if (run.forced) {
        error = run.message;
        code = run.code;
    } else if (run.spec.apply) {
        error = run.spec.apply(*this);
        if (!error.empty())
            code = "TaskFailed";
    }
    inv.refresh();
    Object* task = inv.find("tasks", id);
    if (!task)
        return;
    std::string now = now_text();
    if (task->find("started_at") == task->end())
        (*task)["started_at"] = now;
    (*task)["finished_at"] = now;
    if (error.empty()) {
        (*task)["status"] = "SUCCESSED";
        (*task)["progress"] = 1;
    } else {
        (*task)["status"] = "FAILED";
        (*task)["error_code"] = code;
        (*task)["error_message"] = error;
    }
}

int64_t State::next_lun_id() {
    int64_t top = 0;
    for (const Object& lun : inv.records("iscsi_luns"))
        top = std::max(top, int_of(lun, "lun_id", 0));
    lun_high_water_ = std::max(lun_high_water_, top + 1);
    return lun_high_water_++;
}

}  // namespace cloudtower
}  // namespace sim
