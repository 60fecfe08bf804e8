#include "platform/Preferences.h"

#include "platform/FileSystem.h"

namespace platform {

namespace {

// A domain names one file in the preferences folder and nothing else.
bool isValidDomain(const std::string& domain) {
    return !domain.empty() && domain.find('/') == std::string::npos && domain != "." &&
           domain != "..";
}

std::string preferencesFolder() {
    return expandTilde("~/Library/Preferences");
}

} // namespace

Preferences::Preferences(std::string domain) : domain_(std::move(domain)) {
    if (!isValidDomain(domain_))
        return;
    if (auto stored = readDictionaryFile(filePath()))
        values_ = std::move(*stored);
}

std::string Preferences::filePath() const {
    return preferencesFolder() + "/" + domain_ + ".plist";
}

bool Preferences::synchronize() const {
    if (!isValidDomain(domain_))
        return false;
    if (!createDirectory(expandTilde("~/Library")) || !createDirectory(preferencesFolder()))
        return false;
    return writeXmlFile(filePath(), Value(values_));
}

} // namespace platform
