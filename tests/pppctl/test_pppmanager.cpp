// PPPManager against a scripted controller on a real socket.
#include <csignal>
#include <pthread.h>

#include <gtest/gtest.h>

#include "platform/Log.h"
#include "pppctl/PPPManager.h"
#include "tests/pppctl/ControllerTestSupport.h"

using namespace testsupport;
using Connection = FakeController::Connection;

class PPPManagerTestPeer {
public:
    static uint32_t numberOfLinks(PPPManager& m) { return m._pppconfdNumberOfLinks(); }
};

namespace {

constexpr uint32_t kLink = 7;

ppp_status sentinel() {
    ppp_status s;
    std::memset(&s, 0x5A, sizeof s);
    return s;
}

// Answers one status query (lookup, then status) with a running link.
void serveRunning(Connection& c, uint32_t elapsed = 125, uint32_t in = 1000, uint32_t out = 200) {
    c.answer(reply(0, word(kLink)));
    c.answer(reply(0, statusRecord(PPP_RUNNING, elapsed, 30, in, out)));
}

class PPPManagerTest : public ::testing::Test {
protected:
    void SetUp() override { PPPManager::resetForTesting(); }
    void TearDown() override { PPPManager::resetForTesting(); }

    TempRoot root;
    platform::LogCapture log;
};

TEST_F(PPPManagerTest, StatusQueryIsALookupThenAStatusRequestInHostOrder) {
    FakeController controller({[](Connection& c) { serveRunning(c); }});

    ppp_status status = sentinel();
    ASSERT_TRUE(PPPManager::getStatus(&status, "ABC"));
    EXPECT_EQ(status.phase, PPP_RUNNING);
    EXPECT_EQ(status.s.connected.timeElapsed, 125u);
    EXPECT_EQ(status.s.connected.timeRemaining, 30u);
    EXPECT_EQ(status.s.connected.inBytes, 1000u);
    EXPECT_EQ(status.s.connected.outBytes, 200u);

    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, concat({header(13, 0, 0xFFFFFFFF, 3), Bytes{0x41, 0x42, 0x43}}));
    EXPECT_EQ(requests[1].raw, header(2, 0, kLink, 0));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PPPManagerTest, NumberOfLinksTakesOnlyAFourByteBody) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, word(3)));
        c.answer(reply(0, Bytes(8, 1)));
        c.answer(reply(5, word(3)));
        c.answer(reply(0));
    }});
    PPPManager* manager = PPPManager::sharedInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(PPPManagerTestPeer::numberOfLinks(*manager), 3u);
    EXPECT_EQ(PPPManagerTestPeer::numberOfLinks(*manager), 0u);
    EXPECT_EQ(PPPManagerTestPeer::numberOfLinks(*manager), 0u);
    EXPECT_EQ(PPPManagerTestPeer::numberOfLinks(*manager), 0u);
    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].raw, header(11, 0, 0xFFFFFFFF, 0));
}

