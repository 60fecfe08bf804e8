#include "viewer/Daemon.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Plist.h"
#include "platform/Preferences.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

Daemon::TimerFactory& timerFactory() {
    static Daemon::TimerFactory factory;
    return factory;
}

Daemon::CriticalAlert& criticalAlert() {
    static Daemon::CriticalAlert alert;
    return alert;
}

// The launchers whose start is still pending: each owns itself until its
// outcome, and this list is what keeps it in reach meanwhile.
std::vector<Daemon*>& pendingLaunchers() {
    // Never destroyed: a launcher still waiting when the viewer quits stays
    // reachable to the end instead of being cut loose by static destruction.
    static auto* launchers = new std::vector<Daemon*>;
    return *launchers;
}

std::string& bundleOverride() {
    static std::string path;
    return path;
}

std::string executableFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string exe(buf, static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

// The login window's list, or an empty one when it has none (or something
// that is not a list).
platform::Array autoLaunchList(const platform::Preferences& loginWindow) {
    if (const platform::Value* v = loginWindow.value(Daemon::kAutoLaunchKey))
        if (const platform::Array* a = v->asArray())
            return *a;
    return {};
}

bool entryHasPath(const platform::Value& entry, const std::string& path) {
    const platform::Dictionary* d = entry.asDictionary();
    if (!d)
        return false;
    const platform::Value* p = d->find("Path");
    return p && p->asString() && *p->asString() == path;
}

bool ensureDirectory(const std::string& path) {
    return platform::isDirectory(path) || platform::createDirectory(path);
}

void writeAgentVersion() {
    platform::Preferences prefs{std::string(Daemon::kPreferencesDomain)};
    prefs.setValue(std::string(Daemon::kVersionKey), platform::Value(Daemon::kAgentVersion));
    prefs.synchronize();
}

} // namespace

void Daemon::setTimerFactory(TimerFactory factory) {
    timerFactory() = std::move(factory);
}
void Daemon::setCriticalAlert(CriticalAlert alert) {
    criticalAlert() = std::move(alert);
}

std::string Daemon::agentBundlePath() {
    if (!bundleOverride().empty())
        return bundleOverride();
    return executableFolder() + "/../share/dial-ledger/" + std::string(kBundleName);
}

void Daemon::setAgentBundlePath(std::string path) {
    bundleOverride() = std::move(path);
}

std::string Daemon::baseFolder() {
    return platform::expandTilde("~/Library/Application Support");
}

std::string Daemon::applicationSupportFolder() {
    return baseFolder() + "/Dial Ledger";
}

std::string Daemon::installedBundlePath() {
    return applicationSupportFolder() + "/" + std::string(kBundleName);
}

std::string Daemon::autostartEntryPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // A relative value is to be ignored, as if it were unset.
    std::string config =
        (xdg && xdg[0] == '/') ? std::string(xdg) : platform::expandTilde("~/.config");
    return config + "/autostart/dialledger.desktop";
}

