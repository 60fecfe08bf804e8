// Reader of the system's stored network preferences: the locations (sets), the
// active one, the PPP ports of a location and the service ID behind a port name.
// It only reads; the file belongs to the operating system.
#pragma once

#include "platform/Plist.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DLConfiguration {
public:
    // The process-wide reader; the first call reads the preferences file.
    static DLConfiguration& instance();

    // Re-reads the preferences file; everything handed out before (the sets
    // dictionary, location dictionaries) is replaced.
    static void reload();

    // The loaded root dictionary, or nullptr when the file was missing or not a
    // dictionary property list.
    static const platform::Dictionary* networkPreferences();
    // "Sets": set ID -> location.
    static const platform::Dictionary* configurations();
    static const platform::Dictionary* activeConfiguration();
    static std::optional<std::string> activeConfigurationName();
    // The first location whose "UserDefinedName" equals the name.
    static const platform::Dictionary* configurationNamed(std::string_view name);

    // Service ID -> service, for every PPP service of the machine.
    static platform::Dictionary ports();
    // Service ID -> service, for the PPP services of one location; empty when
    // there is no such location.
    static platform::Dictionary portsForConfigurationName(std::string_view name);
    // Names of that location's ports, in the order of portsForConfigurationName.
    // A port without a name has nothing to show and is left out.
    static std::vector<std::string> portsNamesForConfigurationName(std::string_view name);
    // Service ID of the first port of the location with that name.
    static std::optional<std::string> keyForPortName(std::string_view portName,
                                                     std::string_view configurationName);

    // Diagnostics: service ID -> empty dictionary for the active location's
    // ports, logging each key and the count.
    static platform::Dictionary currentServices();
    static void debug();

    // Which preferences file a system of this version keeps: older systems (minor
    // version 0-2) the ".xml" one, every later one and a system whose version
    // cannot be told the ".plist" one. Returns the absolute path, without the
    // system root prefix.
    static std::string_view preferencesPathForSystemVersion(std::optional<uint32_t> versionWord);
    // The system version as a BCD word (0x1039 is 10.3.9); this platform has no
    // such query, so it always fails.
    static std::optional<uint32_t> systemVersion();

    DLConfiguration(const DLConfiguration&) = delete;
    DLConfiguration& operator=(const DLConfiguration&) = delete;

private:
    DLConfiguration();
    void load();
    // PPP services that belong to one location (nullptr: none).
    static platform::Dictionary portsOfLocation(const platform::Dictionary* location);

    std::optional<platform::Dictionary> networkPreferences_;
};
