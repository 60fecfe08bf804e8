// pppconfd: the PPP controller daemon. Answers the controller protocol on the
// controller socket for links that come from a link source. Runs in the
// foreground and logs to standard error; a service manager runs it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "controller/ControllerServer.h"
#include "controller/ImportPeers.h"
#include "controller/PeerAuthorization.h"
#include "controller/PppdLinks.h"
#include "controller/SimulatedLinks.h"
#include "platform/RunLoop.h"
#include "platform/SystemPaths.h"

namespace {

const char* const kUsage =
    "usage: pppconfd --pppd\n"
    "       pppconfd --simulate FILE\n"
    "       pppconfd --import-peers\n"
    "       pppconfd --help\n"
    "\n"
    "Answers PPP controller requests on %s.\n"
    "  --pppd           the links are the PPP services of the network preferences,\n"
    "                   run by pppd (connect: pppd call PEER linkname SERVICE-ID);\n"
    "                   only root and members of the group dip may connect or\n"
    "                   disconnect\n"
    "  --simulate FILE  play the links described in FILE, a property-list array of\n"
    "                   dictionaries: ServiceID, Interface (strings), DialSeconds,\n"
    "                   InRate, OutRate (integers), StartConnected (boolean),\n"
    "                   AutoConnect (dictionary: Every, Hold in seconds)\n"
    "  --import-peers   add one PPP service per file in /etc/ppp/peers to the network\n"
    "                   preferences, in the location \"Automatic\", and exit\n";

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

// The pppd a connect starts is the system's. A test harness running in a
// private root may put a stand-in there; outside such a root the variable
// means nothing.
controller::PppdLinks::Options pppdOptions() {
    controller::PppdLinks::Options options;
    const char* standIn = std::getenv("DIALLEDGER_PPPD");
    if (standIn && *standIn && !platform::systemRoot().empty())
        options.pppdProgram = standIn;
    return options;
}

// Connecting and hanging up are for root and the dial-out group; reading
// status stays open to every user's agent.
uint32_t authorizeControl(const controller::ControllerService::Session& session, uint16_t type,
                          size_t index) {
    const auto& peer = session.peer();
    if (peer && controller::peerMayControlLinks(peer->uid, peer->gid))
        return 0;
    const char* what = type == PPP_CONNECT ? "connect" : "disconnect";
    if (peer)
        std::fprintf(stderr,
                     "pppconfd: refused to %s link %zu for uid %u (pid %lld): not root "
                     "nor in the group %s\n",
                     what, index + 1, peer->uid, static_cast<long long>(peer->pid),
                     controller::kDialOutGroup);
    else
        std::fprintf(stderr, "pppconfd: refused to %s link %zu: the client is unknown\n", what,
                     index + 1);
    return EPERM;
}

} // namespace

int main(int argc, char** argv) {
    const std::string socketPath = platform::systemPath(platform::kControllerSocketPath);
    std::string simulate;
    bool pppd = false;
    bool importPeers = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(kUsage, socketPath.c_str());
            return 0;
        }
        if (arg == "--pppd") {
            pppd = true;
        } else if (arg == "--import-peers") {
            importPeers = true;
        } else if (arg == "--simulate" && i + 1 < argc) {
            simulate = argv[++i];
        } else if (arg.rfind("--simulate=", 0) == 0) {
            simulate = arg.substr(std::strlen("--simulate="));
        } else {
            std::fprintf(stderr, "pppconfd: unknown or incomplete option %s (try --help)\n",
                         arg.c_str());
            return 2;
        }
    }
    const int modes = int(pppd) + int(importPeers) + int(!simulate.empty());
    if (modes == 0) {
        std::fprintf(
            stderr, "pppconfd: no link source given: use --pppd or --simulate FILE (try --help)\n");
        return 2;
    }
    if (modes > 1) {
        std::fprintf(stderr, "pppconfd: give only one of --pppd, --simulate FILE and "
                             "--import-peers (try --help)\n");
        return 2;
    }
    if (importPeers) {
        std::string report;
        int code = controller::importPeers(report);
        std::fputs(report.c_str(), code == 0 ? stdout : stderr);
        return code;
    }

    std::string error;
    std::unique_ptr<controller::LinkSource> links;
    controller::PppdLinks* pppdLinks = nullptr;
    if (pppd) {
        auto source = std::make_unique<controller::PppdLinks>(pppdOptions());
        pppdLinks = source.get();
        links = std::move(source);
    } else {
        links = controller::SimulatedLinks::load(simulate, error);
        if (!links) {
            std::fprintf(stderr, "pppconfd: %s: %s\n", simulate.c_str(), error.c_str());
            return 1;
        }
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
        std::fprintf(stderr, "pppconfd: %s (%s): phase %u, %s\n",
                     link.interface.empty() ? "no interface" : link.interface.c_str(),
                     link.serviceID.c_str(), phase, phaseName(phase));
    });
    if (pppdLinks) {
        server.service().setAuthorizer(authorizeControl);
        pppdLinks->watch(loop);
    }
    if (!server.listen(socketPath, error)) {
        std::fprintf(stderr, "pppconfd: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "pppconfd: listening on %s with %zu %s link(s)\n", socketPath.c_str(),
                 links->linkCount(), pppdLinks ? "pppd" : "simulated");

    int code = loop.run();
    std::fprintf(stderr, "pppconfd: stopping\n");
    return code < 0 ? 1 : 0;
}
