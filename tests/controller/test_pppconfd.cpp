// The real pppconfd --simulate and pppctl binaries, with PPPManager and the
// client library as their clients.
#include <cstdio>

#include <gtest/gtest.h>

#include "platform/Log.h"
#include "pppctl/PPPLib.h"
#include "pppctl/PPPManager.h"
#include "tests/controller/PppconfdProcess.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kFixture = DL_FIXTURES_DIR "/controller/two-links.plist";
const std::string kDialing = "0A1B2C3D-0000-4000-8000-000000000001"; // ppp0, dials 1 s
const std::string kRunning = "0A1B2C3D-0000-4000-8000-000000000002"; // ppp1, starts up
const std::string kPppctl = DL_BIN_DIR "/pppctl";
const std::string kPppconfd = DL_BIN_DIR "/pppconfd";

class PppconfdTest : public ::testing::Test {
protected:
    void SetUp() override {
        PPPManager::resetForTesting();
        ASSERT_TRUE(daemon.ready()) << daemon.errors();
    }
    void TearDown() override { PPPManager::resetForTesting(); }

    TempRoot root;
    Pppconfd daemon{root, kFixture};
};

TEST_F(PppconfdTest, ManagerSeesALinkComeUpCountAndGoDown) {
    platform::LogCapture log;
    ppp_status status{};
    ASSERT_TRUE(PPPManager::getStatus(&status, kDialing));
    EXPECT_EQ(status.phase, PPP_IDLE);

    PPPManager::sharedInstance()->pppConnectService(kDialing);
    ASSERT_TRUE(eventually(
        [&] { return PPPManager::getStatus(&status, kDialing) && status.phase == PPP_RUNNING; }));
    const ppp_status first = status;
    ASSERT_TRUE(eventually([&] {
        return PPPManager::getStatus(&status, kDialing) &&
               status.s.connected.timeElapsed > first.s.connected.timeElapsed;
    }));
    EXPECT_GT(status.s.connected.inBytes, first.s.connected.inBytes);
    EXPECT_GT(status.s.connected.outBytes, first.s.connected.outBytes);
    // 5000 and 1000 bytes for every second of running.
    const uint32_t elapsed = status.s.connected.timeElapsed;
    EXPECT_GE(status.s.connected.inBytes, 5000u * elapsed);
    EXPECT_LT(status.s.connected.inBytes, 5000u * (elapsed + 1));
    EXPECT_GE(status.s.connected.outBytes, 1000u * elapsed);

    auto byInterface = PPPManager::statusForInterface("ppp1");
    ASSERT_TRUE(byInterface);
    EXPECT_EQ(byInterface->find("status")->asUnsigned(), 8u);
    EXPECT_TRUE(byInterface->contains("inBytes"));

    PPPManager::sharedInstance()->pppDisconnectService(kDialing);
    ASSERT_TRUE(PPPManager::getStatus(&status, kDialing));
    EXPECT_EQ(status.phase, PPP_IDLE);
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(PPPManager::getStatus(&status, "no-such-service"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"erreur 1"});
}

TEST_F(PppconfdTest, ManagerFollowsAControllerRestart) {
    ppp_status status{};
    ASSERT_TRUE(PPPManager::getStatus(&status, kRunning));
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_FALSE(PPPManager::getStatus(&status, kRunning));

    Pppconfd again(root, kFixture);
    ASSERT_TRUE(again.ready()) << again.errors();
    EXPECT_TRUE(PPPManager::getStatus(&status, kRunning));
    EXPECT_EQ(status.phase, PPP_RUNNING);
}

TEST_F(PppconfdTest, EventsReachEveryClientThatSwitchedThemOn) {
    int32_t watchers[2], control;
    for (auto& w : watchers) {
        ASSERT_EQ(PPPInit(&w), 0);
        ASSERT_EQ(PPPEnableEvents(w, 0, true), 0);
    }
    ASSERT_EQ(PPPInit(&control), 0);
    uint32_t link = 0;
    ASSERT_EQ(PPPGetLinkByServiceID(control, kDialing.c_str(), &link), 0);
    ASSERT_EQ(PPPConnect(control, link), 0);

    for (int32_t w : watchers) {
        std::vector<uint32_t> phases;
        while (phases.empty() || phases.back() != PPP_RUNNING) {
            pollfd p{w, POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 10000), 1) << "no event";
            ppp_msg_hdr event{};
            ASSERT_EQ(PPPWaitForEvent(w, &event), 0);
            EXPECT_EQ(event.type, PPP_EVENT);
            EXPECT_EQ(event.link, link);
            phases.push_back(event.cookie);
        }
        EXPECT_EQ(phases, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
        PPPDispose(w);
    }
    // The connection that did not ask for events got only its replies.
    ppp_status status{};
    EXPECT_EQ(PPPStatus(control, link, &status), 0);
    EXPECT_EQ(status.phase, PPP_RUNNING);
    PPPDispose(control);
}

