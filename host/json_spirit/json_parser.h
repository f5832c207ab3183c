#ifndef HOST_JSON_SPIRIT_JSON_PARSER_H
#define HOST_JSON_SPIRIT_JSON_PARSER_H

#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "host/json_spirit/yajl_handler.h"

// Builds a json_spirit::Value from the parse events. Containers are tracked on
// an explicit stack, so the depth of the input costs heap, not call stack.
// Integers that fit int64 (or, when non-negative, uint64) stay integers; any
// other number becomes a real. A repeated key in one object keeps the last
// value.
//
// Subclasses may override the callbacks to watch the document and call the
// base to keep building it; levels() and key() describe the position of the
// event being handled.
class JSON_Parser : public YAJL_Handler {
public:
    explicit JSON_Parser(json_spirit::Value* target = nullptr);

    // Where the document goes. Null: events are accepted and dropped.
    void result(json_spirit::Value* target);
    json_spirit::Value* result() const { return target_; }

    // The last key seen in the innermost open object; empty at the top and
    // inside arrays.
    const std::string& key() const;
    // Number of open containers: 0 before the top value opens, 1 inside it.
    int levels() const { return static_cast<int>(stack_.size()); }

    int handle_null_i() override;
    int handle_boolean_i(bool value) override;
    int handle_integer_i(long long value) override;
    int handle_double_i(double value) override;
    int handle_number_i(const char* s, size_t len) override;
    int handle_string_i(const char* s, size_t len) override;
    int handle_start_map_i() override;
    int handle_map_key_i(const char* s, size_t len) override;
    int handle_end_map_i() override;
    int handle_start_array_i() override;
    int handle_end_array_i() override;

private:
    struct Level {
        json_spirit::Value* container;  // null when nothing is stored
        bool is_object;
        std::string key;
    };

    void sync();
    int add(json_spirit::Value&& v);
    int close(bool is_object);

    json_spirit::Value* target_;
    std::vector<Level> stack_;
    unsigned long serial_ = 0;
};

#endif
