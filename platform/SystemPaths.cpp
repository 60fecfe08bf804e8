#include "platform/SystemPaths.h"

#include <cstdlib>

namespace platform {

std::string systemRoot() {
    const char* root = std::getenv("DIALLEDGER_SYSROOT");
    std::string r = root ? root : "";
    while (!r.empty() && r.back() == '/')
        r.pop_back();
    return r;
}

std::string systemPath(std::string_view absolutePath) {
    std::string root = systemRoot();
    if (!absolutePath.empty() && absolutePath.front() != '/')
        root += '/';
    return root + std::string(absolutePath);
}

} // namespace platform
