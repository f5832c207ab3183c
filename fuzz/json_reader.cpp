// The JSON reader: any text either fails with a reason or reads the same
// whole and in two chunks, and what it reads writes back to the same value
// (except numbers beyond a double, read as infinity, which have no text).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/json_spirit/json_io.h"
#include "host/json_spirit/json_parser.h"

namespace {

bool has_infinity(const json_spirit::Value& v) {
    switch (v.type()) {
        case json_spirit::real_type:
            return !std::isfinite(v.get_real());
        case json_spirit::obj_type:
            for (const auto& kv : v.get_obj())
                if (has_infinity(kv.second))
                    return true;
            return false;
        case json_spirit::array_type:
            for (const auto& e : v.get_array())
                if (has_infinity(e))
                    return true;
            return false;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    json_spirit::Value v;
    std::string error;
    const bool ok = json_spirit::read(text, v, &error);
    FUZZ_CHECK(ok || !error.empty());

    json_spirit::Value chunked;
    JSON_Parser parser(&chunked);
    const size_t half = size / 2;
    const bool chunked_ok = parser.parse_chunk(text.data(), half) &&
                            parser.parse_chunk(text.data() + half, size - half) &&
                            parser.parse_complete();
    FUZZ_CHECK(chunked_ok == ok);
    if (!ok)
        return 0;
    FUZZ_CHECK(chunked == v);

    for (const bool pretty : {false, true}) {
        const std::string written = json_spirit::write(v, pretty);
        if (written.empty()) {
            FUZZ_CHECK(has_infinity(v));
            continue;
        }
        json_spirit::Value back;
        FUZZ_CHECK(json_spirit::read(written, back));
        FUZZ_CHECK(back == v);
    }
    return 0;
}
