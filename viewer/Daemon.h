// Starts the recording agent when none of this user's processes is running it,
// installs it for start at login and removes it again. The agent travels as the
// folder bundle "Dial Ledger.app" among the viewer's resources.
//
// This file knows no window toolkit: the one-shot timer of a start and the
// critical alert are hooks that the window layer fills in (tests fill them too).
#pragma once

#include "platform/Processes.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

class Daemon {
public:
    // A pending one-shot timer; destroying it cancels it.
    class Timer {
    public:
        virtual ~Timer() = default;
    };
    using TimerFactory =
        std::function<std::unique_ptr<Timer>(double seconds, std::function<void()> fire)>;
    // A modal critical alert: title, message text, the one button. Returns when
    // the user has closed it.
    using CriticalAlert = std::function<void(const std::string& title, const std::string& message,
                                             const std::string& button)>;

    static void setTimerFactory(TimerFactory factory);
    static void setCriticalAlert(CriticalAlert alert);

    // The agent's bundle among the viewer's resources: next to the viewer's
    // executable as <bin>/../share/dial-ledger/Dial Ledger.app, in the build
    // tree and in an installed tree alike. Tests point it elsewhere; an empty
    // path goes back to the resources.
    static std::string agentBundlePath();
    static void setAgentBundlePath(std::string path);

    // "~/Library/Application Support", "…/Dial Ledger", "…/Dial Ledger/Dial Ledger.app".
    static std::string baseFolder();
    static std::string applicationSupportFolder();
    static std::string installedBundlePath();
    // $XDG_CONFIG_HOME/autostart/dialledger.desktop (~/.config when unset or relative).
    static std::string autostartEntryPath();
    // The desktop entry that starts the agent at login; nothing when the
    // program's path cannot be written into one (control characters).
    static std::optional<std::string> autostartEntry(std::string_view program);

    // YES when a process of the current user has the command name "dialledger".
    static bool isRunning();
    static bool isRunningIn(const std::vector<platform::ProcessInfo>& processes);
    // Starts the agent through a new launcher object unless one is running.
    static void launchIfNotRunning();
    // Copies the agent bundle into the application-support folder and lists the
    // copy among the applications started at login.
    static void install();
    // Removes the installed copy and its login entries; a running agent keeps running.
    static void uninstall();

    // Starts "<bundle>/dialledger" directly: no shell, a session of its own,
    // standard streams on /dev/null. Returns the child's pid, or -1.
    static pid_t spawnAgent(const std::string& bundlePath);

    static constexpr std::string_view kAgentCommandName = "dialledger";
    static constexpr std::string_view kBundleName = "Dial Ledger.app";
    static constexpr std::string_view kPreferencesDomain = "com.example.dialledger";
    static constexpr std::string_view kLoginWindowDomain = "loginwindow";
    static constexpr std::string_view kAutoLaunchKey = "AutoLaunchedApplicationDictionary";
    static constexpr std::string_view kVersionKey = "Daemon version";
    static constexpr double kAgentVersion = 0.2;
    static constexpr double kStartWaitSeconds = 3.0;

    // One pending start. It lives, held by its timer and its observation, until
    // exactly one of launchSuccess or launchFailed has run, and then disposes
    // of itself; so it is made with new and never deleted by its creator.
    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    void launch();
    void launchSuccess();
    void launchFailed();

private:
    void finish();
    void reapChild();

    std::unique_ptr<Timer> timer;
    pid_t child_ = -1;
    bool finished_ = false;
};
