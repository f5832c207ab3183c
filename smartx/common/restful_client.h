// The one gateway to a CloudTower: logs in, remembers the login and the
// CloudTower version, sends typed requests, decodes replies and CloudTower
// error bodies, and waits for the tasks that mutations start.
//
// Error convention: every operation takes an optional Error*. Given, it
// receives the failure and nothing is logged about it; null, the client
// logs the failure itself and keeps no error behind.
//
// A client serves one thread at a time and holds no lock.
//
// The core (login, sending, task waiting) is restful_client.cpp; the request
// templates every typed operation is built on are restful_client_templates.h,
// included only by the files that define typed operations.
#ifndef SMARTX_COMMON_RESTFUL_CLIENT_H
#define SMARTX_COMMON_RESTFUL_CLIENT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/json_spirit/value.h"
#include "host/secure_memory.h"
#include "smartx/common/error.h"
#include "smartx/common/login_info.h"
#include "smartx/common/message.h"
#include "smartx/common/message_generator.h"
#include "smartx/common/version.h"

class HTTP_Connection;
class HTTP_Headers;
class JSON_RESTful_Client;

namespace smartx {

struct Cluster;
struct Data_Storage;
struct Datacenter;
struct Folder;
struct GPU_Device;
struct Host;
struct ISCSI_LUN;
struct ISCSI_LUN_Snapshot;
struct Label;
struct Label_Setting;
struct Role;
struct Storage_Policy;
struct Task;
struct USB_Device;
struct User;
struct VDS;
struct VLAN;
struct VM;
struct VM_Disk;
struct VM_Disk_Settings;
struct VM_Disk_Update_Setting;
struct VM_NIC;
struct VM_Setting;
struct VM_Snapshot;
struct VM_Update_Setting;
struct VM_Volume;
struct VM_Volume_Setting;
struct VM_Volume_Snapshot;

// Content-Type, and Authorization with the bare token when there is one.
void add_smartx_http_headers(HTTP_Headers& headers, const secure_string& token);

// The name of CloudTower's own VM, which no VM listing of the client shows.
extern const char* const CLOUDTOWER_VM_NAME;

// Whether a task of this status has ended (succeeded or failed).
bool task_ended(const std::string& status);

// The message (status -1) of a single-record query that found none.
extern const char* const NOT_FOUND_MESSAGE;
// Whether a query failed only because CloudTower has no such record.
bool is_not_found(const Error& error);
// Whether CloudTower refused a request outright (an answer of the 4xx
// family): it did nothing of it.
bool is_refusal(const Error& error);

class RESTful_Client {
public:
    // Contacts nothing: no connection, version platform none.
    RESTful_Client();
    virtual ~RESTful_Client();
    RESTful_Client(const RESTful_Client&) = delete;
    RESTful_Client& operator=(const RESTful_Client&) = delete;

    // Connects, detects the version and, unless info already holds a token
    // (which is trusted as it is), logs in and writes the new token back
    // into info.
    bool login(Login_Info& info, Error* error = nullptr);

    // The version found at login ("CloudTower/4.1.0"), "" before.
    std::string version() const { return version_.str(); }

    // ---- inventory queries (restful_client_query.cpp) ----
    // Lists are appended to the caller's vector (pass an empty one); on
    // failure what was received so far stays in it.

