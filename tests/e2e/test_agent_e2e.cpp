#include "AgentWorld.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace e2e;

namespace {

const std::string kModem = "SVC-MODEM";
const std::string kPPPoE = "SVC-PPPOE";
const std::string kOffice = "SVC-OFFICE";
const std::string kUpdate(platform::kUpdateUI);
const std::string kStarted(platform::kDaemonStarted);
const std::string kConfigChange(platform::kNetworkConfigChange);

// The simulated rates of the fixture's links, bytes per second.
constexpr uint64_t kModemInRate = 1000, kModemOutRate = 100;

// The counters of a record are the link's own at one moment: they agree
// with its elapsed time at the link's rates.
void expectCountersAtRates(const Record& r, uint64_t inRate, uint64_t outRate) {
    EXPECT_GE(r.timeElapsed, 1u);
    EXPECT_NEAR(double(r.inBytes), double(r.timeElapsed * inRate), double(inRate) * 1.5);
    EXPECT_NEAR(double(r.outBytes), double(r.timeElapsed * outRate), double(outRate) * 1.5);
}

} // namespace

TEST(AgentEndToEnd, OneConnectionGivesOneRecordThenAnUpdate) {
    AgentWorld w;
    w.startController();
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));
    ASSERT_TRUE(w.waitFor([&] { return w.noticesNamed(kStarted) == 1; }, 5s));

    const int64_t connectedAt = wallNow();
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));
    const int64_t seenUp = wallNow();
    w.idle(4s); // at least one more poll sees it running
    w.disconnect(kModem);
    const int64_t disconnectedAt = wallNow();
    ASSERT_TRUE(w.waitForOutput("Service down: SVC-MODEM\n"));
    ASSERT_TRUE(w.waitFor([&] { return w.noticesNamed(kUpdate) == 1; }, 5s));

    auto records = w.records(kModem);
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    // The start date is that of the poll that first saw the link running.
    EXPECT_GE(r.date, connectedAt - 1);
    EXPECT_LE(r.date, seenUp);
    // The counters are those of the last running poll, at most one interval old.
    EXPECT_LE(int64_t(r.timeElapsed), disconnectedAt - connectedAt + 1);
    EXPECT_GE(int64_t(r.timeElapsed), disconnectedAt - seenUp - 4);
    expectCountersAtRates(r, kModemInRate, kModemOutRate);

    // The update came after the record was in the file.
    for (const Notice& n : w.notices) {
        if (n.name == kUpdate) {
            EXPECT_EQ(n.modemRecords, 1u);
        }
    }

    // Nothing more for that connection later on.
    w.idle(3500ms);
    EXPECT_EQ(w.records(kModem).size(), 1u);
    EXPECT_EQ(w.occurrences("Service up: SVC-MODEM\n"), 1u);
    EXPECT_FALSE(platform::pathExists(w.root.logPath(kPPPoE)));
}

TEST(AgentEndToEnd, AgentStartedWhileALinkIsUp) {
    AgentWorld w;
    platform::Array links = AgentWorld::fixtureLinks();
    links[0].asDictionary()->set("StartConnected", platform::Value(true));
    w.setLinks(links);
    w.startController();
    w.idle(3s); // the link has been up a while before the agent starts

    const int64_t agentStart = wallNow();
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n", 1, 5s))
        << "seen coming up by the first poll";
    w.idle(3500ms);
    w.disconnect(kModem);
    ASSERT_TRUE(w.waitFor([&] { return w.records(kModem).size() == 1; }, 10s));

    const Record r = w.records(kModem)[0];
    EXPECT_GE(r.date, agentStart - 1);
    EXPECT_LE(r.date, agentStart + 2);
    // The link's own time, longer than the agent has been watching it.
    EXPECT_GE(int64_t(r.timeElapsed), 3 + 3 - 1);
    expectCountersAtRates(r, kModemInRate, kModemOutRate);
}

TEST(AgentEndToEnd, TwoServicesKeepTheirOwnStartDates) {
    AgentWorld w;
    w.startController();
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));

    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));
    w.idle(3500ms);
    w.connect(kPPPoE);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-PPPOE\n"));
    w.idle(3500ms);
    w.disconnect(kModem);
    w.disconnect(kPPPoE);
    ASSERT_TRUE(w.waitFor(
        [&] { return w.records(kModem).size() == 1 && w.records(kPPPoE).size() == 1; }, 10s));

    const Record modem = w.records(kModem)[0];
    const Record pppoe = w.records(kPPPoE)[0];
    EXPECT_GE(pppoe.date - modem.date, 2) << "the modem kept the date it had";
    EXPECT_GT(modem.timeElapsed, pppoe.timeElapsed);
    expectCountersAtRates(modem, kModemInRate, kModemOutRate);
    expectCountersAtRates(pppoe, 5000, 500);
    EXPECT_EQ(w.occurrences("Service up: SVC-MODEM\n"), 1u);
}

