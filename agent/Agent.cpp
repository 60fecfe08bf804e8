#include "agent/Agent.h"

#include "agent/PPPObserver.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/RunLoop.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

std::unique_ptr<platform::ConfigStore>& storeSlot() {
    static std::unique_ptr<platform::ConfigStore> store;
    return store;
}

} // namespace

platform::ConfigStore* Agent::configStore() {
    return storeSlot().get();
}

bool Agent::setUpConfigWatch() {
    auto store = platform::ConfigStore::create(kStoreName, &Agent::configChanged, nullptr);
    if (!store) {
        platform::logLine("Unable to establish a session with configd.\n");
        return false;
    }
    if (!store->setNotificationKeys(
            {std::string(platform::kInterfaceStateKey), std::string(platform::kGlobalIPv4Key)})) {
        platform::logLine("Unable to set up the notification request with configd.\n");
        return false;
    }
    if (!store->addToRunLoop(platform::RunLoop::main())) {
        platform::logLine("Unable to create an event source on configd.\n");
        return false;
    }
    storeSlot() = std::move(store);
    return true;
}

void Agent::tearDownConfigWatch() {
    if (auto& store = storeSlot()) {
        store->removeFromRunLoop();
        store.reset();
    }
}

void Agent::handleConfigChange(const std::vector<std::string>& changedKeys, PPPObserver& observer,
                               const std::function<void(std::string_view)>& post) {
    if (std::find(changedKeys.begin(), changedKeys.end(), platform::kGlobalIPv4Key) !=
        changedKeys.end()) {
        if (post)
            post(platform::kNetworkConfigChange);
        observer.reloadServices();
    } else {
        observer.getStatus();
    }
}

void Agent::configChanged(platform::ConfigStore&, const std::vector<std::string>& changedKeys,
                          void*) {
    handleConfigChange(changedKeys, PPPObserver::sharedInstance(), [](std::string_view name) {
        platform::NotificationCenter::shared().post(name);
    });
}

int Agent::main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("%s\n", kVersion);
        return 0;
    }

    platform::openLog("dialledger");
    // DIALLEDGER_FOREGROUND=1 keeps the agent attached to its terminal so that
    // tests and the demo can watch its output and signal it by pid; the
    // command line itself is unchanged.
    const char* foreground = std::getenv("DIALLEDGER_FOREGROUND");
    if (!(foreground && std::strcmp(foreground, "1") == 0))
        (void)::daemon(0, 0);

    // A write past the file size limit must fail with an error the append
    // path logs and survives, not end the agent: the default action of
    // SIGXFSZ would stop all recording over one oversized log.
    std::signal(SIGXFSZ, SIG_IGN);

    platform::RunLoop& loop = platform::RunLoop::main();
    platform::NotificationCenter& centre = platform::NotificationCenter::shared();
    centre.attach(loop);
    centre.post(platform::kDaemonStarted);

    (void)setUpConfigWatch();

    // Logout and shutdown end the agent with a signal: close the running
    // connections with a record first, so that none is lost.
    std::vector<platform::RunLoop::Source> signalSources;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        signalSources.push_back(loop.addSignal(signo, [&loop] {
            PPPObserver::sharedInstance().closeRunningConnections();
            loop.stop(0);
        }));
    }

    // An agent killed in the middle of an append leaves its temporary file
    // beside the log (the log itself is whole either way): clear such leftovers.
    platform::removeStaleTemporaryFiles(PPPObserver::applicationSupportFolder(),
                                        std::chrono::minutes(1));

    PPPObserver::start();

    (void)loop.run();

    signalSources.clear();
    tearDownConfigWatch();
    // The last update notifications must leave before the process does.
    centre.processPending();
    std::fflush(stdout);
    return 0;
}
