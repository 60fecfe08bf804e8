#include "controller/PeerAuthorization.h"

#include <algorithm>
#include <cerrno>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace controller {

bool mayControlLinks(uid_t uid, gid_t gid, const std::vector<gid_t>& memberOf,
                     std::optional<gid_t> dialOutGroup) {
    if (uid == 0)
        return true;
    if (!dialOutGroup)
        return false;
    return gid == *dialOutGroup ||
           std::find(memberOf.begin(), memberOf.end(), *dialOutGroup) != memberOf.end();
}

std::vector<gid_t> groupsOfUser(uid_t uid, gid_t primary) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    for (;;) {
        int r = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (r == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        break;
    }
    if (!found)
        return {primary};
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            groups.push_back(primary);
            return groups;
        }
        groups.resize(static_cast<size_t>(std::max(count, static_cast<int>(groups.size()) * 2)));
    }
    return {primary, found->pw_gid};
}

std::optional<gid_t> groupID(const std::string& name) {
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    for (;;) {
        int r = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (r == ERANGE && buffer.size() < (1u << 22)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        break;
    }
    if (!found)
        return std::nullopt;
    return found->gr_gid;
}

bool peerMayControlLinks(uid_t uid, gid_t gid) {
    if (uid == 0)
        return true;
    return mayControlLinks(uid, gid, groupsOfUser(uid, gid), groupID(kDialOutGroup));
}

} // namespace controller
