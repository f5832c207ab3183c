// Name filtering by shell wildcards ("*", "?", "[...]"), as the product's
// file-system selections use it.
#ifndef HOST_WILDCARD_FILTER_H
#define HOST_WILDCARD_FILTER_H

#include <string>
#include <vector>

namespace MTF {
class Wildcard_Filter {
public:
    // excludes: a name matching one of them is left out. includes: when not
    // empty, a name must match one of them. separator: the path separator,
    // which a wildcard does not cross. case_sensitive: letters match only
    // their own case.
    Wildcard_Filter(const std::vector<std::string>& excludes,
                    const std::vector<std::string>& includes, char separator, bool case_sensitive);

    // is_directory: the name is a directory (kept for callers that filter
    // trees; names are matched alike).
    bool is_include(const std::string& name, bool is_directory) const;

private:
    bool matches(const std::string& pattern, const std::string& name) const;

    std::vector<std::string> excludes_;
    std::vector<std::string> includes_;
    char separator_;
    bool case_sensitive_;
};
}  // namespace MTF

#endif
