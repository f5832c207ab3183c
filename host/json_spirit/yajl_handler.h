#ifndef HOST_JSON_SPIRIT_YAJL_HANDLER_H
#define HOST_JSON_SPIRIT_YAJL_HANDLER_H

#include <cstddef>
#include <exception>
#include <string>

struct yajl_handle_t;

// Receives the events of a streaming yajl parse. Each callback returns
// non-zero to go on or 0 to stop the parse. Every number arrives as text
// through handle_number_i; strings and keys are pointer + length, not
// terminated, and only valid during the call. handle_integer_i and
// handle_double_i are there for callers that drive a handler directly.
//
// An exception thrown by a callback stops the parse and is rethrown from
// parse(), parse_chunk() or parse_complete() once the parser is released.
class YAJL_Handler {
public:
    // Containers nest at most this deep: as deep as yajl's generator writes,
    // so whatever is read can be written back, and no walk over a parsed
    // tree goes deeper. Deeper text fails the parse with a message saying so.
    static constexpr int MAX_DEPTH = 127;

    YAJL_Handler() = default;
    YAJL_Handler(const YAJL_Handler&) = delete;
    YAJL_Handler& operator=(const YAJL_Handler&) = delete;

    virtual int handle_null_i();
    virtual int handle_boolean_i(bool value);
    virtual int handle_integer_i(long long value);
    virtual int handle_double_i(double value);
    virtual int handle_number_i(const char* s, size_t len);
    virtual int handle_string_i(const char* s, size_t len);
    virtual int handle_start_map_i();
    virtual int handle_map_key_i(const char* s, size_t len);
    virtual int handle_end_map_i();
    virtual int handle_start_array_i();
    virtual int handle_end_array_i();
    virtual ~YAJL_Handler();

    // Parses one complete JSON document (UTF-8 is validated). False on
    // malformed text or when a callback returned 0, with the reason in *error.
    bool parse(const char* text, size_t len, std::string* error = nullptr);
    bool parse(const std::string& text, std::string* error = nullptr) {
        return parse(text.data(), text.size(), error);
    }

    // The same document fed in chunks. A failure ends the document; the next
    // chunk starts a new one.
    bool parse_chunk(const char* text, size_t len, std::string* error = nullptr);
    bool parse_complete(std::string* error = nullptr);

protected:
    // Changes each time a new document starts, so a handler that keeps state
    // between callbacks can tell a fresh parse from the rest of a failed one.
    unsigned long parse_serial() const noexcept { return serial_; }

private:
    struct Glue;

    yajl_handle_t* open();
    bool finish(yajl_handle_t* h, int status, const char* text, size_t len, std::string* error);

    yajl_handle_t* chunked_ = nullptr;
    std::exception_ptr thrown_;
    int depth_ = 0;
    bool too_deep_ = false;
    unsigned long serial_ = 0;
};

#endif
