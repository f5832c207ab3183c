// The browse tree: items, the name tables and each node type's children.
#include "smartx/websvcs_agent/lister.h"

#include <ace/Log_Msg.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "host/directory_reader.h"
#include "host/paths.h"
#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/host.h"
#include "smartx/common/label.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_volume.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {

namespace {
const char* const ZBS_VERSIONS_DIR = "/opt/velmora/tarnvik3/zbs";

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string vm_status_text(const VM& vm) {
    switch (vm.get_status()) {
        case VM_Status::RUNNING:
            return "powered_on";
        case VM_Status::STOPPED:
            return "powered_off";
        default:
            return lower(vm.status);
    }
}

// A version a job could name (the check its zbs_version gets): a directory,
// or a link to a directory inside `dir` (whose real path is `real_dir`).
bool is_version_dir(const std::string& dir, const std::string& real_dir, const std::string& name,
                    const ACE_stat& st) {
    if (!is_valid_zbs_version(name.c_str()))
        return false;
    if (S_ISDIR(st.st_mode))
        return true;
    if (!S_ISLNK(st.st_mode) || real_dir.empty())
        return false;
    char target[PATH_MAX];
    struct stat target_st;
    return ::realpath((dir + "/" + name).c_str(), target) != nullptr &&
           std::strncmp(target, real_dir.c_str(), real_dir.size()) == 0 &&
           target[real_dir.size()] == '/' && ::stat(target, &target_st) == 0 &&
           S_ISDIR(target_st.st_mode);
}

// Free memory, signed: a host reporting more used than total sorts last.
int64_t free_memory(const Host& host) {
    return static_cast<int64_t>(static_cast<uint64_t>(host.memory_bytes) -
                                static_cast<uint64_t>(host.used_memory_bytes));
}
}  // namespace

const Key2_Value_T<Lister::View_Type> Lister::VIEW_TABLE[] = {
    key2_value_row("hosts", View_Type::HOST),
    key2_value_row("vms", View_Type::VM),
    key2_value_row("storages", View_Type::STORAGE),
    key2_value_row("tags", View_Type::TAG),
    key2_value_row("recovery", View_Type::RECOVERY),
    key2_value_row("recovery_cluster", View_Type::RECOVERY_CLUSTER),
    key2_value_end(View_Type::UNKNOWN)};

const Key2_Value_T<Lister::Resc_Type> Lister::RESC_TABLE[] = {
    key2_value_row("", Resc_Type::ROOT),
    key2_value_row("Info", Resc_Type::INFO),
    key2_value_row("Datacenter", Resc_Type::DATACENTER),
    key2_value_row("Cluster", Resc_Type::CLUSTER),
    key2_value_row("HostSystem", Resc_Type::HOST),
    key2_value_row("Folder", Resc_Type::FOLDER),
    key2_value_row("VirtualMachine", Resc_Type::VM),
    key2_value_row("Storage", Resc_Type::STORAGE),
    key2_value_row("Network", Resc_Type::NETWORK),
    key2_value_row("Tag", Resc_Type::TAG),
    key2_value_end(Resc_Type::UNKNOWN)};

Lister::View_Type Lister::view_type(const std::string& name) {
    // By length too: a name with a NUL inside names no row.
    return get_key_value_entry(VIEW_TABLE, name.c_str(), name.size())->value;
}

Lister::Resc_Type Lister::resc_type(const std::string& name) {
    return get_key_value_entry(RESC_TABLE, name.c_str(), name.size())->value;
}

// ---- items ----

json_spirit::Array Lister::Item::dump(const std::vector<Item>& items) {
    json_spirit::Array array;
    array.reserve(items.size());
    for (const Item& item : items)
        array.emplace_back(item.dump());
    return array;
}

json_spirit::Object Lister::Item::dump() const {
    json_spirit::Object obj;
    obj["moid"] = id;
    if (!uuid.empty())
        obj["uuid"] = uuid;
    obj["name"] = name;
    obj["type"] = type;
    obj["status"] = status;
    obj["size"] = static_cast<unsigned long long>(size);
    obj["has_children"] = has_children;
    obj["extended_attrs"] = extended_attrs;
    return obj;
}

void Lister::Item::load(const Datacenter& datacenter, bool children, bool) {
    id = datacenter.id;
    name = datacenter.name;
    type = "Datacenter";
    has_children = children;
}

