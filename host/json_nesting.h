#ifndef HOST_JSON_NESTING_H
#define HOST_JSON_NESTING_H

#include <cstddef>
#include <string>

// The JSON reader recurses per level: documents deeper than this are refused
// before reading. A console request nests a few levels.
const size_t JSON_MAX_DEPTH = 512;

// Deeper than limit, found without recursion (strings skipped).
inline bool nested_deeper(const std::string& text, size_t limit) {
    size_t depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

#endif
