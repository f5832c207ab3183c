// A parameter that takes a C string or a std::string alike.
#ifndef QORM_BASIC_STRING_ARG_H
#define QORM_BASIC_STRING_ARG_H

#include <cstddef>
#include <string>

template <class C>
class Basic_String_Arg {
public:
    Basic_String_Arg(const C* s) : data_(s), size_(s ? std::char_traits<C>::length(s) : 0) {}
    Basic_String_Arg(const std::basic_string<C>& s) : data_(s.c_str()), size_(s.size()) {}

    // Null when made from a null pointer.
    const C* c_str() const { return data_; }
    // Length of the source, embedded NULs included (a std::string may hold
    // some, which c_str() would silently cut off).
    size_t size() const { return size_; }
    bool has_embedded_nul() const { return data_ && std::char_traits<C>::length(data_) != size_; }

private:
    const C* data_;
    size_t size_;
};

typedef Basic_String_Arg<char> String_Arg;

#endif
