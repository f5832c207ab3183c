#include "smartx/common/message.h"
#include <algorithm>

#include <exception>

#include "ace/Log_Msg.h"
#include "json_spirit/json_spirit_helper.h"
#include "qorm/check.h"
#include "smartx/common/cluster.h"
#include "smartx/common/data_storage.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/error.h"
#include "smartx/common/folder.h"
#include "smartx/common/gpu_device.h"
#include "smartx/common/host.h"
#include "smartx/common/iscsi_lun.h"
#include "smartx/common/item.h"
#include "smartx/common/label.h"
#include "smartx/common/role.h"
#include "smartx/common/storage_policy.h"
#include "smartx/common/task.h"
#include "smartx/common/usb_device.h"
#include "smartx/common/user.h"
#include "smartx/common/vds.h"
#include "smartx/common/vlan.h"
#include "smartx/common/vm.h"
#include "smartx/common/vm_disk.h"
#include "smartx/common/vm_nic.h"
#include "smartx/common/vm_setting.h"
#include "smartx/common/vm_snapshot.h"
#include "smartx/common/vm_volume.h"
#include "smartx/common/vm_volume_snapshot.h"

namespace smartx {

Message::~Message() = default;
Request::~Request() = default;
Response::~Response() = default;

bool Message::empty() const {
    return type == UNKNOWN || (type != QUERY_VERSION && ver.empty());
}

// ---- parameter objects ----

Params& Params::insert(const std::string& key, const json_spirit::Value& value) {
    params.insert_or_assign(key, value);
    return *this;
}

Params& Params::clear() {
    params.clear();
    return *this;
}

void Params::add_where(const std::string& key, const json_spirit::Value& value) {
    json_spirit::Object& where = json_spirit::to_object(params["where"]);
    where.emplace(key, value);
}

Query_Params& Query_Params::where(const std::string& key, const json_spirit::Value& value) {
    add_where(key, value);
    return *this;
}

Query_Params& Query_Params::first(int n) {
    insert("first", n);
    return *this;
}

Query_Params& Query_Params::last(int n) {
    insert("last", n);
    return *this;
}

Query_Params& Query_Params::skip(int n) {
    insert("skip", n);
    return *this;
}

Query_Params& Query_Params::after(const std::string& id) {
    insert("after", id);
    return *this;
}

Query_Params& Query_Params::before(const std::string& id) {
    insert("before", id);
    return *this;
}

Query_Params& Query_Params::order_by(const std::string& order) {
    insert("orderBy", order);
    return *this;
}

Update_Params& Update_Params::where(const std::string& key, const json_spirit::Value& value) {
    add_where(key, value);
    return *this;
}

Update_Params& Update_Params::update(const json_spirit::Object& data) {
    insert("data", data);
    return *this;
}

// ---- task answers ----

template <class T>
bool Async_Task<T>::load(const json_spirit::Value& value) {
    const json_spirit::Value* data_value = nullptr;
    try {
        const json_spirit::Object& obj = value.get_obj();
        json_spirit::object_get(obj, "task_id", task_id);
        json_spirit::object_get_object_or_throw(obj, "data");
        data_value = json_spirit::object_get_value(obj, "data");
    } catch (const std::exception& e) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to parse task, details: %C.\n"), e.what()));
        return false;
    }
    if (!item_detail::load_from(data, *data_value)) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to load data.\n")));
        return false;
    }
    return true;
}

bool Async_Task<Login_Info>::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse login info, details: %s.\n", [&] {
        json_spirit::object_get(obj, "task_id", task_id);
        const json_spirit::Object& d = json_spirit::object_get_object_or_throw(obj, "data");
        const std::string& token = json_spirit::object_get_str_or_throw(d, "token");
        data.secure_token.assign(token.data(), token.size());
    });
}

// ---- requests ----

namespace {
template <class T, class Dump>
json_spirit::Array dump_each(const std::vector<T>& items, Dump dump) {
    json_spirit::Array arr;
    arr.reserve(items.size());
    for (const T& item : items)
        arr.emplace_back(dump(item));
    return arr;
}

json_spirit::Array dump_basic_settings(const std::vector<VM_Setting>& items) {
    // The advanced options travel in a request of their own.
    return dump_each(items, [](const VM_Setting& s) { return s.dump_basic_setting(); });
}
}  // namespace

template <class T>
json_spirit::Value Single_Item_Request<T>::dump() const {
    if (!ver.is_cloudtower_platform())
        return json_spirit::Value();
    return item.dump();
}

template <>
json_spirit::Value Single_Item_Request<Login_Info>::dump() const {
    if (!ver.is_cloudtower_platform())
        return json_spirit::Value();
    // The password copy is a wiping string in the body too.
    json_spirit::Object body;
    // clang-format off
    json_spirit::insert(body)
        ("username", item.username)
        ("source", "LOCAL")
        ("password", json_spirit::Value(item.secure_pwd));
    // clang-format on
    return body;
}

