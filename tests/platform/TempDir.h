// A private folder for one test, removed with everything in it afterwards.
#pragma once

#include "platform/FileSystem.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace testutil {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/dl-platform-XXXXXX";
        if (!mkdtemp(templ.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() { platform::removePath(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace testutil
