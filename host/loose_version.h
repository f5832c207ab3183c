// Dotted version numbers ("3.0.0", "4.1.2-rc1") compared part by part.
#ifndef HOST_LOOSE_VERSION_H
#define HOST_LOOSE_VERSION_H

#include <string>
#include <vector>

class Loose_Version {
public:
    Loose_Version() = default;
    // Parses text; a text that does not parse leaves the version empty.
    explicit Loose_Version(const char* text);
    explicit Loose_Version(const std::string& text) : Loose_Version(text.c_str()) {}

    // Reads numbers separated by "." from the start of the text, up to the
    // first other character ("4.1.2-rc1" is 4.1.2). False (and empty) when the
    // text is null, does not start with a digit or a part overflows int.
    bool parse(const char* text);
    bool parse(const std::string& text) { return parse(text.c_str()); }

    // Negative, zero or positive; missing trailing parts count as 0, so 3.0
    // equals 3.0.0.
    int compare(const Loose_Version& other) const;

    explicit operator bool() const { return !values_.empty(); }
    // Dotted text; empty for an empty version.
    std::string str() const;
    const std::vector<int>& values() const { return values_; }

private:
    std::vector<int> values_;
};

#endif
