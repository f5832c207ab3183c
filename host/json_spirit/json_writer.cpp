#include "host/json_spirit/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <ostream>

#include "host/json_spirit/yajl_gen_value.h"

using json_spirit::Value;

namespace {

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

yajl_gen_status gen_real(yajl_gen g, double d) {
    if (!std::isfinite(d))
        return yajl_gen_invalid_number;
    // Shortest text that reads back to the same double.
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof(buf) - 2, d);
    size_t n = static_cast<size_t>(r.ptr - buf);
    // "3" would come back as an integer.
    if (std::memchr(buf, '.', n) == nullptr && std::memchr(buf, 'e', n) == nullptr &&
        std::memchr(buf, 'n', n) == nullptr) {
        buf[n++] = '.';
        buf[n++] = '0';
    }
    return yajl_gen_number(g, buf, n);
}

yajl_gen_status gen_int(yajl_gen g, const Value& v) {
    if (!v.is_uint64())
        return yajl_gen_integer(g, v.get_int64());
    // Above LLONG_MAX: yajl_gen_integer cannot take it.
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof(buf), v.get_uint64());
    return yajl_gen_number(g, buf, static_cast<size_t>(r.ptr - buf));
}

}  // namespace

yajl_gen_status yajl_gen_value(yajl_gen g, const Value& v) {
    switch (v.type()) {
        case json_spirit::obj_type: {
            yajl_gen_status st = yajl_gen_map_open(g);
            for (auto it = v.get_obj().begin(); st == yajl_gen_status_ok && it != v.get_obj().end();
                 ++it) {
                st = yajl_gen_string(g, bytes(it->first), it->first.size());
                if (st == yajl_gen_status_ok)
                    st = yajl_gen_value(g, it->second);
            }
            return st == yajl_gen_status_ok ? yajl_gen_map_close(g) : st;
        }
        case json_spirit::array_type: {
            yajl_gen_status st = yajl_gen_array_open(g);
            for (auto it = v.get_array().begin();
                 st == yajl_gen_status_ok && it != v.get_array().end(); ++it)
                st = yajl_gen_value(g, *it);
            return st == yajl_gen_status_ok ? yajl_gen_array_close(g) : st;
        }
        case json_spirit::str_type:
        case json_spirit::secure_str_type:
            return yajl_gen_string(g, bytes(v.get_str()), v.get_str().size());
        case json_spirit::bool_type:
            return yajl_gen_bool(g, v.get_bool() ? 1 : 0);
        case json_spirit::int_type:
            return gen_int(g, v);
        case json_spirit::real_type:
            return gen_real(g, v.get_real());
        case json_spirit::null_type:
            return yajl_gen_null(g);
    }
    return yajl_gen_in_error_state;
}

YAJL_OStream_Printer::YAJL_OStream_Printer(std::ostream& os, bool beautify)
    : os_(os), gen_(yajl_gen_alloc(nullptr)) {
    if (gen_ == nullptr)
        throw std::bad_alloc();
    yajl_gen_config(gen_, yajl_gen_print_callback, &YAJL_OStream_Printer::print,
                    static_cast<void*>(&os_));
    yajl_gen_config(gen_, yajl_gen_validate_utf8, 1);
    if (beautify)
        yajl_gen_config(gen_, yajl_gen_beautify, 1);
}

YAJL_OStream_Printer::~YAJL_OStream_Printer() {
    yajl_gen_free(gen_);
}

void YAJL_OStream_Printer::print(void* ctx, const char* s, size_t len) {
    static_cast<std::ostream*>(ctx)->write(s, static_cast<std::streamsize>(len));
}

bool JSON_Writer::write(const Value& v, YAJL_OStream_Printer& printer) {
    return yajl_gen_value(printer.gen(), v) == yajl_gen_status_ok && printer.stream().good();
}
