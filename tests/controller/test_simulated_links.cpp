// The simulated link source, driven by a hand-moved clock.
#include <fstream>

#include <gtest/gtest.h>

#include "controller/SimulatedLinks.h"
#include "tests/pppctl/ControllerTestSupport.h"

using controller::Clock;
using controller::SimulatedLinkConfig;
using controller::SimulatedLinks;
using namespace std::chrono_literals;

namespace {

struct ManualClock {
    Clock::time_point now = Clock::time_point(10h);
    SimulatedLinks::NowFunction function() {
        return [this] { return now; };
    }
};

SimulatedLinkConfig link(std::string id, std::string ifname, uint32_t dial, uint32_t in,
                         uint32_t out) {
    SimulatedLinkConfig c;
    c.description = {std::move(id), std::move(ifname)};
    c.dialSeconds = dial;
    c.inRate = in;
    c.outRate = out;
    return c;
}

class SimulatedLinksTest : public ::testing::Test {
protected:
    void watch(SimulatedLinks& links) {
        links.setPhaseHandler(
            [this](size_t index, uint32_t phase) { phases.emplace_back(index, phase); });
    }
    // Moves the clock the way the daemon's timer does: to each change in turn.
    void runUntil(SimulatedLinks& links, Clock::time_point end) {
        while (auto next = links.nextChange()) {
            if (*next > end)
                break;
            clock.now = std::max(clock.now, *next);
            links.advance();
        }
        clock.now = end;
        links.advance();
    }

