#include "platform/RunLoop.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(RunLoop, OneShotTimerFiresOnceAndStopEndsRunWithItsCode) {
    RunLoop& loop = RunLoop::main();
    int fired = 0;
    auto once = loop.addTimer(5ms, false, [&] { ++fired; });
    auto stopper = loop.addTimer(60ms, false, [&] { loop.stop(7); });
    EXPECT_EQ(loop.run(), 7);
    EXPECT_EQ(fired, 1);
    // The loop runs again after a stop.
    EXPECT_FALSE(loop.runFor(30ms));
    EXPECT_EQ(fired, 1);
}

// The schedule of a repeating timer is counted from its creation: a handler
// that runs late does not push every later firing back, and the firings
// missed while the loop was blocked are dropped rather than run back to back.
TEST(RunLoop, RepeatingTimerKeepsItsScheduleAfterALateFiring) {
    RunLoop& loop = RunLoop::main();
    constexpr auto interval = 100ms;
    std::vector<Clock::duration> firings;
    const auto created = Clock::now();
    auto timer = loop.addTimer(interval, true, [&] {
        firings.push_back(Clock::now() - created);
        if (firings.size() == 1)
            std::this_thread::sleep_for(10 * interval); // the loop is busy elsewhere
    });
    auto end = loop.addTimer(1650ms, false, [&] { loop.stop(); });
    ASSERT_TRUE(loop.runFor(20s));
    for (size_t k = 0; k < firings.size(); ++k)
        EXPECT_GE(firings[k], (k + 1) * interval) << "firing " << k + 1 << " came early";
    // On the grid: 0.1 s, the late one at 1.1 s, then 1.2 ... 1.6 s. A restarted
    // schedule would give at most 6, a catching-up one about 16.
    EXPECT_GE(firings.size(), 3u);
    EXPECT_LE(firings.size(), 8u);
    ASSERT_GE(firings.size(), 3u);
    // The firing after the late one is due at 1.2 s, not one interval after it ran.
    EXPECT_LT(firings[2], 2000ms);
}

TEST(RunLoop, AHandlerMayCancelItsOwnTimer) {
    RunLoop& loop = RunLoop::main();
    int fired = 0;
    RunLoop::Source timer;
    timer = loop.addTimer(2ms, true, [&] {
        ++fired;
        timer.cancel();
    });
    EXPECT_TRUE(timer);
    EXPECT_FALSE(loop.runFor(50ms));
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer);

    // Destroying a source takes it off the loop before it fires.
    {
        auto never = loop.addTimer(1ms, false, [&] { ++fired; });
    }
    EXPECT_FALSE(loop.runFor(20ms));
    EXPECT_EQ(fired, 1);
}

TEST(RunLoop, DeliversFdReadinessAndSignals) {
    RunLoop& loop = RunLoop::main();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    auto source = loop.addFd(fds[0], EPOLLIN, [&](uint32_t revents) {
        EXPECT_TRUE(revents & EPOLLIN);
        char buf[16];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            got.append(buf, size_t(n));
        loop.stop();
    });
    ASSERT_EQ(write(fds[1], "ping", 4), 4);
    ASSERT_TRUE(loop.runFor(5s));
    EXPECT_EQ(got, "ping");
    source.cancel();
    close(fds[0]);
    close(fds[1]);

    int signals = 0;
    auto onSignal = loop.addSignal(SIGUSR1, [&] {
        ++signals;
        loop.stop();
    });
    ASSERT_TRUE(onSignal);
    raise(SIGUSR1);
    ASSERT_TRUE(loop.runFor(5s));
    EXPECT_EQ(signals, 1);
}