    bool query_current_user_info(User& user, Error* error = nullptr);
    bool query_datacenters(std::vector<Datacenter>& datacenters, Error* error = nullptr);
    bool query_datacenters_by_name_contains(const std::string& name,
                                            std::vector<Datacenter>& datacenters,
                                            Error* error = nullptr);
    bool query_datacenter(const std::string& datacenter_id, Datacenter& datacenter,
                          Error* error = nullptr);
    bool query_clusters(std::vector<Cluster>& clusters, Error* error = nullptr);
    bool query_clusters_in_datacenter(const std::string& datacenter_id,
                                      std::vector<Cluster>& clusters, Error* error = nullptr);
    bool query_clusters_by_name_contains(const std::string& name, std::vector<Cluster>& clusters,
                                         Error* error = nullptr);
    bool query_cluster(const std::string& id, Cluster& cluster, Error* error = nullptr);
    bool query_hosts(std::vector<Host>& hosts, Error* error = nullptr);
    bool query_hosts_in_cluster(const std::string& cluster_id, std::vector<Host>& hosts,
                                Error* error = nullptr);
    bool query_hosts_by_name_contains(const std::string& name, std::vector<Host>& hosts,
                                      Error* error = nullptr);
    bool query_host(const std::string& id, Host& host, Error* error = nullptr);
    bool query_folders(std::vector<Folder>& folders, Error* error = nullptr);
    bool query_folders_in_cluster(const std::string& cluster_id, std::vector<Folder>& folders,
                                  Error* error = nullptr);
    bool query_folders_by_name_contains(const std::string& name, std::vector<Folder>& folders,
                                        Error* error = nullptr);
    bool query_vm(const std::string& id, VM& vm, Error* error = nullptr);
    bool is_vm_exist(const std::string& name, std::string& vm_id, Error* error = nullptr);
    bool query_vms(std::vector<VM>& vms, Error* error = nullptr);
    bool query_vms_in_datacenter(const std::string& datacenter_id, std::vector<VM>& vms,
                                 Error* error = nullptr);
    bool query_vms_in_cluster(const std::string& cluster_id, std::vector<VM>& vms,
                              Error* error = nullptr);
    bool query_ungrouped_vms_in_cluster(const std::string& cluster_id, std::vector<VM>& vms,
                                        Error* error = nullptr);
    bool query_vms_in_host(const std::string& host_id, std::vector<VM>& vms,
                           Error* error = nullptr);
    bool query_vms_in_folder(const std::string& folder_id, std::vector<VM>& vms,
                             Error* error = nullptr);
    bool query_vms_by_name_contains(const std::string& name, std::vector<VM>& vms,
                                    Error* error = nullptr);
    // Every VM and volume of exactly that name (none: an empty list).
    bool query_vms_by_name(const std::string& name, std::vector<VM>& vms, Error* error = nullptr);
    bool query_vm_snapshot(const std::string& id, VM_Snapshot& snapshot, Error* error = nullptr);
    bool query_iscsi_lun(const std::string& id, ISCSI_LUN& lun, Error* error = nullptr);
    bool query_iscsi_lun_snapshot(const std::string& id, ISCSI_LUN_Snapshot& snapshot,
                                  Error* error = nullptr);
    bool query_vm_volume(const std::string& id, VM_Volume& volume, Error* error = nullptr);
    bool query_vm_volume_by_local_id(const std::string& local_id, VM_Volume& volume,
                                     Error* error = nullptr);
    bool query_vm_volumes_by_name(const std::string& name, std::vector<VM_Volume>& volumes,
                                  Error* error = nullptr);
    bool query_vm_volume_snapshot(const std::string& id, VM_Volume_Snapshot& snapshot,
                                  Error* error = nullptr);
    bool query_vm_disk(const std::string& id, VM_Disk& disk, Error* error = nullptr);
    bool query_vm_disk_by_serial(const std::string& serial, VM_Disk& disk, Error* error = nullptr);
    bool query_labels(std::vector<Label>& labels, Error* error = nullptr);
    bool query_labels_by_name_contains(const std::string& name, std::vector<Label>& labels,
                                       Error* error = nullptr);
    bool query_label(const std::string& id, Label& label, Error* error = nullptr);
    bool query_data_storages(std::vector<Data_Storage>& storages, Error* error = nullptr);
    bool query_data_storages_in_datacenter(const std::string& datacenter_id,
                                           std::vector<Data_Storage>& storages,
                                           Error* error = nullptr);
    bool query_data_storages_by_name_contains(const std::string& name,
                                              std::vector<Data_Storage>& storages,
                                              Error* error = nullptr);
    bool query_vm_vlans(std::vector<VLAN>& vlans, Error* error = nullptr);
    bool query_vm_vds(const std::string& vds_id, std::vector<VDS>& vdses, Error* error = nullptr);
    bool query_storage_policy_by_uuid_contains(const std::string& uuid, Storage_Policy& policy,
                                               Error* error = nullptr);

