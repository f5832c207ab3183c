#ifndef QORM_PATH_H
#define QORM_PATH_H

#include <string>

// Appends sep unless the path is empty or already ends with it, so that a
// name can follow; an empty path stays empty (a relative name).
inline std::string& path_append_sep(std::string& path, char sep = '/') {
    if (!path.empty() && path.back() != sep)
        path += sep;
    return path;
}

#endif