TEST_F(PppconfdTest, AHundredClientsAtOnce) {
    std::vector<int> clients;
    for (int i = 0; i < 100; ++i) {
        int fd = connectUnix(root.socketPath());
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
    }
    const Bytes requests =
        concat({header(PPP_GETNBLINKS, 0, PPP_LINK_NONE, 0), header(PPP_STATUS, 0, 2, 0)});
    for (int fd : clients)
        ASSERT_TRUE(writeAll(fd, requests));
    for (int fd : clients) {
        Message count, status;
        ASSERT_TRUE(readMessage(fd, count));
        ASSERT_TRUE(readMessage(fd, status));
        EXPECT_EQ(count.body, word(2));
        ASSERT_EQ(status.body.size(), sizeof(ppp_status));
        EXPECT_EQ(status.body[0], PPP_RUNNING);
        ::close(fd);
    }
}

TEST_F(PppconfdTest, RequestsInPiecesAndOversizedRequestsOnTheWire) {
    int fd = connectUnix(root.socketPath());
    ASSERT_GE(fd, 0);
    const Bytes lookup =
        concat({header(PPP_LINKFORIFNAME, 0, PPP_LINK_NONE, 4), Bytes{'p', 'p', 'p', '1'}});
    for (size_t at : {0, 7, 20}) {
        size_t end = at == 20 ? lookup.size() : (at == 0 ? 7 : 20);
        ASSERT_TRUE(writeAll(fd, Bytes(lookup.begin() + at, lookup.begin() + end)));
        std::this_thread::sleep_for(20ms);
    }
    Message reply;
    ASSERT_TRUE(readMessage(fd, reply));
    EXPECT_EQ(reply.header.result, 0u);
    EXPECT_EQ(reply.body, word(2));

    ASSERT_TRUE(writeAll(fd, header(PPP_SETOPTION, 0, 2, PPP_MAX_REQUEST_BODY + 1)));
    ASSERT_TRUE(readMessage(fd, reply));
    EXPECT_NE(reply.header.result, 0u);
    uint8_t byte;
    EXPECT_FALSE(readExactly(fd, &byte, 1)); // then the controller hangs up
    ::close(fd);

    // The daemon goes on serving others.
    ppp_status status{};
    EXPECT_TRUE(PPPManager::getStatus(&status, kRunning));
}

TEST_F(PppconfdTest, SecondControllerIsRefusedAndStopRemovesTheSocket) {
    ProgramRun second = runProgram(root, {kPppconfd, "--simulate", kFixture});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "pppconfd: another controller is already answering on " + root.socketPath() + "\n");

    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_FALSE(platform::systemPath(platform::kControllerSocketPath).empty());
    EXPECT_FALSE(std::filesystem::exists(root.socketPath()));
}

TEST(PppconfdStartup, ReplacesAStaleSocketAndCreatesFolders) {
    TempRoot root;
    std::filesystem::create_directories(std::filesystem::path(root.socketPath()).parent_path());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, root.socketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd); // the file stays, nobody listens

    Pppconfd daemon(root, kFixture);
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    EXPECT_EQ(daemon.stop(), 0);

    TempRoot fresh; // no var/run at all
    Pppconfd another(fresh, kFixture);
    EXPECT_TRUE(another.ready()) << another.errors();
}

