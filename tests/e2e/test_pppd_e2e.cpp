// The real dialledger against the real pppconfd --pppd: a connection of a
// pppd link, seen only through a pid file and /sys/class/net files in a
// private root, ends up as one record in the service's connection log.
#include "AgentWorld.h"

#include <gtest/gtest.h>

#include "tests/controller/PppconfdProcess.h"
#include "tests/controller/PppdMachine.h"

using namespace e2e;

namespace {

const std::string kModem = "SVC-MODEM";

TEST(PppdEndToEnd, TheAgentRecordsAConnectionOfAPppdLink) {
    AgentWorld w;
    pppdtest::PppdMachine machine(w.root.sysroot, w.root.path + "/scratch");

    testsupport::SpawnOptions options;
    options.out = w.root.path + "/pppconfd.out";
    options.err = w.root.path + "/pppconfd.err";
    options.env = {"DIALLEDGER_PPPD=" + machine.fakePppd()};
    w.controller = testsupport::spawn({std::string(DL_BIN_DIR) + "/pppconfd", "--pppd"}, options);
    ASSERT_GT(w.controller, 0);
    const std::string socket = platform::systemPath(platform::kControllerSocketPath);
    ASSERT_TRUE(w.waitFor([&] { return testsupport::canConnect(socket); }, 10s))
        << testsupport::readWhole(w.root.path + "/pppconfd.err");

    w.startAgent();
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n"));

    // Dial: pppconfd starts pppd for the service, which writes its pid file.
    ASSERT_TRUE(PPPManager::sharedInstance());
    PPPManager::sharedInstance()->pppConnectService(kModem);
    const std::string pid = machine.waitForPidLine(kModem);
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(machine.fakeArgs(), (std::vector<std::string>{"call", kModem, "linkname", kModem}));

    // pppd brings ppp0 up.
    machine.setCounters("ppp0", "1000", "100");
    machine.setOperstate("ppp0", "unknown");
    machine.setFlags("ppp0", "0x1091");
    machine.writePidFile(kModem, pid + "ppp0\n");
    const int64_t upAt = wallNow();
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));

    // Traffic, seen by at least one more poll.
    machine.setCounters("ppp0", "4295217296", "40000"); // past 2^32: 250000 in the low bits
    w.idle(3500ms);

    PPPManager::sharedInstance()->pppDisconnectService(kModem);
    const int64_t downAt = wallNow();
    ASSERT_TRUE(w.waitForOutput("Service down: SVC-MODEM\n"));
    ASSERT_TRUE(w.waitFor([&] { return w.records(kModem).size() == 1; }, 5s));

    const Record r = w.records(kModem)[0];
    EXPECT_GE(r.date, upAt - 1);
    EXPECT_LE(r.date, upAt + 4);
    EXPECT_EQ(r.inBytes, 250000u);
    EXPECT_EQ(r.outBytes, 40000u);
    EXPECT_GE(r.timeElapsed, 2u);
    EXPECT_LE(int64_t(r.timeElapsed), downAt - upAt + 1);
    EXPECT_TRUE(w.records("SVC-PPPOE").empty());
    PPPManager::resetForTesting();
}

} // namespace
