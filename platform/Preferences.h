// User preferences domains: one XML property list per domain at
// ~/Library/Preferences/<domain>.plist, written on synchronize.
#pragma once

#include "Plist.h"

#include <optional>
#include <string>

namespace platform {

class Preferences {
public:
    // Reads the domain from disk; a missing or unreadable file reads as empty.
    explicit Preferences(std::string domain);

    const Value* value(std::string_view key) const { return values_.find(key); }
    void setValue(std::string key, Value value) { values_.set(std::move(key), std::move(value)); }
    void removeValue(std::string_view key) { values_.erase(key); }
    // Writes the domain to disk (creating ~/Library/Preferences when needed).
    bool synchronize() const;

    const std::string& domain() const { return domain_; }
    std::string filePath() const;

private:
    std::string domain_;
    Dictionary values_;
};

} // namespace platform