std::optional<std::string> Daemon::autostartEntry(std::string_view program) {
    // The Exec value goes through two layers: the argument is double-quoted
    // with ", `, $ and \ backslash-escaped, and then the value as a whole has
    // its backslashes doubled like any other string of the file. A literal % is
    // written %% so it is never read as a field code.
    std::string quoted = "\"";
    for (char c : program) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return std::nullopt;
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string exec;
    for (char c : quoted) {
        if (c == '\\')
            exec += "\\\\";
        else if (c == '%')
            exec += "%%";
        else
            exec += c;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Dial Ledger agent\n"
           "Comment=Keeps the ledger of this computer's PPP connections\n"
           "Exec=" +
           exec +
           "\n"
           "Terminal=false\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool Daemon::isRunningIn(const std::vector<platform::ProcessInfo>& processes) {
    for (const auto& p : processes)
        if (p.commandName == kAgentCommandName)
            return true;
    return false;
}

bool Daemon::isRunning() {
    return isRunningIn(platform::currentUserProcesses());
}

void Daemon::launchIfNotRunning() {
    if (isRunning())
        return;
    // The launcher disposes of itself once the start has ended one way or the other.
    auto* launcher = new Daemon;
    launcher->launch();
}

pid_t Daemon::spawnAgent(const std::string& bundlePath) {
    const std::string program = bundlePath + "/" + std::string(kAgentCommandName);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // A session of its own, so that closing the viewer's terminal leaves the
    // agent alone; and a clean signal state, whatever the toolkit blocked.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // The path goes to the kernel as it is: no shell reads it, so spaces,
    // quotes or dollar signs in it mean nothing special.
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

Daemon::Daemon() = default;

Daemon::~Daemon() {
    std::erase(pendingLaunchers(), this);
    platform::NotificationCenter::shared().removeObserver(this);
    timer.reset();
    reapChild();
}

void Daemon::launch() {
    // Observe before starting: the agent may post as soon as it runs, and a
    // signal the bus has not been told we want is never delivered to us.
    platform::NotificationCenter::shared().observe(this, std::string(platform::kDaemonStarted),
                                                   [this] { launchSuccess(); });
    pendingLaunchers().push_back(this);
    child_ = spawnAgent(agentBundlePath());
    if (auto& factory = timerFactory())
        timer = factory(kStartWaitSeconds, [this] { launchFailed(); });
}

void Daemon::launchSuccess() {
    if (finished_)
        return;
    finished_ = true;
    timer.reset();
    platform::NotificationCenter::shared().removeObserver(this);
    writeAgentVersion();
    platform::logLine("Daemon launched.");
    finish();
}

void Daemon::launchFailed() {
    if (finished_)
        return;
    finished_ = true;
    platform::NotificationCenter::shared().removeObserver(this);
    if (auto& alert = criticalAlert())
        alert("Unable to start the daemon.", "", "OK");
    platform::logLine("Unable to start the daemon.");
    finish();
}

void Daemon::finish() {
    delete this;
}

void Daemon::reapChild() {
    // The agent detaches at once (its first process exits), so by the time a
    // start has ended that process can be collected; a child that is still
    // alive is left alone rather than waited for.
    if (child_ > 0) {
        int status = 0;
        waitpid(child_, &status, WNOHANG);
        child_ = -1;
    }
}

void Daemon::install() {
    // A fresh Linux home has no ~/Library yet; it is made like the folders in it.
    if (!ensureDirectory(platform::expandTilde("~/Library")) || !ensureDirectory(baseFolder()))
        return;
    const std::string folder = applicationSupportFolder();
    if (!ensureDirectory(folder))
        return;

    // The new copy is made beside the installed one and only then put in its
    // place: a copy that fails halfway (a full disk) leaves the installed agent,
    // which the login list still names, as it was.
    const std::string installed = installedBundlePath();
    const std::string staging = installed + ".partial";
    if (platform::pathExists(staging))
        platform::removePath(staging);
    if (!platform::copyTree(agentBundlePath(), staging)) {
        platform::logLine("Unable to install the daemon launcher.");
        return;
    }
    if (platform::pathExists(installed))
        platform::removePath(installed);
    if (std::rename(staging.c_str(), installed.c_str()) != 0) {
        platform::removePath(staging);
        platform::logLine("Unable to install the daemon launcher.");
        return;
    }

    // The desktop's own start-at-login list, next to the login window's.
    const std::string entryPath = autostartEntryPath();
    auto entry = autostartEntry(installed + "/" + std::string(kAgentCommandName));
    const std::string autostartFolder = entryPath.substr(0, entryPath.rfind('/'));
    const std::string configFolder = autostartFolder.substr(0, autostartFolder.rfind('/'));
    if (!entry || !ensureDirectory(configFolder) || !ensureDirectory(autostartFolder) ||
        !platform::writeFileAtomically(entryPath, *entry))
        platform::logLine("Unable to write the autostart entry.");

    platform::Preferences loginWindow{std::string(kLoginWindowDomain)};
    platform::Array list = autoLaunchList(loginWindow);
    for (const auto& e : list)
        if (entryHasPath(e, installed))
            return;
    platform::Dictionary item;
    item.set("Path", platform::Value(installed));
    item.set("Hide", platform::Value(false));
    list.emplace_back(std::move(item));
    loginWindow.setValue(std::string(kAutoLaunchKey), platform::Value(std::move(list)));
    loginWindow.synchronize();

    writeAgentVersion();
}

void Daemon::uninstall() {
    const std::string installed =
        platform::expandTilde("~/Library/Application Support/Dial Ledger/Dial Ledger.app");
    if (platform::pathExists(installed))
        platform::removePath(installed);

    const std::string entryPath = autostartEntryPath();
    if (platform::pathExists(entryPath))
        platform::removePath(entryPath);

    platform::Preferences loginWindow{std::string(kLoginWindowDomain)};
    platform::Array list = autoLaunchList(loginWindow);
    std::erase_if(list, [&](const platform::Value& e) { return entryHasPath(e, installed); });
    loginWindow.setValue(std::string(kAutoLaunchKey), platform::Value(std::move(list)));
    loginWindow.synchronize();
}
