// fault_appender SERVICE FIRST COUNT
//
// Drives the agent's own connection watcher against a scripted link that goes
// up and down on every pair of polls, so each down edge appends one record to
// SERVICE's log through the agent's real append path. Record i carries
// inBytes = i and outBytes = 2 * i, for i = FIRST, FIRST + 1, ...; COUNT 0
// keeps going until killed. After each append has returned it prints
// "appended i" and flushes, so a test that kills this process knows exactly
// which records were promised.
//
// The network preferences come from the private root in DIALLEDGER_SYSROOT,
// the log folder from HOME: the test that starts this program sets both.
#include "agent/PPPObserver.h"
#include "platform/ConfigStore.h"
#include "pppctl/PPPMessages.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fault_appender SERVICE FIRST COUNT\n");
        return 2;
    }
    const std::string service = argv[1];
    const uint64_t first = std::strtoull(argv[2], nullptr, 10);
    const uint64_t count = std::strtoull(argv[3], nullptr, 10);

    auto store = platform::ConfigStore::create("fault_appender", nullptr);
    if (!store)
        return 1;

    bool running = false;
    uint64_t index = first;
    PPPObserver::Environment env;
    env.getStatus = [&](ppp_status* status, const std::string& id) {
        status->phase = (id == service && running) ? PPPObserver::kPhaseRunning : 0;
        if (status->phase == PPPObserver::kPhaseRunning) {
            status->s.connected.timeElapsed = static_cast<uint32_t>(index % 3600 + 1);
            status->s.connected.inBytes = static_cast<uint32_t>(index);
            status->s.connected.outBytes = static_cast<uint32_t>(2 * index);
        }
        return true;
    };
    env.store = [&] { return static_cast<const platform::ConfigStore*>(store.get()); };
    env.now = [] { return platform::Date::now(); };
    env.out = nullptr;
    PPPObserver observer(std::move(env));
    if (!observer.currentServices().contains(service)) {
        std::fprintf(stderr, "fault_appender: %s is not a PPP service of the active set\n",
                     service.c_str());
        return 1;
    }

    for (; count == 0 || index < first + count; ++index) {
        running = true;
        observer.getStatus();
        running = false;
        observer.getStatus(); // the down edge: one record appended
        std::printf("appended %llu\n", static_cast<unsigned long long>(index));
        std::fflush(stdout);
    }
    return 0;
}
