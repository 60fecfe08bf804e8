// The controller's request handling, fed directly with byte streams.
#include <random>

#include <gtest/gtest.h>

#include "controller/ControllerService.h"
#include "controller/SimulatedLinks.h"
#include "tests/pppctl/ControllerTestSupport.h"

using controller::Clock;
using controller::ControllerService;
using controller::SimulatedLinkConfig;
using controller::SimulatedLinks;
using testsupport::Bytes;
using testsupport::concat;
using testsupport::header;
using testsupport::word;

namespace {

Bytes request(uint16_t type, uint32_t link, const Bytes& body = {}) {
    return concat({header(type, 0, link, static_cast<uint32_t>(body.size())), body});
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct Reply {
    ppp_msg_hdr header{};
    Bytes body;
};

// Splits a session's output into messages.
std::vector<Reply> parse(const Bytes& out) {
    std::vector<Reply> replies;
    size_t at = 0;
    while (out.size() - at >= sizeof(ppp_msg_hdr)) {
        Reply r;
        std::memcpy(&r.header, out.data() + at, sizeof r.header);
        at += sizeof r.header;
        EXPECT_LE(r.header.length, out.size() - at);
        r.body.assign(out.begin() + static_cast<std::ptrdiff_t>(at),
                      out.begin() + static_cast<std::ptrdiff_t>(at + r.header.length));
        at += r.header.length;
        replies.push_back(std::move(r));
    }
    EXPECT_EQ(at, out.size());
    return replies;
}

class ControllerServiceTest : public ::testing::Test {
protected:
    ControllerServiceTest() : links(makeLinks(), [this] { return now; }), service(links) {}

    static std::vector<SimulatedLinkConfig> makeLinks() {
        SimulatedLinkConfig a, b;
        a.description = {"service-A", "ppp0"};
        a.dialSeconds = 7;
        a.inRate = 100;
        b.description = {"caf\xC3\xA9", "ppp1"};
        b.startConnected = true;
        return {a, b};
    }

    // Sends bytes and returns what came back, taking it off the session.
    std::vector<Reply> send(ControllerService::Session& session, const Bytes& bytes,
                            bool expectOpen = true) {
        EXPECT_EQ(service.receive(session, bytes.data(), bytes.size()), expectOpen);
        Bytes out = std::move(session.output());
        session.output().clear();
        return parse(out);
    }
    Reply exchange(const Bytes& bytes) {
        auto replies = send(*session, bytes);
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? Reply{} : replies[0];
    }

    Clock::time_point now = Clock::time_point(std::chrono::hours(5));
    SimulatedLinks links;
    ControllerService service;
    ControllerService::Session* session = &service.openSession();
};

TEST_F(ControllerServiceTest, AnswersEveryRequestType) {
    struct Case {
        const char* name;
        Bytes request;
        bool ok;
        Bytes body;
    };
    const uint32_t A = 1, B = 2;
    const std::vector<Case> cases = {
        {"number of links", request(PPP_GETNBLINKS, PPP_LINK_NONE), true, word(2)},
        {"link by index", request(PPP_GETLINKBYINDEX, PPP_LINK_NONE, word(1)), true, word(B)},
        {"index out of range", request(PPP_GETLINKBYINDEX, PPP_LINK_NONE, word(2)), false, {}},
        {"index of wrong size", request(PPP_GETLINKBYINDEX, PPP_LINK_NONE, Bytes{1}), false, {}},
        {"link by service", request(PPP_LINKFORSERVICE, PPP_LINK_NONE, text("service-A")), true,
         word(A)},
        {"link by interface", request(PPP_LINKFORIFNAME, PPP_LINK_NONE, text("ppp1")), true,
         word(B)},
        {"unknown service", request(PPP_LINKFORSERVICE, PPP_LINK_NONE, text("service")), false, {}},
        {"empty name", request(PPP_LINKFORIFNAME, PPP_LINK_NONE), false, {}},
        {"status of idle link", request(PPP_STATUS, A), true, testsupport::Bytes()},
        {"status of unknown link", request(PPP_STATUS, 3), false, {}},
        {"status of link 0", request(PPP_STATUS, 0), false, {}},
        {"service ID option in Mac OS Roman", request(PPP_GETOPTION, B, word(PPP_OPT_SERVICEID)),
         true, concat({word(PPP_OPT_SERVICEID), Bytes{'c', 'a', 'f', 0x8E}})},
        {"service ID is read-only",
         request(PPP_SETOPTION, A, concat({word(29), text("x")})),
         false,
         {}},
        {"set another option",
         request(PPP_SETOPTION, A, concat({word(40), text("hello")})),
         true,
         {}},
        {"read it back", request(PPP_GETOPTION, A, word(40)), true,
         concat({word(40), text("hello")})},
        {"option never set", request(PPP_GETOPTION, A, word(41)), false, {}},
        {"option request without code", request(PPP_GETOPTION, A), false, {}},
        {"events on for a link", request(PPP_ENABLE_EVENT, A), true, {}},
        {"events off for an unknown link", request(PPP_DISABLE_EVENT, 9), false, {}},
        {"connect unknown link", request(PPP_CONNECT, 9), false, {}},
        {"unknown type 4", request(4, A), false, {}},
        {"unknown type 200", request(200, A, text("body")), false, {}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Reply r = exchange(tc.request);
        ppp_msg_hdr sent;
        std::memcpy(&sent, tc.request.data(), sizeof sent);
        EXPECT_EQ(r.header.type, sent.type);
        EXPECT_EQ(r.header.link, sent.link);
        if (tc.ok) {
            EXPECT_EQ(r.header.result, 0u);
            if (sent.type != PPP_STATUS) {
                EXPECT_EQ(r.body, tc.body);
            }
        } else {
            EXPECT_NE(r.header.result, 0u);
            EXPECT_TRUE(r.body.empty());
        }
    }
    EXPECT_FALSE(session->closing());
}

TEST_F(ControllerServiceTest, ConnectStatusDisconnect) {
    Reply r = exchange(request(PPP_STATUS, 1));
    ASSERT_EQ(r.body.size(), sizeof(ppp_status));
    EXPECT_EQ(r.body[0], 0);

    EXPECT_EQ(exchange(request(PPP_CONNECT, 1)).header.result, 0u);
    now += std::chrono::seconds(9); // 7 s dialing, 2 s running
    r = exchange(request(PPP_STATUS, 1));
    ppp_status s;
    ASSERT_EQ(r.body.size(), sizeof s);
    std::memcpy(&s, r.body.data(), sizeof s);
    EXPECT_EQ(s.phase, PPP_RUNNING);
    EXPECT_EQ(s.s.connected.timeElapsed, 2u);
    EXPECT_EQ(s.s.connected.inBytes, 200u);

    EXPECT_EQ(exchange(request(PPP_DISCONNECT, 1)).header.result, 0u);
    r = exchange(request(PPP_STATUS, 1));
    std::memcpy(&s, r.body.data(), sizeof s);
    EXPECT_EQ(s.phase, PPP_IDLE);
}

TEST_F(ControllerServiceTest, RequestsArrivingInPiecesGetTheSameReplies) {
    Bytes stream =
        concat({request(PPP_GETNBLINKS, PPP_LINK_NONE),
                request(PPP_LINKFORSERVICE, PPP_LINK_NONE, text("service-A")),
                request(PPP_GETOPTION, 2, word(PPP_OPT_SERVICEID)), request(PPP_STATUS, 2)});
    ASSERT_TRUE(service.receive(*session, stream.data(), stream.size()));
    Bytes whole = session->output();

    ControllerService::Session& other = service.openSession();
    for (uint8_t byte : stream)
        ASSERT_TRUE(service.receive(other, &byte, 1));
    EXPECT_EQ(other.output(), whole);
    EXPECT_EQ(parse(whole).size(), 4u);
}

TEST_F(ControllerServiceTest, OversizedOrMalformedRequestsGetAnErrorAndClose) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool closes;
    };
    Bytes reserved = header(PPP_STATUS, 0, 1, 0);
    reserved[0] = 1;
    Bytes cookie = header(PPP_STATUS, 0, 1, 0);
    cookie[8] = 1;
    const std::vector<Case> cases = {
        {"body of 4 KiB is fine", request(77, 1, Bytes(PPP_MAX_REQUEST_BODY, 0)), false},
        {"body over 4 KiB", header(PPP_SETOPTION, 0, 1, PPP_MAX_REQUEST_BODY + 1), true},
        {"body of 4 GiB", header(PPP_SETOPTION, 0, 1, 0xFFFFFFFF), true},
        {"reserved field set", reserved, true},
        {"second reserved field set", cookie, true},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ControllerService::Session& s = service.openSession();
        auto replies = send(s, tc.bytes, !tc.closes);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_NE(replies[0].header.result, 0u);
        EXPECT_EQ(s.closing(), tc.closes);
        if (tc.closes) {
            // Nothing more is read from a client that is being closed.
            Bytes more = request(PPP_GETNBLINKS, PPP_LINK_NONE);
            EXPECT_TRUE(send(s, more, false).empty());
        }
        service.closeSession(s);
    }
}

TEST_F(ControllerServiceTest, EventsGoToTheClientsThatAskedForThem) {
    ControllerService::Session& all = service.openSession();
    ControllerService::Session& linkB = service.openSession();
    ControllerService::Session& none = service.openSession();
    std::vector<ControllerService::Session*> notified;
    service.setOutputHandler([&](ControllerService::Session& s) { notified.push_back(&s); });

    EXPECT_EQ(send(all, request(PPP_ENABLE_EVENT, 0)).size(), 1u);
    EXPECT_EQ(send(linkB, request(PPP_ENABLE_EVENT, 2)).size(), 1u);

    exchange(request(PPP_CONNECT, 1));
    auto events = parse(all.output());
    all.output().clear();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].header.type, PPP_EVENT);
    EXPECT_EQ(events[0].header.link, 1u);
    EXPECT_EQ(events[0].header.cookie, 1u);
    EXPECT_EQ(events[0].header.length, 0u);
    EXPECT_TRUE(linkB.output().empty());
    EXPECT_TRUE(none.output().empty());

    // Changes found by the timer reach the clients through the output handler.
    notified.clear();
    now += std::chrono::seconds(7);
    links.advance();
    events = parse(all.output());
    all.output().clear();
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events.back().header.cookie, PPP_RUNNING);
    EXPECT_EQ(notified.size(), 7u);

    exchange(request(PPP_DISCONNECT, 2));
    EXPECT_EQ(parse(linkB.output()).size(), 1u);
    EXPECT_EQ(parse(all.output()).size(), 1u);
    all.output().clear();

    // Switching off one link of "all links" keeps the others.
    send(all, request(PPP_DISABLE_EVENT, 2));
    exchange(request(PPP_CONNECT, 2));
    exchange(request(PPP_DISCONNECT, 1));
    events = parse(all.output());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].header.link, 1u);
    all.output().clear();

    send(all, request(PPP_DISABLE_EVENT, PPP_LINK_NONE));
    exchange(request(PPP_CONNECT, 1));
    EXPECT_TRUE(all.output().empty());
}

