// The system configuration store as the agent sees it: a named session with a
// change callback, a set of exact keys to watch, a run-loop source and a value
// query. Values are derived on demand:
//   "Setup:/Network/Global/IPv4"        {"ServiceOrder": [service IDs]} of the
//                                         active set of the network preferences
//   "Setup:/Network/Service/<id>/PPP"   the PPP dictionary of a PPP service of
//                                         the active set (empty when it has none)
//   "State:/Network/Interface"          {"Interfaces": [names]} from the kernel
// Changes are noticed through inotify on the preferences file's folder and
// rtnetlink link events; after each batch of events the watched keys are
// recomputed and those whose values changed are reported in one callback.
#pragma once

#include "Plist.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class RunLoop;

inline constexpr std::string_view kInterfaceStateKey = "State:/Network/Interface";
inline constexpr std::string_view kGlobalIPv4Key = "Setup:/Network/Global/IPv4";
// The key of a service's PPP setup: "Setup:/Network/Service/<id>/PPP".
std::string servicePPPKey(std::string_view serviceID);

class ConfigStore {
public:
    // Called on the run loop with the watched keys whose values changed since
    // the last call, in the order they were given to setNotificationKeys.
    using Callback = std::function<void(ConfigStore& store,
                                        const std::vector<std::string>& changedKeys, void* info)>;
    using InterfaceProvider = std::function<std::vector<std::string>()>;

    // Opens a session. Nothing when no session can be made.
    static std::unique_ptr<ConfigStore> create(std::string name, Callback callback,
                                               void* info = nullptr);

    ~ConfigStore();
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    const std::string& name() const;

    // Replaces the watched keys (exact keys, no patterns). Refused (false) for an
    // empty key. Their current values become the base that later changes are
    // measured against.
    bool setNotificationKeys(std::vector<std::string> keys);
    const std::vector<std::string>& notificationKeys() const;

    // Opens the change sources (inotify, rtnetlink) and adds them to the loop.
    // False when the file watch cannot be made; without rtnetlink the session
    // still watches the preferences and logs one line.
    bool addToRunLoop(RunLoop& loop);
    // Takes the change sources off the loop and closes them.
    void removeFromRunLoop();
    bool scheduled() const;

    // The key's current value; nothing when the key has none.
    std::optional<Value> copyValue(std::string_view key) const;

    // Recomputes the watched keys at once and reports the changed ones in one
    // callback (nothing is called when none changed). The change sources call
    // it after each batch of events; tests call it directly.
    void recompute();

    // Replaces the kernel's interface list (tests); an empty provider restores
    // the kernel's.
    void setInterfaceProvider(InterfaceProvider provider);
    // The network preferences file the Setup: keys are derived from.
    std::string preferencesPath() const;

    // The kernel's network interface names, in index order.
    static std::vector<std::string> kernelInterfaces();

private:
    ConfigStore(std::string name, Callback callback, void* info);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
