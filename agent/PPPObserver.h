// The connection watcher: keeps the PPP services of the active location, polls
// the controller for their link status every 3 seconds, and appends one
// connection record to a service's log each time its connection ends.
#pragma once

#include "platform/ConfigStore.h"
#include "platform/Plist.h"
#include "platform/RunLoop.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct ppp_status;

class PPPObserver {
public:
    // What the watcher reaches outside itself. The defaults are the agent's
    // own (controller, configuration store, notification centre, main run
    // loop); tests replace them.
    struct Environment {
        std::function<bool(ppp_status* status, const std::string& serviceID)> getStatus;
        std::function<const platform::ConfigStore*()> store;
        std::function<void(std::string_view name)> post;
        std::function<platform::Date()> now;
        std::function<void(std::chrono::milliseconds)> pause;
        // The loop that runs the 3-second timer; nullptr: no timer.
        platform::RunLoop* loop = nullptr;
        std::FILE* out = stdout;
        static Environment agent();
    };

    static constexpr std::chrono::seconds kPollInterval{3};
    static constexpr std::chrono::milliseconds kReloadPause{500};
    static constexpr uint32_t kPhaseRunning = 8;

    // Makes sure the shared watcher exists.
    static void start();
    // The process-wide watcher, created on the first call with the agent's
    // environment and kept for the life of the process.
    static PPPObserver& sharedInstance();

    // Loads the service list, arms the repeating timer and polls once.
    explicit PPPObserver(Environment env);
    ~PPPObserver();
    PPPObserver(const PPPObserver&) = delete;
    PPPObserver& operator=(const PPPObserver&) = delete;

    // Fills the service table afresh with empty entries.
    void getCurrentServices();
    // One status poll of every service in the table.
    void getStatus();
    // After a change of the global setup: closes with a record the running
    // connections whose services left the service list, pauses, and takes the
    // new list; services still listed keep their entries.
    void reloadServices();
    // Appends one connection record, built from the service's running entry,
    // to its connection log.
    void writeConnection(const std::string& serviceID);
    // Closes every running connection with a record (the agent is ending).
    void closeRunningConnections();

    const platform::Dictionary& currentServices() const { return currentServices_; }
    bool locked() const { return lock_; }

    // "~/Library/Application Support/Dial Ledger", expanded.
    static std::string applicationSupportFolder();
    // False for IDs that must never become a file name: empty, "." or "..",
    // or holding "/" or a NUL.
    static bool isSafeServiceID(std::string_view serviceID);

private:
    void printLine(const char* format, const std::string& serviceID);
    // "<n> service(s) loaded." on standard output, after each load of the list.
    void printLoaded();
    bool ensureFolders();

    Environment env_;
    platform::Dictionary currentServices_;
    bool lock_ = false;
    std::optional<platform::RunLoop::Source> timer_;
};
