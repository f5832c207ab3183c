// The mutation paths: each checks its body at once (a 400 error body when
// CloudTower would refuse it), answers one WithTask object per resource, and
// leaves the change to the task, which makes it when it completes.
#include <algorithm>
#include <cstdio>
#include <random>
#include <set>

#include "sim/cloudtower/json_util.h"
#include "sim/cloudtower/query.h"
#include "sim/cloudtower/state.h"

namespace sim {
namespace cloudtower {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

bool refuse(Failure& f, const std::string& message, int status = 400) {
    f.status = status;
    f.message = message;
    return false;
}

Object with_task(const std::string& task_id, Object data) {
    Object o;
    o["task_id"] = task_id;
    o["data"] = std::move(data);
    return o;
}

Object id_only(const std::string& id) {
    Object o;
    o["id"] = id;
    return o;
}

const Object* object_member(const Object& o, const char* key) {
    return json_spirit::object_get_object(o, key);
}

using Apply = std::function<std::string(State&)>;

// Starts a task for one resource and appends its WithTask answer.
void add_task(State& st, Array& out, const std::string& description, const char* type,
              const char* mutation, const std::string& resource_id, const std::string& cluster_id,
              Apply apply, Object data) {
    Task_Spec spec;
    spec.description = description;
    spec.resource_type = type;
    spec.resource_mutation = mutation;
    spec.resource_id = resource_id;
    spec.cluster_id = cluster_id;
    spec.apply = std::move(apply);
    out.push_back(with_task(st.start_task(std::move(spec)), std::move(data)));
}

// A record in the making, as a creating mutation answers it.
Object creating(Object rec) {
    rec["entityAsyncStatus"] = "CREATING";
    return rec;
}

// The records a {"where": ...} body selects; the body and its "where" must
// be objects.
bool select_where(State& st, const std::string& kind, const Value& body,
                  std::vector<std::string>& ids, Failure& f) {
    if (body.type() != json_spirit::obj_type)
        return refuse(f, "the body must be an object");
    const Value* where = json_spirit::object_get_value(body.get_obj(), "where");
    if (!where || where->type() != json_spirit::obj_type)
        return refuse(f, "\"where\" is required");
    std::vector<const Object*> rows;
    std::string error;
    if (!select_records(st.inv, kind, *where, rows, &error))
        return refuse(f, error);
    for (const Object* r : rows)
        ids.push_back(str_of(*r, "id"));
    return true;
}

// How a per-record mutation answers: {id}, the record as it stands, or the
// record marked as being updated.
enum class Answer { ID, RECORD, UPDATING };

// One task per record the body's "where" selects; apply_for makes the change
// of one record.
bool task_per_record(State& st, const Value& body, const std::string& kind, const std::string& verb,
                     const char* type, const char* mutation, Answer answer,
                     const std::function<Apply(const std::string& id)>& apply_for, Array& out,
                     Failure& f) {
    std::vector<std::string> ids;
    if (!select_where(st, kind, body, ids, f))
        return false;
    for (const std::string& id : ids) {
        const Object& rec = *st.inv.find(kind, id);
        std::string name = rec.count("name") ? str_of(rec, "name") : str_of(rec, "key");
        Object data = answer == Answer::ID ? id_only(id) : rec;
        if (answer == Answer::UPDATING)
            data["entityAsyncStatus"] = "UPDATING";
        add_task(st, out, verb + " " + name, type, mutation, id, ref_id(rec, "cluster"),
                 apply_for(id), std::move(data));
    }
    return true;
}

const Object* data_of(const Value& body) {
    return body.type() == json_spirit::obj_type ? object_member(body.get_obj(), "data") : nullptr;
}

Array list_body(const Value& body, bool& ok) {
    ok = body.type() == json_spirit::array_type;
    return ok ? body.get_array() : Array();
}

// ---- names and numbers CloudTower makes up for new resources ----

const std::set<std::string>& storage_policies() {
    static const std::set<std::string> all = {
        "ELF_CP_REPLICA_2_THICK_PROVISION", "ELF_CP_REPLICA_2_THIN_PROVISION",
        "ELF_CP_REPLICA_3_THICK_PROVISION", "ELF_CP_REPLICA_3_THIN_PROVISION",
        "REPLICA_1_THICK_PROVISION",        "REPLICA_1_THIN_PROVISION",
        "REPLICA_2_THICK_PROVISION",        "REPLICA_2_THIN_PROVISION",
        "REPLICA_3_THICK_PROVISION",        "REPLICA_3_THIN_PROVISION"};
    return all;
}

int replica_of(const std::string& policy) {
    size_t p = policy.find("REPLICA_");
    return p == std::string::npos ? 2 : policy[p + 8] - '0';
}

bool thin_of(const std::string& policy) {
    return policy.find("_THIN_") != std::string::npos;
}

std::string mac_address() {
    static std::mt19937 rng{std::random_device{}()};
    char buf[32];
    std::snprintf(buf, sizeof buf, "52:54:00:%02x:%02x:%02x", static_cast<unsigned>(rng() & 0xff),
                  static_cast<unsigned>(rng() & 0xff), static_cast<unsigned>(rng() & 0xff));
    return buf;
}

std::string device_name(const std::string& bus, size_t index) {
    std::string prefix = bus == "VIRTIO" ? "vd" : bus == "SCSI" ? "sd" : "hd";
    return prefix + static_cast<char>('a' + index % 26);
}

// The cluster's storage policy record matching a volume's policy name.
std::string policy_local_id(const State& st, const std::string& cluster_id,
                            const std::string& policy) {
    for (const Object& p : st.inv.records("elf_storage_policies")) {
        if (ref_id(p, "cluster") == cluster_id &&
            int_of(p, "replica_num", -1) == replica_of(policy) &&
            bool_of(p, "thin_provision", false) == thin_of(policy))
            return str_of(p, "local_id");
    }
    return std::string();
}

// ---- volumes ----

struct New_Volume {
    Object volume;
    Object lun;
};

bool build_volume(State& st, const std::string& cluster_id, const std::string& name, int64_t size,
                  const std::string& policy, bool sharing, New_Volume& out, Failure& f) {
    const Object* cluster = st.inv.find("clusters", cluster_id);
    if (!cluster)
        return refuse(f, "cluster " + cluster_id + " not found");
    if (name.empty())
        return refuse(f, "a volume needs a name");
    if (size <= 0)
        return refuse(f, "volume " + name + ": size must be positive");
    if (!storage_policies().count(policy))
        return refuse(f, "volume " + name + ": unknown storage policy " + policy);
    const Object* target = nullptr;
    for (const Object& t : st.inv.records("iscsi_targets"))
        if (ref_id(t, "cluster") == cluster_id) {
            target = &t;
            break;
        }
    if (!target)
        return refuse(f, "cluster " + cluster_id + " has no iSCSI target for volumes");

    std::string now = now_text();
    int64_t lun_id = st.next_lun_id();
    std::string local_id = new_local_id();
    Object lun;
    lun["id"] = new_resource_id();
    lun["local_id"] = new_local_id();
    lun["name"] = local_id;
    lun["lun_id"] = lun_id;
    lun["iscsi_target"] = name_ref(*target);
    lun["zbs_volume_id"] = new_local_id();
    lun["assigned_size"] = size;
    lun["shared_size"] = 0;
    lun["unique_size"] = 0;
    lun["replica_num"] = replica_of(policy);
    lun["thin_provision"] = thin_of(policy);
    lun["allowed_initiators"] = "";
    for (const char* k :
         {"bps", "bps_max", "bps_max_length", "bps_rd", "bps_rd_max", "bps_rd_max_length", "bps_wr",
          "bps_wr_max", "bps_wr_max_length", "io_size", "iops", "iops_max", "iops_max_length",
          "iops_rd", "iops_rd_max", "iops_rd_max_length", "iops_wr", "iops_wr_max",
          "iops_wr_max_length"})
        lun[k] = 0;
    lun["snapshot_num"] = 0;
    lun["stripe_num"] = 8;
    lun["stripe_size"] = 262144;
    lun["labels"] = Array();
    lun["local_created_at"] = now;

    Object vol;
    vol["id"] = new_resource_id();
    vol["local_id"] = local_id;
    vol["name"] = name;
    vol["cluster"] = name_ref(*cluster);
    vol["description"] = "";
    vol["elf_storage_policy"] = policy;
    vol["lun"] = name_ref(lun);
    vol["mounting"] = false;
    vol["path"] = "iscsi://" + str_of(*target, "iqn_name") + "/" + std::to_string(lun_id);
    vol["sharing"] = sharing;
    vol["size"] = size;
    vol["type"] = "KVM_VOLUME_ISCSI";
    vol["unique_size"] = 0;
    vol["labels"] = Array();
    vol["vm_disks"] = Array();
    vol["local_created_at"] = now;
    out.volume = std::move(vol);
    out.lun = std::move(lun);
    return true;
}

// Files first: a failure leaves no record behind.
std::string insert_volume(State& st, const New_Volume& nv) {
    std::string error;
    if (!st.store.create(str_of(nv.lun, "zbs_volume_id"), int_of(nv.volume, "size", 0), &error))
        return error;
    st.inv.put("iscsi_luns", nv.lun);
    st.inv.put("vm_volumes", nv.volume);
    return std::string();
}

// Removes a volume, its LUN and its file; with snapshots, its volume
// snapshots too.
std::string remove_volume(State& st, const std::string& volume_id, bool with_snapshots) {
    const Object* vol = st.inv.find("vm_volumes", volume_id);
    if (!vol)
        return "volume " + volume_id + " not found";
    std::string lun_id = ref_id(*vol, "lun");
    std::vector<std::string> snapshots;
    if (with_snapshots)
        for (const Object& s : st.inv.records("vm_volume_snapshots"))
            if (ref_id(s, "vm_volume") == volume_id)
                snapshots.push_back(str_of(s, "id"));
    std::string error;
    if (const Object* lun = st.inv.find("iscsi_luns", lun_id)) {
        if (!st.store.remove(str_of(*lun, "zbs_volume_id"), &error))
            return error;
        st.inv.erase("iscsi_luns", lun_id);
    }
    for (const std::string& sid : snapshots) {
        const Object* s = st.inv.find("vm_volume_snapshots", sid);
        std::string file = str_of(*s, "zbs_snapshot_uuid");
        if (!st.store.remove(file, &error))
            return error;
        for (const Object& ls : st.inv.records("iscsi_lun_snapshots"))
            if (str_of(ls, "local_id") == file) {
                st.inv.erase("iscsi_lun_snapshots", str_of(ls, "id"));
                break;
            }
        st.inv.erase("vm_volume_snapshots", sid);
    }
    st.inv.erase("vm_volumes", volume_id);
    return std::string();
}

// ---- disks ----

// New disks of a VM from a VmDiskParams object: CD-ROMs, existing volumes
// and volumes to create. first_index counts the VM's disks already there.
bool build_disks(State& st, const Object& vm, const Object& params, size_t first_index,
                 std::vector<Object>& disks, std::vector<New_Volume>& volumes, Failure& f) {
    std::string cluster_id = ref_id(vm, "cluster");
    std::map<std::string, size_t> per_bus;
    for (const Object& d : st.inv.records("vm_disks"))
        if (ref_id(d, "vm") == str_of(vm, "id"))
            ++per_bus[str_of(d, "bus")];
    size_t index = first_index;
    auto disk = [&](const std::string& type, const std::string& bus, int64_t boot) {
        Object d;
        d["id"] = new_resource_id();
        d["boot"] = boot;
        d["bus"] = bus;
        d["type"] = type;
        d["device"] = device_name(bus, per_bus[bus]++);
        d["disabled"] = false;
        d["key"] = static_cast<int64_t>(index++);
        d["serial"] = type == "DISK" ? Value(new_local_id()) : Value();
        d["vm"] = name_ref(vm);
        d["vm_volume"] = Value();
        d["elf_image"] = Value();
        return d;
    };
    auto bus_of = [&](const Object& p, std::string& bus) {
        bus = str_of(p, "bus");
        if (bus != "IDE" && bus != "SCSI" && bus != "VIRTIO")
            return refuse(f, "unknown bus \"" + bus + "\"");
        return true;
    };
    auto entries = [&](const char* key, const Array*& out) {
        out = json_spirit::object_get_array(params, key);
        const Value* v = json_spirit::object_get_value(params, key);
        if (v && !out)
            return refuse(f, std::string("\"") + key + "\" must be a list");
        return true;
    };
    const Array *cd_roms, *mounts, *creates;
    if (!entries("mount_cd_roms", cd_roms) || !entries("mount_disks", mounts) ||
        !entries("mount_new_create_disks", creates))
        return false;
    if (cd_roms)
        for (const Value& v : *cd_roms) {
            if (v.type() != json_spirit::obj_type)
                return refuse(f, "a CD-ROM entry must be an object");
            const Object& p = v.get_obj();
            Object d = disk("CD_ROM", "IDE", int_of(p, "boot", 0));
            std::string image = str_of(p, "elf_image_id");
            if (image.empty())
                image = str_of(p, "content_library_image_id");
            if (!image.empty()) {
                Object ref = id_only(image);
                ref["name"] = image;
                d["elf_image"] = ref;
            }
            disks.push_back(std::move(d));
        }
    if (mounts)
        for (const Value& v : *mounts) {
            if (v.type() != json_spirit::obj_type)
                return refuse(f, "a disk entry must be an object");
            const Object& p = v.get_obj();
            std::string bus;
            if (!bus_of(p, bus))
                return false;
            const Object* vol = st.inv.find("vm_volumes", str_of(p, "vm_volume_id"));
            if (!vol)
                return refuse(f, "volume " + str_of(p, "vm_volume_id") + " not found");
            if (ref_id(*vol, "cluster") != cluster_id)
                return refuse(f, "volume " + str_of(*vol, "id") + " is in another cluster");
            if (!bool_of(*vol, "sharing", false) && bool_of(*vol, "mounting", false))
                return refuse(f, "volume " + str_of(*vol, "id") + " is mounted already");
            Object d = disk("DISK", bus, int_of(p, "boot", 0));
            d["vm_volume"] = name_ref(*vol);
            disks.push_back(std::move(d));
        }
    if (creates)
        for (const Value& v : *creates) {
            if (v.type() != json_spirit::obj_type)
                return refuse(f, "a new disk entry must be an object");
            const Object& p = v.get_obj();
            std::string bus;
            if (!bus_of(p, bus))
                return false;
            const Object* spec = object_member(p, "vm_volume");
            if (!spec)
                return refuse(f, "a new disk needs \"vm_volume\"");
            New_Volume nv;
            if (!build_volume(st, cluster_id, str_of(*spec, "name"), int_of(*spec, "size", -1),
                              str_of(*spec, "elf_storage_policy"), false, nv, f))
                return false;
            Object d = disk("DISK", bus, int_of(p, "boot", 0));
            d["vm_volume"] = name_ref(nv.volume);
            disks.push_back(std::move(d));
            volumes.push_back(std::move(nv));
        }
    return true;
}

// Creates the new volumes, then puts the disks; undoes the volumes when one
// cannot be created or a mounted volume has gone.
std::string insert_disks(State& st, const std::string& vm_id, const std::vector<Object>& disks,
                         const std::vector<New_Volume>& volumes) {
    if (!st.inv.find("vms", vm_id))
        return "VM " + vm_id + " not found";
    std::set<std::string> fresh;
    for (const New_Volume& nv : volumes)
        fresh.insert(str_of(nv.volume, "id"));
    for (const Object& d : disks) {
        std::string vol = ref_id(d, "vm_volume");
        if (!vol.empty() && !fresh.count(vol) && !st.inv.find("vm_volumes", vol))
            return "volume " + vol + " not found";
    }
    std::vector<std::string> made;
    for (const New_Volume& nv : volumes) {
        std::string error = insert_volume(st, nv);
        if (!error.empty()) {
            for (const std::string& id : made)
                remove_volume(st, id, false);
            return error;
        }
        made.push_back(str_of(nv.volume, "id"));
    }
    for (const Object& d : disks)
        st.inv.put("vm_disks", d);
    return std::string();
}

// ---- VMs ----

bool create_vm(State& st, const Value& body, Array& out, Failure& f) {
    bool ok;
    Array items = list_body(body, ok);
    if (!ok)
        return refuse(f, "the body must be a list of VM settings");
    struct Plan {
        Object vm;
        std::vector<Object> disks, nics;
        std::vector<New_Volume> volumes;
        std::vector<std::string> gpus;
    };
    std::vector<Plan> plans;
    for (const Value& item : items) {
        if (item.type() != json_spirit::obj_type)
            return refuse(f, "a VM setting must be an object");
        const Object& p = item.get_obj();
        Plan plan;
        std::string name = str_of(p, "name");
        if (name.empty())
            return refuse(f, "a VM needs a name");
        const Object* cluster = st.inv.find("clusters", str_of(p, "cluster_id"));
        if (!cluster)
            return refuse(f, "cluster " + str_of(p, "cluster_id") + " not found");
        std::string host_id = str_of(p, "host_id"), folder_id = str_of(p, "folder_id");
        const Object* host = host_id.empty() ? nullptr : st.inv.find("hosts", host_id);
        if (!host_id.empty() && (!host || ref_id(*host, "cluster") != str_of(*cluster, "id")))
            return refuse(f, "host " + host_id + " not found in the cluster");
        const Object* folder = folder_id.empty() ? nullptr : st.inv.find("vm_folders", folder_id);
        if (!folder_id.empty() && !folder)
            return refuse(f, "folder " + folder_id + " not found");
        int64_t memory = int_of(p, "memory", -1), cores = int_of(p, "cpu_cores", 1),
                sockets = int_of(p, "cpu_sockets", 1);
        if (memory <= 0)
            return refuse(f, "VM " + name + ": memory must be positive");
        if (cores <= 0 || sockets <= 0)
            return refuse(f, "VM " + name + ": CPU cores and sockets must be positive");
        std::string status = str_of(p, "status");
        if (status.empty())
            status = "STOPPED";
        if (status != "RUNNING" && status != "STOPPED" && status != "SUSPENDED")
            return refuse(f, "VM " + name + ": cannot be created " + status);

        Object& vm = plan.vm;
        vm["id"] = new_resource_id();
        vm["local_id"] = new_local_id();
        vm["name"] = name;
        vm["description"] = str_of(p, "description");
        vm["cluster"] = name_ref(*cluster);
        vm["host"] = host ? Value(host_ref(*host)) : Value();
        vm["node_ip"] = host ? str_of(*host, "management_ip") : std::string();
        vm["folder"] = folder ? Value(name_ref(*folder)) : Value();
        Object cpu;
        cpu["cores"] = cores;
        cpu["sockets"] = sockets;
        vm["cpu"] = cpu;
        vm["vcpu"] = int_of(p, "vcpu", cores * sockets);
        vm["memory"] = memory;
        vm["ha"] = bool_of(p, "ha", true);
        std::string firmware = str_of(p, "firmware");
        vm["firmware"] = firmware.empty() ? "BIOS" : firmware;
        std::string os = str_of(p, "guest_os_type");
        vm["guest_os_type"] = os.empty() ? "UNKNOWN" : os;
        vm["status"] = status;
        vm["clock_offset"] = "UTC";
        vm["cpu_model"] = "cluster_default";
        vm["video_type"] = "CIRRUS";
        vm["win_opt"] = os == "WINDOWS";
        vm["vm_tools_status"] = "NOT_INSTALLED";
        vm["vm_tools_version"] = "";
        vm["in_recycle_bin"] = false;
        vm["internal"] = false;
        vm["ips"] = "";
        vm["nested_virtualization"] = false;
        vm["out_uninstall_usb"] = Array();
        vm["protected"] = false;
        vm["vm_placement_group"] = Array();
        vm["local_created_at"] = now_text();

        const Object* disk_params = object_member(p, "vm_disks");
        if (disk_params && !build_disks(st, vm, *disk_params, 0, plan.disks, plan.volumes, f))
            return false;

        const Array* nics = json_spirit::object_get_array(p, "vm_nics");
        if (nics) {
            int64_t order = 0;
            for (const Value& v : *nics) {
                if (v.type() != json_spirit::obj_type)
                    return refuse(f, "a NIC setting must be an object");
                const Object& n = v.get_obj();
                const Object* vlan = st.inv.find("vlans", str_of(n, "connect_vlan_id"));
                if (!vlan)
                    return refuse(f, "VLAN " + str_of(n, "connect_vlan_id") + " not found");
                Object nic;
                nic["id"] = new_resource_id();
                nic["local_id"] = new_local_id();
                nic["vm"] = name_ref(vm);
                nic["vlan"] = name_ref(*vlan);
                nic["enabled"] = bool_of(n, "enabled", true);
                nic["mirror"] = bool_of(n, "mirror", false);
                std::string model = str_of(n, "model");
                nic["model"] = model.empty() ? "VIRTIO" : model;
                std::string mac = str_of(n, "mac_address");
                nic["mac_address"] = mac.empty() ? mac_address() : mac;
                nic["ip_address"] = str_of(n, "ip_address");
                nic["subnet_mask"] = str_of(n, "subnet_mask");
                nic["gateway"] = str_of(n, "gateway");
                nic["interface_id"] = "";
                nic["order"] = order++;
                nic["type"] = "VLAN";
                plan.nics.push_back(std::move(nic));
            }
        }
        if (const Array* gpus = json_spirit::object_get_array(p, "gpu_devices")) {
            for (const Value& v : *gpus) {
                std::string gid = v.type() == json_spirit::obj_type ? str_of(v.get_obj(), "gpu_id")
                                                                    : std::string();
                const Object* gpu = st.inv.find("gpu_devices", gid);
                if (!gpu)
                    return refuse(f, "GPU device " + gid + " not found");
                plan.gpus.push_back(gid);
            }
        }
        Array disk_refs, nic_refs, gpu_refs;
        int64_t size = 0;
        for (const Object& d : plan.disks)
            disk_refs.push_back(id_ref(d));
        for (const Object& n : plan.nics)
            nic_refs.push_back(id_ref(n));
        for (const std::string& g : plan.gpus)
            gpu_refs.push_back(name_ref(*st.inv.find("gpu_devices", g)));
        for (const New_Volume& nv : plan.volumes)
            size += int_of(nv.volume, "size", 0);
        vm["vm_disks"] = disk_refs;
        vm["vm_nics"] = nic_refs;
        vm["gpu_devices"] = gpu_refs;
        vm["usb_devices"] = Array();
        vm["snapshots"] = Array();
        vm["labels"] = Array();
        vm["size"] = size;
        vm["provisioned_size"] = size;
        plans.push_back(std::move(plan));
    }

    for (Plan& plan : plans) {
        Apply apply = [plan](State& s) {
            if (!s.inv.find("clusters", ref_id(plan.vm, "cluster")))
                return std::string("the VM's cluster is gone");
            for (const Object& n : plan.nics)
                if (!s.inv.find("vlans", ref_id(n, "vlan")))
                    return "VLAN " + ref_id(n, "vlan") + " not found";
            s.inv.put("vms", plan.vm);
            std::string error = insert_disks(s, str_of(plan.vm, "id"), plan.disks, plan.volumes);
            if (!error.empty()) {
                s.inv.erase("vms", str_of(plan.vm, "id"));
                return error;
            }
            for (const Object& n : plan.nics)
                s.inv.put("vm_nics", n);
            for (const std::string& g : plan.gpus)
                if (Object* gpu = s.inv.find("gpu_devices", g)) {
                    Value& vms = (*gpu)["vms"];
                    if (vms.type() != json_spirit::array_type)
                        vms = Array();
                    vms.get_array().push_back(name_ref(plan.vm));
                }
            return std::string();
        };
        add_task(st, out, "Create VM " + str_of(plan.vm, "name"), "Vm", "createVm",
                 str_of(plan.vm, "id"), ref_id(plan.vm, "cluster"), std::move(apply),
                 creating(plan.vm));
    }
    return true;
}

// A task per selected VM that changes the VM record with edit; edit
// answers an error to fail the task.
using Vm_Edit = std::function<std::string(State&, Object& vm)>;

bool vm_tasks(State& st, const Value& body, const char* mutation, const std::string& verb,
              Vm_Edit edit, Array& out, Failure& f) {
    return task_per_record(
        st, body, "vms", verb + " VM", "Vm", mutation, Answer::UPDATING,
        [&edit](const std::string& id) -> Apply {
            return [id, edit](State& s) {
                Object* target = s.inv.find("vms", id);
                if (!target)
                    return "VM " + id + " not found";
                Object copy = *target;
                std::string error = edit(s, copy);
                if (error.empty())
                    s.inv.put("vms", std::move(copy));
                return error;
            };
        },
        out, f);
}

bool update_vm_basic_info(State& st, const Value& body, Array& out, Failure& f) {
    const Object* data = data_of(body);
    if (!data)
        return refuse(f, "\"data\" is required");
    Object change = *data;
    for (const char* k : {"vcpu", "memory", "cpu_cores", "cpu_sockets"})
        if (change.count(k) && int_of(change, k, 0) <= 0)
            return refuse(f, std::string("\"") + k + "\" must be positive");
    return vm_tasks(
        st, body, "updateVm", "Update",
        [change](State&, Object& vm) {
            for (const char* k : {"name", "description"})
                if (change.count(k))
                    vm[k] = str_of(change, k);
            if (change.count("ha"))
                vm["ha"] = bool_of(change, "ha", true);
            if (change.count("memory"))
                vm["memory"] = int_of(change, "memory", 0);
            Object cpu = json_spirit::object_get_object(vm, "cpu")
                             ? *json_spirit::object_get_object(vm, "cpu")
                             : Object();
            if (change.count("cpu_cores"))
                cpu["cores"] = int_of(change, "cpu_cores", 1);
            if (change.count("cpu_sockets"))
                cpu["sockets"] = int_of(change, "cpu_sockets", 1);
            vm["cpu"] = cpu;
            if (change.count("vcpu"))
                vm["vcpu"] = int_of(change, "vcpu", 1);
            else if (change.count("cpu_cores") || change.count("cpu_sockets"))
                vm["vcpu"] = int_of(cpu, "cores", 1) * int_of(cpu, "sockets", 1);
            return std::string();
        },
        out, f);
}

bool update_vm_advanced_options(State& st, const Value& body, Array& out, Failure& f) {
    const Object* data = data_of(body);
    if (!data)
        return refuse(f, "\"data\" is required");
    Object change = *data;
    std::string video = str_of(change, "video_type"), clock = str_of(change, "clock_offset");
    if (!video.empty() && video != "CIRRUS" && video != "QXL" && video != "VGA" &&
        video != "VIRTIO")
        return refuse(f, "unknown video type " + video);
    if (!clock.empty() && clock != "UTC" && clock != "LOCALTIME")
        return refuse(f, "unknown clock offset " + clock);
    return vm_tasks(
        st, body, "updateVmAdvancedOptions", "Update advanced options of",
        [change](State&, Object& vm) {
            for (const char* k : {"video_type", "cpu_model", "clock_offset"})
                if (!str_of(change, k).empty())
                    vm[k] = str_of(change, k);
            if (change.count("windows_optimize"))
                vm["win_opt"] = bool_of(change, "windows_optimize", false);
            return std::string();
        },
        out, f);
}

// Power changes: from which states, to which state.
bool power(State& st, const Value& body, Array& out, Failure& f, const char* mutation,
           const std::string& verb, std::set<std::string> from, std::string to) {
    std::string host_id;
    if (const Object* data = data_of(body))
        host_id = str_of(*data, "host_id");
    return vm_tasks(
        st, body, mutation, verb,
        [from, to, host_id](State& s, Object& vm) {
            std::string status = str_of(vm, "status");
            if (status == to && (to == "STOPPED" || to == "RUNNING") && !from.count(status))
                return std::string();
            if (!from.count(status))
                return "VM " + str_of(vm, "name") + " is " + status;
            if (to == "RUNNING" && bool_of(vm, "in_recycle_bin", false))
                return "VM " + str_of(vm, "name") + " is in the recycle bin";
            if (to == "RUNNING") {
                const Object* host = host_id.empty() ? nullptr : s.inv.find("hosts", host_id);
                if (!host_id.empty() && !host)
                    return "host " + host_id + " not found";
                if (!host && vm.count("host") && vm["host"].type() == json_spirit::obj_type)
                    host = s.inv.find("hosts", ref_id(vm, "host"));
                if (!host)
                    for (const Object& h : s.inv.records("hosts"))
                        if (ref_id(h, "cluster") == ref_id(vm, "cluster")) {
                            host = &h;
                            break;
                        }
                if (host) {
                    vm["host"] = host_ref(*host);
                    vm["node_ip"] = str_of(*host, "management_ip");
                }
            }
            vm["status"] = to;
            return std::string();
        },
        out, f);
}

bool start_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "startVm", "Start", {"STOPPED"}, "RUNNING");
}
bool restart_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "restartVm", "Restart", {"RUNNING"}, "RUNNING");
}
bool force_restart_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "forceRestartVm", "Force restart", {"RUNNING"}, "RUNNING");
}
bool shutdown_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "shutDownVm", "Shut down", {"RUNNING"}, "STOPPED");
}
bool poweroff_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "poweroffVm", "Power off", {"RUNNING", "SUSPENDED"}, "STOPPED");
}
bool suspend_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "suspendVm", "Suspend", {"RUNNING"}, "SUSPENDED");
}
bool resume_vm(State& st, const Value& b, Array& o, Failure& f) {
    return power(st, b, o, f, "resumeVm", "Resume", {"SUSPENDED"}, "RUNNING");
}

