// Table-driven load tests of the CloudTower records: a base body, one edit
// per case, and the exact lines the load logs (none when it must succeed).
#ifndef TESTS_SMARTX_RECORDS_RECORD_TEST_SUPPORT_H
#define TESTS_SMARTX_RECORDS_RECORD_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "host/json_spirit/json_io.h"
#include "host/json_spirit/value.h"
#include "json_spirit/json_spirit_helper.h"
#include "support/log_capture.h"

namespace records_test {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

inline const uint64_t HUGE_NUMBER = std::numeric_limits<uint64_t>::max();

// What the reference records log when one of their keys is missing.
inline const char* const ITEM_NAME =
    "Failed to load Item_Identity from JSON: 'name' is expected as string\n";
inline const char* const LABEL_ID =
    "Failed to load Item_Label from JSON: 'id' is expected as string\n";
inline const char* const HOST_IP =
    "Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n";

// A JSON file under tests/fixtures/.
inline Value read_fixture(const std::string& relative) {
    const std::string path = std::string(TEST_SOURCE_DIR) + "/fixtures/" + relative;
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    Value v;
    std::string error;
    if (!in.is_open() || !json_spirit::read(text.str(), v, &error))
        ADD_FAILURE() << "cannot read fixture " << path << ": " << error;
    return v;
}

// A body written in the test itself.
inline Object body(const char* json) {
    Value v;
    std::string error;
    if (!json_spirit::read(json, v, &error) || v.type() != json_spirit::obj_type) {
        ADD_FAILURE() << "bad test body: " << error;
        return Object();
    }
    return v.get_obj();
}

// The records of a CloudTower answer: the array itself, or the first array
// member of an object answer ({"data": [...]}, a page, ...).
inline Array fixture_records(const std::string& relative) {
    Value v = read_fixture("cloudtower/" + relative);
    if (v.type() == json_spirit::array_type)
        return v.get_array();
    if (v.type() == json_spirit::obj_type) {
        for (const auto& member : v.get_obj())
            if (member.second.type() == json_spirit::array_type)
                return member.second.get_array();
        return Array{v};
    }
    ADD_FAILURE() << relative << " holds neither records nor a record";
    return Array();
}

// One change to a body, at a path of keys and array indexes ("hosts.1.id").
struct Edit {
    std::string path;
    bool erase;
    Value value;
};

inline Edit drop(const std::string& path) {
    return Edit{path, true, Value()};
}

inline Edit put(const std::string& path, Value value) {
    return Edit{path, false, std::move(value)};
}

inline void apply(Object& root, const Edit& edit) {
    std::vector<std::string> parts;
    std::istringstream in(edit.path);
    for (std::string part; std::getline(in, part, '.');)
        parts.push_back(part);
    Value tree(std::move(root));
    Value* at = &tree;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        at = at->type() == json_spirit::array_type ? &at->get_array().at(std::stoul(parts[i]))
                                                   : &at->get_obj().at(parts[i]);
    if (at->type() == json_spirit::array_type) {
        Array& arr = at->get_array();
        const size_t index = std::stoul(parts.back());
        if (edit.erase)
            arr.erase(arr.begin() + static_cast<std::ptrdiff_t>(index));
        else
            arr.at(index) = edit.value;
    } else if (edit.erase)
        at->get_obj().erase(parts.back());
    else
        at->get_obj()[parts.back()] = edit.value;
    root = std::move(tree.get_obj());
}

inline Object edited(Object base, const Edit& edit) {
    apply(base, edit);
    return base;
}

// Expected outcome: the exact log lines; no lines means the load succeeds.
struct Load_Case {
    Edit edit;
    std::vector<std::string> log;
};

// Every case on a fresh record and a fresh copy of `base`.
template <class R, class Load>
void check_load_cases(const Object& base, const std::vector<Load_Case>& cases, Load load) {
    SCOPED_TRACE(typeid(R).name());
    {
        Log_Capture log;
        R record;
        EXPECT_TRUE(load(record, base)) << "the base body must load";
        EXPECT_EQ(log.texts(), std::vector<std::string>());
    }
    for (const Load_Case& c : cases) {
        SCOPED_TRACE((c.edit.erase ? "without " : "with ") + c.edit.path);
        const Object obj = edited(base, c.edit);
        Log_Capture log;
        R record;
        EXPECT_EQ(load(record, obj), c.log.empty());
        EXPECT_EQ(log.texts(), c.log);
        for (const Log_Capture::Line& line : log.lines())
            EXPECT_EQ(line.priority, LM_ERROR);
    }
}

template <class R>
void check_load_cases(const Object& base, const std::vector<Load_Case>& cases) {
    check_load_cases<R>(base, cases, [](R& r, const Object& o) { return r.load(o); });
}

inline std::set<std::string> keys_of(const Object& obj) {
    std::set<std::string> keys;
    for (const auto& member : obj)
        keys.insert(member.first);
    return keys;
}

}  // namespace records_test

#endif
