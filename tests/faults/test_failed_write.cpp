// The real agent meets a log write that fails (a file size limit, a log folder
// that turned read-only): the history it had stays whole, the failure is one
// line in the system log, the agent keeps running, and once the fault is gone
// the next connection is recorded.
#include "FaultSupport.h"

#include "../e2e/AgentWorld.h"

using namespace faults;

namespace {

const std::string kModem = "SVC-MODEM";

enum class Fault { FileSizeLimit, ReadOnlyFolder };

std::string nameOf(Fault f) {
    return f == Fault::FileSizeLimit ? "FileSizeLimit" : "ReadOnlyFolder";
}

class FailedWrite : public ::testing::TestWithParam<Fault> {};

} // namespace

TEST_P(FailedWrite, HistoryStaysWholeAndTheAgentRecordsTheNextConnection) {
    const Fault fault = GetParam();
    e2e::AgentWorld w;
    const std::string folder = w.root.logFolder();
    const std::string log = w.root.logPath(kModem);
    TempRoot::makePath(folder);
    seedLog(log, 200);
    const std::string before = fileBytes(log);
    ASSERT_GT(before.size(), 16'384u);

    // The agent's system log comes to this test through a /dev of its own.
    const std::string stage = w.root.path + "/devstage";
    ::mkdir(stage.c_str(), 0755);
    if (!mountNamespacesWork(folder))
        GTEST_SKIP() << "no mount namespaces here: cannot give the agent a read-only folder "
                        "or a log socket of this test";
    SyslogCapture syslog(w.root.path + "/log.sock");

    ChildFaults faults;
    faults.syslogSocket = syslog.path();
    if (fault == Fault::ReadOnlyFolder)
        faults.readOnlyFolder = folder;
    else
        faults.fileSizeLimit = 8'192; // under the log's size, over the agent's own output

    w.startController();
    w.agent = spawnWithFaults({std::string(DL_BIN_DIR) + "/dialledger"}, w.agentOutputPath(),
                              {"DIALLEDGER_FOREGROUND=1"}, faults, stage);
    ASSERT_GT(w.agent, 0);
    ASSERT_TRUE(w.waitForOutput("2 service(s) loaded.\n")) << w.agentOutput();

    // A connection ends while the fault is in place.
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n"));
    w.idle(3500ms);
    w.disconnect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service down: SVC-MODEM\n"));
    const std::string failure = "Unable to write " + log;
    w.waitFor([&] { return syslog.count(failure) >= 1 || !stillRunning(w.agent); }, 5s);
    ASSERT_TRUE(stillRunning(w.agent)) << "the agent ended on a failed write";
    ASSERT_EQ(syslog.count(failure), 1u) << "agent output:\n" << w.agentOutput();
    w.idle(3500ms); // another poll: nothing more is tried or logged

    ASSERT_TRUE(stillRunning(w.agent));
    EXPECT_EQ(syslog.count(failure), 1u);
    EXPECT_EQ(syslog.count(log), 1u) << "one line about the log, no more";
    EXPECT_EQ(fileBytes(log), before) << "the history changed";
    EXPECT_EQ(strayEntries(folder, {kModem}), std::vector<std::string>{})
        << "a failed write left a file behind";

    // The fault goes away; the next connection is recorded after the old ones.
    if (fault == Fault::ReadOnlyFolder)
        ASSERT_TRUE(liftReadOnly(w.agent, folder));
    else
        ASSERT_TRUE(setFileSizeLimit(w.agent, RLIM_INFINITY));
    w.connect(kModem);
    ASSERT_TRUE(w.waitForOutput("Service up: SVC-MODEM\n", 2));
    w.idle(3500ms);
    w.disconnect(kModem);
    ASSERT_TRUE(w.waitFor([&] { return readLog(log) && readLog(log)->size() == 201; }, 10s));
    auto records = readLog(log);
    for (uint64_t i = 0; i < 200; ++i)
        ASSERT_EQ((*records)[i].inBytes, i);
    EXPECT_GE(records->back().timeElapsed, 1u);
    EXPECT_TRUE(stillRunning(w.agent));
    EXPECT_EQ(syslog.count(failure), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedWrite,
                         ::testing::Values(Fault::FileSizeLimit, Fault::ReadOnlyFolder),
                         [](const auto& info) { return nameOf(info.param); });
