// Catalog records of a backup set: the set, the pool storages that hold it
// and its pieces (the files written). Plain values, copied member-wise.
#ifndef HOST_BACKUP_SET_H
#define HOST_BACKUP_SET_H

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

// Where a set is stored. JSON {"pool_uuid", "size", "state", "attributes"};
// an empty state means usable.
struct Backup_Set_Storage {
    std::string pool_uuid;
    int64_t size = 0;
    std::string state;
    json_spirit::Object attributes;

    json_spirit::Object dump() const;
    // Requires "pool_uuid" and "size"; throws on a missing or mistyped member.
    void read(const json_spirit::Object& obj);
    bool load(const json_spirit::Object& obj, std::string* error = nullptr);
};

// One file of a set. JSON {"path", "size", "object", "extended_attrs"}, all
// required.
struct Backup_Piece {
    std::string path;
    uint64_t size = 0;
    std::string object;
    json_spirit::Object extended_attrs;

    json_spirit::Object dump() const;
    void read(const json_spirit::Object& obj);
    bool load(const json_spirit::Object& obj, std::string* error = nullptr);
};

// The catalog row of a backup set. Members are dumped under their own names;
// times as seconds since the epoch. Platform records derive from it and add
// their own members to the same row.
class Backup_Set {
public:
    explicit Backup_Set(std::string set_type = std::string());
    Backup_Set(const Backup_Set&) = default;
    Backup_Set(Backup_Set&&) = default;
    Backup_Set& operator=(const Backup_Set&) = default;
    Backup_Set& operator=(Backup_Set&&) = default;
    virtual ~Backup_Set();

    std::string set_type;  // "set_type"
    std::string uuid;
    std::string name;
    std::string job_instance_uuid;
    std::string definition_uuid;
    std::string uid;
    std::string host_uuid;
    std::string resource_uuid;
    std::string minor_resource_id;
    std::string minor_resource_name;
    std::string agent;
    std::string incarnation;
    std::string type;
    int64_t source_size = 0;
    int64_t size = 0;
    std::string uri;
    std::string host;
    std::string instance;
    std::string instance_version;
    time_t backup_start_time = 0;
    time_t backup_end_time = 0;
    std::vector<std::string> base_sets;  // "base_sets": uuids of the sets this one builds on
    std::vector<Backup_Set_Storage> storages;
    std::vector<Backup_Piece> pieces;

    virtual json_spirit::Object dump() const;
    // Every text and number above and both times are required; "set_type",
    // "base_sets", "storages" and "pieces" are optional. The times are read
    // last. Throws on a missing or mistyped member, possibly after filling
    // some.
    virtual void read(const json_spirit::Object& obj);
    // As read, but false (reason in *error) and unchanged on failure.
    virtual bool load(const json_spirit::Object& obj, std::string* error = nullptr);
    // Backup_Set::load, whatever the record's own type; *failed_key names the
    // member found missing or mistyped (a time: every other member loaded).
    bool load_base(const json_spirit::Object& obj, std::string* error, std::string* failed_key);
};

#endif
