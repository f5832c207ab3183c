#include "host/paths.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>

namespace {
std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(fallback);
}
}  // namespace

std::string host_path(const std::string& absolute) {
    std::string p = absolute;
    const std::string var = "$COMPONENT";
    const std::string component = env_or("COMPONENT", "smartx");
    for (size_t pos = p.find(var); pos != std::string::npos;
         pos = p.find(var, pos + component.size()))
        p.replace(pos, var.size(), component);
    std::string root = env_or("HOST_ROOT", "");
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    if (root.empty() || p.empty() || p[0] != '/')
        return p;
    return root + p;
}

int make_directories(const std::string& path, mode_t mode) {
    if (path.empty()) {
        errno = EINVAL;
        return -1;
    }
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

Path_Conf::Path_Conf(const char* dir_template, const char* id, bool create, const char* basename,
                     mode_t dir_mode) {
    std::string dir = host_path(dir_template ? dir_template : "");
    if (id && *id)
        dir += std::string("/") + id;
    if (create && make_directories(dir, dir_mode) != 0)
        ok_ = false;
    path_ = dir + "/" + (basename ? basename : "");
}

Path_Conf::Path_Conf(const char* dir_template, bool create, mode_t dir_mode) {
    path_ = host_path(dir_template ? dir_template : "");
    if (create && make_directories(path_, dir_mode) != 0)
        ok_ = false;
}
