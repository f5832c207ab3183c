// Fixed product paths, resolved under a configurable root so tests and the
// demo never touch the real /opt, /etc or /var.
#ifndef HOST_PATHS_H
#define HOST_PATHS_H

#include <sys/types.h>
#include <string>

// Maps an absolute product path to the local file system: "$COMPONENT" is
// replaced by the COMPONENT environment variable ("smartx" when unset) and the
// result is put under HOST_ROOT (unset or empty: the real root).
std::string host_path(const std::string& absolute);

// Creates a directory and its parents with the given mode; 0 or -1 (errno).
int make_directories(const std::string& path, mode_t mode);

// The host's path composer: <dir template resolved>/<id>/<basename>. With
// create, the directories up to the file are made with dir_mode.
class Path_Conf {
public:
    Path_Conf(const char* dir_template, const char* id, bool create, const char* basename,
              mode_t dir_mode);
    // Directory only: <dir template resolved>, made when create is true.
    Path_Conf(const char* dir_template, bool create, mode_t dir_mode);

    const std::string& str() const { return path_; }
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = true;
};

#endif
