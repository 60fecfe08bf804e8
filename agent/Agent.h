// The agent's entry: command line, detaching, the configuration-store watch,
// the connection watcher and the run loop.
#pragma once

#include "platform/ConfigStore.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class PPPObserver;

class Agent {
public:
    static constexpr const char* kVersion = "0.2";
    static constexpr const char* kStoreName = "dialledger";

    // The whole program; returns the exit status.
    static int main(int argc, char** argv);

    // Opens `configStore` on the two watched keys and adds its source to the
    // main run loop. False (with one log line) when any step fails.
    static bool setUpConfigWatch();
    // The store's change callback.
    static void configChanged(platform::ConfigStore& store,
                              const std::vector<std::string>& changedKeys, void* info);
    // What configChanged does, with the watcher and the poster given.
    static void handleConfigChange(const std::vector<std::string>& changedKeys,
                                   PPPObserver& observer,
                                   const std::function<void(std::string_view)>& post);

    // The open session, or nullptr when it could not be set up.
    static platform::ConfigStore* configStore();
    // Releases the session (the end of main; tests).
    static void tearDownConfigWatch();
};
