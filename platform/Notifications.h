// Distributed notifications between one user's processes: a D-Bus signal on the
// session bus (path /com/example/dialledger, interface
// com.example.dialledger.Notification, member Posted, one string: the name).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class RunLoop;

class NotificationCenter {
public:
    using Handler = std::function<void()>;

    // The process-wide centre; it connects to the session bus on first use.
    static NotificationCenter& shared();

    // Emits the notification and returns at once. Without a session bus it logs
    // one line (once) and does nothing: the agent keeps recording regardless.
    void post(std::string_view name);
    // Runs the handler on the main thread each time `name` is posted by anyone.
    void observe(const void* observer, std::string name, Handler handler);
    // Stops every observation registered for this observer.
    void removeObserver(const void* observer);

    bool connected() const;
    // The bus connection's fd, for an event loop to watch; -1 without a bus.
    int fd() const;
    // Reads and dispatches everything pending on the bus and flushes what is
    // queued for writing; for loops other than sd-event (Qt's socket notifier).
    void processPending();
    // Attaches the bus to an sd-event loop so that signals are dispatched and
    // posts are flushed from it.
    void attach(RunLoop& loop);

    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;
    ~NotificationCenter();

private:
    NotificationCenter();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The three names the agent and the viewer exchange.
inline constexpr std::string_view kDaemonStarted = "Dial_Ledger.daemon_started";
inline constexpr std::string_view kUpdateUI = "Dial_Ledger.update_UI";
inline constexpr std::string_view kNetworkConfigChange = "Dial_Ledger.network_config_change";

} // namespace platform