TEST_F(ControllerServiceTest, AClientThatStopsReadingIsCutOff) {
    ControllerService::Session& reader = service.openSession();
    send(reader, request(PPP_ENABLE_EVENT, 0));
    // Nobody takes the events off this session.
    while (!reader.overflowed()) {
        exchange(request(PPP_CONNECT, 1));
        exchange(request(PPP_DISCONNECT, 1));
    }
    EXPECT_TRUE(reader.closing());
    EXPECT_LE(reader.output().size(), ControllerService::kMaxPendingOutput + sizeof(ppp_msg_hdr));
}

TEST_F(ControllerServiceTest, RandomStreamsNeverBreakIt) {
    std::mt19937 random(20240611);
    const uint16_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 0xFFFF};
    for (int round = 0; round < 500; ++round) {
        ControllerService::Session& s = service.openSession();
        Bytes stream;
        int count = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < count; ++i) {
            uint32_t length = random() % 3 == 0 ? random() : random() % 40;
            Bytes h = header(types[random() % std::size(types)], random() % 3 ? 0 : random(),
                             random() % 4, length);
            if (random() % 5 == 0)
                h[random() % h.size()] = static_cast<uint8_t>(random());
            stream.insert(stream.end(), h.begin(), h.end());
            for (uint32_t k = 0; k < std::min<uint32_t>(length, 64); ++k)
                stream.push_back(static_cast<uint8_t>(random()));
        }
        size_t at = 0;
        while (at < stream.size()) {
            size_t piece = std::min<size_t>(1 + random() % 50, stream.size() - at);
            if (!service.receive(s, stream.data() + at, piece))
                break;
            at += piece;
        }
        parse(s.output());
        service.closeSession(s);
    }
    EXPECT_EQ(service.sessionCount(), 1u);
}

} // namespace
