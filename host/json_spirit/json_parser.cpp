#include "host/json_spirit/json_parser.h"

#include <locale.h>
#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <utility>

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

// strtod honours the process locale's decimal point; JSON always uses '.'.
double strtod_c(const char* s, char** end) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c_locale != static_cast<locale_t>(0) ? strtod_l(s, end, c_locale) : std::strtod(s, end);
}

bool parse_number(const char* s, size_t len, Value& out) {
    const char* end = s + len;
    const size_t sign = (len > 0 && s[0] == '-') ? 1 : 0;
    if (len == sign)
        return false;
    bool integral = true;
    for (size_t i = sign; i < len && integral; ++i)
        integral = s[i] >= '0' && s[i] <= '9';

    if (integral) {
        int64_t i = 0;
        auto r = std::from_chars(s, end, i);
        if (r.ec == std::errc() && r.ptr == end) {
            out = Value(i);
            return true;
        }
        if (sign == 0 && r.ec == std::errc::result_out_of_range) {
            uint64_t u = 0;
            r = std::from_chars(s, end, u);
            if (r.ec == std::errc() && r.ptr == end) {
                out = Value(u);
                return true;
            }
        }
        // Beyond every integer type: kept as a real.
    }

    double d = 0;
    const auto r = std::from_chars(s, end, d);
    if (r.ec == std::errc() && r.ptr == end) {
        out = Value(d);
        return true;
    }
    if (r.ec == std::errc::result_out_of_range) {
        // from_chars reports overflow and underflow without a value; strtod
        // gives the usual infinity or (denormal) zero.
        const std::string copy(s, len);
        char* stop = nullptr;
        d = strtod_c(copy.c_str(), &stop);
        if (stop == copy.c_str() + copy.size()) {
            out = Value(d);
            return true;
        }
    }
    return false;
}

}  // namespace

JSON_Parser::JSON_Parser(Value* target) : target_(target) {}

void JSON_Parser::result(Value* target) {
    target_ = target;
    stack_.clear();
}

const std::string& JSON_Parser::key() const {
    static const std::string none;
    return stack_.empty() || !stack_.back().is_object ? none : stack_.back().key;
}

// A parse that failed half-way leaves its containers open; drop them when the
// next document starts.
void JSON_Parser::sync() {
    if (serial_ != parse_serial()) {
        serial_ = parse_serial();
        stack_.clear();
    }
}

int JSON_Parser::add(Value&& v) {
    sync();
    const json_spirit::Value_type type = v.type();
    Value* slot = nullptr;
    if (stack_.empty()) {
        if (target_ != nullptr) {
            *target_ = std::move(v);
            slot = target_;
        }
    } else if (Value* container = stack_.back().container) {
        if (stack_.back().is_object) {
            slot = &container->get_obj()
                        .insert_or_assign(stack_.back().key, std::move(v))
                        .first->second;
        } else {
            Array& a = container->get_array();
            a.push_back(std::move(v));
            // The parent array only grows after this level closes, so the
            // pointer stays valid while it is on the stack.
            slot = &a.back();
        }
    }
    if (type == json_spirit::obj_type || type == json_spirit::array_type)
        stack_.push_back(Level{slot, type == json_spirit::obj_type, std::string()});
    return 1;
}

int JSON_Parser::close(bool is_object) {
    sync();
    if (stack_.empty() || stack_.back().is_object != is_object)
        return 0;
    stack_.pop_back();
    return 1;
}

int JSON_Parser::handle_null_i() {
    return add(Value());
}

int JSON_Parser::handle_boolean_i(bool value) {
    return add(Value(value));
}

int JSON_Parser::handle_integer_i(long long value) {
    return add(Value(value));
}

int JSON_Parser::handle_double_i(double value) {
    return add(Value(value));
}

int JSON_Parser::handle_number_i(const char* s, size_t len) {
    Value v;
    if (!parse_number(s, len, v))
        return 0;
    return add(std::move(v));
}

int JSON_Parser::handle_string_i(const char* s, size_t len) {
    return add(Value(std::string(s, len)));
}

int JSON_Parser::handle_start_map_i() {
    return add(Value(Object()));
}

int JSON_Parser::handle_map_key_i(const char* s, size_t len) {
    sync();
    if (stack_.empty() || !stack_.back().is_object)
        return 0;
    stack_.back().key.assign(s, len);
    return 1;
}

int JSON_Parser::handle_end_map_i() {
    return close(true);
}

int JSON_Parser::handle_start_array_i() {
    return add(Value(Array()));
}

int JSON_Parser::handle_end_array_i() {
    return close(false);
}
