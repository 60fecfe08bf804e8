// The plain-function controller library against a scripted controller.
#include <csignal>
#include <cstdlib>
#include <pthread.h>

#include <gtest/gtest.h>

#include "pppctl/PPPLib.h"
#include "tests/pppctl/ControllerTestSupport.h"

using namespace testsupport;
using Connection = FakeController::Connection;

namespace {

class PPPLibTest : public ::testing::Test {
protected:
    int32_t open() {
        int32_t ref = -1;
        EXPECT_EQ(PPPInit(&ref), 0);
        return ref;
    }

    TempRoot root;
};

// The controller's answer to "which service has link N?": option word, then ID.
Bytes serviceOption(const std::string& id) {
    return reply(0, concat({word(PPP_OPT_SERVICEID), Bytes(id.begin(), id.end())}));
}

TEST_F(PPPLibTest, InitFailsWithTheConnectErrorAndLeavesTheReference) {
    int32_t ref = 12345;
    const int before = openDescriptors();
    int32_t status = PPPInit(&ref);
    EXPECT_TRUE(status == ENOENT || status == ECONNREFUSED) << status;
    EXPECT_EQ(ref, 12345);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(PPPLibTest, ExecSendsTheRequestAndHandsOverTheReply) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, Bytes{9, 8, 7}));
        c.answer(reply(19));
        c.answer(reply(0, Bytes{1, 2}));
    }});
    int32_t ref = open();
    const uint8_t body[] = {0xAA, 0xBB};
    void* out = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(PPPExec(ref, 42, 99, body, sizeof body, &out, &length), 0);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + 3), (Bytes{9, 8, 7}));
    std::free(out);

    EXPECT_EQ(PPPExec(ref, 42, 3, nullptr, 0, nullptr, nullptr), 19);
    // A body given with length 0 is not sent; a reply not asked for is freed.
    EXPECT_EQ(PPPExec(ref, 42, 3, body, 0, nullptr, nullptr), 0);

    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].raw, concat({header(99, 0, 42, 2), Bytes{0xAA, 0xBB}}));
    EXPECT_EQ(requests[2].raw, header(3, 0, 42, 0));
    EXPECT_EQ(PPPDispose(ref), 0);
}

TEST_F(PPPLibTest, ShortRepliesAndLostControllers) {
    struct Case {
        const char* name;
        std::function<void(Connection&)> answer;
        int32_t status;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"body cut after 5 of 12 bytes",
         [](Connection& c) {
             c.answer(concat({header(0, 0, 0, 12), Bytes(5, 1)}));
         },
         -1, "PPPExec read() failed: insufficent data, read=5\n"},
        {"header cut after 7 bytes", [](Connection& c) { c.answer(Bytes(7, 0)); }, -1,
         "PPPExec read() failed: insufficent data, read=7\n"},
        {"no reply at all",
         [](Connection& c) {
             Message m;
             c.next(m);
         },
         -1, "PPPExec read() failed: insufficent data, read=0\n"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        FakeController controller({tc.answer});
        int32_t ref = open();
        void* out = reinterpret_cast<void*>(0x1);
        uint32_t length = 77;
        StderrCapture err;
        EXPECT_EQ(PPPExec(ref, 1, PPP_STATUS, nullptr, 0, &out, &length), tc.status);
        EXPECT_EQ(err.text(), tc.line);
        EXPECT_EQ(out, reinterpret_cast<void*>(0x1)); // nothing handed over
        EXPECT_EQ(length, 77u);
        PPPDispose(ref);
    }
}

TEST_F(PPPLibTest, WriteToAClosedControllerIsAnErrorNotASignal) {
    std::signal(SIGPIPE, SIG_DFL);
    FakeController controller({[](Connection&) {}});
    int32_t ref = open();
    ASSERT_TRUE(controller.waitFinished(1));
    StderrCapture err;
    EXPECT_EQ(PPPExec(ref, 1, PPP_CONNECT, nullptr, 0, nullptr, nullptr), EPIPE);
    EXPECT_EQ(err.text(), std::string("PPPExec write() failed: ") + std::strerror(EPIPE) + "\n");
    PPPDispose(ref);
}

