// Typed CloudTower messages: a request knows its operation and produces its
// JSON body, a response knows its operation and fills the caller's records
// from a JSON reply (Message_Generator, message_generator.h, pairs them with
// their paths). Messages own nothing but a copy of the CloudTower
// version; the items they reference belong to the caller and must outlive
// the message (build one on the stack per exchange).
//
// Only the CloudTower platform is served: elsewhere requests dump to null
// and responses (but the version) refuse to load.
#ifndef SMARTX_COMMON_MESSAGE_H
#define SMARTX_COMMON_MESSAGE_H

#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "smartx/common/login_info.h"
#include "smartx/common/version.h"

namespace smartx {

class Message {
public:
    // Indexes CLOUDTOWER_URI_LIST; ERROR and UNKNOWN have no path.
    enum Type {
        LOGIN = 0,
        GET_MY_INFO = 1,
        GET_USER_ROLE_NEXTS = 2,
        QUERY_DATACENTERS = 3,
        QUERY_CLUSTERS = 4,
        QUERY_HOSTS = 5,
        QUERY_FOLDERS = 6,
        QUERY_VMS = 7,
        QUERY_VM_SNAPSHOTS = 8,
        QUERY_VM_DISKS = 9,
        QUERY_VM_NICS = 10,
        QUERY_VM_VOLUMES = 11,
        QUERY_VM_VOLUME_SNAPSHOTS = 12,
        QUERY_ISCSI_LUNS = 13,
        QUERY_ISCSI_LUN_SNAPSHOTS = 14,
        QUERY_LABELS = 15,
        QUERY_DATA_STORAGES = 16,
        QUERY_VLANS = 17,
        QUERY_VDS = 18,
        QUERY_GPU_DEVICES = 19,
        QUERY_USB_DEVICES = 20,
        QUERY_STORAGE_POLICY = 21,
        QUERY_TASKS = 22,
        QUERY_VERSION = 23,
        CREATE_VM = 24,
        CREATE_VM_SNAPSHOT = 25,
        UPDATE_VM_BASIC_INFO = 26,
        UPDATE_VM_ADVANCED_OPTIONS = 27,
        CREATE_VM_VOLUME = 28,
        CREATE_VM_VOLUME_SNAPSHOT = 29,
        ADD_VM_DISK = 30,
        UPDATE_VM_DISK = 31,
        REMOVE_VM_DISK = 32,
        DELETE_VM_SNAPSHOT = 33,
        DELETE_VM = 34,
        DELETE_VM_VOLUME_SNAPSHOT = 35,
        DELETE_VM_VOLUME = 36,
        START_VM = 37,
        RESTART_VM = 38,
        FORCE_RESTART_VM = 39,
        SHUTDOWN_VM = 40,
        POWEROFF_VM = 41,
        SUSPEND_VM = 42,
        RESUME_VM = 43,
        MOVE_VM_TO_RECYCLE = 44,
        RECOVER_VM_FROM_RECYCLE = 45,
        ADD_LABELS_TO_RESOURCES = 46,
        ERROR = 47,
        UNKNOWN = 48
    };

    Message(const Version& v, Type t) : ver(v), type(t) {}
    virtual ~Message();

    // UNKNOWN, or an empty version for anything but the version query (which
    // is built before any version number is known).
    bool empty() const;
    const Version& version() const { return ver; }

    Version ver;
    Type type;
};

class Request : public Message {
public:
    using Message::Message;
    ~Request() override;
    virtual json_spirit::Value dump() const = 0;
};

class Response : public Message {
public:
    using Message::Message;
    ~Response() override;
    virtual bool load(const json_spirit::Value& body) = 0;
};

// ---- parameter objects ----

// A whole request body.
class Params {
public:
    json_spirit::Object params;

    // Replaces an earlier value of key.
    Params& insert(const std::string& key, const json_spirit::Value& value);
    Params& clear();
    json_spirit::Object dump() const { return params; }

protected:
    // Adds key: value under "where" (made an object first); an existing key
    // keeps its earlier value.
    void add_where(const std::string& key, const json_spirit::Value& value);
};

// Body of queries and of the delete, power and recycle mutations.
class Query_Params : public Params {
public:
    Query_Params& where(const std::string& key, const json_spirit::Value& value);
    Query_Params& first(int n);
    Query_Params& last(int n);
    Query_Params& skip(int n);
    Query_Params& after(const std::string& id);
    Query_Params& before(const std::string& id);
    Query_Params& order_by(const std::string& order);
};

// Body of the update, disk and label mutations.
class Update_Params : public Params {
public:
    Update_Params& where(const std::string& key, const json_spirit::Value& value);
    // "data": the change.
    Update_Params& update(const json_spirit::Object& data);
};

// ---- task answers ----

// {"task_id", "data"} of a mutation; data is the record the task is about.
template <class T>
struct Async_Task {
    std::string task_id;  // empty when absent
    T data;

    // Required "data" object, loaded into data.
    bool load(const json_spirit::Value& value);
};

// The login answer: only the token is read.
template <>
struct Async_Task<Login_Info> {
    std::string task_id;
    Login_Info data;

    // Required "data" with its required "token".
    bool load(const json_spirit::Object& obj);
};

// ---- messages ----
//
// The operations of these templates are compiled for the instances listed
// at the end of message.cpp; a new body or record type is added there.

template <class T>
class Single_Item_Request : public Request {
public:
    Single_Item_Request(const Version& v, Type t, const T& i) : Request(v, t), item(i) {}
    json_spirit::Value dump() const override;

    const T& item;
};

template <class T>
class Multi_Item_Request : public Request {
public:
    Multi_Item_Request(const Version& v, Type t, const std::vector<T>& i)
        : Request(v, t), items(i) {}
    json_spirit::Value dump() const override;

    const std::vector<T>& items;
};

template <class T>
class Single_Item_Response : public Response {
public:
    Single_Item_Response(const Version& v, Type t, T& i) : Response(v, t), item(i) {}
    bool load(const json_spirit::Value& body) override;

    T& item;
};

// Appends to the caller's vector; what it held before stays in front.
template <class T>
class Multi_Item_Response : public Response {
public:
    Multi_Item_Response(const Version& v, Type t, std::vector<T>& i) : Response(v, t), items(i) {}
    bool load(const json_spirit::Value& body) override;

    std::vector<T>& items;
};

}  // namespace smartx

#endif
