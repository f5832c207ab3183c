#include "host/json_spirit/yajl_handler.h"

#include <new>
#include <string>

#include <yajl/yajl_parse.h>

// Trampolines from yajl's C callbacks to the virtual members. No exception may
// cross yajl's C frames, so one thrown by a callback is parked and rethrown
// after the parser is freed.
struct YAJL_Handler::Glue {
    template <class F>
    static int call(void* ctx, F f) {
        YAJL_Handler* h = static_cast<YAJL_Handler*>(ctx);
        try {
            return f(h) != 0 ? 1 : 0;
        } catch (...) {
            h->thrown_ = std::current_exception();
            return 0;
        }
    }

    static const char* chars(const unsigned char* s) { return reinterpret_cast<const char*>(s); }

    static int on_null(void* ctx) {
        return call(ctx, [](YAJL_Handler* h) { return h->handle_null_i(); });
    }
    static int on_boolean(void* ctx, int v) {
        return call(ctx, [v](YAJL_Handler* h) { return h->handle_boolean_i(v != 0); });
    }
    static int on_number(void* ctx, const char* s, size_t len) {
        return call(ctx, [s, len](YAJL_Handler* h) { return h->handle_number_i(s, len); });
    }
    static int on_string(void* ctx, const unsigned char* s, size_t len) {
        return call(ctx, [s, len](YAJL_Handler* h) { return h->handle_string_i(chars(s), len); });
    }
    // A container opens only within the depth bound.
    static bool deeper(void* ctx) {
        YAJL_Handler* h = static_cast<YAJL_Handler*>(ctx);
        if (h->depth_ >= MAX_DEPTH) {
            h->too_deep_ = true;
            return false;
        }
        ++h->depth_;
        return true;
    }
    static void shallower(void* ctx) { --static_cast<YAJL_Handler*>(ctx)->depth_; }

    static int on_start_map(void* ctx) {
        if (!deeper(ctx))
            return 0;
        return call(ctx, [](YAJL_Handler* h) { return h->handle_start_map_i(); });
    }
    static int on_map_key(void* ctx, const unsigned char* s, size_t len) {
        return call(ctx, [s, len](YAJL_Handler* h) { return h->handle_map_key_i(chars(s), len); });
    }
    static int on_end_map(void* ctx) {
        shallower(ctx);
        return call(ctx, [](YAJL_Handler* h) { return h->handle_end_map_i(); });
    }
    static int on_start_array(void* ctx) {
        if (!deeper(ctx))
            return 0;
        return call(ctx, [](YAJL_Handler* h) { return h->handle_start_array_i(); });
    }
    static int on_end_array(void* ctx) {
        shallower(ctx);
        return call(ctx, [](YAJL_Handler* h) { return h->handle_end_array_i(); });
    }

    // yajl_integer and yajl_double stay null: with yajl_number set, every
    // number comes as text and the handler decides how to store it.
    static constexpr yajl_callbacks callbacks = {
        on_null,      on_boolean, nullptr,    nullptr,        on_number,    on_string,
        on_start_map, on_map_key, on_end_map, on_start_array, on_end_array,
    };
};

int YAJL_Handler::handle_null_i() {
    return 1;
}
int YAJL_Handler::handle_boolean_i(bool) {
    return 1;
}
int YAJL_Handler::handle_integer_i(long long) {
    return 1;
}
int YAJL_Handler::handle_double_i(double) {
    return 1;
}
int YAJL_Handler::handle_number_i(const char*, size_t) {
    return 1;
}
int YAJL_Handler::handle_string_i(const char*, size_t) {
    return 1;
}
int YAJL_Handler::handle_start_map_i() {
    return 1;
}
int YAJL_Handler::handle_map_key_i(const char*, size_t) {
    return 1;
}
int YAJL_Handler::handle_end_map_i() {
    return 1;
}
int YAJL_Handler::handle_start_array_i() {
    return 1;
}
int YAJL_Handler::handle_end_array_i() {
    return 1;
}

YAJL_Handler::~YAJL_Handler() {
    if (chunked_ != nullptr)
        yajl_free(chunked_);
}

yajl_handle_t* YAJL_Handler::open() {
    yajl_handle h = yajl_alloc(&Glue::callbacks, nullptr, this);
    if (h == nullptr)
        throw std::bad_alloc();
    yajl_config(h, yajl_dont_validate_strings, 0);
    thrown_ = nullptr;
    depth_ = 0;
    too_deep_ = false;
    ++serial_;
    return h;
}

// Frees h and turns the status into the result; a parked exception wins.
bool YAJL_Handler::finish(yajl_handle_t* h, int status, const char* text, size_t len,
                          std::string* error) {
    std::string message;
    if (status == yajl_status_client_canceled && too_deep_) {
        message = "JSON nested deeper than " + std::to_string(MAX_DEPTH) + " levels";
    } else if (status == yajl_status_client_canceled) {
        message = "parse cancelled by handler";
    } else if (status != yajl_status_ok) {
        unsigned char* e = yajl_get_error(h, 0, reinterpret_cast<const unsigned char*>(text), len);
        message = e != nullptr ? reinterpret_cast<const char*>(e) : "parse error";
        if (e != nullptr)
            yajl_free_error(h, e);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
    }
    yajl_free(h);
    if (thrown_) {
        std::exception_ptr e = thrown_;
        thrown_ = nullptr;
        std::rethrow_exception(e);
    }
    if (status == yajl_status_ok)
        return true;
    if (error != nullptr)
        *error = message;
    return false;
}

bool YAJL_Handler::parse(const char* text, size_t len, std::string* error) {
    if (text == nullptr)
        text = "";
    yajl_handle h = open();
    yajl_status st = yajl_parse(h, reinterpret_cast<const unsigned char*>(text), len);
    if (st == yajl_status_ok)
        st = yajl_complete_parse(h);
    return finish(h, st, text, len, error);
}

bool YAJL_Handler::parse_chunk(const char* text, size_t len, std::string* error) {
    if (text == nullptr)
        text = "";
    if (chunked_ == nullptr)
        chunked_ = open();
    const yajl_status st = yajl_parse(chunked_, reinterpret_cast<const unsigned char*>(text), len);
    if (st == yajl_status_ok)
        return true;
    yajl_handle h = chunked_;
    chunked_ = nullptr;
    return finish(h, st, text, len, error);
}

bool YAJL_Handler::parse_complete(std::string* error) {
    if (chunked_ == nullptr)
        chunked_ = open();
    const yajl_status st = yajl_complete_parse(chunked_);
    yajl_handle h = chunked_;
    chunked_ = nullptr;
    return finish(h, st, "", 0, error);
}
