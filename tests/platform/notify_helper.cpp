// A second process for the notification tests:
//   notify_helper wait NAME   prints "ready" once observing, exits 0 when NAME arrives
//   notify_helper post NAME   posts NAME and exits
//   notify_helper nobus       checks the behaviour without a session bus
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/RunLoop.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

using namespace platform;
using namespace std::chrono_literals;

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    auto& centre = NotificationCenter::shared();
    if (mode == "wait" && argc == 3) {
        bool received = false;
        centre.observe(&received, argv[2], [&] {
            received = true;
            RunLoop::main().stop();
        });
        centre.attach(RunLoop::main());
        std::printf("ready\n");
        std::fflush(stdout);
        RunLoop::main().runFor(20s);
        return received ? 0 : 1;
    }
    if (mode == "post" && argc == 3) {
        centre.post(argv[2]);
        return 0; // the centre flushes what it queued as the process ends
    }
    if (mode == "nobus") {
        LogCapture log;
        int calls = 0;
        centre.observe(&calls, std::string(kUpdateUI), [&] { ++calls; });
        centre.post(kUpdateUI);
        centre.post(kDaemonStarted);
        centre.processPending();
        centre.attach(RunLoop::main());
        const bool ok =
            !centre.connected() && centre.fd() == -1 && log.lines().size() == 1 && calls == 0;
        if (!ok)
            std::fprintf(stderr, "connected=%d fd=%d lines=%zu calls=%d\n", centre.connected(),
                         centre.fd(), log.lines().size(), calls);
        return ok ? 0 : 1;
    }
    return 2;
}
