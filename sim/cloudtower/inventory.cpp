#include "sim/cloudtower/inventory.h"

#include <fstream>
#include <sstream>
#include <unordered_set>

#include "host/json_spirit/json_io.h"
#include "sim/cloudtower/json_util.h"

namespace sim {
namespace cloudtower {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

const std::vector<std::string>& Inventory::kinds() {
    static const std::vector<std::string> all = {"organizations",
                                                 "datacenters",
                                                 "clusters",
                                                 "hosts",
                                                 "vm_folders",
                                                 "vms",
                                                 "vm_disks",
                                                 "vm_nics",
                                                 "vm_volumes",
                                                 "vm_snapshots",
                                                 "vm_volume_snapshots",
                                                 "iscsi_targets",
                                                 "iscsi_luns",
                                                 "iscsi_lun_snapshots",
                                                 "labels",
                                                 "data_stores",
                                                 "elf_storage_policies",
                                                 "vdses",
                                                 "vlans",
                                                 "gpu_devices",
                                                 "usb_devices",
                                                 "users",
                                                 "user_roles",
                                                 "tasks"};
    return all;
}

bool Inventory::known_kind(const std::string& kind) {
    for (const auto& k : kinds())
        if (k == kind)
            return true;
    return false;
}

const char* Inventory::relation_kind(const std::string& field) {
    static const std::map<std::string, const char*> relations = {
        {"organization", "organizations"},
        {"datacenters", "datacenters"},
        {"cluster", "clusters"},
        {"clusters", "clusters"},
        {"host", "hosts"},
        {"hosts", "hosts"},
        {"folder", "vm_folders"},
        {"vm_folders", "vm_folders"},
        {"vm", "vms"},
        {"vms", "vms"},
        {"vm_disks", "vm_disks"},
        {"vm_nics", "vm_nics"},
        {"vm_volume", "vm_volumes"},
        {"vm_volumes", "vm_volumes"},
        {"snapshots", "vm_snapshots"},
        {"vm_snapshots", "vm_snapshots"},
        {"vm_volume_snapshots", "vm_volume_snapshots"},
        {"iscsi_target", "iscsi_targets"},
        {"iscsi_targets", "iscsi_targets"},
        {"iscsi_lun", "iscsi_luns"},
        {"iscsi_luns", "iscsi_luns"},
        {"lun", "iscsi_luns"},
        {"luns", "iscsi_luns"},
        {"iscsi_lun_snapshots", "iscsi_lun_snapshots"},
        {"labels", "labels"},
        {"vds", "vdses"},
        {"vdses", "vdses"},
        {"vlan", "vlans"},
        {"vlans", "vlans"},
        {"gpu_devices", "gpu_devices"},
        {"usb_devices", "usb_devices"},
        {"user", "users"},
        {"users", "users"},
        {"roles", "user_roles"},
    };
    auto it = relations.find(field);
    return it == relations.end() ? nullptr : it->second;
}

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error)
        *error = what;
    return false;
}

bool read_json_file(const std::string& path, Value& out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail(error, "cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    if (!json_spirit::read(text.str(), out, &why))
        return fail(error, path + ": " + why);
    return true;
}

}  // namespace

bool Inventory::load(const Object& doc, const std::string& base_dir, std::string* error) {
    std::map<std::string, Records> loaded;
    for (const auto& member : doc) {
        const std::string& kind = member.first;
        if (!known_kind(kind))
            return fail(error, "unknown record kind '" + kind + "'");
        Value file_value;
        const Value* list = &member.second;
        std::string where = kind;
        if (list->type() == json_spirit::str_type) {
            std::string path = list->get_str();
            if (!path.empty() && path[0] != '/' && !base_dir.empty())
                path = base_dir + "/" + path;
            if (!read_json_file(path, file_value, error))
                return false;
            list = &file_value;
            where = path;
        }
        if (list->type() != json_spirit::array_type)
            return fail(error, where + ": not an array of records");
        Records& records = loaded[kind];
        std::unordered_set<std::string> ids;
        for (const Value& v : list->get_array()) {
            if (v.type() != json_spirit::obj_type)
                return fail(error, where + ": a record is not an object");
            std::string id = str_of(v.get_obj(), "id");
            if (id.empty())
                return fail(error, where + ": a record has no \"id\"");
            if (!ids.insert(id).second)
                return fail(error, where + ": duplicate id " + id);
            records.push_back(v.get_obj());
        }
    }
    kinds_ = std::move(loaded);
    refresh();
    return true;
}

