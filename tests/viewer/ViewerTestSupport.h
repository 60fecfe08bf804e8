// A private home for viewer core tests: the connection logs live in its
// application-support folder, and dates are shown in a fixed time zone.
#pragma once

#include "platform/FileSystem.h"
#include "viewer/DLConnections.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

namespace viewertest {

inline const std::string kFixtures = std::string(DL_FIXTURES_DIR) + "/viewer";

inline std::string fixtureText(const std::string& name) {
    std::string bytes;
    EXPECT_TRUE(platform::readFile(kFixtures + "/" + name, bytes)) << name;
    return bytes;
}

inline void setTimeZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

class HomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "dl-viewer-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        setenv("HOME", home_.c_str(), 1);
        setenv("DIALLEDGER_SYSROOT", home_.c_str(), 1);
        setTimeZone("UTC");
        folder_ = DLConnections::logFolder();
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    // Puts a fixture log in place as the log of a service ID.
    std::string installLog(const std::string& fixture, const std::string& serviceID) {
        std::string path = folder_ + "/" + serviceID;
        std::filesystem::copy_file(kFixtures + "/" + fixture, path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    std::string home_;
    std::string folder_;
};

} // namespace viewertest
