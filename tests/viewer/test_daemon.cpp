// The agent launcher and installer: the process check, the direct start of the
// bundle, the wait for the started notification, and install/uninstall against
// a private home.
#include "viewer/Daemon.h"

#include "AppTestSupport.h"

#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Preferences.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using apptest::PrivateTree;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

Value loginEntry(const std::string& path, bool hide = false) {
    Dictionary d;
    d.set("Path", Value(path));
    d.set("Hide", Value(hide));
    return Value(std::move(d));
}

std::optional<Array> loginList() {
    platform::Preferences prefs{"loginwindow"};
    const Value* v = prefs.value("AutoLaunchedApplicationDictionary");
    if (!v || !v->asArray())
        return std::nullopt;
    return *v->asArray();
}

void setLoginList(Array list) {
    platform::Preferences prefs{"loginwindow"};
    prefs.setValue("AutoLaunchedApplicationDictionary", Value(std::move(list)));
    ASSERT_TRUE(prefs.synchronize());
}

const Value* agentVersion(platform::Preferences& prefs) {
    return prefs.value("Daemon version");
}

TEST(DaemonIsRunning, OnlyTheExactCommandNameCounts) {
    using P = platform::ProcessInfo;
    struct Case {
        std::vector<P> processes;
        bool running;
    } cases[] = {
        {{}, false},
        {{{1, "bash"}, {2, "dialledger"}}, true},
        {{{1, "Dialledger"}}, false},
        {{{1, "dialledger-helper"}, {2, "pppconfd"}}, false},
        {{{1, "dial-ledger"}}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Daemon::isRunningIn(c.processes), c.running) << c.processes.size();
}

TEST(DaemonIsRunning, SeesAProcessOfThisUserNamedDialledger) {
    PrivateTree tree;
    // A program file named dialledger, wherever it lives (an installed copy
    // and the viewer's own both count).
    const std::string program = tree.base() + "/Dial Ledger.app/dialledger";
    apptest::fs::create_directories(tree.base() + "/Dial Ledger.app");
    apptest::fs::copy_file("/bin/sleep", program);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    bool seen = apptest::waitUntil([] { return Daemon::isRunning(); }, [] { usleep(20 * 1000); });
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(seen);
}

TEST(DaemonSpawn, StartsTheBundleDirectlyWhateverItsPathHolds) {
    PrivateTree tree;
    // Two spaces, quotes and a dollar sign: a shell would have read them.
    const std::string folder = tree.base() + "/my  agents 'x' $HOME";
    const std::string marker = tree.base() + "/starts";
    const std::string bundle = apptest::makeStandInBundle(folder, marker, false);

    pid_t pid = Daemon::spawnAgent(bundle);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto lines = apptest::readLines(marker);
    ASSERT_EQ(lines.size(), 5u);
    // Its own session: the session ID is its own pid.
    EXPECT_EQ(lines[0], "start " + std::to_string(pid) + " " + std::to_string(pid));
    EXPECT_EQ(lines[1], "argv0 " + bundle + "/dialledger");
    EXPECT_EQ(lines[2], "fd0 /dev/null");
    EXPECT_EQ(lines[3], "fd1 /dev/null");
    EXPECT_EQ(lines[4], "fd2 /dev/null");
}

TEST(DaemonSpawn, AMissingBundleStartsNothing) {
    PrivateTree tree;
    EXPECT_EQ(Daemon::spawnAgent(tree.base() + "/nowhere/Dial Ledger.app"), -1);
}

// The launcher with a timer the test fires itself and the bus pumped by hand.
class LauncherTest : public ::testing::Test {
protected:
    struct FakeTimer : Daemon::Timer {
        explicit FakeTimer(LauncherTest* t) : test(t) {}
        ~FakeTimer() override { test->timerAlive = false; }
        LauncherTest* test;
    };

    void SetUp() override {
        ASSERT_TRUE(platform::NotificationCenter::shared().connected())
            << "these tests need a session bus";
        Daemon::setTimerFactory([this](double seconds, std::function<void()> fire) {
            armedSeconds = seconds;
            fireTimer = std::move(fire);
            timerAlive = true;
            return std::unique_ptr<Daemon::Timer>(new FakeTimer(this));
        });
        Daemon::setCriticalAlert([this](const std::string& title, const std::string& message,
                                        const std::string& button) {
            alerts.push_back(title + "|" + message + "|" + button);
        });
        marker = tree.base() + "/starts";
    }
    void TearDown() override {
        Daemon::setTimerFactory({});
        Daemon::setCriticalAlert({});
        Daemon::setAgentBundlePath({});
    }

    void pump() {
        auto& center = platform::NotificationCenter::shared();
        pollfd p{center.fd(), POLLIN, 0};
        poll(&p, 1, 20);
        center.processPending();
    }

    size_t starts() const {
        size_t n = 0;
        for (const auto& l : apptest::readLines(marker))
            n += l.starts_with("start ");
        return n;
    }

    PrivateTree tree;
    platform::LogCapture log;
    std::string marker;
    double armedSeconds = 0;
    std::function<void()> fireTimer;
    bool timerAlive = false;
    std::vector<std::string> alerts;
};

TEST_F(LauncherTest, StartedNotificationEndsTheWaitWithSuccess) {
    Daemon::setAgentBundlePath(apptest::makeStandInBundle(tree.base(), marker, true));
    (new Daemon)->launch();
    EXPECT_EQ(armedSeconds, 3.0);
    EXPECT_TRUE(timerAlive);

    ASSERT_TRUE(
        apptest::waitUntil([&] { return log.contains("Daemon launched."); }, [&] { pump(); }));
    EXPECT_FALSE(timerAlive) << "the wait is cancelled";
    EXPECT_TRUE(alerts.empty());
    EXPECT_EQ(starts(), 1u);
    platform::Preferences prefs{"com.example.dialledger"};
    ASSERT_NE(agentVersion(prefs), nullptr);
    EXPECT_DOUBLE_EQ(agentVersion(prefs)->asReal().value_or(0), 0.2);
}

TEST_F(LauncherTest, NoNotificationWithinTheWaitShowsOneAlertAndNeverRetries) {
    Daemon::setAgentBundlePath(apptest::makeStandInBundle(tree.base(), marker, false));
    (new Daemon)->launch();
    ASSERT_TRUE(apptest::waitUntil([&] { return starts() == 1; }, [&] { pump(); }));
    ASSERT_TRUE(fireTimer);
    fireTimer();

    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "Unable to start the daemon.||OK");
    EXPECT_TRUE(log.contains("Unable to start the daemon."));

    // A notification that comes too late is seen by no one.
    ASSERT_EQ(apptest::post({"Dial_Ledger.daemon_started"}), 0);
    for (int i = 0; i < 10; ++i)
        pump();
    EXPECT_FALSE(log.contains("Daemon launched."));
    EXPECT_EQ(alerts.size(), 1u);
    EXPECT_EQ(starts(), 1u);
    platform::Preferences prefs{"com.example.dialledger"};
    EXPECT_EQ(agentVersion(prefs), nullptr);
}

