// A network preferences file, as any bytes, through every query of the
// preferences reader. The names asked for are the ones the file itself holds
// (location and port names), plus a few that it may or may not.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "netconfig/DLConfiguration.h"
#include "platform/SystemPaths.h"

namespace {

// Enough names to reach every branch; a file with hundreds of locations adds
// nothing but time.
constexpr size_t kMaxNames = 16;

const std::string* stringAt(const platform::Dictionary* dict, std::string_view key) {
    if (!dict)
        return nullptr;
    const platform::Value* value = dict->find(key);
    return value ? value->asString() : nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string file = [] {
        fuzzsupport::PrivateRoot::instance();
        std::string path = platform::systemPath(
            DLConfiguration::preferencesPathForSystemVersion(DLConfiguration::systemVersion()));
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return path;
    }();
    fuzzsupport::writeBytes(file, std::string_view(reinterpret_cast<const char*>(data), size));
    DLConfiguration::reload();

    (void)DLConfiguration::networkPreferences();
    const platform::Dictionary* sets = DLConfiguration::configurations();
    const platform::Dictionary* active = DLConfiguration::activeConfiguration();
    const auto activeName = DLConfiguration::activeConfigurationName();
    if (active && sets) {
        bool member = false;
        for (const auto& [id, location] : *sets)
            member = member || location.asDictionary() == active;
        FUZZ_CHECK(member, "the active location is not one of the sets");
    }
    FUZZ_CHECK(!activeName || active, "a name for an active location that does not exist");

    std::vector<std::string> names = {"", "Automatic"};
    if (activeName)
        names.push_back(*activeName);
    if (sets) {
        for (const auto& [id, location] : *sets) {
            if (names.size() >= kMaxNames)
                break;
            if (const std::string* name = stringAt(location.asDictionary(), "UserDefinedName"))
                names.push_back(*name);
        }
    }

    const platform::Dictionary all = DLConfiguration::ports();
    for (const std::string& name : names) {
        const platform::Dictionary* location = DLConfiguration::configurationNamed(name);
        const platform::Dictionary ports = DLConfiguration::portsForConfigurationName(name);
        const auto portNames = DLConfiguration::portsNamesForConfigurationName(name);
        FUZZ_CHECK(location || ports.empty(), "ports for a location that does not exist");
        FUZZ_CHECK(portNames.size() <= ports.size(), "more port names than ports");
        for (const auto& [serviceID, service] : ports)
            FUZZ_CHECK(all.contains(serviceID), "a location's port that is not a PPP port");

        std::set<std::string> asked;
        for (const std::string& portName : portNames) {
            if (asked.size() >= kMaxNames || !asked.insert(portName).second)
                continue;
            const auto key = DLConfiguration::keyForPortName(portName, name);
            FUZZ_CHECK(key.has_value(), "a listed port name without a service");
            const platform::Value* service = ports.find(*key);
            FUZZ_CHECK(service, "the service of a port name is not among the location's ports");
            const std::string* serviceName = stringAt(service->asDictionary(), "UserDefinedName");
            FUZZ_CHECK(serviceName && *serviceName == portName,
                       "the service found has another name");
        }
        (void)DLConfiguration::keyForPortName("no such port", name);
    }

    const platform::Dictionary current = DLConfiguration::currentServices();
    for (const auto& [serviceID, empty] : current)
        FUZZ_CHECK(all.contains(serviceID), "a current service that is not a PPP port");
    DLConfiguration::debug();
    return 0;
}