void Lister::Item::load(const Cluster& cluster, bool children, bool) {
    id = cluster.id;
    uuid = cluster.local_id;
    name = cluster.name;
    type = "Cluster";
    status = cluster.connect_state;
    has_children = children;
}

void Lister::Item::load(const Host& host, bool children, bool load_extended_attrs) {
    id = host.id;
    uuid = host.local_id;
    name = host.name;
    type = "HostSystem";
    status = host.status;
    has_children = children;
    if (!load_extended_attrs)
        return;
    extended_attrs["cpu_sockets"] = host.cpu_sockets;
    extended_attrs["cpu_cores"] = host.cpu_cores;
    extended_attrs["cpu_hz"] = static_cast<long long>(host.cpu_hz);
    extended_attrs["used_cpu_hz"] = host.used_cpu_hz;
    extended_attrs["memory_size"] = static_cast<long long>(host.memory_bytes);
    extended_attrs["used_memory_bytes"] = static_cast<long long>(host.used_memory_bytes);
    extended_attrs["cluster_name"] = host.cluster.name;
    extended_attrs["cluster_id"] = host.cluster.id;
}

void Lister::Item::load(const VM& vm, bool children, bool) {
    id = vm.id;
    uuid = vm.local_id;
    name = vm.name;
    type = "VirtualMachine";
    status = vm_status_text(vm);
    size = vm.size > 0 ? static_cast<uint64_t>(vm.size) : 0;
    has_children = children;
}

void Lister::Item::load(const Folder& folder, bool children, bool) {
    id = folder.id;
    uuid = folder.local_id;
    name = folder.name;
    type = "Folder";
    has_children = children;
}

void Lister::Item::load(const Label& label, bool children, bool) {
    id = label.id;
    name = label.key;
    type = "Tag";
    has_children = children;
}

void Lister::Item::load(const Data_Storage& storage, bool children, bool) {
    id = storage.id;
    uuid = storage.local_id;
    name = storage.name;
    type = "Storage";
    has_children = children;
}

void Lister::Item::load(const VLAN& vlan, bool children, bool) {
    id = vlan.id;
    uuid = vlan.local_id;
    name = vlan.name;
    type = "Network";
    has_children = children;
}

template <class T>
void Lister::load_items(const std::vector<T>& records, bool has_children, std::vector<Item>& items,
                        bool load_extended_attrs) {
    for (const T& record : records) {
        items.emplace_back();
        items.back().load(record, has_children, load_extended_attrs);
    }
}

template void Lister::load_items(const std::vector<Label>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<Datacenter>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<Cluster>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<Folder>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<VM>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<Host>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<VLAN>&, bool, std::vector<Item>&, bool);
template void Lister::load_items(const std::vector<Data_Storage>&, bool, std::vector<Item>&, bool);

// ---- the tree ----

Lister::Lister(RESTful_Client& restful_client) : restful_client_(restful_client) {}

Lister::List_Items_Func Lister::get_list_items_func(const std::string& name) {
    static const Key2_Value_T<List_Items_Func> table[] = {
        key2_value_row("", List_Items_Func(&Lister::list_root_items)),
        key2_value_row("Info", List_Items_Func(&Lister::list_info)),
        key2_value_row("Datacenter", List_Items_Func(&Lister::list_datacenter_items)),
        key2_value_row("Cluster", List_Items_Func(&Lister::list_cluster_items)),
        key2_value_row("HostSystem", List_Items_Func(&Lister::list_host_items)),
        key2_value_row("Folder", List_Items_Func(&Lister::list_folder_items)),
        key2_value_row("Tag", List_Items_Func(&Lister::list_tag_items)),
        key2_value_row("Network", List_Items_Func(&Lister::list_network_items)),
        key2_value_row("Hardware", List_Items_Func(&Lister::list_hardware_items)),
        key2_value_end(List_Items_Func())};
    return get_key_value_entry(table, name.c_str(), name.size())->value;
}

bool Lister::list(const std::string& view, const std::string& list, const std::string& target,
                  json_spirit::Value& result) {
    const List_Items_Func func = get_list_items_func(list);
    if (!func)
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to get list items function, details: not found.\n")),
            false);
    std::vector<Item> items;
    if (!func(this, view_type(view), target, items))
        return false;
    result = Item::dump(items);
    return true;
}

