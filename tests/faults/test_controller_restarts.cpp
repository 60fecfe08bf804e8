// pppconfd goes away and comes back five times while links are up: the agent
// rides every outage and keeps recording, one record per connection.
#include "FaultSupport.h"

#include "../e2e/AgentWorld.h"

using namespace faults;

TEST(ControllerRestarts, TheAgentKeepsRecordingAcrossFiveRestarts) {
    const std::string modem = "SVC-MODEM";
    e2e::AgentWorld w;
    w.startController();
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));

    for (int round = 1; round <= 5; ++round) {
        SCOPED_TRACE("restart " + std::to_string(round));
        w.connect(modem);
        ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n", round));
        w.idle(3500ms); // a poll sees it running with its counters
        // Stopped cleanly or killed outright, with polls failing meanwhile.
        w.killController(round % 2 ? SIGTERM : SIGKILL);
        w.idle(3500ms);
        ASSERT_TRUE(stillRunning(w.agent));
        w.startController();
        if (HasFatalFailure())
            return;
        // The new controller's link is idle: the connection has ended.
        ASSERT_TRUE(w.waitFor([&] { return w.records(modem).size() == size_t(round); }, 10s))
            << "no record after restart; agent output:\n"
            << w.agentOutput();
    }

    // And after the last restart, an ordinary connection.
    w.connect(modem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n", 6));
    w.idle(3500ms);
    w.disconnect(modem);
    ASSERT_TRUE(w.waitFor([&] { return w.records(modem).size() == 6; }, 10s));

    for (const e2e::Record& r : w.records(modem)) {
        EXPECT_GE(r.timeElapsed, 1u);
        // The link's own counters at one moment: 1000 and 100 bytes a second.
        EXPECT_NEAR(double(r.inBytes), double(r.timeElapsed * 1000), 1500.0);
        EXPECT_NEAR(double(r.outBytes), double(r.timeElapsed * 100), 150.0);
    }
    EXPECT_TRUE(stillRunning(w.agent));
    EXPECT_EQ(w.occurrences("Service down: SVC-MODEM\n"), 6u);
    EXPECT_TRUE(w.records("SVC-PPPOE").empty());
}