bool Inventory::load_file(const std::string& path, std::string* error) {
    Value doc;
    if (!read_json_file(path, doc, error))
        return false;
    if (doc.type() != json_spirit::obj_type)
        return fail(error, path + ": not an object");
    std::string dir = ".";
    size_t slash = path.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : path.substr(0, slash);
    return load(doc.get_obj(), dir, error);
}

Object Inventory::dump() const {
    Object out;
    for (const auto& kind : kinds()) {
        Array list;
        for (const Object& rec : records(kind))
            list.push_back(rec);
        out[kind] = std::move(list);
    }
    return out;
}

const Inventory::Records& Inventory::records(const std::string& kind) const {
    static const Records none;
    auto it = kinds_.find(kind);
    return it == kinds_.end() ? none : it->second;
}

const Object* Inventory::find(const std::string& kind, const std::string& id) const {
    auto k = index_.find(kind);
    if (k == index_.end())
        return nullptr;
    auto it = k->second.find(id);
    return it == k->second.end() ? nullptr : &kinds_.at(kind)[it->second];
}

Object* Inventory::find(const std::string& kind, const std::string& id) {
    return const_cast<Object*>(static_cast<const Inventory*>(this)->find(kind, id));
}

void Inventory::put(const std::string& kind, Object record) {
    std::string id = str_of(record, "id");
    if (Object* existing = find(kind, id)) {
        *existing = std::move(record);
        return;
    }
    Records& list = kinds_[kind];
    list.push_back(std::move(record));
    index_[kind][id] = list.size() - 1;
}

bool Inventory::erase(const std::string& kind, const std::string& id) {
    auto k = kinds_.find(kind);
    if (k == kinds_.end())
        return false;
    Records& list = k->second;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (str_of(*it, "id") == id) {
            list.erase(it);
            reindex(kind);
            return true;
        }
    }
    return false;
}

void Inventory::clear(const std::string& kind) {
    kinds_.erase(kind);
    index_.erase(kind);
}

void Inventory::reindex(const std::string& kind) {
    auto& idx = index_[kind];
    idx.clear();
    const Records& list = records(kind);
    for (size_t i = 0; i < list.size(); ++i)
        idx[str_of(list[i], "id")] = i;
}

