// A fresh HOST_ROOT per test: nothing a test writes leaves its directory.
#ifndef TESTS_SUPPORT_TEMP_ROOT_H
#define TESTS_SUPPORT_TEMP_ROOT_H

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

class Temp_Root {
public:
    Temp_Root() {
        char tmpl[] = "/tmp/smartx-test-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        ::setenv("HOST_ROOT", path_.c_str(), 1);
        ::setenv("COMPONENT", "smartx", 1);
    }
    ~Temp_Root() {
        if (std::system(("rm -rf '" + path_ + "'").c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << path_;
    }
    Temp_Root(const Temp_Root&) = delete;
    Temp_Root& operator=(const Temp_Root&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string text(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

#endif