// Recycle-bin moves answer {id} records like deletions.
bool recycle(State& st, const Value& body, Array& out, Failure& f, bool into) {
    return task_per_record(
        st, body, "vms", into ? "Move to recycle bin VM" : "Recover from recycle bin VM", "Vm",
        into ? "moveVmToRecycleBin" : "recoverVmFromRecycleBin", Answer::ID,
        [into](const std::string& id) -> Apply {
            return [id, into](State& s) {
                Object* target = s.inv.find("vms", id);
                if (!target)
                    return "VM " + id + " not found";
                if (into && str_of(*target, "status") != "STOPPED")
                    return "VM " + str_of(*target, "name") + " is not stopped";
                (*target)["in_recycle_bin"] = into;
                return std::string();
            };
        },
        out, f);
}

bool move_vm_to_recycle(State& st, const Value& b, Array& o, Failure& f) {
    return recycle(st, b, o, f, true);
}
bool recover_vm_from_recycle(State& st, const Value& b, Array& o, Failure& f) {
    return recycle(st, b, o, f, false);
}

// ---- snapshots ----

std::string remove_vm_snapshot(State& st, const std::string& id) {
    const Object* snap = st.inv.find("vm_snapshots", id);
    if (!snap)
        return "VM snapshot " + id + " not found";
    std::set<std::string> names;
    if (const Array* disks = json_spirit::object_get_array(*snap, "vm_disks"))
        for (const Value& d : *disks)
            if (d.type() == json_spirit::obj_type &&
                !str_of(d.get_obj(), "snapshot_local_id").empty())
                names.insert(str_of(d.get_obj(), "snapshot_local_id"));
    std::vector<std::pair<std::string, std::string>> lun_snaps;  // id, file
    for (const Object& ls : st.inv.records("iscsi_lun_snapshots"))
        if (names.count(str_of(ls, "name")))
            lun_snaps.emplace_back(str_of(ls, "id"), str_of(ls, "local_id"));
    std::string error;
    for (const auto& ls : lun_snaps) {
        if (!st.store.remove(ls.second, &error))
            return error;
        st.inv.erase("iscsi_lun_snapshots", ls.first);
    }
    st.inv.erase("vm_snapshots", id);
    return std::string();
}

