// The lister's other questions: search by name, which VM names are taken,
// and a VM's data disks.
#include <ace/Log_Msg.h>

#include <map>
#include <set>

#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/host.h"
#include "smartx/common/label.h"
#include "smartx/common/restful_client.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/websvcs_agent/lister.h"

namespace smartx {

bool Lister::search(const std::string& view, const std::string& search, const std::string& name,
                    json_spirit::Value& result) {
    std::vector<Item> items;
    if (!search_items(view_type(view), resc_type(search), name, items))
        return false;
    result = Item::dump(items);
    return true;
}

namespace {
template <class T>
using Name_Query = bool (RESTful_Client::*)(const std::string&, std::vector<T>&, Error*);

// One "name contains" query; a failure logs format with the name and the message.
template <class T>
bool query_by_name(RESTful_Client& client, Name_Query<T> query, const char* format,
                   const std::string& name, std::vector<T>& found) {
    Error error;
    if ((client.*query)(name, found, &error))
        return true;
    ACE_ERROR((LM_ERROR, format, name.c_str(), error.message.c_str()));
    return false;
}
}  // namespace

bool Lister::search_items(View_Type view, Resc_Type type, const std::string& name,
                          std::vector<Item>& items) {
    RESTful_Client& c = restful_client_;
    // A restore target is picked, not expanded.
    const bool expandable = view != View_Type::RECOVERY;
    switch (type) {
        case Resc_Type::DATACENTER: {
            std::vector<Datacenter> found;
            if (!query_by_name(
                    c, &RESTful_Client::query_datacenters_by_name_contains,
                    "Failed to query datacenters by name contains name %C, details: %C.\n", name,
                    found))
                return false;
            load_items(found, true, items, false);
            return true;
        }
        case Resc_Type::CLUSTER: {
            std::vector<Cluster> found;
            if (!query_by_name(c, &RESTful_Client::query_clusters_by_name_contains,
                               "Failed to query clusters by name contains %C, details: %C.\n", name,
                               found))
                return false;
            load_items(found, true, items, false);
            return true;
        }
        case Resc_Type::HOST: {
            std::vector<Host> found;
            if (!query_by_name(c, &RESTful_Client::query_hosts_by_name_contains,
                               "Failed to query hosts by name contains %C, details: %C.\n", name,
                               found))
                return false;
            load_items(found, expandable, items, false);
            return true;
        }
        case Resc_Type::FOLDER: {
            std::vector<Folder> found;
            if (!query_by_name(c, &RESTful_Client::query_folders_by_name_contains,
                               "Failed to query folders by name contains %C, details: %C.\n", name,
                               found))
                return false;
            load_items(found, expandable, items, false);
            return true;
        }
        case Resc_Type::VM: {
            std::vector<VM> found;
            if (!query_by_name(c, &RESTful_Client::query_vms_by_name_contains,
                               "Failed to query vms by name contains %C, details: %C.\n", name,
                               found))
                return false;
            set_vms_size(found);
            load_items(found, false, items, false);
            return true;
        }
        case Resc_Type::STORAGE: {
            std::vector<Data_Storage> found;
            if (!query_by_name(c, &RESTful_Client::query_data_storages_by_name_contains,
                               "Failed to query data storages by name contains %C, details: %C.\n",
                               name, found))
                return false;
            load_items(found, false, items, false);
            return true;
        }
        case Resc_Type::TAG: {
            std::vector<Label> found;
            if (!query_by_name(c, &RESTful_Client::query_labels_by_name_contains,
                               "Failed to query labels by name contains %C, details: %C.\n", name,
                               found))
                return false;
            load_items(found, true, items, false);
            return true;
        }
        default:
            // The root, "Info", "Network" and unknown names are nothing to search.
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Failed to search hosts view, details: invalid type.\n")),
                false);
    }
}

bool Lister::verify(const std::vector<json_spirit::Value>& vms, json_spirit::Value& result) {
    json_spirit::Array taken;
    // Each cluster's VM names, queried once per call.
    std::map<std::string, std::set<std::string>> names_by_cluster;
    for (const json_spirit::Value& element : vms) {
        if (element.type() != json_spirit::obj_type)
            continue;
        const std::string* cluster_id =
            json_spirit::object_get_str(element.get_obj(), "cluster_moid");
        const std::string* vm_name = json_spirit::object_get_str(element.get_obj(), "vm_name");
        if (cluster_id == nullptr)
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to verify vms, details: 'cluster_moid' "
                                                 "is expected as string.\n")),
                             false);
        if (vm_name == nullptr)
            ACE_ERROR_RETURN(
                (LM_ERROR,
                 ACE_TEXT("Failed to verify vms, details: 'vm_name' is expected as string.\n")),
                false);
        auto names = names_by_cluster.find(*cluster_id);
        if (names == names_by_cluster.end()) {
            // A cluster that cannot be asked has unknown names, not free ones.
            std::vector<VM> cluster_vms;
            Error error;
            if (!restful_client_.query_vms_in_cluster(*cluster_id, cluster_vms, &error))
                ACE_ERROR_RETURN(
                    (LM_ERROR,
                     ACE_TEXT("Failed to query vms in cluster %C to verify names, details: %C.\n"),
                     cluster_id->c_str(), error.message.c_str()),
                    false);
            std::set<std::string> found;
            for (const VM& vm : cluster_vms)
                found.insert(vm.name);
            names = names_by_cluster.emplace(*cluster_id, std::move(found)).first;
        }
        if (names->second.count(*vm_name) != 0)
            taken.emplace_back(*vm_name);
    }
    result = std::move(taken);
    return true;
}

bool Lister::disk(const std::string& vm_id, json_spirit::Value& result) {
    VM vm;
    Error error;
    if (!restful_client_.query_vm(vm_id, vm, &error))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to query vm to get disks, details: %C.\n"),
                          error.message.c_str()),
                         false);
    json_spirit::Array disks;
    for (const VM_Disk& disk : vm.vm_disks) {
        // CD-ROMs hold images, not data a restore can bring back.
        if (disk.get_type() != VM_Disk_Type::DISK)
            continue;
        const VM_Volume& volume = disk.vm_volume;
        json_spirit::Object obj;
        obj["disk_id"] = disk.id;
        obj["disk_type"] = disk.type;
        obj["size"] = static_cast<long long>(volume.size);
        obj["volume_id"] = volume.id;
        obj["volume_name"] = volume.name;
        obj["lun_id"] = volume.lun.id;
        obj["volume_local_id"] = volume.local_id;
        obj["volume_policy"] = volume.elf_storage_policy;
        disks.emplace_back(std::move(obj));
    }
    result = std::move(disks);
    return true;
}

}  // namespace smartx
