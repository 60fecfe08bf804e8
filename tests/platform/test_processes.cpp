#include "platform/Processes.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

TEST(Processes, ListsThisProcessByItsExecutableName) {
    const auto processes = currentUserProcesses();
    auto self = std::find_if(processes.begin(), processes.end(),
                             [](const ProcessInfo& p) { return p.pid == getpid(); });
    ASSERT_NE(self, processes.end());
    EXPECT_EQ(self->commandName, "test_processes");
    EXPECT_EQ(commandNameOf(getpid()), "test_processes");
}

TEST(Processes, NamesAChildByTheProgramItRuns) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(ready[1], 1);
        execl("/bin/sh", "sh", "-c", "echo ok; exec sleep 30", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char buf[4];
    ASSERT_EQ(read(ready[0], buf, 3), 3); // the shell is up; `sleep` follows at once
    close(ready[0]);
    bool found = false;
    for (int i = 0; i < 200 && !found; ++i) {
        for (const auto& p : currentUserProcesses())
            found = found || (p.pid == child && p.commandName == "sleep");
        if (!found)
            usleep(10000);
    }
    EXPECT_TRUE(found);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(commandNameOf(child), "") << "a process that is gone has no name";
}

namespace {

// A child that takes the given real and effective user and waits.
pid_t childAs(uid_t real, uid_t effective) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        if (setresuid(real, effective, effective) != 0)
            _exit(1);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c;
    bool ok = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (!ok && child > 0) {
        waitpid(child, nullptr, 0);
        return -1;
    }
    return child;
}

bool listed(pid_t pid) {
    const auto processes = currentUserProcesses();
    return std::any_of(processes.begin(), processes.end(),
                       [&](const ProcessInfo& p) { return p.pid == pid; });
}

} // namespace

// Who a process belongs to is its effective user, not its real one.
TEST(Processes, SelectsByEffectiveUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start processes as another user";
    const uid_t nobody = 65534;
    pid_t other = childAs(nobody, nobody);
    pid_t ours = childAs(nobody, 0);
    ASSERT_GT(other, 0);
    ASSERT_GT(ours, 0);
    EXPECT_FALSE(listed(other));
    EXPECT_TRUE(listed(ours));
    kill(other, SIGKILL);
    kill(ours, SIGKILL);
    waitpid(other, nullptr, 0);
    waitpid(ours, nullptr, 0);
}