Object lun_snapshot(const Object& lun, const std::string& name) {
    Object ls;
    ls["id"] = new_resource_id();
    ls["local_id"] = new_local_id();
    ls["name"] = name;
    ls["iscsi_lun"] = name_ref(lun);
    ls["iscsi_target"] =
        json_spirit::object_get_value(lun, "iscsi_target") ? lun.at("iscsi_target") : Value();
    ls["labels"] = Array();
    ls["local_created_at"] = now_text();
    ls["unique_size"] = 0;
    return ls;
}

// Copies every LUN's volume into its snapshot's file, then records them;
// a failed copy removes the copies made before it.
std::string take_lun_snapshots(State& st,
                               const std::vector<std::pair<std::string, Object>>& snaps) {
    std::vector<std::string> made;
    std::string error;
    for (const auto& s : snaps) {
        const Object* lun = st.inv.find("iscsi_luns", s.first);
        if (!lun)
            error = "LUN " + s.first + " not found";
        if (error.empty())
            st.store.copy_sparse(str_of(*lun, "zbs_volume_id"), str_of(s.second, "local_id"),
                                 &error);
        if (!error.empty()) {
            for (const std::string& file : made)
                st.store.remove(file, nullptr);
            return error;
        }
        made.push_back(str_of(s.second, "local_id"));
    }
    for (const auto& s : snaps)
        st.inv.put("iscsi_lun_snapshots", s.second);
    return std::string();
}

