// Shared by the fuzz targets: a private system root and home for the whole
// run, a quiet system log, small file helpers and the check that turns a
// broken promise into a crash libFuzzer records.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Log.h"

namespace fuzzsupport {

// Aborts with a message: libFuzzer keeps the input that broke the promise.
#define FUZZ_CHECK(condition, message)                                                             \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz check failed: %s (%s) at %s:%d\n", message, #condition,     \
                         __FILE__, __LINE__);                                                      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// A private root for the life of the process: $DIALLEDGER_SYSROOT and $HOME
// point inside it, so no target ever reads or writes the real system. Kept in
// memory-backed /dev/shm when there is one, since every input writes a file.
class PrivateRoot {
public:
    static PrivateRoot& instance() {
        static PrivateRoot root;
        return root;
    }
    const std::string& path() const { return path_; }
    std::string home() const { return path_ + "/home"; }

private:
    PrivateRoot() {
        std::string base = "/dev/shm";
        if (!std::filesystem::is_directory(base))
            base = std::filesystem::temp_directory_path().string();
        std::string pattern = base + "/dl-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
        std::filesystem::create_directories(home());
        ::setenv("DIALLEDGER_SYSROOT", path_.c_str(), 1);
        ::setenv("HOME", home().c_str(), 1);
        // Messages the code under test logs are part of normal work here;
        // sending each to syslog would only slow the run down.
        platform::setLogSink([](std::string_view) {});
    }
    ~PrivateRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path_;
};

// Writes bytes to a file in place (no atomic replace: this is the fuzzer's
// side, and the fewer system calls per input the more inputs per second).
inline void writeBytes(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr, "cannot write the input file");
    if (!bytes.empty())
        FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(),
                   "short write of the input file");
    FUZZ_CHECK(std::fclose(file) == 0, "cannot close the input file");
}

} // namespace fuzzsupport
