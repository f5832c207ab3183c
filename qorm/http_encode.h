// Percent-encoding and query-string building.
#ifndef QORM_HTTP_ENCODE_H
#define QORM_HTTP_ENCODE_H

// Flags of http_encode_string_i; bits not listed have no effect.
enum HTTP_Encode_Flag : unsigned {
    HTTP_ENCODE_SLASH = 0x1,       // "/" escaped (otherwise literal)
    HTTP_ENCODE_SPACE_PLUS = 0x2,  // space as "+" (otherwise escaped)
    HTTP_ENCODE_UPPER_HEX = 0x4,   // "%2F" rather than "%2f"
    HTTP_KEEP_COLON = 0x8,
    HTTP_KEEP_LPAREN = 0x10,
    HTTP_KEEP_RPAREN = 0x20,
    HTTP_KEEP_APOSTROPHE = 0x40,
    HTTP_KEEP_STAR = 0x80,
    HTTP_KEEP_EXCLAMATION = 0x200,
    HTTP_KEEP_HASH = 0x400,
    HTTP_KEEP_DOLLAR = 0x800,
    HTTP_KEEP_AMPERSAND = 0x1000,
    HTTP_KEEP_PLUS = 0x2000,
    HTTP_KEEP_COMMA = 0x4000,
    HTTP_KEEP_SEMICOLON = 0x8000,
    HTTP_KEEP_EQUALS = 0x10000,
    HTTP_KEEP_QUESTION = 0x20000,
    HTTP_KEEP_AT = 0x40000,
    // Query names and values: "/" escaped, space as "+".
    HTTP_ENCODE_QUERY = HTTP_ENCODE_SLASH | HTTP_ENCODE_SPACE_PLUS
};

namespace qorm_detail {
inline bool http_kept_literal(unsigned char c, unsigned flags) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~')
        return true;
    switch (c) {
        case '/':
            return !(flags & HTTP_ENCODE_SLASH);
        case ':':
            return flags & HTTP_KEEP_COLON;
        case '(':
            return flags & HTTP_KEEP_LPAREN;
        case ')':
            return flags & HTTP_KEEP_RPAREN;
        case '\'':
            return flags & HTTP_KEEP_APOSTROPHE;
        case '*':
            return flags & HTTP_KEEP_STAR;
        case '!':
            return flags & HTTP_KEEP_EXCLAMATION;
        case '#':
            return flags & HTTP_KEEP_HASH;
        case '$':
            return flags & HTTP_KEEP_DOLLAR;
        case '&':
            return flags & HTTP_KEEP_AMPERSAND;
        case '+':
            return flags & HTTP_KEEP_PLUS;
        case ',':
            return flags & HTTP_KEEP_COMMA;
        case ';':
            return flags & HTTP_KEEP_SEMICOLON;
        case '=':
            return flags & HTTP_KEEP_EQUALS;
        case '?':
            return flags & HTTP_KEEP_QUESTION;
        case '@':
            return flags & HTTP_KEEP_AT;
        default:
            return false;
    }
}

template <class OutputIterator>
void copy_text(const char* s, OutputIterator& out) {
    for (; *s; ++s)
        *out++ = *s;
}
}  // namespace qorm_detail

// Writes text percent-encoded through out (advanced in place when it is an
// lvalue). False (nothing written) for a null or empty text.
template <class OutputIterator>
bool http_encode_string_i(const char* text, unsigned flags, OutputIterator&& out) {
    if (text == nullptr || *text == 0)
        return false;
    const char* hex = (flags & HTTP_ENCODE_UPPER_HEX) ? "0123456789ABCDEF" : "0123456789abcdef";
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (qorm_detail::http_kept_literal(c, flags)) {
            *out++ = static_cast<char>(c);
        } else if (c == ' ' && (flags & HTTP_ENCODE_SPACE_PLUS)) {
            *out++ = '+';
        } else {
            *out++ = '%';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 0xF];
        }
    }
    return true;
}

// Appends name=value pairs, "&" between them. Values are always encoded,
// so no value can add a parameter or cut the query, whatever encode_value
// says (kept for callers' sake).
template <class OutputIterator>
class HTTP_Query_String_Builder_T {
public:
    // sep true: the query already holds pairs, the first one gets "&".
    explicit HTTP_Query_String_Builder_T(OutputIterator iter, bool sep = false)
        : iter_(iter), sep_(sep) {}

    // A null or empty name writes nothing; a null value writes the bare
    // name, an empty one "name=".
    HTTP_Query_String_Builder_T& operator()(const char* name, const char* value,
                                            bool encode_name = true, bool encode_value = true,
                                            const char* prefix = nullptr) {
        (void)encode_value;
        if (name == nullptr || *name == 0)
            return *this;
        if (sep_)
            *iter_++ = '&';
        else
            sep_ = true;
        if (encode_name) {
            if (prefix && *prefix)
                http_encode_string_i(prefix, HTTP_ENCODE_QUERY, iter_);
            http_encode_string_i(name, HTTP_ENCODE_QUERY, iter_);
        } else {
            if (prefix)
                qorm_detail::copy_text(prefix, iter_);
            qorm_detail::copy_text(name, iter_);
        }
        if (value) {
            *iter_++ = '=';
            http_encode_string_i(value, HTTP_ENCODE_QUERY, iter_);
        }
        return *this;
    }

private:
    OutputIterator iter_;
    bool sep_;
};

#endif
