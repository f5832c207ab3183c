// What every CloudTower record shares: the load conventions, the loaders of
// nested records and lists of records, and the reference records one
// resource uses to point at another.
//
// A record's load reads its scalar keys inside try_load (an exception is
// logged with the record's "details" message and fails the load; what was
// read before stays), then its nested parts one after the other, each through
// load_part so that a failure logs the record's message and stops:
//
//   return try_load("Failed to parse host, details: %s.\n", [&] {
//              json_spirit::extract_or_throw(obj)("id", id, true)("name", name, true);
//          }) &&
//          load_part(load_item_in_object(obj, "cluster", cluster, true), "Failed to parse cluster
//          in host.\n");
#ifndef SMARTX_COMMON_ITEM_H
#define SMARTX_COMMON_ITEM_H

#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/json_spirit/value.h"
#include "json_spirit/json_spirit_helper.h"

namespace smartx {

// At error priority. `format` takes one %s (details), or two.
void log_load_error(const char* format, const char* details);
void log_load_error(const char* format, const char* first, const char* second);

// Runs `read`; anything it throws is logged with `format` and gives false.
template <class Read>
bool try_load(const char* format, Read&& read) noexcept {
    try {
        read();
        return true;
    } catch (const std::exception& e) {
        log_load_error(format, e.what());
    } catch (...) {
        log_load_error(format, "unknown exception");
    }
    return false;
}

// A nested part's result; a failure logs `message` (which carries no details).
bool load_part(bool loaded, const char* message);

// The "id" string of `obj` into `id`; a failure logs `format` with `key` and the details.
bool load_id_or_log(const json_spirit::Object& obj, const char* format, const std::string& key,
                    std::string& id);

namespace item_detail {
template <class T, class = void>
struct loads_value : std::false_type {};

template <class T>
struct loads_value<
    T, std::void_t<decltype(std::declval<T&>().load(std::declval<const json_spirit::Value&>()))>>
    : std::true_type {};

// `v` holds an object; a record loads from the value or from its object.
template <class T>
bool load_from(T& item, const json_spirit::Value& v) {
    if constexpr (loads_value<T>::value)
        return item.load(v);
    else
        return item.load(v.get_obj());
}

// The member `key` when it holds an object; absent, null or of another type: null.
inline const json_spirit::Value* object_member(const json_spirit::Object& obj,
                                               const std::string& key) {
    const json_spirit::Value* v = json_spirit::object_get_value(obj, key);
    return v != nullptr && v->type() == json_spirit::obj_type ? v : nullptr;
}

template <class T, class Load_One>
bool load_list(const json_spirit::Object& obj, const std::string& key, std::vector<T>& items,
               bool required, Load_One load_one) {
    const json_spirit::Array* arr = json_spirit::object_get_array(obj, key);
    if (arr == nullptr)
        return !required;
    for (const json_spirit::Value& element : *arr) {
        if (element.type() != json_spirit::obj_type)
            continue;
        T item;
        if (!load_one(item, element))
            return false;
        items.push_back(std::move(item));
    }
    return true;
}
}  // namespace item_detail

// A nested record. Absent or null: true unless required, and the item is
// left as it was; not an object: see below.
template <class T>
bool load_item_in_object(const json_spirit::Object& obj, const std::string& key, T& item,
                         bool required) {
    // Records that load from a value refuse a value that is not an object
    // with their own message ("cpu": 5 is a broken VM, not one without CPU).
    if constexpr (item_detail::loads_value<T>::value) {
        const json_spirit::Value* any = json_spirit::object_get_value(obj, key);
        if (any != nullptr && any->type() != json_spirit::obj_type &&
            any->type() != json_spirit::null_type)
            return item.load(*any);
    }
    const json_spirit::Value* v = item_detail::object_member(obj, key);
    if (v == nullptr)
        return !required;
    return item_detail::load_from(item, *v);
}

// A list of records, appended to `items` (never cleared). Elements that are
// not objects are skipped; the first one that fails to load stops the list
// and those appended before it stay.
template <class T>
bool load_items_in_object(const json_spirit::Object& obj, const std::string& key,
                          std::vector<T>& items, bool required) {
    return item_detail::load_list(obj, key, items, required,
                                  [](T& item, const json_spirit::Value& element) {
                                      return item_detail::load_from(item, element);
                                  });
}

// As load_items_in_object, but an element without `full_key` is a bare
// reference: only its "id" is taken.
template <class T>
bool load_items_or_ids_in_object(const json_spirit::Object& obj, const std::string& key,
                                 const std::string& full_key, std::vector<T>& items,
                                 bool required) {
    return item_detail::load_list(
        obj, key, items, required, [&](T& item, const json_spirit::Value& element) {
            const json_spirit::Object& o = element.get_obj();
            if (o.count(full_key) != 0)
                return item_detail::load_from(item, element);
            return load_id_or_log(o, "Failed to parse one 'id' of items %s, details: %s.\n", key,
                                  item.id);
        });
}

template <class T>
bool load_item_or_id_in_object(const json_spirit::Object& obj, const std::string& key,
                               const std::string& full_key, T& item, bool required) {
    const json_spirit::Value* v = item_detail::object_member(obj, key);
    if (v == nullptr)
        return !required;
    if (v->get_obj().count(full_key) != 0)
        return item_detail::load_from(item, *v);
    return load_id_or_log(v->get_obj(), "Failed to parse the 'id' of item %s, details: %s.\n", key,
                          item.id);
}

template <class T>
json_spirit::Array dump_items(const std::vector<T>& items) {
    json_spirit::Array arr;
    arr.reserve(items.size());
    for (const T& item : items)
        arr.emplace_back(item.dump());
    return arr;
}

template <class T>
json_spirit::Array dump_item_ids(const std::vector<T>& items) {
    json_spirit::Array arr;
    arr.reserve(items.size());
    for (const T& item : items)
        arr.emplace_back(item.id);
    return arr;
}

// ---- reference records ----

struct Item_Identity {
    std::string id;
    std::string name;

    // From a value holding {"id", "name"}, both required strings.
    bool load(const json_spirit::Value& value);
    json_spirit::Object dump() const;
    // Either part missing makes the reference unusable.
    bool empty() const { return id.empty() || name.empty(); }
    void clear() {
        id.clear();
        name.clear();
    }
};

struct Host_Identity {
    std::string id;
    std::string name;
    std::string management_ip;

    bool load(const json_spirit::Value& value);
    json_spirit::Object dump() const;
};

struct Item_Label {
    std::string id;

    bool load(const json_spirit::Value& value);
    json_spirit::Object dump() const;
};

// The bare {"id"} a mutation answers with.
struct Identity {
    std::string id;

    bool load(const json_spirit::Object& obj);
};

}  // namespace smartx

#endif
