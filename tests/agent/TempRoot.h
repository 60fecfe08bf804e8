// A private system root and home for one test: DIALLEDGER_SYSROOT and HOME
// point into a fresh temporary folder that is removed afterwards.
#pragma once

#include "platform/FileSystem.h"
#include "platform/Plist.h"
#include "platform/SystemPaths.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

class TempRoot {
public:
    TempRoot() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/dl-agent-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
        sysroot = path + "/root";
        home = path + "/home";
        ::mkdir(sysroot.c_str(), 0755);
        ::mkdir(home.c_str(), 0755);
        ::setenv("DIALLEDGER_SYSROOT", sysroot.c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
    }
    ~TempRoot() {
        // A test may have left read-only folders behind.
        std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null";
        (void)std::system(cmd.c_str());
        platform::removePath(path);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    std::string preferencesFolder() const {
        return sysroot + "/Library/Preferences/SystemConfiguration";
    }
    std::string preferencesFile() const { return preferencesFolder() + "/preferences.plist"; }
    std::string logFolder() const { return home + "/Library/Application Support/Dial Ledger"; }
    std::string logPath(const std::string& serviceID) const {
        return logFolder() + "/" + serviceID;
    }

    static void makePath(const std::string& dir) {
        std::string cmd = "mkdir -p '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("mkdir -p failed");
    }

    // The network preferences fixture, optionally with another active set.
    static platform::Dictionary fixturePreferences(const std::string& currentSet = "") {
        auto prefs =
            platform::readDictionaryFile(std::string(DL_FIXTURES_DIR) + "/agent/preferences.plist");
        if (!prefs)
            throw std::runtime_error("preferences fixture unreadable");
        if (!currentSet.empty())
            prefs->set("CurrentSet", platform::Value("/Sets/" + currentSet));
        return *prefs;
    }

    void installPreferences(const std::string& currentSet = "") const {
        makePath(preferencesFolder());
        if (!platform::writeXmlFile(preferencesFile(),
                                    platform::Value(fixturePreferences(currentSet))))
            throw std::runtime_error("cannot write preferences");
    }

    std::string path, sysroot, home;
};
