#include "controller/ImportPeers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <dirent.h>
#include <sys/stat.h>

#include "controller/PppdLinks.h"
#include "netconfig/DLConfiguration.h"
#include "platform/FileSystem.h"
#include "platform/SystemPaths.h"

namespace controller {

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Files that sit in the peers folder without being peers anybody calls.
bool isLeftover(std::string_view name) {
    if (name.back() == '~')
        return true;
    for (std::string_view suffix :
         {".bak", ".orig", ".old", ".swp", ".rpmnew", ".rpmsave", ".rpmorig", ".dpkg-old",
          ".dpkg-new", ".dpkg-dist", ".dpkg-tmp", ".ucf-old", ".ucf-new", ".ucf-dist"})
        if (endsWith(name, suffix))
            return true;
    return false;
}

// The dictionary under the key, made when missing; nothing when the key holds
// something else. Making a key may move the parent's other values, so every
// key of a parent is made before any of them is looked up.
Dictionary* dictionaryIn(Dictionary& parent, const std::string& key) {
    if (!parent.contains(key))
        parent.set(key, Value(Dictionary{}));
    return parent.find(key)->asDictionary();
}

void makeKeys(Dictionary& parent, std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        if (!parent.contains(key))
            parent.set(key, Value(Dictionary{}));
}

const std::string* stringIn(const Dictionary* d, std::string_view key) {
    const Value* v = d ? d->find(key) : nullptr;
    return v ? v->asString() : nullptr;
}

bool isPPPService(const Value& service) {
    const Dictionary* d = service.asDictionary();
    const Value* interface = d ? d->find("Interface") : nullptr;
    const std::string* type = interface ? stringIn(interface->asDictionary(), "Type") : nullptr;
    return type && *type == "PPP";
}

std::string preferencesFile() {
    return platform::systemPath(
        DLConfiguration::preferencesPathForSystemVersion(DLConfiguration::systemVersion()));
}

bool makeFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = slash == std::string::npos ? folder : folder.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return platform::isDirectory(folder);
    }
}

} // namespace

std::vector<std::string> listPeers(const std::string& folder, std::vector<std::string>& skipped) {
    std::vector<std::string> peers;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return peers;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (name.front() == '.' || !isSafeLinkName(name) || isLeftover(name)) {
            skipped.push_back(name);
            continue;
        }
        peers.push_back(name);
    }
    ::closedir(dir);
    std::sort(peers.begin(), peers.end());
    std::sort(skipped.begin(), skipped.end());
    return peers;
}

bool addPeers(Dictionary& preferences, const std::vector<std::string>& peers,
              const std::function<std::string()>& newSetID, PeerImport& result,
              std::string& error) {
    // Work on a copy so that a refusal half-way leaves the caller's untouched.
    Dictionary prefs = preferences;
    result = PeerImport{};

    makeKeys(prefs, {"NetworkServices", "Sets"});
    Dictionary* services = dictionaryIn(prefs, "NetworkServices");
    Dictionary* sets = dictionaryIn(prefs, "Sets");
    if (!services || !sets) {
        error = "\"NetworkServices\" and \"Sets\" must be dictionaries";
        return false;
    }

    std::string setID;
    for (const auto& [id, set] : *sets) {
        const std::string* name = stringIn(set.asDictionary(), "UserDefinedName");
        if (name && *name == kAutomaticLocation) {
            setID = id;
            break;
        }
    }
    if (setID.empty()) {
        do
            setID = newSetID();
        while (setID.empty() || sets->contains(setID));
        Dictionary location;
        location.set("UserDefinedName", Value(kAutomaticLocation));
        sets->set(setID, Value(std::move(location)));
        result.createdLocation = true;
    }
    result.locationID = setID;
    Dictionary* location = sets->find(setID)->asDictionary();
    Dictionary* network = location ? dictionaryIn(*location, "Network") : nullptr;
    const bool hadService = network && network->contains("Service");
    if (network)
        makeKeys(*network, {"Service", "Global"});
    Dictionary* members = network ? dictionaryIn(*network, "Service") : nullptr;
    Dictionary* global = network ? dictionaryIn(*network, "Global") : nullptr;
    Dictionary* ipv4 = global ? dictionaryIn(*global, "IPv4") : nullptr;
    if (!members || !ipv4) {
        error = "the location \"" + std::string(kAutomaticLocation) + "\" (" + setID +
                ") is not made of dictionaries";
        return false;
    }
    if (!ipv4->contains("ServiceOrder")) {
        // Without an order the location's services are all of its members; an
        // order holding only the peers would hide the others.
        Array order;
        if (hadService)
            for (const std::string& id : members->keys())
                order.emplace_back(id);
        ipv4->set("ServiceOrder", Value(std::move(order)));
    }
    Array* order = ipv4->find("ServiceOrder")->asArray();
    if (!order) {
        error = "the service order of \"" + std::string(kAutomaticLocation) + "\" is not a list";
        return false;
    }

    bool changed = result.createdLocation;
    for (const std::string& peer : peers) {
        if (const Value* existing = services->find(peer)) {
            if (!isPPPService(*existing)) {
                result.conflicts.push_back(peer);
                continue;
            }
        } else {
            Dictionary interface;
            interface.set("Type", Value("PPP"));
            Dictionary ppp;
            ppp.set("Peer", Value(peer));
            Dictionary service;
            service.set("UserDefinedName", Value(peer));
            service.set("Interface", Value(std::move(interface)));
            service.set("PPP", Value(std::move(ppp)));
            services->set(peer, Value(std::move(service)));
            result.added.push_back(peer);
            changed = true;
        }
        bool joined = false;
        if (!members->contains(peer)) {
            Dictionary link;
            link.set("__LINK__", Value("/NetworkServices/" + peer));
            members->set(peer, Value(std::move(link)));
            joined = true;
        }
        bool ordered = std::any_of(order->begin(), order->end(), [&](const Value& v) {
            return v.asString() && *v.asString() == peer;
        });
        if (!ordered) {
            order->emplace_back(peer);
            joined = true;
        }
        if (joined) {
            changed = true;
            if (result.added.empty() || result.added.back() != peer)
                result.joined.push_back(peer);
        }
    }

    // A reference that names no location leaves none active.
    const std::string* current = stringIn(&prefs, "CurrentSet");
    bool active = false;
    if (current && !current->empty()) {
        size_t slash = current->find_last_of('/');
        std::string id = slash == std::string::npos ? *current : current->substr(slash + 1);
        active = !id.empty() && sets->contains(id);
    }
    if (!active) {
        prefs.set("CurrentSet", Value("/Sets/" + setID));
        result.activatedLocation = true;
        changed = true;
    }

    result.changed = changed;
    if (changed)
        preferences = std::move(prefs);
    return true;
}