TEST_F(PPPLibTest, OversizedReplyBodyIsDrainedNotKept) {
    FakeController controller({[](Connection& c) {
        Message m;
        c.next(m);
        c.send(header(0, 0, 0, PPP_MAX_REPLY_BODY + 10));
        c.send(Bytes(PPP_MAX_REPLY_BODY + 10, 0x11));
        c.answer(reply(0, word(4)));
    }});
    int32_t ref = open();
    void* out = nullptr;
    uint32_t length = 0;
    StderrCapture err;
    EXPECT_EQ(PPPExec(ref, 1, PPP_STATUS, nullptr, 0, &out, &length), ENOMEM);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(err.text(),
              std::string("PPPExec read() failed: error=") + std::strerror(ENOMEM) + "\n");
    uint32_t count = 0;
    EXPECT_EQ(PPPGetNumberOfLinks(ref, &count), 0); // the next header is read in step
    EXPECT_EQ(count, 4u);
    PPPDispose(ref);
}

TEST_F(PPPLibTest, ReadInterruptedBySignalIsResumedSilently) {
    catchInterrupts();
    pthread_t client = pthread_self();
    FakeController controller(
        {[client](Connection& c) { answerAfterInterrupting(c, client, reply(0, word(3))); }});
    int32_t ref = open();
    uint32_t count = 0;
    StderrCapture err;
    EXPECT_EQ(PPPGetNumberOfLinks(ref, &count), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_GE(interruptsSeen.load(), 1);
    EXPECT_EQ(err.text(), "");
    PPPDispose(ref);
}

TEST_F(PPPLibTest, QueriesLogTheirFailureLine) {
    struct Case {
        const char* name;
        std::function<int32_t(int32_t)> call;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"connect", [](int32_t r) { return PPPConnect(r, 1); },
         "PPPExec(PPP_CONNECT) failed: status = 19\n"},
        {"disconnect", [](int32_t r) { return PPPDisconnect(r, 1); },
         "PPPExec(PPP_DISCONNECT) failed: status = 19\n"},
        {"links",
         [](int32_t r) {
             uint32_t n;
             return PPPGetNumberOfLinks(r, &n);
         },
         "PPPExec(PPP_GETNBLINKS) failed: status = 19\n"},
        {"by index",
         [](int32_t r) {
             uint32_t l;
             return PPPGetLinkByIndex(r, 0, &l);
         },
         "PPPExec(PPP_GETLINKBYINDEX) failed: status = 19\n"},
        {"set option", [](int32_t r) { return PPPSetOption(r, 1, 5, "x", 1); },
         "PPPExec(PPP_SETOPTION) failed: status = 19\n"},
        {"status", [](int32_t r) { return PPPStatus(r, 1, nullptr); },
         "PPPExec(PPP_STATUS) failed: status = 19\n"},
        {"events on", [](int32_t r) { return PPPEnableEvents(r, 1, true); },
         "PPPExec(PPP_ENABLE_EVENT) failed: status = 19\n"},
        {"events off", [](int32_t r) { return PPPEnableEvents(r, 1, false); },
         "PPPExec(PPP_DISABLE_EVENT) failed: status = 19\n"},
    };
    FakeController controller({[&](Connection& c) {
        for (size_t i = 0; i < cases.size(); ++i)
            c.answer(reply(19, word(1))); // a failure code with a body to skip
    }});
    int32_t ref = open();
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        StderrCapture err;
        EXPECT_EQ(tc.call(ref), 19);
        EXPECT_EQ(err.text(), tc.line);
    }
    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), cases.size());
    EXPECT_EQ(requests[3].raw, concat({header(PPP_GETLINKBYINDEX, 0, 0xFFFFFFFF, 4), word(0)}));
    EXPECT_EQ(requests[4].raw, concat({header(PPP_SETOPTION, 0, 1, 5), word(5), Bytes{'x'}}));
    EXPECT_EQ(requests[6].raw, header(PPP_ENABLE_EVENT, 0, 1, 0));
    EXPECT_EQ(requests[7].raw, header(PPP_DISABLE_EVENT, 0, 1, 0));
    PPPDispose(ref);
}