bool Lister::list_root_items(View_Type view, const std::string&, std::vector<Item>& items) {
    Error error;
    if (view == View_Type::TAG) {
        std::vector<Label> labels;
        if (!restful_client_.query_labels(labels, &error))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query labels, details: %C.\n"),
                              error.message.c_str()),
                             false);
        load_items(labels, true, items, false);
        return true;
    }
    std::vector<Datacenter> datacenters;
    if (!restful_client_.query_datacenters(datacenters, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query datacenters, details: %C.\n"),
                          error.message.c_str()),
                         false);
    load_items(datacenters, true, items, false);
    return true;
}

bool Lister::list_info(View_Type, const std::string&, std::vector<Item>& items) {
    // Reading must not make the product's directories.
    const Path_Conf dir(ZBS_VERSIONS_DIR, false, 0750);
    std::vector<std::string> versions;
    Directory_Reader reader;
    if (reader.open(dir.str().c_str(), true, 0) == 0) {
        char real_dir[PATH_MAX];
        const std::string real = ::realpath(dir.str().c_str(), real_dir) ? real_dir : "";
        std::string name;
        ACE_stat st;
        while (reader.read(name, st) == 0)
            if (is_version_dir(dir.str(), real, name, st))
                versions.push_back(name);
    }
    std::sort(versions.begin(), versions.end(), std::greater<std::string>());
    json_spirit::Array names(versions.begin(), versions.end());
    Item info;
    info.type = "Info";
    info.extended_attrs["zbs_versions"] = std::move(names);
    items.push_back(std::move(info));
    return true;
}

bool Lister::list_datacenter_items(View_Type view, const std::string& target,
                                   std::vector<Item>& items) {
    Error error;
    std::vector<Cluster> clusters;
    if (view == View_Type::RECOVERY) {
        // A restore may target any cluster of the platform.
        if (!restful_client_.query_clusters(clusters, &error))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query all clusters, details: %C.\n"),
                              error.message.c_str()),
                             false);
    } else if (!restful_client_.query_clusters_in_datacenter(target, clusters, &error)) {
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to query clusters in datacenter %C, details: %C.\n"),
             target.c_str(), error.message.c_str()),
            false);
    }
    load_items(clusters, true, items, false);
    return true;
}

bool Lister::list_cluster_items(View_Type view, const std::string& target,
                                std::vector<Item>& items) {
    Error error;
    if (view == View_Type::VM) {
        std::vector<Folder> folders;
        if (!restful_client_.query_folders_in_cluster(target, folders, &error))
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to query folders in cluster %C, details: %C.\n"),
                 target.c_str(), error.message.c_str()),
                false);
        std::vector<VM> vms;
        if (!restful_client_.query_ungrouped_vms_in_cluster(target, vms, &error))
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to query ungrouped VMs in cluster %C, details: %C.\n"),
                 target.c_str(), error.message.c_str()),
                false);
        set_vms_size(vms);
        load_items(folders, true, items, false);
        load_items(vms, false, items, false);
        return true;
    }
    std::vector<Host> hosts;
    if (!restful_client_.query_hosts_in_cluster(target, hosts, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query hosts in cluster %C, details: %C.\n"),
                          target.c_str(), error.message.c_str()),
                         false);
    // A restore picks a host by its resources; it has nothing to expand.
    const bool recovery = view == View_Type::RECOVERY;
    load_items(hosts, !recovery, items, recovery);
    return true;
}

bool Lister::list_host_items(View_Type view, const std::string& target, std::vector<Item>& items) {
    Error error;
    if (view == View_Type::RECOVERY) {
        std::vector<Host> hosts;
        if (!restful_client_.query_hosts(hosts, &error))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query hosts, details: %C.\n"),
                              error.message.c_str()),
                             false);
        load_items(hosts, false, items, true);
        return true;
    }
    std::vector<VM> vms;
    if (!restful_client_.query_vms_in_host(target, vms, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query vms in host %C, details: %C.\n"),
                          target.c_str(), error.message.c_str()),
                         false);
    set_vms_size(vms);
    load_items(vms, false, items, false);
    return true;
}

