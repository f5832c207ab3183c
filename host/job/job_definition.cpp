#include "host/job/job_definition.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "host/json_spirit/json_io.h"

namespace {

// Where in v a value sits that has no JSON text (a number beyond a double's
// range, read as infinity), as ".key[index]..." after prefix; empty when none.
// The reader's depth bound keeps the recursion short.
std::string unwritable_at(const json_spirit::Value& v, const std::string& prefix) {
    switch (v.type()) {
        case json_spirit::real_type:
            return std::isfinite(v.get_real()) ? std::string() : prefix;
        case json_spirit::obj_type:
            for (const auto& kv : v.get_obj()) {
                std::string at = unwritable_at(kv.second, prefix + "." + kv.first);
                if (!at.empty())
                    return at;
            }
            return std::string();
        case json_spirit::array_type:
            for (size_t i = 0; i < v.get_array().size(); ++i) {
                std::string at =
                    unwritable_at(v.get_array()[i], prefix + "[" + std::to_string(i) + "]");
                if (!at.empty())
                    return at;
            }
            return std::string();
        default:
            return std::string();
    }
}

// Feeds a JSON value, as text, to a parser made by the creator and takes the
// object the parser built.
bool parse_part(const json_spirit::Value& value, Object_Creator_T<YAJL_Handler>* creator,
                const char* what, std::shared_ptr<Job_Object>* out, std::string* error) {
    YAJL_Handler* handler = creator->create();
    if (!handler) {
        if (error)
            *error = std::string("cannot create the ") + what + " parser";
        return false;
    }
    const std::string bad = unwritable_at(value, what);
    if (!bad.empty()) {
        creator->destroy(handler);
        if (error)
            *error = "'" + bad + "' is a number out of range";
        return false;
    }
    std::string text = json_spirit::write(value);
    std::string parse_error;
    bool ok = handler->parse(text.data(), text.size(), &parse_error);
    if (ok) {
        auto* parser = dynamic_cast<YAJL_Object_Parser*>(handler);
        if (parser)
            *out = parser->shared_result();
        if (!*out) {
            ok = false;
            parse_error = "the parser built no object";
        }
    }
    creator->destroy(handler);
    if (!ok && error)
        *error = std::string("bad ") + what + ": " + parse_error;
    return ok;
}

// An optional member: absent, or of another type, leaves out alone; a
// number that does not fit out is an error naming the member.
template <class T>
bool read_opt(const json_spirit::Object& obj, const char* key, T& out, std::string* error) {
    const json_spirit::Value* v = json_spirit::object_get_value(obj, key);
    if (v == nullptr || json_spirit::object_get(obj, key, out))
        return true;
    if (v->type() != json_spirit::int_type && v->type() != json_spirit::real_type)
        return true;
    if (error)
        *error = std::string("'") + key + "' is a number out of range";
    return false;
}

// Scripts run as one argument of /bin/sh -c, which the kernel caps at 128 KiB.
bool script_fits(const std::string& script, const char* key, std::string* error) {
    if (script.size() <= Job_Definition::MAX_SCRIPT_BYTES)
        return true;
    if (error)
        *error = std::string("'") + key + "' is " + std::to_string(script.size()) +
                 " bytes long; a script may hold at most " +
                 std::to_string(Job_Definition::MAX_SCRIPT_BYTES);
    return false;
}

}  // namespace

bool Job_Definition::load(const json_spirit::Object& obj,
                          Object_Creator_T<YAJL_Handler>* options_creator,
                          Object_Creator_T<YAJL_Handler>* source_creator, std::string* error) {
    int t = 0;
    if (!json_spirit::object_get(obj, "type", t)) {
        if (error)
            *error = "'type' is expected as integer";
        return false;
    }
    type = static_cast<Job_Definition_Type>(t);
    if (!json_spirit::object_get(obj, "id", id) || id.empty()) {
        if (error)
            *error = "'id' is expected as a non-empty string";
        return false;
    }
    if (!read_opt(obj, "subtype", subtype, error) || !read_opt(obj, "uid", uid, error) ||
        !read_opt(obj, "name", name, error) || !read_opt(obj, "host_id", host_id, error) ||
        !read_opt(obj, "agent", agent, error) ||
        !read_opt(obj, "job_revision", job_revision, error))
        return false;
    if (const json_spirit::Object* target_obj = json_spirit::object_get_object(obj, "target")) {
        read_opt(*target_obj, "id", target.id, error);
        read_opt(*target_obj, "device_id", target.device_id, error);
    }
    if (const json_spirit::Object* schedule_obj = json_spirit::object_get_object(obj, "schedule"))
        if (!read_opt(*schedule_obj, "type", schedule.type, error))
            return false;
    if (!read_opt(obj, "precondition", precondition, error) ||
        !read_opt(obj, "pre_action", pre_action, error) ||
        !read_opt(obj, "post_action", post_action, error) ||
        !script_fits(precondition, "precondition", error) ||
        !script_fits(pre_action, "pre_action", error) ||
        !script_fits(post_action, "post_action", error))
        return false;
    if (!read_opt(obj, "run_post_action_always", run_post_action_always, error) ||
        !read_opt(obj, "ignore_pre_action_failure", ignore_pre_action_failure, error) ||
        !read_opt(obj, "ignore_post_action_failure", ignore_post_action_failure, error) ||
        !read_opt(obj, "retry_count", retry_count, error) ||
        !read_opt(obj, "retry_interval", retry_interval, error) ||
        !read_opt(obj, "max_seconds_retry", max_seconds_retry, error) ||
        !read_opt(obj, "resumption_buffer_size", resumption_buffer_size, error))
        return false;

    if (const json_spirit::Object* limits = json_spirit::object_get_object(obj, "rate_limits")) {
        if (!rate_limits.load(*limits, error))
            return false;
    }

    const json_spirit::Value* v = json_spirit::object_get_value(obj, "options");
    if (v && options_creator) {
        std::shared_ptr<Job_Object> o;
        if (!parse_part(*v, options_creator, "options", &o, error))
            return false;
        options_ = std::dynamic_pointer_cast<Job_Options>(o);
    }
    v = json_spirit::object_get_value(obj, "source");
    if (v && source_creator) {
        std::shared_ptr<Job_Object> s;
        if (!parse_part(*v, source_creator, "source", &s, error))
            return false;
        source_ = std::dynamic_pointer_cast<Job_Source>(s);
    }
    return true;
}

bool Job_Definition::load_file(const std::string& path,
                               Object_Creator_T<YAJL_Handler>* options_creator,
                               Object_Creator_T<YAJL_Handler>* source_creator, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    json_spirit::Value doc;
    std::string parse_error;
    if (!json_spirit::read(buf.str(), doc, &parse_error)) {
        if (error)
            *error = path + ": " + parse_error;
        return false;
    }
    if (doc.type() != json_spirit::obj_type) {
        if (error)
            *error = path + ": a job definition is a JSON object";
        return false;
    }
    return load(doc.get_obj(), options_creator, source_creator, error);
}
