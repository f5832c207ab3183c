#include "host/rate_limits.h"

#include "host/json_record.h"

namespace {

void split(std::vector<Rate_Limit>& limits, uint64_t channels) {
    for (Rate_Limit& l : limits) {
        if (l.rate == 0)
            continue;
        l.rate /= channels;
        if (l.rate == 0)
            l.rate = 1;
    }
}

json_spirit::Array dump_windows(const std::vector<Rate_Limit>& limits) {
    json_spirit::Array out;
    out.reserve(limits.size());
    for (const Rate_Limit& l : limits) {
        json_spirit::Object o;
        o["begin"] = static_cast<unsigned long>(l.begin);
        o["end"] = static_cast<unsigned long>(l.end);
        o["rate"] = static_cast<unsigned long>(l.rate);
        out.emplace_back(std::move(o));
    }
    return out;
}

uint32_t read_bound(const json_spirit::Object& o, const char* key) {
    const uint64_t v = json_spirit::object_get_uint64_or_throw(o, key);
    if (v > Rate_Limit::DAY_SECONDS)
        throw json_spirit::Json_Error(key, "seconds within a day");
    return static_cast<uint32_t>(v);
}

std::vector<Rate_Limit> read_windows(const json_spirit::Object& obj, const char* key) {
    std::vector<Rate_Limit> out;
    json_spirit::Array arr;
    json_record::read_optional(obj, key, arr);
    out.reserve(arr.size());
    for (const json_spirit::Value& v : arr) {
        if (v.type() != json_spirit::obj_type)
            throw json_spirit::Json_Error(key, "array of objects");
        const json_spirit::Object& o = v.get_obj();
        Rate_Limit l;
        l.begin = read_bound(o, "begin");
        l.end = read_bound(o, "end");
        l.rate = json_spirit::object_get_uint64_or_throw(o, "rate");
        out.push_back(l);
    }
    return out;
}

}  // namespace

void Rate_Limits::set_rate_limits_by_channels(int channels) {
    if (channels < 2)
        return;
    split(dest_rate_limits, static_cast<uint64_t>(channels));
    split(src_rate_limits, static_cast<uint64_t>(channels));
}

json_spirit::Object Rate_Limits::dump() const {
    json_spirit::Object out;
    out["dest"] = dump_windows(dest_rate_limits);
    out["src"] = dump_windows(src_rate_limits);
    return out;
}

void Rate_Limits::read(const json_spirit::Object& obj) {
    dest_rate_limits = read_windows(obj, "dest");
    src_rate_limits = read_windows(obj, "src");
}

bool Rate_Limits::load(const json_spirit::Object& obj, std::string* error) {
    return json_record::load_into(*this, Rate_Limits(), obj, error);
}