bool create_vm_snapshot(State& st, const Value& body, Array& out, Failure& f) {
    const Array* items = body.type() == json_spirit::obj_type
                             ? json_spirit::object_get_array(body.get_obj(), "data")
                             : nullptr;
    if (!items)
        return refuse(f, "the body must be {\"data\": [snapshot settings]}");
    struct Plan {
        Object snapshot;
        std::vector<std::pair<std::string, Object>> lun_snaps;  // LUN id, its snapshot
    };
    std::vector<Plan> plans;
    for (const Value& item : *items) {
        if (item.type() != json_spirit::obj_type)
            return refuse(f, "a snapshot setting must be an object");
        const Object& p = item.get_obj();
        std::string name = str_of(p, "name"), vm_id = str_of(p, "vm_id");
        if (name.empty())
            return refuse(f, "a snapshot needs a name");
        const Object* vm = st.inv.find("vms", vm_id);
        if (!vm)
            return refuse(f, "VM " + vm_id + " not found");
        std::string consistent = str_of(p, "consistent_type");
        if (consistent.empty())
            consistent = "CRASH_CONSISTENT";
        if (consistent != "CRASH_CONSISTENT" && consistent != "FILE_SYSTEM_CONSISTENT")
            return refuse(f, "unknown consistent type " + consistent);
        if (consistent == "FILE_SYSTEM_CONSISTENT" && str_of(*vm, "vm_tools_status") != "RUNNING")
            return refuse(f, "VM " + str_of(*vm, "name") +
                                 " has no running VMTools for a file-system consistent snapshot");

        Plan plan;
        Object& snap = plan.snapshot;
        snap["id"] = new_resource_id();
        snap["local_id"] = new_local_id();
        snap["name"] = name;
        snap["consistent_type"] = consistent;
        snap["vm"] = name_ref(*vm);
        for (const char* k : {"cluster", "cpu", "cpu_model", "description", "firmware", "ha",
                              "memory", "vcpu", "win_opt", "clock_offset"})
            if (const Value* v = json_spirit::object_get_value(*vm, k))
                snap[k] = *v;
        snap["labels"] = Array();
        snap["local_created_at"] = now_text();
        Array disks;
        int64_t size = 0, index = 0;
        for (const Object& d : st.inv.records("vm_disks")) {
            if (ref_id(d, "vm") != vm_id)
                continue;
            Object fd;
            fd["boot"] = int_of(d, "boot", 0);
            fd["bus"] = str_of(d, "bus");
            fd["disabled"] = bool_of(d, "disabled", false);
            fd["index"] = index++;
            fd["key"] = int_of(d, "key", index - 1);
            fd["type"] = str_of(d, "type");
            fd["svt_image_local_id"] = "";
            fd["elf_image_local_id"] = ref_id(d, "elf_image");
            const Object* vol = st.inv.find("vm_volumes", ref_id(d, "vm_volume"));
            const Object* lun = vol ? st.inv.find("iscsi_luns", ref_id(*vol, "lun")) : nullptr;
            if (str_of(d, "type") == "DISK" && vol && lun) {
                std::string snapshot_local_id = new_local_id();
                fd["disk_name"] = str_of(*vol, "name");
                fd["path"] = str_of(*vol, "path");
                fd["size"] = int_of(*vol, "size", 0);
                fd["snapshot_local_id"] = snapshot_local_id;
                fd["storage_policy_uuid"] = policy_local_id(st, ref_id(*vol, "cluster"),
                                                            str_of(*vol, "elf_storage_policy"));
                fd["vm_volume_local_id"] = str_of(*vol, "local_id");
                size += int_of(*vol, "size", 0);
                plan.lun_snaps.emplace_back(str_of(*lun, "id"),
                                            lun_snapshot(*lun, snapshot_local_id));
            } else {
                fd["disk_name"] = "";
                fd["path"] = "";
                fd["size"] = 0;
                fd["snapshot_local_id"] = "";
                fd["storage_policy_uuid"] = "";
                fd["vm_volume_local_id"] = "";
            }
            disks.push_back(fd);
        }
        Array nics;
        int64_t nic_index = 0;
        for (const Object& n : st.inv.records("vm_nics")) {
            if (ref_id(n, "vm") != vm_id)
                continue;
            Object fn;
            fn["index"] = nic_index++;
            fn["enabled"] = bool_of(n, "enabled", true);
            fn["mirror"] = bool_of(n, "mirror", false);
            fn["model"] = str_of(n, "model").empty() ? std::string("VIRTIO") : str_of(n, "model");
            fn["mac_address"] = str_of(n, "mac_address");
            fn["ip_address"] = str_of(n, "ip_address");
            fn["subnet_mask"] = str_of(n, "subnet_mask");
            fn["gateway"] = str_of(n, "gateway");
            Object fv;
            const Object* vlan = st.inv.find("vlans", ref_id(n, "vlan"));
            const Object* vds = vlan ? st.inv.find("vdses", ref_id(*vlan, "vds")) : nullptr;
            fv["name"] = vlan ? str_of(*vlan, "name") : std::string();
            fv["vlan_id"] = vlan ? int_of(*vlan, "vlan_id", 0) : 0;
            fv["vlan_local_id"] = vlan ? str_of(*vlan, "local_id") : std::string();
            fv["vds_ovs"] = vds ? str_of(*vds, "ovsbr_name") : std::string();
            fn["vlan"] = fv;
            nics.push_back(fn);
        }
        snap["vm_disks"] = disks;
        snap["vm_nics"] = nics;
        snap["size"] = size;
        plans.push_back(std::move(plan));
    }

    for (Plan& plan : plans) {
        Apply apply = [plan](State& s) {
            if (!s.inv.find("vms", ref_id(plan.snapshot, "vm")))
                return "VM " + ref_id(plan.snapshot, "vm") + " not found";
            std::string error = take_lun_snapshots(s, plan.lun_snaps);
            if (error.empty())
                s.inv.put("vm_snapshots", plan.snapshot);
            return error;
        };
        add_task(st, out, "Create VM snapshot " + str_of(plan.snapshot, "name"), "VmSnapshot",
                 "createVmSnapshot", str_of(plan.snapshot, "id"), ref_id(plan.snapshot, "cluster"),
                 std::move(apply), creating(plan.snapshot));
    }
    return true;
}

