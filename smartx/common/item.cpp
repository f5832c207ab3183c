#include "smartx/common/item.h"

#include "ace/Log_Msg.h"

namespace smartx {

void log_load_error(const char* format, const char* details) {
    ACE_ERROR((LM_ERROR, format, details));
}

void log_load_error(const char* format, const char* first, const char* second) {
    ACE_ERROR((LM_ERROR, format, first, second));
}

bool load_part(bool loaded, const char* message) {
    if (!loaded)
        ACE_ERROR((LM_ERROR, ACE_TEXT("%s"), message));
    return loaded;
}

bool load_id_or_log(const json_spirit::Object& obj, const char* format, const std::string& key,
                    std::string& id) {
    try {
        id = json_spirit::object_get_str_or_throw(obj, "id");
        return true;
    } catch (const std::exception& e) {
        log_load_error(format, key.c_str(), e.what());
        return false;
    }
}

bool Item_Identity::load(const json_spirit::Value& value) {
    return try_load("Failed to load Item_Identity from JSON: %s\n", [&] {
        json_spirit::extract_or_throw(value.get_obj())("id", id, true)("name", name, true);
    });
}

json_spirit::Object Item_Identity::dump() const {
    return json_spirit::Object_Maker()("id", id)("name", name).get_obj();
}

bool Host_Identity::load(const json_spirit::Value& value) {
    return try_load("Failed to load Host_Identity from JSON: %s\n", [&] {
        // clang-format off
        json_spirit::extract_or_throw(value.get_obj())
            ("id", id, true)
            ("name", name, true)
            ("management_ip", management_ip, true);
        // clang-format on
    });
}

json_spirit::Object Host_Identity::dump() const {
    return json_spirit::Object_Maker()("id", id)("name", name)("management_ip", management_ip)
        .get_obj();
}

bool Item_Label::load(const json_spirit::Value& value) {
    return try_load("Failed to load Item_Label from JSON: %s\n",
                    [&] { json_spirit::extract_or_throw(value.get_obj())("id", id, true); });
}

json_spirit::Object Item_Label::dump() const {
    return json_spirit::Object_Maker()("id", id).get_obj();
}

bool Identity::load(const json_spirit::Object& obj) {
    return try_load("Failed to parse identity, details: %s.\n",
                    [&] { json_spirit::extract_or_throw(obj)("id", id, true); });
}

}  // namespace smartx
