// A fresh HOST_ROOT per test: nothing a test writes leaves its directory.
#ifndef TESTS_SUPPORT_TEMP_ROOT_H
#define TESTS_SUPPORT_TEMP_ROOT_H

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

class Temp_Root {
public:
    Temp_Root() {
        char tmpl[] = "/tmp/smartx-test-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        if (!dir)
            throw std::runtime_error("mkdtemp failed");
        path_ = dir;
        ::setenv("HOST_ROOT", path_.c_str(), 1);
        ::setenv("COMPONENT", "smartx", 1);
    }
    ~Temp_Root() {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << path_;
    }
    Temp_Root(const Temp_Root&) = delete;
    Temp_Root& operator=(const Temp_Root&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

#endif
