// Shared by the window and launcher tests: a private system root and home,
// stand-in agent bundles, and small waits with a deadline.
#pragma once

#include "platform/FileSystem.h"
#include "platform/Plist.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace apptest {

namespace fs = std::filesystem;

// A temporary folder holding the system root and the home of one test.
class PrivateTree {
public:
    PrivateTree() {
        std::string pattern = (fs::temp_directory_path() / "dl-app-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            ADD_FAILURE() << "mkdtemp failed";
        base_ = pattern;
        fs::create_directories(root());
        fs::create_directories(home());
        setenv("DIALLEDGER_SYSROOT", root().c_str(), 1);
        setenv("HOME", home().c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    ~PrivateTree() {
        std::error_code ec;
        fs::remove_all(base_, ec);
    }
    PrivateTree(const PrivateTree&) = delete;
    PrivateTree& operator=(const PrivateTree&) = delete;

    const std::string& base() const { return base_; }
    std::string root() const { return base_ + "/root"; }
    std::string home() const { return base_ + "/home"; }
    std::string logFolder() const { return home() + "/Library/Application Support/Dial Ledger"; }

private:
    std::string base_;
};

inline void writeText(const std::string& path, const std::string& text, bool executable = false) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    if (executable)
        ::chmod(path.c_str(), 0755);
}

inline std::string readText(const std::string& path) {
    std::string text;
    platform::readFile(path, text);
    return text;
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A stand-in agent bundle: "<folder>/Dial Ledger.app/dialledger", a script that
// notes each start (its pid, session and standard streams) in `marker` and,
// when `posts` is set, posts the started notification like the real agent.
inline std::string makeStandInBundle(const std::string& folder, const std::string& marker,
                                     bool posts) {
    const std::string bundle = folder + "/Dial Ledger.app";
    std::string script =
        "#!/bin/sh\n"
        "m='" +
        marker +
        "'\n"
        "echo \"start $$ $(cut -d' ' -f6 /proc/$$/stat)\" >> \"$m\"\n"
        "echo \"argv0 $0\" >> \"$m\"\n"
        "for fd in 0 1 2; do echo \"fd$fd $(readlink /proc/$$/fd/$fd)\" >> \"$m\"; done\n";
    if (posts)
        script += std::string("exec '") + DL_TEST_POSTER + "' Dial_Ledger.daemon_started\n";
    writeText(bundle + "/dialledger", script, true);
    return bundle;
}

// Runs `step` until `done` holds or the deadline passes; true when it held.
inline bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        step();
    }
    return true;
}

// Runs the poster helper and waits for it: the notifications have left when it returns.
inline int post(const std::vector<std::string>& names) {
    std::string command = std::string("'") + DL_TEST_POSTER + "'";
    for (const auto& n : names)
        command += " '" + n + "'";
    return std::system(command.c_str());
}

// A connection record as the agent writes it.
inline platform::Value record(int64_t date, uint32_t seconds, uint32_t in, uint32_t out) {
    platform::Dictionary d;
    d.set("date", platform::Value(platform::Date{date}));
    d.set("timeElapsed", platform::Value(seconds));
    d.set("inBytes", platform::Value(in));
    d.set("outBytes", platform::Value(out));
    return platform::Value(std::move(d));
}

} // namespace apptest
