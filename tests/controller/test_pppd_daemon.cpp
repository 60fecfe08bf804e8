// The real pppconfd --pppd in a private root: who may connect, the phase
// events its clients ask for, and the links as pppctl and PPPManager see them.
#include <grp.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "controller/PeerAuthorization.h"
#include "controller/PppdLinks.h"
#include "pppctl/PPPManager.h"
#include "tests/controller/PppconfdProcess.h"
#include "tests/controller/PppdMachine.h"

using namespace testsupport;
using namespace std::chrono_literals;
using pppdtest::PppdMachine;

namespace {

const std::string kPppconfd = DL_BIN_DIR "/pppconfd";
const std::string kPppctl = DL_BIN_DIR "/pppctl";
constexpr uid_t kNobody = 65534;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class PppdDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        PPPManager::resetForTesting();
        // Other users reach the socket through the root.
        ::chmod(root.path().c_str(), 0755);
        machine.setServices({{"DSL", "provider"}, {"MODEM"}});
        errPath = root.path() + "/pppconfd.err";
        SpawnOptions options;
        options.out = root.path() + "/pppconfd.out";
        options.err = errPath;
        options.env = {"DIALLEDGER_PPPD=" + machine.fakePppd()};
        daemon = spawn({kPppconfd, "--pppd"}, options);
        ASSERT_GT(daemon, 0);
        ASSERT_TRUE(waitForSocket(root.socketPath())) << errors();
    }
    void TearDown() override {
        PPPManager::resetForTesting();
        if (daemon > 0) {
            EXPECT_EQ(stop(daemon, SIGTERM), 0);
        }
    }
    std::string errors() const { return readWhole(errPath); }

    // pppctl as another user: its exit code and what it printed.
    ProgramRun pppctlAs(uid_t uid, gid_t gid, const std::vector<std::string>& args) {
        std::vector<std::string> all{kPppctl};
        all.insert(all.end(), args.begin(), args.end());
        SpawnOptions options;
        options.out = root.path() + "/as.out";
        options.err = root.path() + "/as.err";
        options.mode = 0666;
        options.nullInput = false;
        options.inChild = [uid, gid] {
            return ::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ? 126
                                                                                            : 0;
        };
        ProgramRun run;
        pid_t pid = spawn(all, options);
        if (pid < 0)
            return run;
        run.status = reap(pid, 20s);
        run.out = readWhole(options.out);
        run.err = readWhole(options.err);
        return run;
    }

    TempRoot root;
    PppdMachine machine{root.path(), root.path() + "/scratch"};
    std::string errPath;
    pid_t daemon = -1;
};

TEST_F(PppdDaemonTest, OthersReadStatusButOnlyRootAndDipConnect) {
    // Everybody reads status.
    ProgramRun status = pppctlAs(kNobody, kNobody, {"status", "DSL"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out, "phase 0\n");

    // A user outside the dial-out group is refused, once in the log each time.
    for (const char* request : {"connect", "disconnect"}) {
        ProgramRun refused = pppctlAs(kNobody, kNobody, {request, "DSL"});
        EXPECT_NE(refused.status, 0) << request;
        EXPECT_NE(refused.err.find("Operation not permitted"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(count(errors(), "refused to connect"), 1u) << errors();
    EXPECT_EQ(count(errors(), "refused to disconnect"), 1u) << errors();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(std::filesystem::exists(machine.argsFile()));

    // A member of dip (here by its primary group) may.
    auto dip = controller::groupID(controller::kDialOutGroup);
    if (!dip)
        GTEST_SKIP() << "this system has no group dip";
    ProgramRun allowed = pppctlAs(kNobody, *dip, {"connect", "DSL"});
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(machine.pidFile("DSL")); }));
    EXPECT_EQ(machine.fakeArgs(),
              (std::vector<std::string>{"call", "provider", "linkname", "DSL"}));
    EXPECT_EQ(pppctlAs(kNobody, *dip, {"disconnect", "DSL"}).status, 0);
}

TEST_F(PppdDaemonTest, ALinkComesUpCountsAndGoesDownForItsClients) {
    // A client that switched events on for every link.
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, root.socketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Bytes enable = header(PPP_ENABLE_EVENT, 0, 0, 0);
    ASSERT_EQ(::write(fd, enable.data(), enable.size()), ssize_t(enable.size()));
    auto next = [&](ppp_msg_hdr& message) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return false;
        return ::recv(fd, &message, sizeof message, MSG_WAITALL) == ssize_t(sizeof message);
    };
    ppp_msg_hdr message{};
    ASSERT_TRUE(next(message));
    EXPECT_EQ(message.type, PPP_ENABLE_EVENT);
    EXPECT_EQ(message.result, 0u);

    // Root connects: pppd is started for the service's peer.
    ProgramRun connect = runProgram(root, {kPppctl, "connect", "DSL"});
    ASSERT_EQ(connect.status, 0) << connect.err;
    ASSERT_TRUE(next(message));
    EXPECT_EQ(message.type, PPP_EVENT);
    EXPECT_EQ(message.link, 1u);
    EXPECT_EQ(message.cookie, controller::PppdLinks::kDialingPhase);
    // pppd names its interface and brings it up.
    const std::string pid = machine.waitForPidLine("DSL");
    ASSERT_FALSE(pid.empty());
    machine.setCounters("ppp7", "5000", "700");
    machine.setOperstate("ppp7", "unknown");
    machine.setFlags("ppp7", "0x1091");
    machine.writePidFile("DSL", pid + "ppp7\n");
    ASSERT_TRUE(next(message));
    EXPECT_EQ(message.type, PPP_EVENT);
    EXPECT_EQ(message.cookie, PPP_RUNNING);

    ppp_status status{};
    ASSERT_TRUE(PPPManager::getStatus(&status, "DSL"));
    EXPECT_EQ(status.phase, PPP_RUNNING);
    EXPECT_EQ(status.s.connected.inBytes, 5000u);
    EXPECT_EQ(status.s.connected.outBytes, 700u);
    // The interface name finds the link too.
    auto byInterface = PPPManager::statusForInterface("ppp7");
    ASSERT_TRUE(byInterface);
    EXPECT_EQ(byInterface->find("status")->asUnsigned(), std::optional<uint64_t>(8));
    EXPECT_EQ(byInterface->find("inBytes")->asUnsigned(), std::optional<uint64_t>(5000));

    machine.setCounters("ppp7", "6000", "800");
    ASSERT_TRUE(PPPManager::getStatus(&status, "DSL"));
    EXPECT_EQ(status.s.connected.inBytes, 6000u);

    ProgramRun disconnect = runProgram(root, {kPppctl, "disconnect", "DSL"});
    ASSERT_EQ(disconnect.status, 0) << disconnect.err;
    ASSERT_TRUE(next(message));
    EXPECT_EQ(message.type, PPP_EVENT);
    EXPECT_EQ(message.cookie, PPP_IDLE);
    ::close(fd);

    ProgramRun list = runProgram(root, {kPppctl, "list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("DSL"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("MODEM"), std::string::npos) << list.out;
}

TEST_F(PppdDaemonTest, NewServicesAppearWithoutARestart) {
    EXPECT_EQ(runProgram(root, {kPppctl, "status", "NEW"}).status == 0, false);
    machine.setServices({{"DSL", "provider"}, {"MODEM"}, {"NEW"}});
    EXPECT_TRUE(eventually([&] {
        return runProgram(root, {kPppctl, "status", "NEW"}).status == 0;
    }));
}

} // namespace