TEST_F(LauncherTest, AMissingBundleEndsInTheSameAlert) {
    Daemon::setAgentBundlePath(tree.base() + "/missing/Dial Ledger.app");
    (new Daemon)->launch();
    ASSERT_TRUE(fireTimer);
    fireTimer();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_TRUE(log.contains("Unable to start the daemon."));
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        source = tree.base() + "/resources/Dial Ledger.app";
        apptest::writeText(source + "/dialledger", "#!/bin/sh\n# agent v2\n", true);
        Daemon::setAgentBundlePath(source);
        installed = tree.home() + "/Library/Application Support/Dial Ledger/Dial Ledger.app";
        autostart = tree.home() + "/.config/autostart/dialledger.desktop";
    }
    void TearDown() override { Daemon::setAgentBundlePath({}); }

    PrivateTree tree;
    platform::LogCapture log;
    std::string source, installed, autostart;
};

TEST_F(InstallTest, FreshHomeGetsTheCopyTheLoginEntryAndTheVersion) {
    EXPECT_EQ(Daemon::installedBundlePath(), installed);
    Daemon::install();

    EXPECT_EQ(apptest::readText(installed + "/dialledger"), "#!/bin/sh\n# agent v2\n");
    EXPECT_EQ(access((installed + "/dialledger").c_str(), X_OK), 0) << "still a program";
    auto list = loginList();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0], loginEntry(installed));
    platform::Preferences prefs{"com.example.dialledger"};
    ASSERT_NE(agentVersion(prefs), nullptr);
    EXPECT_DOUBLE_EQ(agentVersion(prefs)->asReal().value_or(0), 0.2);

    const std::string entry = apptest::readText(autostart);
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=\"" + installed + "/dialledger\"\n"), std::string::npos);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(InstallTest, AListedPathStillReplacesTheCopyButLeavesListAndVersion) {
    apptest::writeText(installed + "/dialledger", "old agent\n", true);
    apptest::writeText(installed + "/stale-file", "left from an old version\n");
    Array before{loginEntry("/Applications/Other.app", true), loginEntry(installed)};
    setLoginList(before);

    Daemon::install();

    EXPECT_EQ(apptest::readText(installed + "/dialledger"), "#!/bin/sh\n# agent v2\n");
    EXPECT_FALSE(platform::pathExists(installed + "/stale-file"));
    EXPECT_EQ(loginList(), before);
    platform::Preferences prefs{"com.example.dialledger"};
    EXPECT_EQ(agentVersion(prefs), nullptr);
}

