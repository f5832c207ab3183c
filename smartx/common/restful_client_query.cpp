// The inventory queries of RESTful_Client: one filter and one request
// template per question, with the follow-up queries that complete a record.
#include "smartx/common/restful_client.h"

#include <algorithm>

#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/host.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/label.h"
#include "smartx/common/restful_client_templates.h"
#include "smartx/common/role.h"
#include "smartx/common/storage_policy.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/user.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"

namespace smartx {

// The management VM is never listed, nor the platform's own labels.
const char* const CLOUDTOWER_VM_NAME = "CloudTower";

namespace {
const char* const SYSTEM_LABEL_PREFIX = "system.cloudtower/";

Query_Params where(const std::string& key, const json_spirit::Value& value) {
    Query_Params params;
    params.where(key, value);
    return params;
}

// {"id": id}: the filter on a referenced record.
json_spirit::Object id_ref(const std::string& id) {
    return json_spirit::Object{{"id", json_spirit::Value(id)}};
}

// {"id_in": ids}
json_spirit::Object ids_ref(json_spirit::Array ids) {
    return json_spirit::Object{{"id_in", json_spirit::Value(std::move(ids))}};
}

Query_Params vm_list() {
    return where("name_not", CLOUDTOWER_VM_NAME);
}

Query_Params label_list() {
    return where("key_not_starts_with", SYSTEM_LABEL_PREFIX);
}
}  // namespace

// ---- users ----

bool RESTful_Client::query_current_user_info(User& user, Error* error) {
    const Query_Params none;
    if (!send_ss_request(none, Message::GET_MY_INFO, user, error, METHOD_POST))
        return false;
    return user.roles.empty() ||
           query_items_by_ids(Message::GET_USER_ROLE_NEXTS, user.roles, error);
}

// ---- datacenters and clusters ----

bool RESTful_Client::query_datacenters(std::vector<Datacenter>& datacenters, Error* error) {
    Query_Params params;
    return query_items_by_page(params, Message::QUERY_DATACENTERS, datacenters, error);
}

bool RESTful_Client::query_datacenters_by_name_contains(const std::string& name,
                                                        std::vector<Datacenter>& datacenters,
                                                        Error* error) {
    Query_Params params = where("name_contains", name);
    return query_items_by_page(params, Message::QUERY_DATACENTERS, datacenters, error);
}

bool RESTful_Client::query_datacenter(const std::string& datacenter_id, Datacenter& datacenter,
                                      Error* error) {
    return send_sm_request_and_get_one(where("id", datacenter_id), Message::QUERY_DATACENTERS,
                                       datacenter, error, METHOD_POST);
}

bool RESTful_Client::query_clusters(std::vector<Cluster>& clusters, Error* error) {
    Query_Params params;
    return query_items_by_page(params, Message::QUERY_CLUSTERS, clusters, error);
}

bool RESTful_Client::query_clusters_in_datacenter(const std::string& datacenter_id,
                                                  std::vector<Cluster>& clusters, Error* error) {
    Datacenter datacenter;
    if (!query_datacenter(datacenter_id, datacenter, error))
        return false;
    Query_Params params = where("id_in", dump_item_ids(datacenter.clusters));
    return query_items_by_page(params, Message::QUERY_CLUSTERS, clusters, error);
}

bool RESTful_Client::query_clusters_by_name_contains(const std::string& name,
                                                     std::vector<Cluster>& clusters, Error* error) {
    Query_Params params = where("name_contains", name);
    return query_items_by_page(params, Message::QUERY_CLUSTERS, clusters, error);
}

bool RESTful_Client::query_cluster(const std::string& id, Cluster& cluster, Error* error) {
    return send_sm_request_and_get_one(where("id", id), Message::QUERY_CLUSTERS, cluster, error,
                                       METHOD_POST);
}

// ---- hosts and folders ----

bool RESTful_Client::query_hosts(std::vector<Host>& hosts, Error* error) {
    Query_Params params;
    return query_items_by_page(params, Message::QUERY_HOSTS, hosts, error);
}

bool RESTful_Client::query_hosts_in_cluster(const std::string& cluster_id, std::vector<Host>& hosts,
                                            Error* error) {
    Query_Params params = where("cluster", id_ref(cluster_id));
    return query_items_by_page(params, Message::QUERY_HOSTS, hosts, error);
}

bool RESTful_Client::query_hosts_by_name_contains(const std::string& name, std::vector<Host>& hosts,
                                                  Error* error) {
    Query_Params params = where("name_contains", name);
    return query_items_by_page(params, Message::QUERY_HOSTS, hosts, error);
}

bool RESTful_Client::query_host(const std::string& id, Host& host, Error* error) {
    return send_sm_request_and_get_one(where("id", id), Message::QUERY_HOSTS, host, error,
                                       METHOD_POST);
}

bool RESTful_Client::query_folders(std::vector<Folder>& folders, Error* error) {
    Query_Params params;
    return query_items_by_page(params, Message::QUERY_FOLDERS, folders, error);
}

bool RESTful_Client::query_folders_in_cluster(const std::string& cluster_id,
                                              std::vector<Folder>& folders, Error* error) {
    Query_Params params = where("cluster", id_ref(cluster_id));
    return query_items_by_page(params, Message::QUERY_FOLDERS, folders, error);
}

bool RESTful_Client::query_folders_by_name_contains(const std::string& name,
                                                    std::vector<Folder>& folders, Error* error) {
    Query_Params params = where("name_contains", name);
    return query_items_by_page(params, Message::QUERY_FOLDERS, folders, error);
}

// ---- VMs ----

bool RESTful_Client::query_vm(const std::string& id, VM& vm, Error* error) {
    if (!send_sm_request_and_get_one(where("id", id), Message::QUERY_VMS, vm, error, METHOD_POST))
        return false;
    if (!vm.vm_disks.empty()) {
        if (!query_items_by_ids(Message::QUERY_VM_DISKS, vm.vm_disks, error))
            return false;
        // A CD-ROM has no volume to complete.
        for (VM_Disk& disk : vm.vm_disks)
            if (disk.get_type() != VM_Disk_Type::CD_ROM) {
                const std::string volume_id = disk.vm_volume.id;
                if (!query_vm_volume(volume_id, disk.vm_volume, error))
                    return false;
            }
    }
    if (!vm.vm_nics.empty() && !query_items_by_ids(Message::QUERY_VM_NICS, vm.vm_nics, error))
        return false;
    if (!vm.gpu_devices.empty() &&
        !query_items_by_ids(Message::QUERY_GPU_DEVICES, vm.gpu_devices, error))
        return false;
    return vm.usb_devices.empty() ||
           query_items_by_ids(Message::QUERY_USB_DEVICES, vm.usb_devices, error);
}

bool RESTful_Client::is_vm_exist(const std::string& name, std::string& vm_id, Error* error) {
    VM vm;
    if (!send_sm_request_and_get_one(where("name", name), Message::QUERY_VMS, vm, error,
                                     METHOD_POST))
        return false;
    vm_id = vm.id;
    return true;
}

bool RESTful_Client::query_vms(std::vector<VM>& vms, Error* error) {
    Query_Params params = vm_list();
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

bool RESTful_Client::query_vms_in_datacenter(const std::string& datacenter_id, std::vector<VM>& vms,
                                             Error* error) {
    std::vector<Cluster> clusters;
    if (!query_clusters_in_datacenter(datacenter_id, clusters, error))
        return false;
    Query_Params params = vm_list();
    params.where("cluster", ids_ref(dump_item_ids(clusters)));
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

bool RESTful_Client::query_vms_in_cluster(const std::string& cluster_id, std::vector<VM>& vms,
                                          Error* error) {
    Query_Params params = vm_list();
    params.where("cluster", id_ref(cluster_id));
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

bool RESTful_Client::query_ungrouped_vms_in_cluster(const std::string& cluster_id,
                                                    std::vector<VM>& vms, Error* error) {
    if (!query_vms_in_cluster(cluster_id, vms, error))
        return false;
    // Only a complete folder reference puts a VM in a folder.
    vms.erase(
        std::remove_if(vms.begin(), vms.end(), [](const VM& vm) { return !vm.folder.empty(); }),
        vms.end());
    return true;
}

bool RESTful_Client::query_vms_in_host(const std::string& host_id, std::vector<VM>& vms,
                                       Error* error) {
    Query_Params params = vm_list();
    params.where("host", id_ref(host_id));
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

bool RESTful_Client::query_vms_in_folder(const std::string& folder_id, std::vector<VM>& vms,
                                         Error* error) {
    Query_Params params = vm_list();
    params.where("folder", id_ref(folder_id));
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

bool RESTful_Client::query_vms_by_name_contains(const std::string& name, std::vector<VM>& vms,
                                                Error* error) {
    Query_Params params = vm_list();
    params.where("name_contains", name);
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

bool RESTful_Client::query_vms_by_name(const std::string& name, std::vector<VM>& vms,
                                       Error* error) {
    Query_Params params = vm_list();
    params.where("name", name);
    return query_items_by_page(params, Message::QUERY_VMS, vms, error);
}

// ---- snapshots, LUNs, volumes and disks ----

bool RESTful_Client::query_vm_snapshot(const std::string& id, VM_Snapshot& snapshot, Error* error) {
    if (!send_sm_request_and_get_one(where("id", id), Message::QUERY_VM_SNAPSHOTS, snapshot, error,
                                     METHOD_POST))
        return false;
    Storage_Policy policy;
    for (VM_Snapshot::Snapshot_VM_Disk& disk : snapshot.vm_disks) {
        // A disk without a volume (a CD-ROM) has no policy; an empty
        // "contains" would match any.
        if (disk.storage_policy_uuid.empty())
            continue;
        if (!query_storage_policy_by_uuid_contains(disk.storage_policy_uuid, policy, error))
            return false;
        disk.vm_volume_storage_policy = policy.elf_storage_policy();
    }
    return true;
}

bool RESTful_Client::query_iscsi_lun(const std::string& id, ISCSI_LUN& lun, Error* error) {
    return send_sm_request_and_get_one(where("id", id), Message::QUERY_ISCSI_LUNS, lun, error,
                                       METHOD_POST);
}

bool RESTful_Client::query_iscsi_lun_snapshot(const std::string& id, ISCSI_LUN_Snapshot& snapshot,
                                              Error* error) {
    // A VM snapshot's disk knows its LUN snapshot by name (snapshot_local_id).
    return send_sm_request_and_get_one(where("name", id), Message::QUERY_ISCSI_LUN_SNAPSHOTS,
                                       snapshot, error, METHOD_POST);
}

bool RESTful_Client::query_vm_volume(const std::string& id, VM_Volume& volume, Error* error) {
    return send_sm_request_and_get_one(where("id", id), Message::QUERY_VM_VOLUMES, volume, error,
                                       METHOD_POST);
}

bool RESTful_Client::query_vm_volume_by_local_id(const std::string& local_id, VM_Volume& volume,
                                                 Error* error) {
    return send_sm_request_and_get_one(where("local_id", local_id), Message::QUERY_VM_VOLUMES,
                                       volume, error, METHOD_POST);
}

bool RESTful_Client::query_vm_volumes_by_name(const std::string& name,
                                              std::vector<VM_Volume>& volumes, Error* error) {
    Query_Params params;
    params.where("name", name);
    return query_items_by_page(params, Message::QUERY_VM_VOLUMES, volumes, error);
}

bool RESTful_Client::query_vm_volume_snapshot(const std::string& id, VM_Volume_Snapshot& snapshot,
                                              Error* error) {
    return send_sm_request_and_get_one(where("id", id), Message::QUERY_VM_VOLUME_SNAPSHOTS,
                                       snapshot, error, METHOD_POST);
}

bool RESTful_Client::query_vm_disk(const std::string& id, VM_Disk& disk, Error* error) {
    return send_sm_request_and_get_one(where("id", id), Message::QUERY_VM_DISKS, disk, error,
                                       METHOD_POST);
}

bool RESTful_Client::query_vm_disk_by_serial(const std::string& serial, VM_Disk& disk,
                                             Error* error) {
    // Disks without a serial (CD-ROMs) would all match an empty one.
    if (serial.empty()) {
        report_error(error, -1, "Failed to query VM disk by serial, details: the serial is empty.");
        return false;
    }
    return send_sm_request_and_get_one(where("serial", serial), Message::QUERY_VM_DISKS, disk,
                                       error, METHOD_POST);
}

// ---- labels ----

bool RESTful_Client::query_labels(std::vector<Label>& labels, Error* error) {
    Query_Params params = label_list();
    return query_items_by_page(params, Message::QUERY_LABELS, labels, error);
}

bool RESTful_Client::query_labels_by_name_contains(const std::string& name,
                                                   std::vector<Label>& labels, Error* error) {
    Query_Params params = label_list();
    params.where("key_contains", name);
    return query_items_by_page(params, Message::QUERY_LABELS, labels, error);
}

bool RESTful_Client::query_label(const std::string& id, Label& label, Error* error) {
    if (!send_sm_request_and_get_one(where("id", id), Message::QUERY_LABELS, label, error,
                                     METHOD_POST))
        return false;
    if (!label.datacenters.empty() &&
        !query_items_by_ids(Message::QUERY_DATACENTERS, label.datacenters, error))
        return false;
    if (!label.clusters.empty() &&
        !query_items_by_ids(Message::QUERY_CLUSTERS, label.clusters, error))
        return false;
    if (!label.hosts.empty() && !query_items_by_ids(Message::QUERY_HOSTS, label.hosts, error))
        return false;
    if (!label.vms.empty()) {
        Query_Params params = vm_list();
        if (!query_items_by_ids(params, Message::QUERY_VMS, label.vms, error))
            return false;
    }
    return label.vm_volumes.empty() ||
           query_items_by_ids(Message::QUERY_VM_VOLUMES, label.vm_volumes, error);
}

// ---- data stores and networks ----

bool RESTful_Client::query_data_storages(std::vector<Data_Storage>& storages, Error* error) {
    Query_Params params;
    return query_items_by_page(params, Message::QUERY_DATA_STORAGES, storages, error);
}

bool RESTful_Client::query_data_storages_in_datacenter(const std::string& datacenter_id,
                                                       std::vector<Data_Storage>& storages,
                                                       Error* error) {
    std::vector<Cluster> clusters;
    if (!query_clusters_in_datacenter(datacenter_id, clusters, error))
        return false;
    Query_Params params = where("cluster", ids_ref(dump_item_ids(clusters)));
    return query_items_by_page(params, Message::QUERY_DATA_STORAGES, storages, error);
}

bool RESTful_Client::query_data_storages_by_name_contains(const std::string& name,
                                                          std::vector<Data_Storage>& storages,
                                                          Error* error) {
    Query_Params params = where("name_contains", name);
    return query_items_by_page(params, Message::QUERY_DATA_STORAGES, storages, error);
}

bool RESTful_Client::query_vm_vlans(std::vector<VLAN>& vlans, Error* error) {
    Query_Params params = where("type", "VM");
    params.where("name_not_contains", "internal");
    return query_items_by_page(params, Message::QUERY_VLANS, vlans, error);
}

bool RESTful_Client::query_vm_vds(const std::string& vds_id, std::vector<VDS>& vdses,
                                  Error* error) {
    Query_Params params = where("type", "VM");
    params.where("internal", false).where("id", vds_id);
    return query_items_by_page(params, Message::QUERY_VDS, vdses, error);
}

bool RESTful_Client::query_storage_policy_by_uuid_contains(const std::string& uuid,
                                                           Storage_Policy& policy, Error* error) {
    // An empty text is contained in every policy's uuid.
    if (uuid.empty()) {
        report_error(error, -1, "Failed to query storage policy, details: the uuid is empty.");
        return false;
    }
    return send_sm_request_and_get_one(where("local_id_contains", uuid),
                                       Message::QUERY_STORAGE_POLICY, policy, error, METHOD_POST);
}

}  // namespace smartx
