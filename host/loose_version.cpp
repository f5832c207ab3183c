#include "host/loose_version.h"

#include <climits>

Loose_Version::Loose_Version(const char* text) {
    parse(text);
}

bool Loose_Version::parse(const char* text) {
    values_.clear();
    if (!text)
        return false;
    std::vector<int> parts;
    const char* p = text;
    for (;;) {
        if (*p < '0' || *p > '9')
            break;
        long long n = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            n = n * 10 + (*p - '0');
            if (n > INT_MAX)
                return false;
        }
        parts.push_back(static_cast<int>(n));
        if (*p != '.')
            break;
        ++p;
    }
    if (parts.empty())
        return false;
    values_.swap(parts);
    return true;
}

int Loose_Version::compare(const Loose_Version& other) const {
    const size_t n = values_.size() > other.values_.size() ? values_.size() : other.values_.size();
    for (size_t i = 0; i < n; ++i) {
        int a = i < values_.size() ? values_[i] : 0;
        int b = i < other.values_.size() ? other.values_[i] : 0;
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

std::string Loose_Version::str() const {
    std::string s;
    for (size_t i = 0; i < values_.size(); ++i) {
        if (i)
            s += '.';
        s += std::to_string(values_[i]);
    }
    return s;
}