bool delete_vm_snapshot(State& st, const Value& body, Array& out, Failure& f) {
    return task_per_record(
        st, body, "vm_snapshots", "Delete VM snapshot", "VmSnapshot", "deleteVmSnapshot",
        Answer::ID,
        [](const std::string& id) -> Apply {
            return [id](State& s) { return remove_vm_snapshot(s, id); };
        },
        out, f);
}

bool create_vm_volume_snapshot(State& st, const Value& body, Array& out, Failure& f) {
    bool ok;
    Array items = list_body(body, ok);
    if (!ok)
        return refuse(f, "the body must be a list of volume snapshot settings");
    struct Plan {
        Object snapshot;
        std::vector<std::pair<std::string, Object>> lun_snaps;
    };
    std::vector<Plan> plans;
    for (const Value& item : items) {
        if (item.type() != json_spirit::obj_type)
            return refuse(f, "a volume snapshot setting must be an object");
        const Object& p = item.get_obj();
        const Object* vol = st.inv.find("vm_volumes", str_of(p, "volume_id"));
        if (!vol)
            return refuse(f, "volume " + str_of(p, "volume_id") + " not found");
        if (str_of(p, "name").empty())
            return refuse(f, "a volume snapshot needs a name");
        const Object* lun = st.inv.find("iscsi_luns", ref_id(*vol, "lun"));
        if (!lun)
            return refuse(f, "volume " + str_of(*vol, "id") + " has no LUN");
        Plan plan;
        std::string local_id = new_local_id();
        Object ls = lun_snapshot(*lun, local_id);
        std::string now = now_text();
        Object& snap = plan.snapshot;
        snap["id"] = new_resource_id();
        snap["local_id"] = local_id;
        snap["name"] = str_of(p, "name");
        snap["description"] = str_of(p, "description");
        snap["cluster"] = vol->at("cluster");
        snap["createAt"] = now;
        snap["local_created_at"] = now;
        snap["elf_storage_policy"] = str_of(*vol, "elf_storage_policy");
        snap["type"] = "KVM_VOLUME_ISCSI_SNAPSHOT";
        snap["vm_volume"] = name_ref(*vol);
        snap["volume_sharing"] = bool_of(*vol, "sharing", false);
        snap["volume_size"] = int_of(*vol, "size", 0);
        snap["size"] = int_of(*vol, "size", 0);
        snap["shared_size"] = 0;
        snap["unique_size"] = 0;
        snap["labels"] = Array();
        snap["zbs_snapshot_uuid"] = str_of(ls, "local_id");
        plan.lun_snaps.emplace_back(str_of(*lun, "id"), std::move(ls));
        plans.push_back(std::move(plan));
    }
    for (Plan& plan : plans) {
        Apply apply = [plan](State& s) {
            std::string error = take_lun_snapshots(s, plan.lun_snaps);
            if (error.empty())
                s.inv.put("vm_volume_snapshots", plan.snapshot);
            return error;
        };
        add_task(st, out, "Create volume snapshot " + str_of(plan.snapshot, "name"),
                 "VmVolumeSnapshot", "createVmVolumeSnapshot", str_of(plan.snapshot, "id"),
                 ref_id(plan.snapshot, "cluster"), std::move(apply), creating(plan.snapshot));
    }
    return true;
}