// Replies that fail a query without breaking the stream: the next query on
// the same connection must read its own reply.
TEST_F(PPPManagerTest, FailedRepliesLeaveTheRecordAndTheStreamIntact) {
    struct Case {
        const char* name;
        std::vector<Bytes> replies;
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {"lookup body of 8 bytes", {reply(0, Bytes(8, 0))}, "erreur 1"},
        {"lookup failure code with a link", {reply(3, word(kLink))}, "erreur 1"},
        {"lookup without body", {reply(0)}, "erreur 1"},
        {"status of 32 bytes", {reply(0, word(kLink)), reply(0, Bytes(32, 1))}, "erreur 2"},
        {"status of 40 bytes", {reply(0, word(kLink)), reply(0, Bytes(40, 1))}, "erreur 2"},
        {"status failure code with a record",
         {reply(0, word(kLink)), reply(9, statusRecord(PPP_RUNNING, 1, 0, 2, 3))},
         "erreur 2"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        PPPManager::resetForTesting();
        log.clear();
        FakeController controller({[&](Connection& c) {
            for (const auto& r : tc.replies)
                c.answer(r);
            serveRunning(c, 5, 6, 7);
        }});

        ppp_status status = sentinel();
        EXPECT_FALSE(PPPManager::getStatus(&status, "svc"));
        ppp_status untouched = sentinel();
        EXPECT_EQ(std::memcmp(&status, &untouched, sizeof status), 0);
        EXPECT_EQ(log.lines(), std::vector<std::string>{tc.logLine});

        ASSERT_TRUE(PPPManager::getStatus(&status, "svc"));
        EXPECT_EQ(status.s.connected.inBytes, 6u);
        EXPECT_EQ(controller.connections(), 1);
    }
}

TEST_F(PPPManagerTest, StatusDictionaries) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, word(kLink)));
        c.answer(reply(0, statusRecord(PPP_RUNNING, 125, 30, 1000, 200)));
        c.answer(reply(0, word(kLink)));
        c.answer(reply(0, statusRecord(PPP_IDLE)));
        c.answer(reply(0, word(kLink)));
        c.answer(reply(0, Bytes(35, 0)));
    }});

    auto running = PPPManager::statusForService("svc");
    ASSERT_TRUE(running);
    platform::Dictionary expected;
    expected.set("status", platform::Value(uint32_t(8)));
    expected.set("inBytes", platform::Value(uint32_t(1000)));
    expected.set("outBytes", platform::Value(uint32_t(200)));
    expected.set("timeElapsed", platform::Value(uint32_t(125)));
    expected.set("timeRemaining", platform::Value(uint32_t(30)));
    EXPECT_EQ(*running, expected);

    auto idle = PPPManager::statusForInterface("ppp0");
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->size(), 1u);
    EXPECT_EQ(idle->find("status")->asUnsigned(), 0u);

    EXPECT_FALSE(PPPManager::statusForService("svc"));
    EXPECT_TRUE(log.lines().empty()); // the dictionary queries fail quietly

    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[2].raw, concat({header(14, 0, 0xFFFFFFFF, 4), Bytes{'p', 'p', 'p', '0'}}));
}

TEST_F(PPPManagerTest, ConnectAndDisconnectIgnoreTheReply) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, word(kLink)));
        c.answer(reply(0));  // connect: result only
        c.answer(reply(19)); // lookup for disconnect fails: nothing more is sent
        serveRunning(c);
    }});
    PPPManager* manager = PPPManager::sharedInstance();
    ASSERT_NE(manager, nullptr);
    manager->pppConnectService("svc");
    manager->pppDisconnectService("svc");
    ppp_status status{};
    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));

    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[1].raw, header(PPP_CONNECT, 0, kLink, 0));
    EXPECT_EQ(requests[2].header.type, PPP_LINKFORSERVICE);
    EXPECT_EQ(requests[3].header.type, PPP_LINKFORSERVICE);
}

TEST_F(PPPManagerTest, NoControllerLogsEachTimeLeaksNothingAndRecovers) {
    const int before = openDescriptors();
    ppp_status status = sentinel();
    EXPECT_FALSE(PPPManager::getStatus(&status, "svc"));
    EXPECT_FALSE(PPPManager::statusForService("svc"));
    EXPECT_EQ(PPPManager::sharedInstance(), nullptr);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>(3, "Unable to establish socket for pppconfd. Abort."));

    FakeController controller({[](Connection& c) { serveRunning(c); }});
    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
}

// Transport failures drop the connection; the next class-level call opens a
// new one, so the agent follows a controller restart.
TEST_F(PPPManagerTest, TransportFailureDropsTheConnectionAndTheNextCallReconnects) {
    struct Case {
        const char* name;
        std::function<void(Connection&)> fail;
    };
    const std::vector<Case> cases = {
        {"controller closes without a reply",
         [](Connection& c) {
             Message m;
             c.next(m);
         }},
        {"header cut short",
         [](Connection& c) {
             Message m;
             c.next(m);
             Bytes r = reply(0, word(kLink));
             c.send(Bytes(r.begin(), r.begin() + 5));
         }},
        {"body cut short",
         [](Connection& c) {
             Message m;
             c.next(m);
             c.send(concat({header(0, 0, 0, 4), Bytes{1, 2}}));
         }},
        {"body over 1 MiB announced",
         [](Connection& c) {
             Message m;
             c.next(m);
             c.send(header(0, 0, 0, PPP_MAX_REPLY_BODY + 1));
             // The client must give up on its own, without the body.
             EXPECT_TRUE(c.waitForClose());
         }},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        PPPManager::resetForTesting();
        log.clear();
        FakeController controller({tc.fail, [](Connection& c) { serveRunning(c); }});
        ppp_status status = sentinel();
        EXPECT_FALSE(PPPManager::getStatus(&status, "svc"));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"erreur 1"});
        ASSERT_TRUE(controller.waitFinished(1));
        EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
        EXPECT_EQ(status.s.connected.inBytes, 1000u);
        EXPECT_EQ(controller.connections(), 2);
    }
}