bool Lister::list_folder_items(View_Type view, const std::string& target,
                               std::vector<Item>& items) {
    Error error;
    if (view == View_Type::RECOVERY) {
        // Here the target is the cluster whose folders a restore may use.
        std::vector<Folder> folders;
        if (!restful_client_.query_folders_in_cluster(target, folders, &error))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query folders, details: %C.\n"),
                              error.message.c_str()),
                             false);
        load_items(folders, false, items, false);
        return true;
    }
    std::vector<VM> vms;
    if (!restful_client_.query_vms_in_folder(target, vms, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query vms in folder %C, details: %C.\n"),
                          target.c_str(), error.message.c_str()),
                         false);
    set_vms_size(vms);
    load_items(vms, false, items, false);
    return true;
}

bool Lister::list_tag_items(View_Type, const std::string& target, std::vector<Item>& items) {
    Error error;
    Label label;
    if (!restful_client_.query_label(target, label, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query label %C, details: %C.\n"),
                          target.c_str(), error.message.c_str()),
                         false);
    // Volumes are not browsable objects of their own.
    load_items(label.datacenters, false, items, false);
    load_items(label.clusters, false, items, false);
    load_items(label.hosts, false, items, false);
    load_items(label.vms, false, items, false);
    return true;
}

bool Lister::list_network_items(View_Type, const std::string& target, std::vector<Item>& items) {
    Error error;
    std::vector<VLAN> vlans;
    if (!restful_client_.query_vm_vlans(vlans, &error))
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to query vm vlans, details: %C.\n"), error.message.c_str()),
            false);
    // Only the networks of the target cluster's switches. A VLAN whose switch
    // cannot be queried stays (logged); one whose switch is not a VM switch
    // (the query finds none) or belongs to another cluster goes.
    std::vector<VLAN> kept;
    for (VLAN& vlan : vlans) {
        std::vector<VDS> vdses;
        Error vds_error;
        if (!restful_client_.query_vm_vds(vlan.vds.id, vdses, &vds_error)) {
            ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to query vm vds[%C], details: %C.\n"),
                       vlan.vds.id.c_str(), vds_error.message.c_str()));
            kept.push_back(std::move(vlan));
        } else if (!vdses.empty() && vdses.front().cluster.id == target) {
            kept.push_back(std::move(vlan));
        }
    }
    load_items(kept, false, items, false);
    return true;
}

bool Lister::list_hardware_items(View_Type view, const std::string& target,
                                 std::vector<Item>& items) {
    Error error;
    if (view == View_Type::RECOVERY_CLUSTER) {
        std::vector<Host> hosts;
        if (!restful_client_.query_hosts_in_cluster(target, hosts, &error))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query cluster hosts, details: %C.\n"),
                              error.message.c_str()),
                             false);
        if (hosts.empty())
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Cluster hosts is empty.\n")), false);
        // The host with the most free memory is the console's first choice.
        std::stable_sort(hosts.begin(), hosts.end(), [](const Host& a, const Host& b) {
            return free_memory(a) > free_memory(b);
        });
        load_items(hosts, false, items, true);
        return true;
    }
    Host host;
    if (!restful_client_.query_host(target, host, &error))
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to query hosts, details: %C.\n"), error.message.c_str()),
            false);
    items.emplace_back();
    items.back().load(host, false, true);
    return true;
}

// ---- VM sizes ----

void Lister::set_vms_size(std::vector<VM>& vms) {
    for (VM& vm : vms) {
        uint64_t size = 0;
        for (const VM_Disk& disk : vm.vm_disks)
            size += get_volume_size(disk.id);
        vm.size = static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX));
    }
}

uint64_t Lister::get_volume_size(const std::string& disk_id) {
    Error error;
    VM_Disk disk;
    if (!restful_client_.query_vm_disk(disk_id, disk, &error)) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to query disk[%C] to get volume size, details: %C.\n"),
                   disk_id.c_str(), error.message.c_str()));
        return 0;
    }
    if (disk.get_type() != VM_Disk_Type::DISK)
        return 0;
    VM_Volume volume;
    if (!restful_client_.query_vm_volume(disk.vm_volume.id, volume, &error)) {
        ACE_ERROR((LM_ERROR,
                   ACE_TEXT("Failed to query volume[%C] to count volume size, details: %C.\n"),
                   disk.vm_volume.id.c_str(), error.message.c_str()));
        return 0;
    }
    // An unknown size (absent: -1) is no size.
    return volume.size > 0 ? static_cast<uint64_t>(volume.size) : 0;
}

}  // namespace smartx
