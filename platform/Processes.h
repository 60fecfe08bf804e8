// The current user's processes, from /proc.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

struct ProcessInfo {
    pid_t pid = 0;
    // Last path component of the program the process runs.
    std::string commandName;
};

// Processes whose effective user is this process's effective user, in /proc order.
std::vector<ProcessInfo> currentUserProcesses();
// The command name of one process (any user), or empty when it cannot be read.
std::string commandNameOf(pid_t pid);

} // namespace platform