std::string randomSetID() {
    unsigned char bytes[16] = {};
    std::ifstream random("/dev/urandom", std::ios::binary);
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (!random) {
        // No random device: the clock still makes the ID unlikely to repeat.
        auto t = std::chrono::system_clock::now().time_since_epoch().count();
        std::memcpy(bytes, &t, std::min(sizeof t, sizeof bytes));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    std::string id;
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        id += hex;
    }
    return id;
}

int importPeers(std::string& report) {
    const std::string peersFolder = platform::systemPath("/etc/ppp/peers");
    const std::string path = preferencesFile();
    if (!platform::isDirectory(peersFolder)) {
        report = "pppconfd: there is no peers folder " + peersFolder + "\n";
        return 1;
    }
    std::vector<std::string> skipped;
    std::vector<std::string> peers = listPeers(peersFolder, skipped);
    for (const std::string& name : skipped)
        report += "pppconfd: skipped the peer file \"" + name + "\"\n";

    Dictionary preferences;
    if (platform::pathExists(path)) {
        auto read = platform::readDictionaryFile(path);
        if (!read) {
            // Never replace a file we cannot read: it may hold everything.
            report += "pppconfd: " + path + " is not a readable property list; nothing changed\n";
            return 1;
        }
        preferences = std::move(*read);
    }

    PeerImport result;
    std::string error;
    if (!addPeers(preferences, peers, randomSetID, result, error)) {
        report += "pppconfd: " + path + ": " + error + "; nothing changed\n";
        return 1;
    }
    for (const std::string& id : result.conflicts)
        report += "pppconfd: the service " + id + " exists and is not a PPP service; left alone\n";
    if (!result.changed) {
        report += "pppconfd: " + path + " already holds all " + std::to_string(peers.size()) +
                  " peer(s)\n";
        return 0;
    }
    const std::string* current = stringIn(&preferences, "CurrentSet");
    const bool automaticActive =
        current && current->substr(current->find_last_of('/') + 1) == result.locationID;
    std::string folder = path.substr(0, path.find_last_of('/'));
    if (!makeFolders(folder) || !platform::writeXmlFile(path, Value(std::move(preferences)))) {
        report += "pppconfd: cannot write " + path + ": " + std::strerror(errno) + "\n";
        return 1;
    }
    for (const std::string& id : result.added)
        report += "pppconfd: added the PPP service " + id + "\n";
    for (const std::string& id : result.joined)
        report += "pppconfd: put the service " + id + " into \"" + kAutomaticLocation + "\"\n";
    if (result.createdLocation)
        report += std::string("pppconfd: created the location \"") + kAutomaticLocation + "\"\n";
    if (result.activatedLocation)
        report +=
            std::string("pppconfd: made \"") + kAutomaticLocation + "\" the active location\n";
    report += "pppconfd: wrote " + path + "\n";
    if (!automaticActive) {
        // The agent records the links of the active location only.
        report += std::string("pppconfd: the active location is not \"") + kAutomaticLocation +
                  "\"; its links are recorded once it is\n";
    }
    return 0;
}

} // namespace controller