TEST_F(PPPLibTest, GetOptionFailureClearsAndShortValueLeavesOutputs) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(5));
        c.answer(reply(0, word(PPP_OPT_SERVICEID)));
        c.answer(serviceOption("id-1"));
    }});
    int32_t ref = open();
    void* value = reinterpret_cast<void*>(0x1);
    uint32_t length = 9;
    StderrCapture err;
    EXPECT_EQ(PPPGetOption(ref, 3, PPP_OPT_SERVICEID, &value, &length), 5);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(err.text(), "PPPExec(PPP_GETOPTION) failed: status = 5\n");

    value = reinterpret_cast<void*>(0x1);
    length = 9;
    EXPECT_EQ(PPPGetOption(ref, 3, PPP_OPT_SERVICEID, &value, &length), 0);
    EXPECT_EQ(value, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(length, 9u);

    EXPECT_EQ(PPPGetOption(ref, 3, PPP_OPT_SERVICEID, &value, &length), 0);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(std::string(static_cast<char*>(value), 4), "id-1");
    std::free(value);
    EXPECT_EQ(controller.requests()[0].raw,
              concat({header(PPP_GETOPTION, 0, 3, 4), word(PPP_OPT_SERVICEID)}));
    PPPDispose(ref);
}

TEST_F(PPPLibTest, StatusAcceptsExactlyOneRecord) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, statusRecord(PPP_RUNNING, 4, 0, 5, 6)));
        c.answer(reply(0, Bytes(40, 0)));
        c.answer(reply(0));
        c.answer(reply(0, word(1)));
    }});
    int32_t ref = open();
    ppp_status status{};
    StderrCapture err;
    EXPECT_EQ(PPPStatus(ref, 2, &status), 0);
    EXPECT_EQ(status.s.connected.outBytes, 6u);
    EXPECT_EQ(PPPStatus(ref, 2, &status), -1);
    EXPECT_EQ(PPPStatus(ref, 2, &status), -1);
    uint32_t count = 0;
    EXPECT_EQ(PPPGetNumberOfLinks(ref, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(err.text(), "");
    PPPDispose(ref);
}

TEST_F(PPPLibTest, LinkByServiceIDWalksTheLinks) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, word(3)));
        const char* ids[] = {"first", "second", "third"};
        for (uint32_t i = 0; i < 3; ++i) {
            c.answer(reply(0, word(100 + i)));
            c.answer(serviceOption(ids[i]));
        }
    }});
    int32_t ref = open();
    uint32_t link = 0;
    StderrCapture err;
    EXPECT_EQ(PPPGetLinkByServiceID(ref, "third", &link), 0);
    EXPECT_EQ(link, 102u);
    EXPECT_EQ(err.text(), "");
    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0].header.type, PPP_GETNBLINKS);
    EXPECT_EQ(requests[5].raw, concat({header(PPP_GETLINKBYINDEX, 0, 0xFFFFFFFF, 4), word(2)}));
    EXPECT_EQ(requests[6].raw, concat({header(PPP_GETOPTION, 0, 102, 4), word(29)}));
    PPPDispose(ref);
}

