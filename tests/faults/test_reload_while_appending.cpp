// The viewer's history model rereads a log while the agent's append path keeps
// growing it: every reload sees a whole log, never a torn or empty one.
#include "FaultSupport.h"

#include "../agent/TempRoot.h"

#include "viewer/DLConnections.h"

using namespace faults;

TEST(ReloadWhileAppending, EveryReloadSeesAWholeLogThatOnlyGrows) {
    const int reloads = kLight ? 200 : 1000;
    const uint64_t seeded = 2'000;
    const std::string service = "SVC-MODEM";

    TempRoot root;
    root.installPreferences();
    TempRoot::makePath(root.logFolder());
    seedLog(root.logPath(service), seeded);

    pid_t driver = spawnWithFaults({DL_FAULTS_DRIVER, service, std::to_string(seeded), "0"},
                                   root.path + "/driver.out", {}, {});
    ASSERT_GT(driver, 0);

    // The reloads start once the appends have.
    auto deadline = Clock::now() + 30s;
    for (;;) {
        auto records = readLog(root.logPath(service));
        ASSERT_TRUE(records) << "the log does not parse";
        if (records->size() > seeded || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(5ms);
    }

    DLConnections model;
    model.setCurrentWithKey(service);
    uint32_t previous = model.total();
    ASSERT_GE(previous, seeded);
    const uint32_t first = previous;
    int grewBetween = 0;
    for (int i = 0; i < reloads; ++i) {
        model.reload();
        const uint32_t now = model.total();
        ASSERT_GE(now, previous) << "reload " << i << " saw a shorter log";
        grewBetween += now > previous;
        // Whole records in sequence: nothing torn or repeated.
        const auto& c = model.connections();
        ASSERT_EQ(c.back().inBytes, now - 1u) << "reload " << i;
        ASSERT_EQ(c.back().outBytes, 2u * (now - 1u)) << "reload " << i;
        ASSERT_TRUE(c.back().date) << "reload " << i;
        previous = now;
    }
    ::kill(driver, SIGKILL);
    EXPECT_EQ(reap(driver), 128 + SIGKILL) << "the appender stopped on its own";

    // The reloads raced real appends: the log grew under them many times.
    EXPECT_GT(previous, first);
    EXPECT_GE(grewBetween, 5);
    std::printf("%d reloads, %u appends seen, growth seen by %d reloads\n", reloads,
                previous - first, grewBetween);
}
