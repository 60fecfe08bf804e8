// pppctl: asks the PPP controller about its links from the command line.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/SystemPaths.h"
#include "pppctl/PPPLib.h"

namespace {

const char* const kUsage = "usage: pppctl list\n"
                           "       pppctl status SERVICE\n"
                           "       pppctl connect SERVICE\n"
                           "       pppctl disconnect SERVICE\n"
                           "       pppctl watch\n"
                           "       pppctl --help\n"
                           "\n"
                           "Talks to the PPP controller on %s.\n"
                           "  list        one line per link: link reference, service ID, phase\n"
                           "  status      the link's phase; while it is 8 (running) also the\n"
                           "              elapsed seconds and the bytes received and sent\n"
                           "  connect     asks the controller to dial the service's link\n"
                           "  disconnect  asks the controller to hang the link up\n"
                           "  watch       prints each phase change until interrupted\n";

int fail(const char* format, const std::string& a = {}, const std::string& b = {}) {
    std::fprintf(stderr, "pppctl: ");
    std::fprintf(stderr, format, a.c_str(), b.c_str());
    std::fputc('\n', stderr);
    return 1;
}

std::string errorText(int32_t status) {
    if (status > 0)
        return std::strerror(status);
    return "status " + std::to_string(status);
}

std::string bytesOf(const void* value, uint32_t length) {
    return value ? std::string(static_cast<const char*>(value), length) : std::string();
}

struct Connection {
    int32_t ref = -1;
    ~Connection() {
        if (ref >= 0)
            PPPDispose(ref);
    }
};

bool open(Connection& connection, int& exitCode) {
    int32_t status = PPPInit(&connection.ref);
    if (status != 0) {
        connection.ref = -1;
        exitCode = fail("cannot reach the controller at %s: %s",
                        platform::systemPath(platform::kControllerSocketPath), errorText(status));
        return false;
    }
    return true;
}

bool lookup(const Connection& connection, const std::string& service, uint32_t& link,
            int& exitCode) {
    int32_t status = PPPGetLinkByServiceID(connection.ref, service.c_str(), &link);
    if (status == -2) {
        exitCode = fail("no link has the service ID %s", service);
        return false;
    }
    if (status != 0) {
        exitCode = fail("cannot look up the service %s: %s", service, errorText(status));
        return false;
    }
    return true;
}

int list() {
    int exitCode = 0;
    Connection connection;
    if (!open(connection, exitCode))
        return exitCode;
    uint32_t count = 0;
    int32_t status = PPPGetNumberOfLinks(connection.ref, &count);
    if (status != 0)
        return fail("cannot count the links: %s", errorText(status));
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t link = 0;
        status = PPPGetLinkByIndex(connection.ref, i, &link);
        if (status != 0)
            return fail("cannot read link %s: %s", std::to_string(i), errorText(status));
        void* value = nullptr;
        uint32_t length = 0;
        status = PPPGetOption(connection.ref, link, PPP_OPT_SERVICEID, &value, &length);
        if (status != 0)
            return fail("cannot read the service ID of link %s: %s", std::to_string(link),
                        errorText(status));
        std::string service = pppFromMacRoman(bytesOf(value, length));
        std::free(value);
        ppp_status record{};
        status = PPPStatus(connection.ref, link, &record);
        if (status != 0)
            return fail("cannot read the status of link %s: %s", std::to_string(link),
                        errorText(status));
        std::printf("%u\t%s\t%u\n", link, service.c_str(), record.phase);
    }
    return 0;
}

int status(const std::string& service) {
    int exitCode = 0;
    Connection connection;
    uint32_t link = 0;
    if (!open(connection, exitCode) || !lookup(connection, service, link, exitCode))
        return exitCode;
    ppp_status record{};
    int32_t result = PPPStatus(connection.ref, link, &record);
    if (result != 0)
        return fail("cannot read the status of %s: %s", service, errorText(result));
    std::printf("phase %u\n", record.phase);
    if (record.phase == PPP_RUNNING) {
        std::printf("elapsed %u\n", record.s.connected.timeElapsed);
        std::printf("received %u\n", record.s.connected.inBytes);
        std::printf("sent %u\n", record.s.connected.outBytes);
    }
    return 0;
}

int connectOrDisconnect(const std::string& service, bool connect) {
    int exitCode = 0;
    Connection connection;
    uint32_t link = 0;
    if (!open(connection, exitCode) || !lookup(connection, service, link, exitCode))
        return exitCode;
    int32_t result =
        connect ? PPPConnect(connection.ref, link) : PPPDisconnect(connection.ref, link);
    if (result != 0)
        return fail(connect ? "cannot connect %s: %s" : "cannot disconnect %s: %s", service,
                    errorText(result));
    return 0;
}

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

int watch() {
    int exitCode = 0;
    Connection connection;
    if (!open(connection, exitCode))
        return exitCode;

    // Names for the events, read before events are switched on: once they
    // flow, a reply could no longer be told from an event on this connection.
    std::map<uint32_t, std::string> services;
    uint32_t count = 0;
    if (PPPGetNumberOfLinks(connection.ref, &count) == 0) {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t link = 0;
            void* value = nullptr;
            uint32_t length = 0;
            if (PPPGetLinkByIndex(connection.ref, i, &link) != 0 ||
                PPPGetOption(connection.ref, link, PPP_OPT_SERVICEID, &value, &length) != 0)
                continue;
            services[link] = pppFromMacRoman(bytesOf(value, length));
            std::free(value);
        }
    }

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr); // no SA_RESTART: the wait returns at once
    sigaction(SIGTERM, &action, nullptr);

    int32_t result = PPPEnableEvent(connection.ref);
    if (result != 0)
        return fail("cannot switch events on: %s", errorText(result));

    while (!interrupted) {
        ppp_msg_hdr header{};
        result = PPPWaitForEvent(connection.ref, &header);
        if (interrupted)
            break;
        if (result != 0)
            return fail("lost the controller: %s", errorText(result));
        if (header.type != PPP_EVENT)
            continue;
        auto name = services.find(header.link);
        std::printf("%s\tphase %u\n",
                    name != services.end() ? name->second.c_str()
                                           : std::to_string(header.link).c_str(),
                    header.cookie);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string path = platform::systemPath(platform::kControllerSocketPath);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::printf(kUsage, path.c_str());
        return 0;
    }
    if (args.size() == 1 && args[0] == "list")
        return list();
    if (args.size() == 1 && args[0] == "watch")
        return watch();
    if (args.size() == 2 && args[0] == "status")
        return status(args[1]);
    if (args.size() == 2 && (args[0] == "connect" || args[0] == "disconnect"))
        return connectOrDisconnect(args[1], args[0] == "connect");

    if (args.empty())
        std::fprintf(stderr, "pppctl: no command given (try pppctl --help)\n");
    else
        std::fprintf(stderr, "pppctl: unknown command or wrong arguments: %s (try pppctl --help)\n",
                     args[0].c_str());
    return 2;
}
