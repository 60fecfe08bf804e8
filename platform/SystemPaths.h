// Fixed system paths, read under an optional root prefix so that tests and the
// demo run in a private tree and never touch the real system.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// $DIALLEDGER_SYSROOT without trailing slashes; empty when unset (the real root).
std::string systemRoot();
// An absolute system path under the root prefix: systemPath("/var/run/pppconfd").
std::string systemPath(std::string_view absolutePath);

inline constexpr std::string_view kControllerSocketPath = "/var/run/pppconfd";
inline constexpr std::string_view kPreferencesPlistPath =
    "/Library/Preferences/SystemConfiguration/preferences.plist";
inline constexpr std::string_view kPreferencesXmlPath =
    "/var/db/SystemConfiguration/preferences.xml";

} // namespace platform