TEST_F(PPPLibTest, LinkByServiceIDFailures) {
    struct Case {
        const char* name;
        const char* id;
        std::vector<Bytes> replies;
        int32_t status;
        std::string lines;
    };
    const std::vector<Case> cases = {
        {"no service ID", nullptr, {}, 22, ""},
        {"not Mac OS Roman", "\xE6\x97\xA5", {}, 12, ""},
        {"no links", "a", {reply(0, word(0))}, -2, ""},
        {"no match", "a", {reply(0, word(1)), reply(0, word(5)), serviceOption("ab")}, -2, ""},
        {"prefix is no match",
         "ab",
         {reply(0, word(1)), reply(0, word(5)), serviceOption("a")},
         -2,
         ""},
        {"count fails",
         "a",
         {reply(4)},
         4,
         "PPPExec(PPP_GETNBLINKS) failed: status = 4\nPPPGetNumberOfLinks() failed: 4\n"},
        {"link reply of 8 bytes",
         "a",
         {reply(0, word(1)), reply(0, Bytes(8, 0))},
         -2,
         "PPPGetLinkByIndex() failed: -2\n"},
        {"option fails",
         "a",
         {reply(0, word(1)), reply(0, word(5)), reply(6)},
         6,
         "PPPExec(PPP_GETOPTION) failed: status = 6\n"
         "PPPGetOption(PPP_OPT_SERVICEID) failed: 6\n"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        FakeController controller({[&](Connection& c) {
            for (const auto& r : tc.replies)
                c.answer(r);
        }});
        int32_t ref = open();
        uint32_t link = 999;
        StderrCapture err;
        EXPECT_EQ(PPPGetLinkByServiceID(ref, tc.id, &link), tc.status);
        EXPECT_EQ(err.text(), tc.lines);
        EXPECT_EQ(link, 999u);
        PPPDispose(ref);
        ASSERT_TRUE(controller.waitFinished(1));
        EXPECT_EQ(controller.requests().size(), tc.replies.size());
    }
}

TEST_F(PPPLibTest, ServiceIDIsComparedAsMacRomanBytes) {
    FakeController controller({[](Connection& c) {
        c.answer(reply(0, word(1)));
        c.answer(reply(0, word(5)));
        c.answer(serviceOption("caf\x8E"));
    }});
    int32_t ref = open();
    uint32_t link = 0;
    EXPECT_EQ(PPPGetLinkByServiceID(ref, "caf\xC3\xA9", &link), 0);
    EXPECT_EQ(link, 5u);
    PPPDispose(ref);
}

TEST_F(PPPLibTest, SingleHeaderEventSwitchesAndWaiting) {
    FakeController controller({[](Connection& c) {
        Message m;
        c.next(m);
        c.send(reply(0));
        c.next(m);
        c.send(reply(17));
        c.send(header(PPP_EVENT, 0, 4, 0)); // an event after the switch
    }});
    int32_t ref = open();
    EXPECT_EQ(PPPEnableEvent(ref), 0);
    EXPECT_EQ(PPPDisableEvent(ref), 17);
    ppp_msg_hdr event{};
    EXPECT_EQ(PPPWaitForEvent(ref, &event), 0);
    EXPECT_EQ(event.type, PPP_EVENT);
    EXPECT_EQ(event.link, 4u);
    // The controller is gone: waiting ends with a failure, never a false event.
    EXPECT_NE(PPPWaitForEvent(ref, &event), 0);
    EXPECT_NE(PPPEnableEvent(ref), 0);
    auto requests = controller.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, header(PPP_ENABLE_EVENT, 0, 0, 0));
    EXPECT_EQ(requests[1].raw, header(PPP_DISABLE_EVENT, 0, 0, 0));
    PPPDispose(ref);
}

TEST(PPPTransfer, ReadnAndWritenEdgeCounts) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    char buffer[8] = {};
    EXPECT_EQ(readn(fds[0], buffer, 0), 0);
    EXPECT_EQ(readn(fds[0], buffer, -3), 0);
    EXPECT_EQ(writen(fds[1], buffer, 0), 0);
    EXPECT_EQ(writen(fds[1], buffer, -3), -3);
    EXPECT_EQ(writen(fds[1], "abc", 3), 3);
    ::close(fds[1]);
    EXPECT_EQ(readn(fds[0], buffer, 8), 3); // fewer only at end of stream
    EXPECT_EQ(readn(-1, buffer, 8), -1);
    ::close(fds[0]);
}

TEST(PPPMacRoman, Conversion) {
    struct Case {
        const char* utf8;
        bool ok;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"ABC-123", true, "ABC-123"},
        {"caf\xC3\xA9", true, "caf\x8E"},
        {"\xE2\x82\xAC", true, "\xDB"}, // euro sign
        {"\xEF\xA3\xBF", true, "\xF0"}, // the Apple logo of the private use area
        {"\xE6\x97\xA5", false, ""},    // a character the encoding lacks
        {"\xC3", false, ""},            // cut short
        {"\xC0\xAF", false, ""},        // overlong
        {"\xED\xA0\x80", false, ""},    // surrogate
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.utf8);
        std::string out;
        EXPECT_EQ(pppToMacRoman(tc.utf8, out), tc.ok);
        if (tc.ok) {
            EXPECT_EQ(out, tc.bytes);
        }
    }
    for (int b = 0; b < 256; ++b) {
        std::string one(1, static_cast<char>(b)), back;
        ASSERT_TRUE(pppToMacRoman(pppFromMacRoman(one), back)) << b;
        EXPECT_EQ(back, one);
    }
}

} // namespace
