#ifndef HOST_JSON_SPIRIT_JSON_WRITER_H
#define HOST_JSON_SPIRIT_JSON_WRITER_H

#include <iosfwd>

#include <yajl/yajl_gen.h>

#include "host/json_spirit/value.h"

// A yajl generator that prints into a stream. Strings must be valid UTF-8:
// an invalid one fails the write instead of producing text no parser takes.
// One printer holds one document.
class YAJL_OStream_Printer {
public:
    explicit YAJL_OStream_Printer(std::ostream& os, bool beautify = false);
    ~YAJL_OStream_Printer();
    YAJL_OStream_Printer(const YAJL_OStream_Printer&) = delete;
    YAJL_OStream_Printer& operator=(const YAJL_OStream_Printer&) = delete;

    yajl_gen gen() { return gen_; }
    std::ostream& stream() { return os_; }

private:
    static void print(void* ctx, const char* s, size_t len);

    std::ostream& os_;
    yajl_gen gen_;
};

class JSON_Writer {
public:
    // False when the value cannot be written as JSON (NaN or infinity,
    // invalid UTF-8, nesting beyond yajl's limit) or the stream failed;
    // the stream may then hold a partial document.
    static bool write(const json_spirit::Value& v, YAJL_OStream_Printer& printer);
};

#endif
