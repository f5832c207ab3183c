#include "host/backup_set.h"

#include <utility>

#include "host/json_record.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::object_get_int64_or_throw;
using json_spirit::object_get_object_or_throw;
using json_spirit::object_get_str_or_throw;
using json_spirit::object_get_uint64_or_throw;

Object Backup_Set_Storage::dump() const {
    Object out;
    out["pool_uuid"] = pool_uuid;
    out["size"] = static_cast<long>(size);
    out["state"] = state;
    out["attributes"] = attributes;
    return out;
}

void Backup_Set_Storage::read(const Object& obj) {
    pool_uuid = object_get_str_or_throw(obj, "pool_uuid");
    size = object_get_int64_or_throw(obj, "size");
    json_record::read_optional(obj, "state", state);
    json_record::read_optional(obj, "attributes", attributes);
}

bool Backup_Set_Storage::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, Backup_Set_Storage(), obj, error);
}

Object Backup_Piece::dump() const {
    Object out;
    out["path"] = path;
    out["size"] = static_cast<unsigned long>(size);
    out["object"] = object;
    out["extended_attrs"] = extended_attrs;
    return out;
}

void Backup_Piece::read(const Object& obj) {
    path = object_get_str_or_throw(obj, "path");
    size = object_get_uint64_or_throw(obj, "size");
    object = object_get_str_or_throw(obj, "object");
    extended_attrs = object_get_object_or_throw(obj, "extended_attrs");
}

bool Backup_Piece::load(const Object& obj, std::string* error) {
    return json_record::load_into(*this, Backup_Piece(), obj, error);
}

Backup_Set::Backup_Set(std::string type_of_set) : set_type(std::move(type_of_set)) {}

Backup_Set::~Backup_Set() = default;

Object Backup_Set::dump() const {
    Object out;
    out["set_type"] = set_type;
    out["uuid"] = uuid;
    out["name"] = name;
    out["job_instance_uuid"] = job_instance_uuid;
    out["definition_uuid"] = definition_uuid;
    out["uid"] = uid;
    out["host_uuid"] = host_uuid;
    out["resource_uuid"] = resource_uuid;
    out["minor_resource_id"] = minor_resource_id;
    out["minor_resource_name"] = minor_resource_name;
    out["agent"] = agent;
    out["incarnation"] = incarnation;
    out["type"] = type;
    out["source_size"] = static_cast<long>(source_size);
    out["size"] = static_cast<long>(size);
    out["uri"] = uri;
    out["host"] = host;
    out["instance"] = instance;
    out["instance_version"] = instance_version;
    out["backup_start_time"] = static_cast<long>(backup_start_time);
    out["backup_end_time"] = static_cast<long>(backup_end_time);
    out["base_sets"] = Array(base_sets.begin(), base_sets.end());
    out["storages"] = json_record::dump_records(storages);
    out["pieces"] = json_record::dump_records(pieces);
    return out;
}

void Backup_Set::read(const Object& obj) {
    uuid = object_get_str_or_throw(obj, "uuid");
    name = object_get_str_or_throw(obj, "name");
    job_instance_uuid = object_get_str_or_throw(obj, "job_instance_uuid");
    definition_uuid = object_get_str_or_throw(obj, "definition_uuid");
    uid = object_get_str_or_throw(obj, "uid");
    host_uuid = object_get_str_or_throw(obj, "host_uuid");
    resource_uuid = object_get_str_or_throw(obj, "resource_uuid");
    minor_resource_id = object_get_str_or_throw(obj, "minor_resource_id");
    minor_resource_name = object_get_str_or_throw(obj, "minor_resource_name");
    agent = object_get_str_or_throw(obj, "agent");
    incarnation = object_get_str_or_throw(obj, "incarnation");
    type = object_get_str_or_throw(obj, "type");
    source_size = object_get_int64_or_throw(obj, "source_size");
    size = object_get_int64_or_throw(obj, "size");
    uri = object_get_str_or_throw(obj, "uri");
    host = object_get_str_or_throw(obj, "host");
    instance = object_get_str_or_throw(obj, "instance");
    instance_version = object_get_str_or_throw(obj, "instance_version");
    json_record::read_optional(obj, "set_type", set_type);
    json_record::read_strings(obj, "base_sets", base_sets);
    json_record::read_records(obj, "storages", storages);
    json_record::read_records(obj, "pieces", pieces);
    backup_start_time = json_record::read_time(obj, "backup_start_time");
    backup_end_time = json_record::read_time(obj, "backup_end_time");
}

bool Backup_Set::load(const Object& obj, std::string* error) {
    return load_base(obj, error, nullptr);
}

bool Backup_Set::load_base(const Object& obj, std::string* error, std::string* failed_key) {
    return json_record::load_into(*this, Backup_Set(set_type), obj, error, failed_key);
}