    ManualClock clock;
    std::vector<std::pair<size_t, uint32_t>> phases;
};

using Phases = std::vector<std::pair<size_t, uint32_t>>;

TEST_F(SimulatedLinksTest, DialsThroughItsPhasesRunsAndHangsUp) {
    SimulatedLinks links({link("A", "ppp0", 7, 1000, 10)}, clock.function());
    watch(links);
    EXPECT_EQ(links.status(0).phase, PPP_IDLE);
    EXPECT_FALSE(links.nextChange());

    const auto start = clock.now;
    EXPECT_EQ(links.connect(0), 0u);
    EXPECT_EQ(phases, (Phases{{0, 1}}));
    runUntil(links, start + 3500ms);
    EXPECT_EQ(links.status(0).phase, 4u);
    runUntil(links, start + 7s);
    EXPECT_EQ(phases, (Phases{{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}}));

    // A second connect while running changes nothing.
    EXPECT_EQ(links.connect(0), 0u);
    clock.now = start + 9500ms; // 2.5 s of running
    ppp_status s = links.status(0);
    EXPECT_EQ(s.phase, PPP_RUNNING);
    EXPECT_EQ(s.s.connected.timeElapsed, 2u);
    EXPECT_EQ(s.s.connected.inBytes, 2500u);
    EXPECT_EQ(s.s.connected.outBytes, 25u);
    EXPECT_EQ(s.s.connected.timeRemaining, 0u);

    EXPECT_EQ(links.disconnect(0), 0u);
    EXPECT_EQ(phases.back(), (std::pair<size_t, uint32_t>{0, 0}));
    EXPECT_EQ(links.status(0).phase, PPP_IDLE);
    EXPECT_FALSE(links.nextChange());
    // Hanging up an idle link reports nothing.
    size_t reported = phases.size();
    links.disconnect(0);
    EXPECT_EQ(phases.size(), reported);
}

TEST_F(SimulatedLinksTest, CountersWrapAt32Bits) {
    auto config = link("A", "ppp0", 2, 4000000000u, 3000000000u);
    config.startConnected = true;
    SimulatedLinks links({config}, clock.function());
    clock.now += 1500ms;
    EXPECT_EQ(links.status(0).s.connected.inBytes, uint32_t(6000000000ull % (1ull << 32)));
    clock.now += 500ms;
    ppp_status s = links.status(0);
    EXPECT_EQ(s.s.connected.inBytes, uint32_t(8000000000ull % (1ull << 32)));
    EXPECT_EQ(s.s.connected.outBytes, uint32_t(6000000000ull % (1ull << 32)));
    EXPECT_EQ(s.s.connected.timeElapsed, 2u);
}

TEST_F(SimulatedLinksTest, ZeroDialTimeRunsAtOnce) {
    SimulatedLinks links({link("A", "ppp0", 0, 1, 1)}, clock.function());
    watch(links);
    links.connect(0);
    EXPECT_EQ(phases, (Phases{{0, 8}}));
    EXPECT_EQ(links.status(0).phase, PPP_RUNNING);
}

TEST_F(SimulatedLinksTest, AutoConnectDialsEveryPeriodAndHangsUpAfterHold) {
    auto config = link("A", "ppp0", 1, 10, 10);
    config.autoEvery = 10;
    config.autoHold = 3;
    SimulatedLinks links({config}, clock.function());
    watch(links);
    const auto start = clock.now;

    runUntil(links, start + 1s);
    EXPECT_EQ(links.status(0).phase, PPP_RUNNING);
    clock.now = start + 2s;
    EXPECT_EQ(links.status(0).s.connected.timeRemaining, 2u);
    runUntil(links, start + 4s);
    EXPECT_EQ(links.status(0).phase, PPP_IDLE);
    runUntil(links, start + 10s);
    EXPECT_EQ(links.status(0).phase, 1u);
    runUntil(links, start + 14s);
    EXPECT_EQ(links.status(0).phase, PPP_IDLE);

    auto runs = std::count(phases.begin(), phases.end(), std::pair<size_t, uint32_t>{0, 8});
    EXPECT_EQ(runs, 2);

    // After a long stall the link dials once, not once for every missed period.
    phases.clear();
    clock.now = start + 10000s + 500ms;
    links.advance();
    EXPECT_EQ(std::count(phases.begin(), phases.end(), std::pair<size_t, uint32_t>{0, 1}), 1);
}

TEST_F(SimulatedLinksTest, StartConnectedRunsFromTheStart) {
    auto config = link("A", "ppp0", 2, 100, 50);
    config.startConnected = true;
    config.autoEvery = 60;
    config.autoHold = 5;
    SimulatedLinks links({config}, clock.function());
    watch(links);
    EXPECT_EQ(links.status(0).phase, PPP_RUNNING);
    runUntil(links, clock.now + 5s);
    EXPECT_EQ(phases, (Phases{{0, 0}}));
}

TEST(SimulatedLinksConfig, RejectsBadEntriesNamingThem) {
    using platform::Array;
    using platform::Dictionary;
    using platform::Value;
    auto entry = [](std::vector<std::pair<std::string, Value>> keys) {
        Dictionary d;
        for (auto& [k, v] : keys)
            d.set(k, v);
        return Value(d);
    };
    auto good = [&] { return entry({{"ServiceID", "S1"}, {"Interface", "ppp0"}}); };
    Dictionary autoBad;
    autoBad.set("Every", Value(10));

    struct Case {
        Value root;
        std::string error;
    };
    const std::vector<Case> cases = {
        {Value(Dictionary{}), "the top level must be an array of link dictionaries"},
        {Value(Array{Value("x")}), "entry 1: must be a dictionary"},
        {Value(Array{entry({{"Interface", "ppp0"}})}), "entry 1: ServiceID is missing"},
        {Value(Array{entry({{"ServiceID", "S"}})}), "entry 1: Interface is missing"},
        {Value(Array{entry({{"ServiceID", ""}, {"Interface", "ppp0"}})}),
         "entry 1: ServiceID must be a non-empty string"},
        {Value(Array{good(), entry({{"ServiceID", "S1"}, {"Interface", "ppp1"}})}),
         "entry 2: ServiceID S1 is used twice"},
        {Value(Array{good(), entry({{"ServiceID", "S2"}, {"Interface", "ppp0"}})}),
         "entry 2: Interface ppp0 is used twice"},
        {Value(Array{entry({{"ServiceID", "S"}, {"Interface", "p"}, {"DialSeconds", -1}})}),
         "entry 1: DialSeconds must be a whole number from 0 to 3600"},
        {Value(Array{entry({{"ServiceID", "S"}, {"Interface", "p"}, {"InRate", 1.5}})}),
         "entry 1: InRate must be a whole number from 0 to 4294967295"},
        {Value(
             Array{entry({{"ServiceID", "S"}, {"Interface", "p"}, {"OutRate", int64_t(1) << 32}})}),
         "entry 1: OutRate must be a whole number from 0 to 4294967295"},
        {Value(Array{entry({{"ServiceID", "S"}, {"Interface", "p"}, {"StartConnected", 1}})}),
         "entry 1: StartConnected must be a boolean"},
        {Value(Array{entry({{"ServiceID", "S"}, {"Interface", "p"}, {"AutoConnect", autoBad}})}),
         "entry 1: AutoConnect needs both Every and Hold"},
        {Value(Array{entry({{"ServiceID", "S"}, {"Interface", "p"}, {"Speed", 5}})}),
         "entry 1: unknown key Speed"},
    };
    for (const auto& tc : cases) {
        std::string error;
        EXPECT_FALSE(SimulatedLinks::parseConfig(tc.root, error));
        EXPECT_EQ(error, tc.error);
    }

    std::string error;
    auto links = SimulatedLinks::parseConfig(Value(Array{good()}), error);
    ASSERT_TRUE(links);
    ASSERT_EQ(links->size(), 1u);
    EXPECT_EQ((*links)[0].dialSeconds, 2u); // the default
    EXPECT_EQ((*links)[0].inRate, 0u);
    EXPECT_FALSE((*links)[0].startConnected);
}

TEST(SimulatedLinksConfig, LoadSaysWhatIsWrongWithTheFile) {
    testsupport::TempRoot root;
    std::string error;
    EXPECT_FALSE(SimulatedLinks::load(root.path() + "/missing.plist", error));
    EXPECT_EQ(error, "does not exist");

    std::string garbage = root.path() + "/garbage.plist";
    std::ofstream(garbage) << "<plist><array><dict>";
    EXPECT_FALSE(SimulatedLinks::load(garbage, error));
    EXPECT_EQ(error, "is not a property list");

    auto links = SimulatedLinks::load(DL_FIXTURES_DIR "/controller/two-links.plist", error);
    ASSERT_TRUE(links) << error;
    ASSERT_EQ(links->linkCount(), 2u);
    EXPECT_EQ(links->link(1).interface, "ppp1");
    EXPECT_EQ(links->status(1).phase, PPP_RUNNING);
}

} // namespace