std::string remove_volume_snapshot(State& st, const std::string& id) {
    const Object* snap = st.inv.find("vm_volume_snapshots", id);
    if (!snap)
        return "volume snapshot " + id + " not found";
    std::string file = str_of(*snap, "zbs_snapshot_uuid"), error;
    if (!st.store.remove(file, &error))
        return error;
    for (const Object& ls : st.inv.records("iscsi_lun_snapshots"))
        if (str_of(ls, "local_id") == file) {
            st.inv.erase("iscsi_lun_snapshots", str_of(ls, "id"));
            break;
        }
    st.inv.erase("vm_volume_snapshots", id);
    return std::string();
}

bool delete_vm_volume_snapshot(State& st, const Value& body, Array& out, Failure& f) {
    return task_per_record(
        st, body, "vm_volume_snapshots", "Delete volume snapshot", "VmVolumeSnapshot",
        "deleteVmVolumeSnapshot", Answer::ID,
        [](const std::string& id) -> Apply {
            return [id](State& s) { return remove_volume_snapshot(s, id); };
        },
        out, f);
}

// ---- volumes ----

bool create_vm_volume(State& st, const Value& body, Array& out, Failure& f) {
    bool ok;
    Array items = list_body(body, ok);
    if (!ok)
        return refuse(f, "the body must be a list of volume settings");
    std::vector<New_Volume> plans;
    for (const Value& item : items) {
        if (item.type() != json_spirit::obj_type)
            return refuse(f, "a volume setting must be an object");
        const Object& p = item.get_obj();
        New_Volume nv;
        if (!build_volume(st, str_of(p, "cluster_id"), str_of(p, "name"), int_of(p, "size", -1),
                          str_of(p, "elf_storage_policy"), bool_of(p, "sharing", false), nv, f))
            return false;
        plans.push_back(std::move(nv));
    }
    for (New_Volume& nv : plans) {
        Apply apply = [nv](State& s) {
            if (!s.inv.find("clusters", ref_id(nv.volume, "cluster")))
                return std::string("the volume's cluster is gone");
            return insert_volume(s, nv);
        };
        add_task(st, out, "Create volume " + str_of(nv.volume, "name"), "VmVolume",
                 "createVmVolume", str_of(nv.volume, "id"), ref_id(nv.volume, "cluster"),
                 std::move(apply), creating(nv.volume));
    }
    return true;
}

