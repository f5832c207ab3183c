#ifndef SMARTX_COMMON_LABEL_H
#define SMARTX_COMMON_LABEL_H

#include <string>
#include <vector>

#include "smartx/common/cluster.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/host.h"
#include "smartx/common/item.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_volume.h"

namespace smartx {

// A key-value tag with the resources that carry it. Each list holds whole
// records, or records holding only an id where CloudTower sent a reference.
struct Label {
    std::string id;
    std::string key;
    std::string value;
    std::vector<Datacenter> datacenters;
    std::vector<Cluster> clusters;
    std::vector<Host> hosts;
    std::vector<VM> vms;
    std::vector<VM_Volume> vm_volumes;

    bool load(const json_spirit::Object& obj);
};

// Attaches a label to VMs.
struct Label_Setting {
    std::vector<Item_Identity> vms;

    // {} without VMs, else {"vms": {"id_in": [ids]}}.
    json_spirit::Object dump() const;
};

}  // namespace smartx

#endif
