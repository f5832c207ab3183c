// The console's view of a CloudTower inventory: the browse tree (one node's
// children at a time, per view), search by name, the check of VM names
// before a restore creates VMs, and a VM's data disks.
//
// A lister borrows a logged-in client for one request and caches nothing;
// it is used by one thread at a time. Every answer is a JSON array written
// into the caller's result only on success.
#ifndef SMARTX_WEBSVCS_AGENT_LISTER_H
#define SMARTX_WEBSVCS_AGENT_LISTER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "qorm/key2_value.h"

namespace smartx {

class RESTful_Client;
struct Cluster;
struct Data_Storage;
struct Datacenter;
struct Folder;
struct Host;
struct Label;
struct VLAN;
struct VM;

class Lister {
public:
    // The console's browse views ("hosts", "vms", ...); an unknown name is
    // UNKNOWN and browses like a view without special handling.
    enum class View_Type : int32_t {
        UNKNOWN = 0,
        HOST = 1,
        VM = 2,
        STORAGE = 3,
        TAG = 4,
        RECOVERY = 5,
        RECOVERY_CLUSTER = 6
    };

    // Node and search types by their console names ("" is the root).
    // HARDWARE has no name row: "Hardware" is not a search type.
    enum class Resc_Type : int32_t {
        UNKNOWN = 0,
        ROOT = 1,
        INFO = 2,
        DATACENTER = 3,
        CLUSTER = 4,
        HOST = 5,
        FOLDER = 6,
        VM = 7,
        STORAGE = 8,
        NETWORK = 9,
        HARDWARE = 10,
        TAG = 11
    };

    static const Key2_Value_T<View_Type> VIEW_TABLE[];
    static const Key2_Value_T<Resc_Type> RESC_TABLE[];
    // Whole, case-sensitive names; a miss is UNKNOWN.
    static View_Type view_type(const std::string& name);
    static Resc_Type resc_type(const std::string& name);

    // One browse node.
    struct Item {
        std::string id;  // dumped as "moid"
        std::string uuid;
        std::string name;
        std::string type;
        std::string status;
        uint64_t size = 0;  // bytes, VMs only
        json_spirit::Object extended_attrs;
        bool has_children = false;

        // "uuid" only when there is one; "extended_attrs" always.
        json_spirit::Object dump() const;
        // The items' dumps, in order.
        static json_spirit::Array dump(const std::vector<Item>& items);

        // load_extended_attrs matters for hosts only (CPU, memory, cluster).
        void load(const Datacenter& datacenter, bool has_children, bool load_extended_attrs);
        void load(const Cluster& cluster, bool has_children, bool load_extended_attrs);
        void load(const Host& host, bool has_children, bool load_extended_attrs);
        void load(const VM& vm, bool has_children, bool load_extended_attrs);
        void load(const Folder& folder, bool has_children, bool load_extended_attrs);
        void load(const Label& label, bool has_children, bool load_extended_attrs);
        void load(const Data_Storage& storage, bool has_children, bool load_extended_attrs);
        void load(const VLAN& vlan, bool has_children, bool load_extended_attrs);
    };

    using List_Items_Func =
        std::function<bool(Lister*, View_Type, const std::string&, std::vector<Item>&)>;

    // The client stays the caller's and must outlive the lister.
    explicit Lister(RESTful_Client& restful_client);

    // The children of node `target` of type `list` ("", "Info", "Datacenter",
    // "Cluster", "HostSystem", "Folder", "Tag", "Network", "Hardware") in
    // `view`. VMs and data stores are leaves: their types have no children.
    bool list(const std::string& view, const std::string& list, const std::string& target,
              json_spirit::Value& result);

    // Objects of type `search` (a Resc_Type name) whose name contains `name`.
    bool search(const std::string& view, const std::string& search, const std::string& name,
                json_spirit::Value& result);

    // `vms` holds {"cluster_moid", "vm_name"} objects; result lists the names
    // already taken in their cluster, in input order.
    bool verify(const std::vector<json_spirit::Value>& vms, json_spirit::Value& result);

    // The VM's data disks (CD-ROMs left out) with their volumes.
    bool disk(const std::string& vm_id, json_spirit::Value& result);

    // The children of one node type, appended to items.
    bool list_root_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_info(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_datacenter_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_cluster_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_host_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_folder_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_tag_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_network_items(View_Type view, const std::string& target, std::vector<Item>& items);
    bool list_hardware_items(View_Type view, const std::string& target, std::vector<Item>& items);

    // The search of one type, appended to items.
    bool search_items(View_Type view, Resc_Type type, const std::string& name,
                      std::vector<Item>& items);

    // The list function of a node type (whole, case-sensitive name); an
    // empty function for any other name.
    static List_Items_Func get_list_items_func(const std::string& name);

private:
    template <class T>
    static void load_items(const std::vector<T>& records, bool has_children,
                           std::vector<Item>& items, bool load_extended_attrs);

    // Each VM's size: the sum of its data disks' volume sizes. Lookups that
    // fail count 0 and never fail the listing.
    void set_vms_size(std::vector<VM>& vms);
    uint64_t get_volume_size(const std::string& disk_id);

    RESTful_Client& restful_client_;
};

}  // namespace smartx

#endif