    // ---- defined with the core (restful_client.cpp) ----

    // One task by id; "not found." when CloudTower has none.
    bool query_task(const std::string& id, Task& task, Error* error = nullptr);
    // GET of the version text into version (its platform is kept).
    bool query_version(Version& version, Error* error = nullptr);

    // ---- mutations (restful_client_mutation.cpp) ----
    // Each returns once CloudTower's task has ended.

    bool create_vm_snapshot(const std::string& name, const std::string& vm_id,
                            VM_Snapshot& snapshot, bool quiesce, Error* error = nullptr);
    bool create_vm(const VM_Setting& setting, std::string& id, Error* error = nullptr);
    bool create_vm(const VM& vm, std::string& id, Error* error = nullptr);
    bool create_vm_volume(const VM_Volume_Setting& setting, std::string& id,
                          Error* error = nullptr);
    bool create_vm_volume(const VM_Volume& volume, std::string& id, Error* error = nullptr);
    bool create_vm_volume_snapshot(const std::string& name, const std::string& volume_id,
                                   VM_Volume_Snapshot& snapshot, Error* error = nullptr);
    bool add_vm_disks(const std::string& vm_id, const VM_Disk_Settings& settings,
                      Error* error = nullptr);
    bool update_vm_disk(const std::string& vm_id, VM_Disk_Update_Setting& setting,
                        Error* error = nullptr);
    bool remove_vm_disks(const std::string& vm_id, const std::vector<std::string>& ids,
                         Error* error = nullptr);
    bool remove_vm_disks_by_serials(const std::string& vm_id,
                                    const std::vector<std::string>& serials,
                                    Error* error = nullptr);
    bool update_vm_info(const std::string& id, const VM_Update_Setting& setting,
                        Error* error = nullptr);
    bool delete_vm_snapshot(const std::string& id, Error* error = nullptr);
    bool delete_vm(const std::string& id, bool include_snapshots, Error* error = nullptr);
    bool delete_vm_volume_snapshot(const std::string& id, Error* error = nullptr);
    bool delete_vm_volume(const std::string& id, bool include_snapshots, Error* error = nullptr);
    bool start_vm(const std::string& id, Error* error = nullptr);
    bool restart_vm(const std::string& id, Error* error = nullptr);
    bool force_restart_vm(const std::string& id, Error* error = nullptr);
    bool shutdown_vm(const std::string& id, Error* error = nullptr);
    bool poweroff_vm(const std::string& id, Error* error = nullptr);
    bool suspend_vm(const std::string& id, Error* error = nullptr);
    bool resume_vm(const std::string& id, Error* error = nullptr);
    bool move_vm_to_recycle_bin(const std::string& id, Error* error = nullptr);
    bool recover_vm_from_recycle(const std::string& id, Error* error = nullptr);
    bool add_label_to_resources(const std::string& id, const Label_Setting& setting,
                                Error* error = nullptr);
    // "ip:10201:10206" per host of the cluster, joined by ","; failures are logged.
    bool get_zbs_data_ip(const std::string& cluster_id, std::string& zbs_data_ip);

    // Asked between task polls: once it answers true, a task still running
    // is waited for no longer (a stopped job must not sit out a task that
    // never ends). Without it a task is still waited for an hour at most
    // (SMARTX_TASK_WAIT_SECONDS in the environment shortens that, for tests).
    void set_stop_check(std::function<bool()> stopped) { stopped_ = std::move(stopped); }

    // Waits for tasks at most this long (shorter than the bound above
    // only; 0: that bound): for callers that leave what they could not
    // finish to a later run.
    void set_task_wait_limit(unsigned seconds) { task_wait_limit_s_ = seconds; }
    unsigned task_wait_limit_seconds() const { return task_wait_limit_s_; }

