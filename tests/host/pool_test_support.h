// A storage pool directory under a test's HOST_ROOT, and file helpers.
#ifndef TESTS_HOST_POOL_TEST_SUPPORT_H
#define TESTS_HOST_POOL_TEST_SUPPORT_H

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "host/client_io.h"
#include "support/temp_root.h"

class Pool_Dir {
public:
    Pool_Dir() : dir_(root_.file("pool")) {
        if (::mkdir(dir_.c_str(), 0750) != 0)
            throw std::runtime_error("mkdir pool");
        Client_IO::clear_faults();
    }
    ~Pool_Dir() { Client_IO::clear_faults(); }

    const Temp_Root& root() const { return root_; }
    const std::string& dir() const { return dir_; }
    std::string url() const { return "file://" + dir_; }
    std::string path(const std::string& file) const { return dir_ + "/" + file; }

    // Every regular file below the pool, hidden ones included, as sorted
    // relative names.
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir_))
            if (e.symlink_status().type() != std::filesystem::file_type::directory)
                out.push_back(e.path().lexically_relative(dir_).string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    Temp_Root root_;
    std::string dir_;
};

inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void put_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

#endif