bool effect_include_snapshots(const Value& body) {
    const Object* effect =
        body.type() == json_spirit::obj_type ? object_member(body.get_obj(), "effect") : nullptr;
    return effect && bool_of(*effect, "include_snapshots", false);
}

bool delete_vm_volume(State& st, const Value& body, Array& out, Failure& f) {
    bool with_snapshots = effect_include_snapshots(body);
    return task_per_record(
        st, body, "vm_volumes", "Delete volume", "VmVolume", "deleteVmVolume", Answer::ID,
        [with_snapshots](const std::string& id) -> Apply {
            return [id, with_snapshots](State& s) {
                for (const Object& d : s.inv.records("vm_disks"))
                    if (ref_id(d, "vm_volume") == id)
                        return "volume " + id + " is mounted on VM " + ref_id(d, "vm");
                return remove_volume(s, id, with_snapshots);
            };
        },
        out, f);
}

// ---- VM disks ----

bool add_vm_disk(State& st, const Value& body, Array& out, Failure& f) {
    const Object* data = data_of(body);
    const Object* params = data ? object_member(*data, "vm_disks") : nullptr;
    if (!params)
        return refuse(f, "\"data\" needs \"vm_disks\"");
    std::vector<std::string> ids;
    if (!select_where(st, "vms", body, ids, f))
        return false;
    // Every VM's disks are checked before any task starts.
    std::map<std::string, std::pair<std::vector<Object>, std::vector<New_Volume>>> plans;
    for (const std::string& id : ids) {
        size_t existing = 0;
        for (const Object& d : st.inv.records("vm_disks"))
            if (ref_id(d, "vm") == id)
                ++existing;
        auto& plan = plans[id];
        if (!build_disks(st, *st.inv.find("vms", id), *params, existing, plan.first, plan.second,
                         f))
            return false;
    }
    return task_per_record(
        st, body, "vms", "Add disks to VM", "Vm", "addVmDisk", Answer::UPDATING,
        [&plans](const std::string& id) -> Apply {
            auto plan = plans.at(id);
            return [id, plan](State& s) { return insert_disks(s, id, plan.first, plan.second); };
        },
        out, f);
}

bool update_vm_disk(State& st, const Value& body, Array& out, Failure& f) {
    const Object* data = data_of(body);
    if (!data)
        return refuse(f, "\"data\" is required");
    std::string disk_id = str_of(*data, "vm_disk_id");
    const Object* disk = st.inv.find("vm_disks", disk_id);
    if (!disk)
        return refuse(f, "VM disk " + disk_id + " not found");
    std::string volume_id = str_of(*data, "vm_volume_id"), bus = str_of(*data, "bus");
    std::string image = str_of(*data, "elf_image_id");
    if (image.empty())
        image = str_of(*data, "content_library_image_id");
    if (!volume_id.empty() && !st.inv.find("vm_volumes", volume_id))
        return refuse(f, "volume " + volume_id + " not found");
    if (!bus.empty() && bus != "IDE" && bus != "SCSI" && bus != "VIRTIO")
        return refuse(f, "unknown bus " + bus);
    std::vector<std::string> ids;
    if (!select_where(st, "vms", body, ids, f))
        return false;
    for (const std::string& id : ids)
        if (ref_id(*disk, "vm") != id)
            return refuse(f, "VM disk " + disk_id + " is not a disk of VM " + id);
    Apply apply = [disk_id, volume_id, bus, image](State& s) {
        Object* d = s.inv.find("vm_disks", disk_id);
        if (!d)
            return "VM disk " + disk_id + " not found";
        if (!volume_id.empty()) {
            const Object* vol = s.inv.find("vm_volumes", volume_id);
            if (!vol)
                return "volume " + volume_id + " not found";
            for (const Object& other : s.inv.records("vm_disks"))
                if (ref_id(other, "vm_volume") == volume_id && str_of(other, "id") != disk_id &&
                    !bool_of(*vol, "sharing", false))
                    return "volume " + volume_id + " is mounted already";
            (*d)["vm_volume"] = name_ref(*vol);
        }
        if (!image.empty()) {
            Object ref = id_only(image);
            ref["name"] = image;
            (*d)["elf_image"] = ref;
        }
        if (!bus.empty())
            (*d)["bus"] = bus;
        return std::string();
    };
    return task_per_record(
        st, body, "vms", "Update disk of VM", "Vm", "updateVmDisk", Answer::UPDATING,
        [&apply](const std::string&) { return apply; }, out, f);
}

bool remove_vm_disk(State& st, const Value& body, Array& out, Failure& f) {
    const Object* data = data_of(body);
    const Array* list = data ? json_spirit::object_get_array(*data, "disk_ids") : nullptr;
    if (!list)
        return refuse(f, "\"data\" needs \"disk_ids\"");
    std::vector<std::string> disk_ids;
    for (const Value& v : *list) {
        if (v.type() != json_spirit::str_type)
            return refuse(f, "\"disk_ids\" must hold strings");
        disk_ids.push_back(v.get_str());
    }
    return task_per_record(
        st, body, "vms", "Remove disks of VM", "Vm", "removeVmDisk", Answer::UPDATING,
        [&disk_ids](const std::string& id) -> Apply {
            return [id, disk_ids](State& s) {
                for (const std::string& d : disk_ids) {
                    const Object* disk = s.inv.find("vm_disks", d);
                    if (!disk || ref_id(*disk, "vm") != id)
                        return "VM disk " + d + " is not a disk of VM " + id;
                }
                for (const std::string& d : disk_ids)
                    s.inv.erase("vm_disks", d);
                return std::string();
            };
        },
        out, f);
}