TEST_F(InstallTest, OtherEntriesStayAndTheAgentIsAppended) {
    setLoginList({loginEntry("/Applications/Other.app", true)});
    Daemon::install();
    auto list = loginList();
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (Array{loginEntry("/Applications/Other.app", true), loginEntry(installed)}));
}

TEST_F(InstallTest, AFailedCopyIsLoggedAndKeepsTheInstalledAgent) {
    apptest::writeText(installed + "/dialledger", "working agent\n", true);
    setLoginList({loginEntry(installed)});
    platform::removePath(source);

    Daemon::install();

    EXPECT_TRUE(log.contains("Unable to install the daemon launcher."));
    EXPECT_EQ(apptest::readText(installed + "/dialledger"), "working agent\n");
    EXPECT_EQ(loginList(), (Array{loginEntry(installed)}));
    platform::Preferences prefs{"com.example.dialledger"};
    EXPECT_EQ(agentVersion(prefs), nullptr);
    EXPECT_FALSE(platform::pathExists(installed + ".partial"));
}

TEST_F(InstallTest, AFolderThatCannotBeMadeStopsQuietly) {
    // "Dial Ledger" is a file where the folder should be.
    apptest::writeText(tree.home() + "/Library/Application Support/Dial Ledger", "in the way");
    Daemon::install();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(loginList());
    EXPECT_FALSE(platform::pathExists(autostart));
    platform::Preferences prefs{"com.example.dialledger"};
    EXPECT_EQ(agentVersion(prefs), nullptr);
}

TEST_F(InstallTest, UninstallRemovesEveryEntryOfTheAgentAndKeepsTheRest) {
    Daemon::install();
    setLoginList(
        {loginEntry("/a.app"), loginEntry(installed), loginEntry(installed), loginEntry("/b.app")});
    const std::string logFile = tree.logFolder() + "/SERVICE-1";
    apptest::writeText(logFile, "connections");
    ASSERT_TRUE(platform::pathExists(autostart));

    Daemon::uninstall();

    EXPECT_FALSE(platform::pathExists(installed));
    EXPECT_FALSE(platform::pathExists(autostart));
    EXPECT_EQ(loginList(), (Array{loginEntry("/a.app"), loginEntry("/b.app")}));
    EXPECT_TRUE(platform::pathExists(logFile)) << "the connection logs stay";
    platform::Preferences prefs{"com.example.dialledger"};
    EXPECT_NE(agentVersion(prefs), nullptr) << "the version record stays";
}

TEST_F(InstallTest, UninstallWithNothingInstalledWritesTheListBackUnchanged) {
    Array before{loginEntry("/a.app")};
    setLoginList(before);
    const std::string logFile = tree.logFolder() + "/SERVICE-1";
    apptest::writeText(logFile, "connections");

    Daemon::uninstall();

    EXPECT_EQ(loginList(), before);
    EXPECT_TRUE(platform::pathExists(logFile));
}

TEST_F(InstallTest, AutostartEntryFollowsAnAbsoluteXdgConfigHome) {
    const std::string config = tree.base() + "/xdg";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    EXPECT_EQ(Daemon::autostartEntryPath(), config + "/autostart/dialledger.desktop");
    Daemon::install();
    EXPECT_TRUE(platform::pathExists(config + "/autostart/dialledger.desktop"));
    Daemon::uninstall();
    EXPECT_FALSE(platform::pathExists(config + "/autostart/dialledger.desktop"));

    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(Daemon::autostartEntryPath(), tree.home() + "/.config/autostart/dialledger.desktop");
    unsetenv("XDG_CONFIG_HOME");
}

TEST(DaemonAutostartEntry, ExecQuotesThePathForTheDesktop) {
    struct Case {
        std::string program;
        std::optional<std::string> exec;
    } cases[] = {
        {"/home/u/agent/dialledger", "Exec=\"/home/u/agent/dialledger\""},
        {"/home/u/Library/Application Support/Dial Ledger/Dial Ledger.app/dialledger",
         "Exec=\"/home/u/Library/Application Support/Dial Ledger/Dial Ledger.app/dialledger\""},
        // ", `, $ and \ are escaped inside the quotes; the backslashes of that
        // escape are then doubled by the file's own string escaping.
        {"/h/a\"b", "Exec=\"/h/a\\\\\"b\""},
        {"/h/$x`y`", "Exec=\"/h/\\\\$x\\\\`y\\\\`\""},
        {"/h/a\\b", "Exec=\"/h/a\\\\\\\\b\""},
        {"/h/100%", "Exec=\"/h/100%%\""},
        {"/h/new\nline", std::nullopt},
    };
    for (const auto& c : cases) {
        auto entry = Daemon::autostartEntry(c.program);
        ASSERT_EQ(entry.has_value(), c.exec.has_value()) << c.program;
        if (entry) {
            EXPECT_NE(entry->find("\n" + *c.exec + "\n"), std::string::npos) << c.program << "\n"
                                                                             << *entry;
        }
    }
}

} // namespace
