// pppconfd: the PPP controller daemon. Answers the controller protocol on the
// controller socket for links that come from a link source. Runs in the
// foreground and logs to standard error; a service manager runs it.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "controller/ControllerServer.h"
#include "controller/SimulatedLinks.h"
#include "platform/RunLoop.h"
#include "platform/SystemPaths.h"

namespace {

const char* const kUsage =
    "usage: pppconfd --simulate FILE\n"
    "       pppconfd --help\n"
    "\n"
    "Answers PPP controller requests on %s.\n"
    "  --simulate FILE  play the links described in FILE, a property-list array of\n"
    "                   dictionaries: ServiceID, Interface (strings), DialSeconds,\n"
    "                   InRate, OutRate (integers), StartConnected (boolean),\n"
    "                   AutoConnect (dictionary: Every, Hold in seconds)\n";

const char* phaseName(uint32_t phase) {
    switch (phase) {
    case PPP_IDLE:
        return "idle";
    case PPP_RUNNING:
        return "running";
    default:
        return "dialing";
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string socketPath = platform::systemPath(platform::kControllerSocketPath);
    std::string simulate;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(kUsage, socketPath.c_str());
            return 0;
        }
        if (arg == "--simulate" && i + 1 < argc) {
            simulate = argv[++i];
        } else if (arg.rfind("--simulate=", 0) == 0) {
            simulate = arg.substr(std::strlen("--simulate="));
        } else {
            std::fprintf(stderr, "pppconfd: unknown or incomplete option %s (try --help)\n",
                         arg.c_str());
            return 2;
        }
    }
    if (simulate.empty()) {
        std::fprintf(stderr, "pppconfd: no link source given: use --simulate FILE (try --help)\n");
        return 2;
    }

    std::string error;
    std::unique_ptr<controller::LinkSource> links =
        controller::SimulatedLinks::load(simulate, error);
    if (!links) {
        std::fprintf(stderr, "pppconfd: %s: %s\n", simulate.c_str(), error.c_str());
        return 1;
    }

    // Writes to a client that went away fail with EPIPE; they never end us.
    std::signal(SIGPIPE, SIG_IGN);

    platform::RunLoop& loop = platform::RunLoop::main();
    auto stop = [&loop] { loop.stop(0); };
    platform::RunLoop::Source term = loop.addSignal(SIGTERM, stop);
    platform::RunLoop::Source interrupt = loop.addSignal(SIGINT, stop);

    controller::ControllerServer server(loop.event(), *links);
    server.service().setPhaseObserver([&links](size_t index, uint32_t phase) {
        const auto& link = links->link(index);
        std::fprintf(stderr, "pppconfd: %s (%s): phase %u, %s\n", link.interface.c_str(),
                     link.serviceID.c_str(), phase, phaseName(phase));
    });
    if (!server.listen(socketPath, error)) {
        std::fprintf(stderr, "pppconfd: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "pppconfd: listening on %s with %zu simulated link(s)\n",
                 socketPath.c_str(), links->linkCount());

    int code = loop.run();
    std::fprintf(stderr, "pppconfd: stopping\n");
    return code < 0 ? 1 : 0;
}