template <class T>
json_spirit::Value Multi_Item_Request<T>::dump() const {
    if (!ver.is_cloudtower_platform())
        return json_spirit::Value();
    return dump_items(items);
}

template <>
json_spirit::Value Multi_Item_Request<VM_Setting>::dump() const {
    if (!ver.is_cloudtower_platform())
        return json_spirit::Value();
    return dump_basic_settings(items);
}

template <>
json_spirit::Value Multi_Item_Request<VM_Snapshot_Setting>::dump() const {
    if (!ver.is_cloudtower_platform())
        return json_spirit::Value();
    json_spirit::Object body;
    json_spirit::insert(body)("data", dump_items(items));
    return body;
}

// ---- responses ----

namespace {
// A record that loads from an object, fed a body that may be anything.
template <class T>
bool load_object_body(T& item, const json_spirit::Value& body) {
    if (body.type() != json_spirit::obj_type)
        return false;
    return item.load(body.get_obj());
}
}  // namespace

template <class T>
bool Single_Item_Response<T>::load(const json_spirit::Value& body) {
    if (!ver.is_cloudtower_platform())
        return false;
    return load_object_body(item, body);
}

template <>
bool Single_Item_Response<Version>::load(const json_spirit::Value& body) {
    // The raw answer text, whatever the platform.
    return item.load(body);
}

template <class T>
bool Multi_Item_Response<T>::load(const json_spirit::Value& body) {
    if (!ver.is_cloudtower_platform())
        return false;
    QORM_CHECK_SHAPE_RETURN(body.type() == json_spirit::array_type, "body is not array", false);
    const json_spirit::Array& arr = body.get_array();
    // Pages append to one list: grow geometrically, not page by page.
    if (items.capacity() < items.size() + arr.size())
        items.reserve(std::max(items.size() + arr.size(), 2 * items.capacity()));
    for (const json_spirit::Value& element : arr) {
        if (element.type() != json_spirit::obj_type)
            continue;
        T item;
        if (!item_detail::load_from(item, element))
            return false;
        items.push_back(std::move(item));
    }
    return true;
}

// ---- the instances the client uses ----

template struct Async_Task<VM>;
template struct Async_Task<VM_Snapshot>;
template struct Async_Task<VM_Volume>;
template struct Async_Task<VM_Volume_Snapshot>;
template struct Async_Task<Identity>;
template struct Async_Task<Item_Label>;

template class Single_Item_Request<Query_Params>;
template class Single_Item_Request<Params>;
template class Single_Item_Request<Login_Info>;

template class Multi_Item_Request<VM_Setting>;
template class Multi_Item_Request<VM_Snapshot_Setting>;
template class Multi_Item_Request<VM_Volume_Setting>;
template class Multi_Item_Request<VM_Volume_Snapshot_Setting>;

template class Single_Item_Response<Error>;
template class Single_Item_Response<User>;
template class Single_Item_Response<Version>;
template class Single_Item_Response<Async_Task<Login_Info>>;

template class Multi_Item_Response<Datacenter>;
template class Multi_Item_Response<Cluster>;
template class Multi_Item_Response<Host>;
template class Multi_Item_Response<Folder>;
template class Multi_Item_Response<VM>;
template class Multi_Item_Response<VM_Snapshot>;
template class Multi_Item_Response<VM_Disk>;
template class Multi_Item_Response<VM_NIC>;
template class Multi_Item_Response<VM_Volume>;
template class Multi_Item_Response<VM_Volume_Snapshot>;
template class Multi_Item_Response<ISCSI_LUN>;
template class Multi_Item_Response<ISCSI_LUN_Snapshot>;
template class Multi_Item_Response<Label>;
template class Multi_Item_Response<Data_Storage>;
template class Multi_Item_Response<VLAN>;
template class Multi_Item_Response<VDS>;
template class Multi_Item_Response<GPU_Device>;
template class Multi_Item_Response<USB_Device>;
template class Multi_Item_Response<Storage_Policy>;
template class Multi_Item_Response<Task>;
template class Multi_Item_Response<Role>;
template class Multi_Item_Response<Async_Task<VM>>;
template class Multi_Item_Response<Async_Task<VM_Snapshot>>;
template class Multi_Item_Response<Async_Task<VM_Volume>>;
template class Multi_Item_Response<Async_Task<VM_Volume_Snapshot>>;
template class Multi_Item_Response<Async_Task<Identity>>;
template class Multi_Item_Response<Async_Task<Item_Label>>;

}  // namespace smartx
