#include "host/wildcard_filter.h"

#include <fnmatch.h>

namespace MTF {
Wildcard_Filter::Wildcard_Filter(const std::vector<std::string>& excludes,
                                 const std::vector<std::string>& includes, char separator,
                                 bool case_sensitive)
    : excludes_(excludes),
      includes_(includes),
      separator_(separator),
      case_sensitive_(case_sensitive) {}

bool Wildcard_Filter::matches(const std::string& pattern, const std::string& name) const {
    int flags = case_sensitive_ ? 0 : FNM_CASEFOLD;
    // fnmatch knows only '/' as the separator a wildcard may not cross.
    if (separator_ == '/')
        flags |= FNM_PATHNAME;
    return ::fnmatch(pattern.c_str(), name.c_str(), flags) == 0;
}

bool Wildcard_Filter::is_include(const std::string& name, bool) const {
    for (const std::string& p : excludes_)
        if (matches(p, name))
            return false;
    if (includes_.empty())
        return true;
    for (const std::string& p : includes_)
        if (matches(p, name))
            return true;
    return false;
}
}  // namespace MTF
