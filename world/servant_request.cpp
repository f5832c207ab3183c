#include "world/servant_request.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "host/servant/servant.h"
#include "host/servant/servant_task_scheduler.h"
#include "smartx/servant/backup_servant_handler.h"
#include "smartx/servant/restore_servant_handler.h"
#include "world/servant_setup.h"

namespace world {

namespace {
Servant_Reply reply_of(const JSON_RPC_Object_Ptr& object) {
    Servant_Reply reply;
    if (object.null())
        return reply;
    reply.sent = 1;
    reply.id = object->id;
    if (object->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
        const auto& e = static_cast<const JSON_RPC_Response_Error&>(*object);
        reply.error = true;
        reply.error_code = e.code;
        reply.error_message = e.message;
    } else if (object->type() == JSON_RPC_Object::TYPE_RESPONSE) {
        const auto& r = static_cast<const JSON_RPC_Response&>(*object);
        if (r.result.type() == json_spirit::obj_type)
            reply.result = r.result.get_obj();
    }
    return reply;
}
}  // namespace

smartx::Backup_Param backup_param(const Request_Defaults& d, Job_Definition_Subtype type,
                                  const VM& vm) {
    smartx::Backup_Param p;
    p.backup_type = type;
    p.pool_url = "file://" + d.pool_dir;
    p.vm_id = vm.id;
    p.vm_name = vm.name;
    p.cluster_id = d.cluster_id;
    smartx::Control_Param& c = p.control;
    c.def_id = d.def_id;
    c.host_id = d.host_id;
    c.job_revision = 1;
    c.resource_uuid = d.resource_uuid;
    c.backupd_host = "127.0.0.1";
    c.backupd_port = static_cast<uint16_t>(d.backupd_port);
    if (!d.zbs_version.empty())
        c.zbs_version = d.zbs_version;
    c.login_info = d.login;
    c.parallelism.disks_per_vm = d.disks_per_vm;
    p.catalog.name = d.catalog_name;
    p.catalog.host_uuid = d.host_id;
    p.catalog.agent = "smartx";
    p.catalog.instance_version = "4.1.0";
    p.catalog.pool_uuid = d.pool_uuid;
    return p;
}

smartx::Backup_Source_Entry backup_entry(const VM& vm, const std::vector<size_t>& only) {
    smartx::Backup_Source_Entry e;
    e.id = vm.id;
    e.name = vm.name;
    e.type = "VirtualMachine";
    for (size_t i : only) {
        smartx::Backup_Source_Entry::Disk_Volume v;
        v.disk_id = vm.disks.at(i).disk_id;
        v.volume_id = vm.disks[i].volume_id;
        v.volume_name = vm.disks[i].name;
        v.volume_local_id = vm.disks[i].volume_local_id;
        e.volumes.push_back(v);
    }
    return e;
}

Object backup_request(const smartx::Backup_Param& param, const smartx::Backup_Source_Entry& entry) {
    Object o;
    o["param"] = param.dump();
    o["entry"] = entry.dump();
    return o;
}

smartx::Restore_Param restore_param(const Request_Defaults& d, const Restore_Target& target) {
    smartx::Restore_Param p;
    p.restore_type = JOB_DEFINITION_SUBTYPE_VM;
    p.original_restore = target.original;
    p.start_vm = target.start_vm;
    // The control block is the backup's: same job records, server and login.
    p.control = backup_param(d, JOB_DEFINITION_SUBTYPE_FULL, VM()).control;
    p.control.retry.max_retries = 1;
    p.control.retry.max_internal = 0;
    return p;
}

smartx::Restore_Source_Entry restore_entry(const Fixtures& fixtures, const VM& vm,
                                           const std::string& catalog_uuid,
                                           const Restore_Target& target,
                                           const std::vector<size_t>& only) {
    smartx::Restore_Source_Entry e;
    e.vm_src_id = vm.id;
    e.vm_src_name = vm.name;
    e.catalog_uuid = catalog_uuid;
    const Object cluster = fixtures.record("clusters", "cluster-hz-01");
    e.vm_tgt_cluster_id = cluster.at("id").get_str();
    if (!target.original) {
        e.vm_tgt_name = target.new_name;
        e.vm_tgt_host_id = fixtures.record("hosts", "node-hz01-01").at("id").get_str();
        e.vm_tgt_folder_id = fixtures.record("vm_folders", "production").at("id").get_str();
    } else {
        e.vm_tgt_id = vm.id;
    }
    e.vm_tgt_cpu_cores = target.cpu_cores;
    e.vm_tgt_cpu_count = target.cpu_count;
    e.vm_tgt_mem_mbytes = target.mem_mbytes;
    for (size_t i = 0; i < vm.disks.size(); ++i) {
        if (!only.empty() && std::find(only.begin(), only.end(), i) == only.end())
            continue;
        smartx::Restore_Source_Entry::Volume v;
        v.src_id = vm.disks[i].volume_id;
        v.src_local_id = vm.disks[i].volume_local_id;
        v.tgt_cluster_id = e.vm_tgt_cluster_id;
        v.restore_mode = target.original ? "overwrite" : "new";
        e.volumes.push_back(v);
    }
    return e;
}

Object restore_request(const smartx::Restore_Param& param,
                       const smartx::Restore_Source_Entry& entry) {
    Object o;
    o["param"] = param.dump();
    o["entry"] = entry.dump();
    return o;
}

namespace {
Handler_Ptr made(JSON_RPC_Handler* (*make)(Gobble_Function*), const char* what) {
    Gobble_Function gobble = nullptr;
    JSON_RPC_Handler* h = make(&gobble);
    if (h == nullptr || gobble == nullptr)
        throw std::runtime_error(std::string("the module made no ") + what + " servant handler");
    return Handler_Ptr(h, gobble);
}
}  // namespace

Handler_Ptr make_backup_handler() {
    return made(_make_SmartX_Backup_Servant_Handler, "backup");
}

Handler_Ptr make_restore_handler() {
    return made(_make_SmartX_Restore_Servant_Handler, "restore");
}

int Servant_Reply::code() const {
    const Value* v = json_spirit::object_get_value(result, "code");
    return v != nullptr && v->type() == json_spirit::int_type ? v->get_int() : -100;
}

Servant_Reply call_servant(JSON_RPC_Handler& handler, const Value& params) {
    auto channel = std::make_shared<JSON_RPC_Memory_Channel>();
    JSON_RPC_Object_Ptr request(new JSON_RPC_Request("smartx.servant.backup", params, Value(7)));
    const int rc = handler.handle_object(channel, request);
    const std::vector<JSON_RPC_Object_Ptr> sent = channel->sent();
    Servant_Reply reply = sent.size() == 1 ? reply_of(sent[0]) : Servant_Reply();
    reply.rc = rc;
    reply.sent = sent.size();
    return reply;
}

Servant_Runs run_backup_servants(const std::vector<Servant_Task>& tasks,
                                 const Servant_Run_Options& options) {
    Servant_Task_Scheduler scheduler(options.method.c_str(), 1024);
    if (options.owner_limit > 0)
        scheduler.enable_owner_limit(options.owner_limit);
    if (options.global_mutex)
        scheduler.enable_global_mutex();
    for (const Servant_Task& t : tasks)
        if (!scheduler.enqueue_task(t.params, t.owner, 0, "backup_vm_" + t.name,
                                    t.id.empty() ? nullptr : t.id.c_str()))
            throw std::runtime_error("cannot queue the task of " + t.name);

    Servant_Runs out;
    std::mutex mutex;
    const auto init = [&](Servant& servant, const Object& params) {
        const Servant_Task* task = nullptr;
        for (const Servant_Task& t : tasks)
            if (t.params == params)
                task = &t;
        if (task == nullptr || servant.reset("starter", servant_config_template(), nullptr, nullptr,
                                             task->name.c_str()) != 0)
            return false;
        const std::string name = task->name;
        servant.set_log_msg_callback([&out, &mutex, name](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            out.logs[name].push_back(line);
        });
        if (options.prepare)
            options.prepare(servant, *task);
        return true;
    };
    const auto result = [&](const JSON_RPC_Object_Ptr& object) {
        std::lock_guard<std::mutex> lock(mutex);
        out.replies.push_back(reply_of(object));
        return out.replies.back().code() == 0 ? 0 : 1;
    };
    if (!scheduler.activate(options.parallelism, init, result) || !scheduler.wait())
        throw std::runtime_error("the servant scheduler failed");
    return out;
}

}  // namespace world
