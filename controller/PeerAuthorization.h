// Who may bring links up and down: root, and the members of the group that
// owns the modems ("dip"). Everyone may read status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace controller {

inline constexpr const char* kDialOutGroup = "dip";

// The decision alone, from the peer's user and group IDs, the groups its user
// belongs to, and the dial-out group's ID (nothing when the system has none).
bool mayControlLinks(uid_t uid, gid_t gid, const std::vector<gid_t>& memberOf,
                     std::optional<gid_t> dialOutGroup);

// The groups of the user's account (primary and supplementary); just the
// given primary group when the account is unknown.
std::vector<gid_t> groupsOfUser(uid_t uid, gid_t primary);
// A group's ID by name; nothing when there is no such group.
std::optional<gid_t> groupID(const std::string& name);

// The decision for a socket peer, looking the groups up.
bool peerMayControlLinks(uid_t uid, gid_t gid);

} // namespace controller