TEST(AgentEndToEnd, ChangingTheActiveLocationReloads) {
    AgentWorld w;
    w.startController();
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));

    // The user switches to the office location: the modem is not part of it.
    w.root.installPreferences("OFFICE-SET");
    ASSERT_TRUE(w.waitFor([&] { return w.noticesNamed(kConfigChange) == 1; }, 10s));
    ASSERT_TRUE(w.waitForOutput("1 service(s) loaded.\n"));
    // Its running connection ended with the change.
    ASSERT_TRUE(w.waitFor([&] { return w.records(kModem).size() == 1; }, 5s));
    ASSERT_TRUE(w.waitFor([&] { return w.noticesNamed(kUpdate) == 1; }, 5s));

    // The office link is the one watched now.
    w.connect(kOffice);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-OFFICE\n"));
    w.idle(3500ms);
    w.disconnect(kOffice);
    ASSERT_TRUE(w.waitFor([&] { return w.records(kOffice).size() == 1; }, 10s));
    w.disconnect(kModem);
    w.idle(3500ms);
    EXPECT_EQ(w.records(kModem).size(), 1u) << "no longer watched";
    EXPECT_EQ(w.noticesNamed(kConfigChange), 1u);
}

TEST(AgentEndToEnd, ControllerStartedAfterTheAgent) {
    AgentWorld w;
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));
    w.idle(3500ms); // a poll or two find no controller
    w.startController();
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n", 1, 10s));
    w.idle(3500ms);
    w.disconnect(kModem);
    ASSERT_TRUE(w.waitFor([&] { return w.records(kModem).size() == 1; }, 10s));
    expectCountersAtRates(w.records(kModem)[0], kModemInRate, kModemOutRate);
}

TEST(AgentEndToEnd, ControllerRestartedInTheMiddleOfAConnection) {
    AgentWorld w;
    w.startController();
    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));
    const int64_t connectedAt = wallNow();
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));
    w.idle(3500ms);
    const int64_t killedAt = wallNow();
    w.killController();
    w.idle(3500ms); // polls fail meanwhile: the connection is kept, not ended
    EXPECT_TRUE(w.records(kModem).empty());
    EXPECT_EQ(w.occurrences("Service down: SVC-MODEM\n"), 0u);

    // The new controller knows the link as idle: the old connection ends with
    // the counters seen before the controller went away.
    w.startController();
    ASSERT_TRUE(w.waitFor([&] { return w.records(kModem).size() == 1; }, 10s));
    const Record first = w.records(kModem)[0];
    EXPECT_LE(int64_t(first.timeElapsed), killedAt - connectedAt + 1);
    expectCountersAtRates(first, kModemInRate, kModemOutRate);

    // And recording goes on.
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n", 2));
    w.idle(3500ms);
    w.disconnect(kModem);
    ASSERT_TRUE(w.waitFor([&] { return w.records(kModem).size() == 2; }, 10s));
    EXPECT_GT(w.records(kModem)[1].date, first.date);
}

TEST(AgentEndToEnd, EndingSignalsRecordTheRunningConnection) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signo));
        AgentWorld w;
        w.startController();
        w.startAgent();
        ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));
        w.connect(kModem);
        ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));
        w.idle(3500ms);
        EXPECT_EQ(w.endAgent(signo), 0);
        auto records = w.records(kModem);
        ASSERT_EQ(records.size(), 1u);
        expectCountersAtRates(records[0], kModemInRate, kModemOutRate);
        EXPECT_TRUE(w.records(kPPPoE).empty()) << "only running connections are recorded";
        EXPECT_TRUE(w.waitFor([&] { return w.noticesNamed(kUpdate) == 1; }, 5s))
            << "the update left before the end";
    }
}

TEST(AgentEndToEnd, VersionOptionOnlyWhenAlone) {
    AgentWorld w;
    w.startAgent({"-v"});
    EXPECT_EQ(w.endAgent(0), 0);
    EXPECT_EQ(w.agentOutput(), "0.2\n");
    w.idle(300ms);
    EXPECT_EQ(w.noticesNamed(kStarted), 0u);

    // Anything else is ignored and the agent starts as usual, clearing the
    // temporary file that an agent killed mid-append left beside a log.
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-v", "x"}, {"-verbose"}, {"--v"}}) {
        AgentWorld other;
        TempRoot::makePath(other.root.logFolder());
        const std::string leftover = other.root.logFolder() + "/.SVC.tmp-00000000000000ab";
        ASSERT_TRUE(platform::writeFileAtomically(leftover, "half a log"));
        timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 600, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, leftover.c_str(), old, 0), 0);
        other.startAgent(args);
        EXPECT_TRUE(other.waitForOutput("2 service(s) loaded.\n")) << args[0];
        EXPECT_FALSE(platform::pathExists(leftover)) << args[0];
        EXPECT_TRUE(other.waitFor([&] { return other.noticesNamed(kStarted) == 1; }, 5s))
            << args[0];
        EXPECT_EQ(other.endAgent(SIGTERM), 0);
    }
}
