#include "platform/Notifications.h"
#include "platform/RunLoop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

extern char** environ;

namespace {

const std::string kHelper = std::string(DL_BIN_DIR) + "/notify_helper";

struct Child {
    pid_t pid = -1;
    int out = -1; // the child's standard output
};

Child spawnHelper(std::vector<std::string> args, char** env = environ) {
    args.insert(args.begin(), kHelper);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    Child c;
    if (posix_spawn(&c.pid, kHelper.c_str(), &actions, nullptr, argv.data(), env) != 0)
        c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    c.out = fds[0];
    return c;
}

int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string readLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Runs the main loop until `done` holds or a generous deadline passes.
bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        RunLoop::main().runFor(20ms);
    }
    return true;
}

class Notifications : public ::testing::Test {
protected:
    void SetUp() override {
        if (!centre().connected())
            GTEST_SKIP() << "no session bus (run under dbus-run-session)";
        centre().attach(RunLoop::main());
    }
    void TearDown() override { centre().removeObserver(this); }
    static NotificationCenter& centre() { return NotificationCenter::shared(); }
};

} // namespace

TEST_F(Notifications, APostReachesAnotherProcess) {
    Child waiter = spawnHelper({"wait", std::string(kUpdateUI)});
    ASSERT_GT(waiter.pid, 0);
    ASSERT_EQ(readLine(waiter.out), "ready");
    close(waiter.out);
    centre().post(kUpdateUI);
    // The signal leaves from the loop; the helper exits once it has it.
    int status = -1;
    ASSERT_TRUE(runUntil([&] {
        int s;
        if (waitpid(waiter.pid, &s, WNOHANG) == waiter.pid) {
            status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
            return true;
        }
        return false;
    }));
    EXPECT_EQ(status, 0);
}

TEST_F(Notifications, AnotherProcessesPostRunsOnlyTheMatchingHandlers) {
    int started = 0, updates = 0;
    centre().observe(this, std::string(kDaemonStarted), [&] { ++started; });
    centre().observe(this, std::string(kUpdateUI), [&] { ++updates; });
    Child poster = spawnHelper({"post", std::string(kDaemonStarted)});
    ASSERT_GT(poster.pid, 0);
    close(poster.out);
    EXPECT_EQ(waitExit(poster.pid), 0);
    ASSERT_TRUE(runUntil([&] { return started == 1; }));
    RunLoop::main().runFor(50ms);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(updates, 0);
}

// Handlers may change the observations, their own included, while a
// notification is being delivered.
TEST_F(Notifications, HandlersMayRemoveAndAddObservers) {
    int first = 0, second = 0, added = 0, other = 0;
    int otherObserver;
    centre().observe(this, std::string(kNetworkConfigChange), [&] {
        ++first;
        centre().removeObserver(this); // also drops `second`, not yet run
        centre().observe(this, std::string(kNetworkConfigChange), [&] { ++added; });
    });
    centre().observe(this, std::string(kNetworkConfigChange), [&] { ++second; });
    centre().observe(&otherObserver, std::string(kNetworkConfigChange), [&] { ++other; });

    centre().post(kNetworkConfigChange);
    ASSERT_TRUE(runUntil([&] { return other == 1; }));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(added, 0) << "added during delivery: waits for the next notification";

    centre().post(kNetworkConfigChange);
    ASSERT_TRUE(runUntil([&] { return other == 2; }));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(added, 1);
    centre().removeObserver(&otherObserver);
}

TEST_F(Notifications, ProcessPendingDispatchesWithoutTheRunLoop) {
    // A second process stands in for a Qt program, which calls processPending
    // when the fd is readable.
    int received = 0;
    centre().observe(this, "Dial_Ledger.test_pending", [&] { ++received; });
    EXPECT_GE(centre().fd(), 0);
    Child poster = spawnHelper({"post", "Dial_Ledger.test_pending"});
    close(poster.out);
    EXPECT_EQ(waitExit(poster.pid), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (received == 0 && std::chrono::steady_clock::now() < deadline) {
        centre().processPending();
        usleep(5000);
    }
    EXPECT_EQ(received, 1);
}

TEST(NotificationsWithoutBus, PostingIsALoggedNoOp) {
    std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus",
                                    "XDG_RUNTIME_DIR=/nonexistent", "HOME=/nonexistent"};
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    Child c = spawnHelper({"nobus"}, envp.data());
    ASSERT_GT(c.pid, 0);
    close(c.out);
    EXPECT_EQ(waitExit(c.pid), 0);
}
