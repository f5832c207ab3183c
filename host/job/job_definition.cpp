#include "host/job/job_definition.h"

#include <fstream>
#include <sstream>

#include "host/json_spirit/json_io.h"

namespace {

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

template <class T>
void read_opt(const json_spirit::Object& obj, const char* key, T& out) {
    json_spirit::object_get(obj, key, out);
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
    read_opt(obj, "subtype", subtype);
    read_opt(obj, "uid", uid);
    read_opt(obj, "name", name);
    read_opt(obj, "host_id", host_id);
    read_opt(obj, "agent", agent);
    read_opt(obj, "job_revision", job_revision);
    if (const json_spirit::Object* target_obj = json_spirit::object_get_object(obj, "target")) {
        read_opt(*target_obj, "id", target.id);
        read_opt(*target_obj, "device_id", target.device_id);
    }
    if (const json_spirit::Object* schedule_obj = json_spirit::object_get_object(obj, "schedule"))
        read_opt(*schedule_obj, "type", schedule.type);
    read_opt(obj, "precondition", precondition);
    read_opt(obj, "pre_action", pre_action);
    read_opt(obj, "post_action", post_action);
    read_opt(obj, "run_post_action_always", run_post_action_always);
    read_opt(obj, "ignore_pre_action_failure", ignore_pre_action_failure);
    read_opt(obj, "ignore_post_action_failure", ignore_post_action_failure);
    read_opt(obj, "retry_count", retry_count);
    read_opt(obj, "retry_interval", retry_interval);
    unsigned long n = 0;
    if (json_spirit::object_get(obj, "max_seconds_retry", n))
        max_seconds_retry = n;
    if (json_spirit::object_get(obj, "resumption_buffer_size", n))
        resumption_buffer_size = n;

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
