// Makes the network preferences know the machine's pppd peers: one PPP
// service per file in /etc/ppp/peers, all in the location "Automatic".
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Plist.h"

namespace controller {

inline constexpr const char* kAutomaticLocation = "Automatic";

struct PeerImport {
    std::vector<std::string> added;     // services created
    std::vector<std::string> joined;    // existing services put into the location
    std::vector<std::string> conflicts; // IDs held by a service that is not PPP
    std::string locationID;             // the set ID of "Automatic"
    bool createdLocation = false;
    bool activatedLocation = false;
    bool changed = false;
};

// The peer files of a folder that can be called by name, sorted: regular
// files (or links to them) whose names are plain words. Hidden files, editor
// and package-manager leftovers and names pppd would take for an option are
// listed in `skipped`.
std::vector<std::string> listPeers(const std::string& folder, std::vector<std::string>& skipped);

// Adds the peers to the preferences in memory. Services and locations that
// exist are kept as they are; the location "Automatic" is made when missing
// (with an ID from `newSetID`) and becomes the active one when none is.
// False, with `error`, when the preferences hold something of the wrong kind
// where the location's services go: nothing is changed then.
bool addPeers(platform::Dictionary& preferences, const std::vector<std::string>& peers,
              const std::function<std::string()>& newSetID, PeerImport& result, std::string& error);

// A fresh set ID: a random UUID in upper case.
std::string randomSetID();

// The whole command: reads /etc/ppp/peers and the preferences file under the
// system root and writes the file back (by atomic replace) when it changes.
// Returns the process exit code; `report` holds the lines to print.
int importPeers(std::string& report);

} // namespace controller