    // Told of each task a mutation starts (its message type, the id of the
    // resource it makes or works on, and the task's id) as soon as
    // CloudTower has answered, before the task has ended: a caller stopped
    // or killed in the wait has then already learnt what to remove, or what
    // is being removed.
    using Task_Hook =
        std::function<void(Message::Type type, const std::string& id, const std::string& task_id)>;
    void set_task_hook(Task_Hook hook) { task_hook_ = std::move(hook); }
    const Task_Hook& task_hook() const { return task_hook_; }

protected:
    // Internals, protected so that tests can reach them through a subclass.

    // The host's HTTP method numbers.
    enum { METHOD_GET = 3, METHOD_POST = 9 };

    enum {
        PAGE_SIZE = 100,
        // A server that never ends a list must not hold a query for ever.
        MAX_PAGES = 100000
    };

    // METHOD_GET or METHOD_POST. Fills error_channel's record on failure;
    // when that record is error_, logs it and clears it.
    virtual bool send_request(int method, const Request& request, Response& response,
                              Single_Item_Response<Error>& error_channel);

    bool post(const std::string& uri, const json_spirit::Value& body, int& status,
              json_spirit::Value& reply);
    bool get(const std::string& uri, int& status, json_spirit::Value& reply);
    // The JSON exchange of post (body given) and get (body null).
    bool exchange(int method, const std::string& uri, const json_spirit::Value* body, int& status,
                  json_spirit::Value& reply);
    // The raw answer text of uri as a JSON string, read from a session of its own.
    bool get_version(const std::string& uri, int& status, json_spirit::Value& reply);
    // Reads the connection's body into text until a read gives nothing;
    // refuses more than 64 KiB.
    static bool read_version_text(HTTP_Connection& connection, std::string& text);

    bool reset_client(const std::string& host, uint16_t port, bool ssl, Error* error);
    bool reset_version(Error* error);
    // Polls the task with growing pauses (1 s up to 60 s) until it ends, the
    // stop check answers true or the wait's bound has passed.
    bool wait_task_finish(const std::string& task_id, Error* error);

    // A failure found by the client itself: into the caller's record, or
    // logged ("%s\n") when there is none.
    void report_error(Error* error, int status, const std::string& message);
    // The record failures go to: the caller's, or error_.
    Error& error_record(Error* error) { return error != nullptr ? *error : error_; }

    // ---- request templates (restful_client_templates.h) ----

    // One item, one answer object.
    template <class I, class R>
    bool send_ss_request(const I& item, Message::Type type, R& result, Error* error, int method);
    // One item, a list answer appended to results.
    template <class I, class R>
    bool send_sm_request(const I& item, Message::Type type, std::vector<R>& results, Error* error,
                         int method);
    // A list of items, a list answer appended to results.
    template <class I, class R>
    bool send_mm_request(const std::vector<I>& items, Message::Type type, std::vector<R>& results,
                         Error* error, int method);

    // Every matching record, 100 a page, appended to items; rewrites "skip"
    // and "first" of params.
    template <class T>
    bool query_items_by_page(Query_Params& params, Message::Type type, std::vector<T>& items,
                             Error* error);
    // Replaces items by the records of their ids ("id_in" added to params).
    template <class T>
    bool query_items_by_ids(Query_Params& params, Message::Type type, std::vector<T>& items,
                            Error* error);
    template <class T>
    bool query_items_by_ids(Message::Type type, std::vector<T>& items, Error* error);
    // The first record of the answer; "not found." (status -1) when there is none.
    template <class P, class T>
    bool send_sm_request_and_get_one(const P& params, Message::Type type, T& item, Error* error,
                                     int method);
    // Sends the one setting, takes the first task into task and waits for it.
    template <class S, class T>
    bool send_async_task_request_with_setting(const S& setting, Message::Type type,
                                              Async_Task<T>& task, Error* error);
    // Sends params, takes the one task (its data read as T) and waits for it.
    template <class T>
    bool send_async_task_request_with_params(const Params& params, Message::Type type,
                                             Error* error);

    Login_Info login_info_;
    Version version_;
    Message_Generator message_generator_;
    std::unique_ptr<JSON_RESTful_Client> client_;
    Error error_;
    std::function<bool()> stopped_;
    Task_Hook task_hook_;
    unsigned task_wait_limit_s_ = 0;
};

}  // namespace smartx

#endif
