#include "host/client_io_options.h"

#include <exception>
#include <utility>

#include "host/json_record.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

void Client_IO_Base::Options::set_extra_option(const std::string& name,
                                               const secure_string& value) {
    extra_options[name] = value;
}

void Client_IO_Base::Options::set_extra_option(const std::string& name, const std::string& value) {
    extra_options[name] = secure_string(value);
}

void Client_IO_Base::Options::set_extra_option(const std::string& name, const char* value) {
    extra_options[name] = secure_string(value != nullptr ? value : "");
}

const secure_string* Client_IO_Base::Options::extra_option(const std::string& name) const {
    auto it = extra_options.find(name);
    return it == extra_options.end() ? nullptr : &it->second;
}

namespace {

Value size_value(size_t n) {
    return Value(static_cast<unsigned long>(n));
}

template <class Map>
Object dump_map(const Map& m) {
    Object out;
    for (const auto& kv : m)
        out[kv.first] = Value(kv.second);
    return out;
}

void read_string_map(const Object& obj, const std::string& key,
                     std::map<std::string, std::string>& out) {
    const Value* v = json_spirit::object_get_value(obj, key);
    if (v == nullptr)
        return;
    if (v->type() != json_spirit::obj_type)
        throw json_spirit::Json_Error(key, "object");
    std::map<std::string, std::string> m;
    for (const auto& kv : v->get_obj())
        m[kv.first] = json_spirit::object_get_str_or_throw(v->get_obj(), kv.first);
    out = std::move(m);
}

void read_secure_map(const Object& obj, const std::string& key,
                     std::map<std::string, secure_string>& out) {
    const Value* v = json_spirit::object_get_value(obj, key);
    if (v == nullptr)
        return;
    if (v->type() != json_spirit::obj_type)
        throw json_spirit::Json_Error(key, "object");
    std::map<std::string, secure_string> m;
    for (const auto& kv : v->get_obj())
        m[kv.first] = json_record::read_secure_str(v->get_obj(), kv.first);
    out = std::move(m);
}

void read_options(const Object& in, Client_IO_Base::Options& o) {
    using json_record::read_optional;
    read_optional(in, "overwrite", o.overwrite);
    read_optional(in, "sock_timeout", o.sock_timeout);
    read_optional(in, "compression", o.compression);
    read_optional(in, "compression_level", o.compression_level);
    read_optional(in, "cipher", o.cipher);
    read_optional(in, "key", o.key);
    read_optional(in, "iv", o.iv);
    read_optional(in, "dedup_min_size", o.dedup_min_size);
    read_optional(in, "dedup_avg_size", o.dedup_avg_size);
    read_optional(in, "dedup_max_size", o.dedup_max_size);
    read_optional(in, "access_key", o.access_key);
    read_optional(in, "secret_key", o.secret_key);
    read_optional(in, "source_address", o.source_address);
    read_string_map(in, "node_addrs", o.node_addrs);
    json_record::read_strings(in, "scan_initiators", o.scan_initiators);
    read_optional(in, "access_mode", o.access_mode);
    read_optional(in, "max_seconds_retry", o.max_seconds_retry);
    read_optional(in, "resumption_buffer_size", o.resumption_buffer_size);
    if (const Value* v = json_spirit::object_get_value(in, "rate_limits")) {
        if (v->type() != json_spirit::obj_type)
            throw json_spirit::Json_Error("rate_limits", "object");
        o.rate_limits.read(v->get_obj());
    }
    read_secure_map(in, "extra_options", o.extra_options);
}

}  // namespace

Object& operator<<(Object& out, const Client_IO_Base::Options& o) {
    out["overwrite"] = o.overwrite;
    out["sock_timeout"] = o.sock_timeout;
    out["compression"] = o.compression;
    out["compression_level"] = o.compression_level;
    out["cipher"] = o.cipher;
    out["key"] = o.key;
    out["iv"] = o.iv;
    out["dedup_min_size"] = size_value(o.dedup_min_size);
    out["dedup_avg_size"] = size_value(o.dedup_avg_size);
    out["dedup_max_size"] = size_value(o.dedup_max_size);
    out["access_key"] = o.access_key;
    out["secret_key"] = o.secret_key;
    out["source_address"] = o.source_address;
    out["node_addrs"] = dump_map(o.node_addrs);
    out["scan_initiators"] = Array(o.scan_initiators.begin(), o.scan_initiators.end());
    out["access_mode"] = o.access_mode;
    out["max_seconds_retry"] = size_value(o.max_seconds_retry);
    out["resumption_buffer_size"] = size_value(o.resumption_buffer_size);
    out["rate_limits"] = o.rate_limits.dump();
    out["extra_options"] = dump_map(o.extra_options);
    return out;
}

bool operator>>(const Object& in, Client_IO_Base::Options& options) {
    Client_IO_Base::Options read = options;
    try {
        read_options(in, read);
    } catch (const std::exception&) {
        return false;
    }
    options = std::move(read);
    return true;
}

int compression_name_to_value(const char* name, size_t length) {
    static const struct {
        const char* name;
        int value;
    } methods[] = {{"lz4", 1}, {"zstd", 2}};
    if (name == nullptr)
        return 0;
    const std::string n(name, length);
    for (const auto& m : methods)
        if (n == m.name)
            return m.value;
    return 0;
}