namespace {

using Group = std::unordered_map<std::string, std::vector<const Object*>>;

// Records grouped by the id of their single reference `field`.
Group by_ref(const Inventory::Records& records, const std::string& field) {
    Group g;
    for (const Object& rec : records) {
        std::string id = ref_id(rec, field);
        if (!id.empty())
            g[id].push_back(&rec);
    }
    return g;
}

// Records grouped by every id in their reference list `field`.
Group by_list(const Inventory::Records& records, const std::string& field) {
    Group g;
    for (const Object& rec : records) {
        const Array* list = json_spirit::object_get_array(rec, field);
        if (!list)
            continue;
        for (const Value& v : *list) {
            if (v.type() != json_spirit::obj_type)
                continue;
            std::string id = str_of(v.get_obj(), "id");
            if (!id.empty())
                g[id].push_back(&rec);
        }
    }
    return g;
}

const std::vector<const Object*>& members(const Group& g, const std::string& id) {
    static const std::vector<const Object*> none;
    auto it = g.find(id);
    return it == g.end() ? none : it->second;
}

Array refs(const std::vector<const Object*>& recs, Object (*make)(const Object&)) {
    Array out;
    out.reserve(recs.size());
    for (const Object* r : recs)
        out.push_back(make(*r));
    return out;
}

int64_t count_status(const std::vector<const Object*>& vms, const char* status) {
    int64_t n = 0;
    for (const Object* vm : vms)
        if (str_of(*vm, "status") == status)
            ++n;
    return n;
}

void set_vm_counts(Object& rec, const std::vector<const Object*>& vms) {
    rec["vm_num"] = static_cast<int64_t>(vms.size());
    rec["running_vm_num"] = count_status(vms, "RUNNING");
    rec["stopped_vm_num"] = count_status(vms, "STOPPED");
    rec["suspended_vm_num"] = count_status(vms, "SUSPENDED");
}

// Nested references repeat the target's name (and a host's address, a
// label's key and value): keep them in step with the target.
void refresh_ref(const Inventory& inv, const char* kind, Value& v) {
    if (v.type() != json_spirit::obj_type)
        return;
    Object& ref = v.get_obj();
    const Object* target = inv.find(kind, str_of(ref, "id"));
    if (!target)
        return;
    for (const char* key : {"name", "management_ip", "key", "value"}) {
        auto mine = ref.find(key);
        auto theirs = target->find(key);
        if (mine != ref.end() && theirs != target->end())
            mine->second = theirs->second;
    }
}

}  // namespace