// ---- VM deletion ----

void drop_from_list(Object& rec, const char* key, const std::string& id) {
    auto it = rec.find(key);
    if (it == rec.end() || it->second.type() != json_spirit::array_type)
        return;
    Array& list = it->second.get_array();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Value& v) {
                                  return v.type() == json_spirit::obj_type &&
                                         str_of(v.get_obj(), "id") == id;
                              }),
               list.end());
}

std::string remove_vm(State& st, const std::string& id, bool with_snapshots) {
    const Object* vm = st.inv.find("vms", id);
    if (!vm)
        return "VM " + id + " not found";
    if (str_of(*vm, "status") == "RUNNING" || str_of(*vm, "status") == "SUSPENDED")
        return "VM " + str_of(*vm, "name") + " is " + str_of(*vm, "status");
    std::vector<std::string> disks, nics, volumes, snapshots;
    for (const Object& d : st.inv.records("vm_disks"))
        if (ref_id(d, "vm") == id)
            disks.push_back(str_of(d, "id"));
    for (const Object& n : st.inv.records("vm_nics"))
        if (ref_id(n, "vm") == id)
            nics.push_back(str_of(n, "id"));
    if (with_snapshots)
        for (const Object& s : st.inv.records("vm_snapshots"))
            if (ref_id(s, "vm") == id)
                snapshots.push_back(str_of(s, "id"));
    // The VM's own volumes go with it; shared ones and those other VMs mount stay.
    for (const std::string& d : disks) {
        std::string vol = ref_id(*st.inv.find("vm_disks", d), "vm_volume");
        const Object* v = st.inv.find("vm_volumes", vol);
        if (!v || bool_of(*v, "sharing", false))
            continue;
        bool elsewhere = false;
        for (const Object& other : st.inv.records("vm_disks"))
            if (ref_id(other, "vm_volume") == vol && ref_id(other, "vm") != id)
                elsewhere = true;
        if (!elsewhere && std::find(volumes.begin(), volumes.end(), vol) == volumes.end())
            volumes.push_back(vol);
    }
    for (const std::string& s : snapshots) {
        std::string error = remove_vm_snapshot(st, s);
        if (!error.empty())
            return error;
    }
    for (const std::string& d : disks)
        st.inv.erase("vm_disks", d);
    for (const std::string& n : nics)
        st.inv.erase("vm_nics", n);
    for (const std::string& v : volumes) {
        std::string error = remove_volume(st, v, with_snapshots);
        if (!error.empty())
            return error;
    }
    for (const char* kind : {"gpu_devices", "usb_devices", "labels"}) {
        std::vector<std::string> owners;
        for (const Object& r : st.inv.records(kind))
            owners.push_back(str_of(r, "id"));
        for (const std::string& o : owners)
            drop_from_list(*st.inv.find(kind, o), "vms", id);
    }
    st.inv.erase("vms", id);
    return std::string();
}

bool delete_vm(State& st, const Value& body, Array& out, Failure& f) {
    bool with_snapshots = effect_include_snapshots(body);
    return task_per_record(
        st, body, "vms", "Delete VM", "Vm", "deleteVm", Answer::ID,
        [with_snapshots](const std::string& id) -> Apply {
            return [id, with_snapshots](State& s) { return remove_vm(s, id, with_snapshots); };
        },
        out, f);
}

// ---- labels ----

bool add_labels_to_resources(State& st, const Value& body, Array& out, Failure& f) {
    const Object* data = data_of(body);
    if (!data)
        return refuse(f, "\"data\" is required");
    // Label list -> the kind its filter selects from.
    static const std::map<std::string, std::string> lists = {{"vms", "vms"},
                                                             {"vm_volumes", "vm_volumes"},
                                                             {"hosts", "hosts"},
                                                             {"clusters", "clusters"},
                                                             {"datacenters", "datacenters"}};
    std::map<std::string, std::vector<std::string>> picked;
    for (const auto& member : *data) {
        auto kind = lists.find(member.first);
        if (kind == lists.end())
            return refuse(f, "labels on " + member.first + " are not simulated");
        std::vector<const Object*> rows;
        std::string error;
        if (!select_records(st.inv, kind->second, member.second, rows, &error))
            return refuse(f, error);
        for (const Object* r : rows)
            picked[member.first].push_back(str_of(*r, "id"));
    }
    // Labels have no entityAsyncStatus: the answer is the label as it stands.
    return task_per_record(
        st, body, "labels", "Add resources to label", "Label", "addLabelsToResources",
        Answer::RECORD,
        [&picked](const std::string& id) -> Apply {
            return [id, picked](State& s) {
                Object* l = s.inv.find("labels", id);
                if (!l)
                    return "label " + id + " not found";
                for (const auto& p : picked) {
                    const std::string& kind = lists.at(p.first);
                    Value& list = (*l)[p.first];
                    if (list.type() != json_spirit::array_type)
                        list = Array();
                    std::set<std::string> have;
                    for (const Value& v : list.get_array())
                        if (v.type() == json_spirit::obj_type)
                            have.insert(str_of(v.get_obj(), "id"));
                    for (const std::string& rid : p.second) {
                        const Object* r = s.inv.find(kind, rid);
                        if (!r || !have.insert(rid).second)
                            continue;
                        list.get_array().push_back(kind == "hosts" ? host_ref(*r) : name_ref(*r));
                    }
                }
                return std::string();
            };
        },
        out, f);
}

}  // namespace

Mutation find_mutation(const std::string& name) {
    static const std::map<std::string, Mutation> table = {
        {"create-vm", create_vm},
        {"create-vm-snapshot", create_vm_snapshot},
        {"update-vm-basic-info", update_vm_basic_info},
        {"update-vm-advanced-options", update_vm_advanced_options},
        {"create-vm-volume", create_vm_volume},
        {"create-vm-volume-snapshot", create_vm_volume_snapshot},
        {"add-vm-disk", add_vm_disk},
        {"update-vm-disk", update_vm_disk},
        {"remove-vm-disk", remove_vm_disk},
        {"delete-vm-snapshot", delete_vm_snapshot},
        {"delete-vm", delete_vm},
        {"delete-vm-volume-snapshot", delete_vm_volume_snapshot},
        {"delete-vm-volume", delete_vm_volume},
        {"start-vm", start_vm},
        {"restart-vm", restart_vm},
        {"force-restart-vm", force_restart_vm},
        {"shutdown-vm", shutdown_vm},
        {"poweroff-vm", poweroff_vm},
        {"suspend-vm", suspend_vm},
        {"resume-vm", resume_vm},
        {"move-vm-to-recycle", move_vm_to_recycle},
        {"recover-vm-from-recycle", recover_vm_from_recycle},
        {"add-labels-to-resources", add_labels_to_resources},
    };
    auto it = table.find(name);
    return it == table.end() ? nullptr : it->second;
}

}  // namespace cloudtower
}  // namespace sim
