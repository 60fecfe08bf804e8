// Reads the PPP services of the active location from the configuration store.
#pragma once

#include "platform/ConfigStore.h"
#include "platform/Plist.h"

#include <optional>
#include <string_view>

class PPPServices {
public:
    // Service ID -> empty entry for every PPP service in the active location's
    // service order; nothing when the store has no global IPv4 setup (or no
    // session at all).
    static std::optional<platform::Dictionary> currentServices(const platform::ConfigStore* store);
    // The key's current value in the store; nothing when it has none.
    static std::optional<platform::Value> sysconfigGetValue(const platform::ConfigStore* store,
                                                            std::string_view key);
};