TEST(PppconfdStartup, RefusesBadStarts) {
    TempRoot root;
    const std::string garbage = root.path() + "/garbage.plist";
    std::ofstream(garbage) << "not a plist";
    const std::string unknownKey = root.path() + "/unknown.plist";
    std::ofstream(unknownKey) << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array><dict>
<key>ServiceID</key><string>S</string><key>Interface</key><string>ppp0</string>
<key>Speed</key><integer>5</integer>
</dict></array></plist>)";
    const std::string missing = root.path() + "/missing.plist";

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{kPppconfd, "--simulate", missing}, 1, "pppconfd: " + missing + ": does not exist\n"},
        {{kPppconfd, "--simulate", garbage},
         1,
         "pppconfd: " + garbage + ": is not a property list\n"},
        {{kPppconfd, "--simulate", unknownKey},
         1,
         "pppconfd: " + unknownKey + ": entry 1: unknown key Speed\n"},
        {{kPppconfd},
         2,
         "pppconfd: no link source given: use --pppd or --simulate FILE (try --help)\n"},
        {{kPppconfd, "--pppd", "--import-peers"},
         2,
         "pppconfd: give only one of --pppd, --simulate FILE and --import-peers (try --help)\n"},
        {{kPppconfd, "--bogus"},
         2,
         "pppconfd: unknown or incomplete option --bogus (try --help)\n"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.args.back());
        ProgramRun run = runProgram(root, tc.args);
        EXPECT_EQ(run.status, tc.status);
        EXPECT_EQ(run.err, tc.err);
    }

    // A file that is not a socket is never removed.
    std::filesystem::create_directories(std::filesystem::path(root.socketPath()).parent_path());
    std::ofstream(root.socketPath()) << "keep me";
    ProgramRun run = runProgram(root, {kPppconfd, "--simulate", kFixture});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "pppconfd: " + root.socketPath() + " exists and is not a socket\n");
    EXPECT_EQ(readWhole(root.socketPath()), "keep me");

    ProgramRun help = runProgram(root, {kPppconfd, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--simulate FILE"), std::string::npos);
}

TEST_F(PppconfdTest, PppctlCommands) {
    ProgramRun list = runProgram(root, {kPppctl, "list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "1\t" + kDialing + "\t0\n2\t" + kRunning + "\t8\n");

    ProgramRun running = runProgram(root, {kPppctl, "status", kRunning});
    EXPECT_EQ(running.status, 0);
    unsigned elapsed = 0, received = 0, sent = 0;
    int consumed = 0;
    EXPECT_EQ(std::sscanf(running.out.c_str(), "phase 8\nelapsed %u\nreceived %u\nsent %u\n%n",
                          &elapsed, &received, &sent, &consumed),
              3)
        << running.out;
    EXPECT_EQ(static_cast<size_t>(consumed), running.out.size()) << running.out;
    ProgramRun idle = runProgram(root, {kPppctl, "status", kDialing});
    EXPECT_EQ(idle.out, "phase 0\n");

    ProgramRun connect = runProgram(root, {kPppctl, "connect", kDialing});
    EXPECT_EQ(connect.status, 0) << connect.err;
    EXPECT_TRUE(eventually([&] {
        return runProgram(root, {kPppctl, "status", kDialing}).out.rfind("phase 8\n", 0) == 0;
    }));

    // watch prints the phase changes of a dial. The watcher may switch events
    // on late on a loaded machine, so the dial is repeated until it sees one.
    const std::string watchOut = root.path() + "/watch.out";
    pid_t watcher = spawnProgram({kPppctl, "watch"}, watchOut, root.path() + "/watch.err");
    ASSERT_GT(watcher, 0);
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        runProgram(root, {kPppctl, "disconnect", kDialing});
        runProgram(root, {kPppctl, "connect", kDialing});
        seen = eventually(
            [&] { return readWhole(watchOut).find(kDialing + "\tphase 8\n") != std::string::npos; },
            3s);
    }
    EXPECT_TRUE(seen) << readWhole(watchOut);
    EXPECT_NE(readWhole(watchOut).find(kDialing + "\tphase 1\n"), std::string::npos);
    EXPECT_EQ(stop(watcher, SIGINT), 0);

    EXPECT_EQ(runProgram(root, {kPppctl, "disconnect", kDialing}).status, 0);
    EXPECT_EQ(runProgram(root, {kPppctl, "status", kDialing}).out, "phase 0\n");

    ProgramRun unknown = runProgram(root, {kPppctl, "status", "nope"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "pppctl: no link has the service ID nope\n");

    ProgramRun usage = runProgram(root, {kPppctl, "status"});
    EXPECT_EQ(usage.status, 2);
    ProgramRun help = runProgram(root, {kPppctl, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("pppctl watch"), std::string::npos);

    daemon.stop();
    ProgramRun gone = runProgram(root, {kPppctl, "list"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "pppctl: cannot reach the controller at " + root.socketPath() + ": " +
                            std::strerror(ENOENT) + "\n");
}

} // namespace