TEST_F(PPPManagerTest, ReplyOfExactlyTheLimitIsReadAndKeepsTheConnection) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, Bytes(PPP_MAX_REPLY_BODY, 0)));
        serveRunning(c);
    }});
    ppp_status status{};
    EXPECT_FALSE(PPPManager::getStatus(&status, "svc"));
    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
    EXPECT_EQ(controller.connections(), 1);
}

TEST_F(PPPManagerTest, WriteToAControllerThatWentAwayFailsWithoutSignal) {
    // SIGPIPE keeps its default action: a raised one would end this test.
    std::signal(SIGPIPE, SIG_DFL);
    FakeController controller(
        {[](Connection& c) { serveRunning(c); }, [](Connection& c) { serveRunning(c, 1, 2, 3); }});
    ppp_status status{};
    ASSERT_TRUE(PPPManager::getStatus(&status, "svc"));
    ASSERT_TRUE(controller.waitFinished(1)); // the controller closed its end

    EXPECT_FALSE(PPPManager::getStatus(&status, "svc"));
    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
    EXPECT_EQ(status.s.connected.inBytes, 2u);
    EXPECT_EQ(controller.connections(), 2);
}

TEST_F(PPPManagerTest, HungControllerIsAFailedExchangeAfterFiveSeconds) {
    FakeController controller({[](Connection& c) {
                                   Message m;
                                   c.next(m);
                                   c.hang();
                               },
                               [](Connection& c) { serveRunning(c); }});
    ppp_status status = sentinel();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PPPManager::getStatus(&status, "svc"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"erreur 1"});

    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
    EXPECT_EQ(controller.connections(), 2);
}

TEST_F(PPPManagerTest, ReadInterruptedBySignalIsResumed) {
    catchInterrupts();
    pthread_t client = pthread_self();

    FakeController controller({[client](Connection& c) {
        answerAfterInterrupting(c, client, reply(0, word(kLink)));
        c.answer(reply(0, statusRecord(PPP_RUNNING, 1, 0, 2, 3)));
    }});
    ppp_status status{};
    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
    EXPECT_GE(interruptsSeen.load(), 1);
    EXPECT_EQ(status.s.connected.outBytes, 3u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PPPManagerTest, ForceReconnectOpensAFreshConnection) {
    {
        FakeController controller({[](Connection& c) { serveRunning(c); },
                                   [](Connection& c) { serveRunning(c, 1, 2, 3); }});
        ppp_status status{};
        ASSERT_TRUE(PPPManager::getStatus(&status, "svc"));
        PPPManager* before = PPPManager::sharedInstance();
        PPPManager::forceReconnect();
        EXPECT_EQ(PPPManager::sharedInstance(), before);
        ASSERT_TRUE(PPPManager::getStatus(&status, "svc"));
        EXPECT_EQ(status.s.connected.inBytes, 2u);
        EXPECT_EQ(controller.connections(), 2);
    }
    // A reconnect while no controller listens leaves the instance without a
    // connection; a later call connects once the controller is back.
    log.clear();
    PPPManager::forceReconnect();
    EXPECT_NE(PPPManager::sharedInstance(), nullptr);
    EXPECT_FALSE(PPPManager::sharedInstance()->isConnected());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Unable to establish socket for pppconfd. Abort."});

    FakeController controller({[](Connection& c) { serveRunning(c); }});
    ppp_status status{};
    EXPECT_TRUE(PPPManager::getStatus(&status, "svc"));
}

} // namespace
