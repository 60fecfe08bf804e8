#include "netconfig/DLConfiguration.h"

#include "platform/Log.h"
#include "platform/SystemPaths.h"

namespace {

const platform::Dictionary* dictionaryAt(const platform::Dictionary* dict, std::string_view key) {
    if (!dict)
        return nullptr;
    const platform::Value* value = dict->find(key);
    return value ? value->asDictionary() : nullptr;
}

const std::string* stringAt(const platform::Dictionary* dict, std::string_view key) {
    if (!dict)
        return nullptr;
    const platform::Value* value = dict->find(key);
    return value ? value->asString() : nullptr;
}

// Length in characters, not bytes: a reference written with non-ASCII
// characters must not cross the short-reference limit early.
size_t characterCount(std::string_view text) {
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

// The last path element of a reference such as "/Sets/1234".
std::string_view lastPathElement(std::string_view reference) {
    size_t slash = reference.rfind('/');
    return slash == std::string_view::npos ? reference : reference.substr(slash + 1);
}

bool isPPPService(const platform::Value& service) {
    const platform::Dictionary* interface = dictionaryAt(service.asDictionary(), "Interface");
    const std::string* type = stringAt(interface, "Type");
    return type && *type == "PPP";
}

} // namespace

DLConfiguration::DLConfiguration() {
    load();
}

DLConfiguration& DLConfiguration::instance() {
    static DLConfiguration shared;
    return shared;
}

std::optional<uint32_t> DLConfiguration::systemVersion() {
    return std::nullopt;
}

std::string_view
DLConfiguration::preferencesPathForSystemVersion(std::optional<uint32_t> versionWord) {
    if (!versionWord)
        return platform::kPreferencesPlistPath;
    uint32_t minor = (*versionWord >> 4) & 0xF;
    return minor > 2 ? platform::kPreferencesPlistPath : platform::kPreferencesXmlPath;
}

void DLConfiguration::load() {
    std::string path = platform::systemPath(preferencesPathForSystemVersion(systemVersion()));
    networkPreferences_.reset();
    networkPreferences_ = platform::readDictionaryFile(path);
}

void DLConfiguration::reload() {
    instance().load();
}

const platform::Dictionary* DLConfiguration::networkPreferences() {
    auto& prefs = instance().networkPreferences_;
    return prefs ? &*prefs : nullptr;
}

const platform::Dictionary* DLConfiguration::configurations() {
    return dictionaryAt(networkPreferences(), "Sets");
}

const platform::Dictionary* DLConfiguration::activeConfiguration() {
    const std::string* currentSet = stringAt(networkPreferences(), "CurrentSet");
    std::string_view reference = currentSet ? std::string_view(*currentSet) : std::string_view();
    const platform::Dictionary* sets = configurations();

    // A short reference ("/Sets/0" and the like) means the default set.
    if (characterCount(reference) <= 7)
        return dictionaryAt(sets, "0");

    // Otherwise the active set is one whose ID occurs in the reference. When
    // several do (an ID that is part of another), the one the reference ends
    // with wins, so "/Sets/10" never picks the set "1".
    const platform::Dictionary* found = nullptr;
    if (sets) {
        std::string_view last = lastPathElement(reference);
        for (const auto& [setID, location] : *sets) {
            if (setID == "0" || setID.empty() || reference.find(setID) == std::string_view::npos)
                continue;
            if (setID == last)
                return location.asDictionary();
            if (!found)
                found = location.asDictionary();
        }
    }
    if (!found)
        platform::logLine("Error: Active configuration not found");
    return found;
}

std::optional<std::string> DLConfiguration::activeConfigurationName() {
    const std::string* name = stringAt(activeConfiguration(), "UserDefinedName");
    return name ? std::optional<std::string>(*name) : std::nullopt;
}

const platform::Dictionary* DLConfiguration::configurationNamed(std::string_view name) {
    const platform::Dictionary* sets = configurations();
    if (!sets)
        return nullptr;
    for (const auto& [setID, location] : *sets) {
        const std::string* locationName = stringAt(location.asDictionary(), "UserDefinedName");
        if (locationName && *locationName == name)
            return location.asDictionary();
    }
    return nullptr;
}

platform::Dictionary DLConfiguration::ports() {
    platform::Dictionary result;
    const platform::Dictionary* services = dictionaryAt(networkPreferences(), "NetworkServices");
    if (!services)
        return result;
    for (const auto& [serviceID, service] : *services)
        if (isPPPService(service))
            result.set(serviceID, service);
    return result;
}

platform::Dictionary DLConfiguration::portsOfLocation(const platform::Dictionary* location) {
    platform::Dictionary result;
    const platform::Dictionary* members =
        dictionaryAt(dictionaryAt(location, "Network"), "Service");
    if (!members)
        return result;
    for (auto& [serviceID, service] : ports())
        if (members->contains(serviceID))
            result.set(serviceID, std::move(service));
    return result;
}

platform::Dictionary DLConfiguration::portsForConfigurationName(std::string_view name) {
    return portsOfLocation(configurationNamed(name));
}

std::vector<std::string> DLConfiguration::portsNamesForConfigurationName(std::string_view name) {
    std::vector<std::string> names;
    for (const auto& [serviceID, service] : portsForConfigurationName(name))
        if (const std::string* portName = stringAt(service.asDictionary(), "UserDefinedName"))
            names.push_back(*portName);
    return names;
}

std::optional<std::string> DLConfiguration::keyForPortName(std::string_view portName,
                                                           std::string_view configurationName) {
    for (const auto& [serviceID, service] : portsForConfigurationName(configurationName)) {
        const std::string* name = stringAt(service.asDictionary(), "UserDefinedName");
        if (name && *name == portName)
            return serviceID;
    }
    return std::nullopt;
}

platform::Dictionary DLConfiguration::currentServices() {
    platform::Dictionary result;
    for (const auto& [serviceID, service] : portsOfLocation(activeConfiguration())) {
        platform::logf("key :%s", serviceID.c_str());
        result.set(serviceID, platform::Dictionary{});
    }
    platform::logf("count: %d", static_cast<int>(result.size()));
    return result;
}

void DLConfiguration::debug() {
    auto name = activeConfigurationName();
    platform::logf("Active configuration is: %s", name ? name->c_str() : "(null)");
}