void Inventory::refresh() {
    for (const auto& kind : kinds())
        reindex(kind);

    for (auto& entry : kinds_) {
        for (Object& rec : entry.second) {
            for (auto& member : rec) {
                const char* kind = relation_kind(member.first);
                if (!kind)
                    continue;
                if (member.second.type() == json_spirit::array_type) {
                    for (Value& v : member.second.get_array())
                        refresh_ref(*this, kind, v);
                } else {
                    refresh_ref(*this, kind, member.second);
                }
            }
        }
    }

    const Records& vms = records("vms");
    const Records& labels = records("labels");

    {
        Group vms_of = by_ref(vms, "cluster");
        Group hosts_of = by_ref(records("hosts"), "cluster");
        Group folders_of = by_ref(records("vm_folders"), "cluster");
        Group labels_of = by_list(labels, "clusters");
        for (Object& c : kinds_["clusters"]) {
            std::string id = str_of(c, "id");
            c["hosts"] = refs(members(hosts_of, id), host_ref);
            c["host_num"] = static_cast<int64_t>(members(hosts_of, id).size());
            c["vms"] = refs(members(vms_of, id), name_ref);
            set_vm_counts(c, members(vms_of, id));
            c["vm_folders"] = refs(members(folders_of, id), name_ref);
            c["labels"] = refs(members(labels_of, id), label_ref);
        }
    }
    {
        Group vms_of = by_ref(vms, "cluster");
        Group hosts_of = by_ref(records("hosts"), "cluster");
        Group labels_of = by_list(labels, "datacenters");
        for (Object& dc : kinds_["datacenters"]) {
            int64_t clusters = 0, hosts = 0, vm_num = 0;
            if (const Array* list = json_spirit::object_get_array(dc, "clusters")) {
                for (const Value& v : *list) {
                    if (v.type() != json_spirit::obj_type)
                        continue;
                    std::string id = str_of(v.get_obj(), "id");
                    ++clusters;
                    hosts += static_cast<int64_t>(members(hosts_of, id).size());
                    vm_num += static_cast<int64_t>(members(vms_of, id).size());
                }
            }
            dc["cluster_num"] = clusters;
            dc["host_num"] = hosts;
            dc["vm_num"] = vm_num;
            dc["labels"] = refs(members(labels_of, str_of(dc, "id")), label_ref);
        }
    }
    {
        Group dcs_of = by_ref(records("datacenters"), "organization");
        for (Object& org : kinds_["organizations"])
            org["datacenters"] = refs(members(dcs_of, str_of(org, "id")), name_ref);
    }
    {
        Group vms_of = by_ref(vms, "host");
        Group gpus_of = by_ref(records("gpu_devices"), "host");
        Group usbs_of = by_ref(records("usb_devices"), "host");
        Group labels_of = by_list(labels, "hosts");
        for (Object& h : kinds_["hosts"]) {
            std::string id = str_of(h, "id");
            h["vms"] = refs(members(vms_of, id), name_ref);
            set_vm_counts(h, members(vms_of, id));
            h["gpu_devices"] = refs(members(gpus_of, id), name_ref);
            h["usb_devices"] = refs(members(usbs_of, id), name_ref);
            h["labels"] = refs(members(labels_of, id), label_ref);
        }
    }
    {
        Group vms_of = by_ref(vms, "folder");
        for (Object& f : kinds_["vm_folders"]) {
            const auto& in = members(vms_of, str_of(f, "id"));
            f["vms"] = refs(in, name_ref);
            f["vm_num"] = static_cast<int64_t>(in.size());
        }
    }
    {
        Group disks_of = by_ref(records("vm_disks"), "vm");
        Group nics_of = by_ref(records("vm_nics"), "vm");
        Group snaps_of = by_ref(records("vm_snapshots"), "vm");
        Group gpus_of = by_list(records("gpu_devices"), "vms");
        Group usbs_of = by_list(records("usb_devices"), "vms");
        Group labels_of = by_list(labels, "vms");
        for (Object& vm : kinds_["vms"]) {
            std::string id = str_of(vm, "id");
            vm["vm_disks"] = refs(members(disks_of, id), id_ref);
            vm["vm_nics"] = refs(members(nics_of, id), id_ref);
            vm["snapshots"] = refs(members(snaps_of, id), name_ref);
            vm["gpu_devices"] = refs(members(gpus_of, id), name_ref);
            vm["usb_devices"] = refs(members(usbs_of, id), name_ref);
            vm["labels"] = refs(members(labels_of, id), label_ref);
        }
    }
    {
        Group disks_of = by_ref(records("vm_disks"), "vm_volume");
        Group labels_of = by_list(labels, "vm_volumes");
        for (Object& vol : kinds_["vm_volumes"]) {
            std::string id = str_of(vol, "id");
            const auto& disks = members(disks_of, id);
            vol["vm_disks"] = refs(disks, id_ref);
            vol["mounting"] = !disks.empty();
            vol["labels"] = refs(members(labels_of, id), label_ref);
        }
    }
    {
        Group snaps_of = by_ref(records("iscsi_lun_snapshots"), "iscsi_lun");
        for (Object& lun : kinds_["iscsi_luns"])
            lun["snapshot_num"] = static_cast<int64_t>(members(snaps_of, str_of(lun, "id")).size());
        Group luns_of = by_ref(records("iscsi_luns"), "iscsi_target");
        for (Object& t : kinds_["iscsi_targets"])
            t["luns"] = refs(members(luns_of, str_of(t, "id")), name_ref);
    }
    {
        Group vlans_of = by_ref(records("vlans"), "vds");
        for (Object& vds : kinds_["vdses"]) {
            const auto& in = members(vlans_of, str_of(vds, "id"));
            vds["vlans"] = refs(in, name_ref);
            vds["vlans_num"] = static_cast<int64_t>(in.size());
        }
    }
    {
        Group users_of = by_list(records("users"), "roles");
        for (Object& role : kinds_["user_roles"])
            role["users"] = refs(members(users_of, str_of(role, "id")), name_ref);
    }
    for (Object& label : kinds_["labels"]) {
        int64_t total = 0;
        for (const char* list : {"datacenters", "clusters", "hosts", "vms", "vm_volumes"}) {
            const Array* a = json_spirit::object_get_array(label, list);
            int64_t n = a ? static_cast<int64_t>(a->size()) : 0;
            std::string count = list;
            count = count == "vms" ? "vm" : count.substr(0, count.size() - 1);
            label[count + "_num"] = n;
            total += n;
        }
        label["total_num"] = total;
    }
}

}  // namespace cloudtower
}  // namespace sim
