#include "platform/Processes.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// The effective uid of a process: the second field of the Uid: line of its
// status file (real, effective, saved, file system). /proc/<pid> itself is
// owned by the effective uid too, except for processes that are not
// dumpable, whose folder belongs to root; the status line is always right.
bool effectiveUidOf(pid_t pid, uid_t& uid) {
    std::string status;
    if (!readFile("/proc/" + std::to_string(pid) + "/status", status, 1 << 16))
        return false;
    size_t at = status.find("\nUid:");
    if (at == std::string::npos)
        return false;
    std::istringstream fields(status.substr(at + 5, 80));
    unsigned long real = 0, effective = 0;
    if (!(fields >> real >> effective))
        return false;
    uid = static_cast<uid_t>(effective);
    return true;
}

} // namespace

std::string commandNameOf(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    char target[PATH_MAX + 1];
    ssize_t n = ::readlink((base + "/exe").c_str(), target, PATH_MAX);
    if (n > 0) {
        std::string exe(target, static_cast<size_t>(n));
        // The kernel marks a program whose file was replaced or removed since
        // it started; the name is still the one it was started as.
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() &&
            exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
            exe.resize(exe.size() - deleted.size());
        size_t slash = exe.find_last_of('/');
        std::string name = slash == std::string::npos ? exe : exe.substr(slash + 1);
        if (!name.empty())
            return name;
    }
    // Kernel threads and other users' processes hide their executable; the
    // short name the kernel keeps is all there is.
    std::string comm;
    if (!readFile(base + "/comm", comm, 4096))
        return std::string();
    while (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return comm;
}

std::vector<ProcessInfo> currentUserProcesses() {
    std::vector<ProcessInfo> out;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return out;
    const uid_t me = ::geteuid();
    while (struct dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        errno = 0;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (errno != 0 || end == entry->d_name || *end != '\0' || pid <= 0)
            continue;
        uid_t uid;
        // A process that ends while we look is simply not listed.
        if (!effectiveUidOf(static_cast<pid_t>(pid), uid) || uid != me)
            continue;
        std::string name = commandNameOf(static_cast<pid_t>(pid));
        if (name.empty())
            continue;
        out.push_back(ProcessInfo{static_cast<pid_t>(pid), std::move(name)});
    }
    ::closedir(proc);
    return out;
}

} // namespace platform
