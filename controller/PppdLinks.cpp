#include "controller/PppdLinks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "netconfig/DLConfiguration.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Processes.h"
#include "platform/RunLoop.h"
#include "platform/SystemPaths.h"

namespace controller {

namespace {

// A pid file or a sysfs value is a line or two; anything longer is not one.
constexpr size_t kSmallFile = 4096;
// "ppp-" + ID + ".pid" must fit a file name.
constexpr size_t kMaxLinkName = 200;

constexpr unsigned kIffUp = 0x1;
constexpr unsigned kIffRunning = 0x40;

constexpr uint32_t kFolderMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ONLYDIR;

std::string preferencesFile() {
    return platform::systemPath(
        DLConfiguration::preferencesPathForSystemVersion(DLConfiguration::systemVersion()));
}

std::string runFolder() {
    return platform::systemPath("/var/run");
}

bool readSmallFile(const std::string& path, std::string& out) {
    return platform::readFile(path, out, kSmallFile);
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// The whole text as a number in the base, or nothing.
std::optional<uint64_t> parseNumber(std::string_view text, int base) {
    std::string s(trimmed(text));
    if (s.empty() || s.front() == '-' || s.front() == '+')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(s.c_str(), &end, base);
    if (errno != 0 || end == s.c_str() || *end != '\0')
        return std::nullopt;
    return value;
}

uint32_t counter(const std::string& folder, const char* name) {
    std::string text;
    if (!readSmallFile(folder + "/statistics/" + name, text))
        return 0;
    // The kernel counts in 64 bits; the status record carries the low 32.
    return static_cast<uint32_t>(parseNumber(text, 10).value_or(0));
}

// Up and running as the kernel tells it: IFF_UP and IFF_RUNNING. The flags
// file holds the flags the interface was configured with, in which the
// kernel never stores IFF_RUNNING: it derives that one from the operational
// state ("up", or "unknown" for drivers such as ppp that do not report one).
bool interfaceRunning(const std::string& interface) {
    const std::string folder = PppdLinks::interfaceFolder(interface);
    std::string text;
    if (!readSmallFile(folder + "/flags", text))
        return false;
    auto flags = parseNumber(text, 16);
    if (!flags || !(*flags & kIffUp))
        return false;
    if (*flags & kIffRunning)
        return true;
    if (!readSmallFile(folder + "/operstate", text))
        return false;
    std::string_view state = trimmed(text);
    return state == "up" || state == "unknown";
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

bool isSafeLinkName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.front() == '-' ||
        name.size() > kMaxLinkName)
        return false;
    for (unsigned char c : name)
        if (c == '/' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

bool isSafeInterfaceName(std::string_view name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (c == '/' || c == ':' || c <= 0x20 || c == 0x7f)
            return false;
    return true;
}

std::optional<PidFile> parsePidFile(std::string_view text) {
    size_t newline = text.find('\n');
    std::string_view first = text.substr(0, newline);
    auto pid = parseNumber(first, 10);
    // Only plain decimal digits: "0x10" or " 12abc" name no process.
    if (!pid || *pid == 0 || *pid > 0x3fffffff ||
        trimmed(first).find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    PidFile result;
    result.pid = static_cast<pid_t>(*pid);
    if (newline != std::string_view::npos) {
        std::string_view rest = text.substr(newline + 1);
        std::string_view second = trimmed(rest.substr(0, rest.find('\n')));
        if (isSafeInterfaceName(second))
            result.interface = std::string(second);
    }
    return result;
}

bool isLivePppd(pid_t pid) {
    if (pid <= 0)
        return false;
    // A process that ended but was not yet reaped keeps its /proc entry and
    // its name; it runs no link.
    std::string stat;
    if (!platform::readFile("/proc/" + std::to_string(pid) + "/stat", stat, kSmallFile))
        return false;
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    char state = stat[close + 2];
    if (state == 'Z' || state == 'X' || state == 'x')
        return false;
    return platform::commandNameOf(pid) == "pppd";
}

struct PppdLinks::Watch {
    int inotifyFd = -1;
    int netlinkFd = -1;
    int preferencesWd = -1;
    int runWd = -1;
    std::string preferencesFolder;
    std::string runFolder;
    std::optional<platform::RunLoop::Source> inotifySource;
    std::optional<platform::RunLoop::Source> netlinkSource;

    ~Watch() {
        inotifySource.reset();
        netlinkSource.reset();
        if (inotifyFd >= 0)
            ::close(inotifyFd);
        if (netlinkFd >= 0)
            ::close(netlinkFd);
    }
};

PppdLinks::PppdLinks(Options options) : options_(std::move(options)) {
    reloadServices();
    refresh();
}

PppdLinks::~PppdLinks() {
    // The links outlive the controller: a restart must not hang anybody up.
    // Starters still running are left to init once we are gone.
}

std::string PppdLinks::pidFilePath(std::string_view serviceID) {
    return runFolder() + "/ppp-" + std::string(serviceID) + ".pid";
}

std::string PppdLinks::interfaceFolder(std::string_view interface) {
    return platform::systemPath("/sys/class/net/" + std::string(interface));
}

void PppdLinks::log(const std::string& line) const {
    if (options_.log)
        options_.log(line);
    else
        std::fprintf(stderr, "pppconfd: %s\n", line.c_str());
}

void PppdLinks::reloadServices() {
    const std::string path = preferencesFile();
    struct stat st {};
    preferencesSeen_ = ::stat(path.c_str(), &st) == 0;
    preferencesStat_ = st;

    DLConfiguration::reload();
    platform::Dictionary ports = DLConfiguration::ports();

    std::vector<bool> seen(links_.size(), false);
    for (const auto& [serviceID, service] : ports) {
        if (!isSafeLinkName(serviceID)) {
            // Such an ID cannot name a pid file or go on a command line.
            if (warnedIDs_.insert(serviceID).second)
                log("service \"" + platform::printable(serviceID) +
                    "\" is left out: its ID cannot name a pppd link");
            continue;
        }
        auto it = std::find_if(links_.begin(), links_.end(),
                               [&id = serviceID](const Link& l) { return l.serviceID == id; });
        size_t index = static_cast<size_t>(it - links_.begin());
        if (it == links_.end()) {
            // Links keep their place for the life of the daemon, so a client's
            // link reference never comes to name another service.
            links_.push_back(Link{});
            links_.back().serviceID = serviceID;
            seen.push_back(false);
        }
        Link& link = links_[index];
        link.present = true;
        link.description.serviceID = serviceID;
        link.peer.reset();
        const platform::Dictionary* d = service.asDictionary();
        const platform::Value* pppValue = d ? d->find("PPP") : nullptr;
        const platform::Dictionary* ppp = pppValue ? pppValue->asDictionary() : nullptr;
        if (const platform::Value* peer = ppp ? ppp->find("Peer") : nullptr)
            link.peer = peer->asString() ? *peer->asString() : std::string();
        seen[index] = true;
    }
    for (size_t i = 0; i < links_.size(); ++i) {
        if (seen[i])
            continue;
        Link& link = links_[i];
        link.present = false;
        // A removed service answers to no lookup any more.
        link.description = LinkDescription{};
        link.runningSince.reset();
        link.pppd = 0;
        if (link.phase != PPP_IDLE) {
            link.phase = PPP_IDLE;
            reportPhase(i, PPP_IDLE);
        }
    }
}

void PppdLinks::reapChildren() {
    children_.erase(std::remove_if(children_.begin(), children_.end(),
                                   [](pid_t pid) {
                                       int status = 0;
                                       pid_t r = ::waitpid(pid, &status, WNOHANG);
                                       return r == pid || (r < 0 && errno == ECHILD);
                                   }),
                    children_.end());
    for (Link& link : links_)
        if (link.starter &&
            std::find(children_.begin(), children_.end(), link.starter) == children_.end())
            link.starter = 0;
}

void PppdLinks::evaluate(size_t index) {
    Link& link = links_[index];
    if (!link.present)
        return;

    uint32_t phase = PPP_IDLE;
    link.pppd = 0;
    std::string interface;
    std::string text;
    if (readSmallFile(pidFilePath(link.serviceID), text)) {
        if (auto pidFile = parsePidFile(text); pidFile && isLivePppd(pidFile->pid)) {
            link.pppd = pidFile->pid;
            interface = pidFile->interface;
            phase = !interface.empty() && interfaceRunning(interface) ? PPP_RUNNING : kDialingPhase;
        }
    }
    // Between our start of pppd and its pid file, the link is dialing.
    if (phase == PPP_IDLE && link.starter)
        phase = kDialingPhase;

    link.description.interface = interface;
    if (phase == PPP_RUNNING) {
        if (!link.runningSince)
            link.runningSince = now();
    } else {
        link.runningSince.reset();
    }
    if (phase != link.phase) {
        link.phase = phase;
        reportPhase(index, phase);
    }
}

void PppdLinks::refresh() {
    lastRefresh_ = now();
    reapChildren();
    struct stat st {};
    bool exists = ::stat(preferencesFile().c_str(), &st) == 0;
    if (exists != preferencesSeen_ || (exists && !sameFile(st, preferencesStat_)))
        reloadServices();
    updateWatches();
    for (size_t i = 0; i < links_.size(); ++i)
        evaluate(i);
}

ppp_status PppdLinks::status(size_t index) {
    reapChildren();
    evaluate(index);
    const Link& link = links_[index];
    ppp_status status{};
    status.phase = link.phase;
    if (link.phase == PPP_RUNNING) {
        auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            now() - link.runningSince.value_or(now()));
        status.s.connected.timeElapsed =
            static_cast<uint32_t>(std::max<int64_t>(0, elapsed.count()));
        const std::string folder = interfaceFolder(link.description.interface);
        status.s.connected.inBytes = counter(folder, "rx_bytes");
        status.s.connected.outBytes = counter(folder, "tx_bytes");
    }
    return status;
}

uint32_t PppdLinks::connect(size_t index) {
    reapChildren();
    evaluate(index);
    Link& link = links_[index];
    if (!link.present)
        return ENODEV;
    // A link that is dialing or up needs nothing more.
    if (link.phase != PPP_IDLE)
        return 0;

    const std::string peer = link.peer.value_or(link.serviceID);
    if (!isSafeLinkName(peer)) {
        log("refused to connect " + link.serviceID + ": the peer name \"" +
            platform::printable(peer) + "\" is not a plain file name");
        return EINVAL;
    }

    std::vector<std::string> args{"pppd", "call", peer, "linkname", link.serviceID};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // pppd runs its scripts with what we hand it: a plain search path and
    // nothing of ours.
    std::string path = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* envp[] = {path.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The loop blocks the signals it handles and we ignore SIGPIPE; pppd
    // must get SIGTERM and SIGPIPE as any program does.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signo : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&defaults, signo);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int r = ::posix_spawn(&pid, options_.pppdProgram.c_str(), &actions, &attr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (r != 0) {
        log("cannot start " + options_.pppdProgram + " for " + link.serviceID + ": " +
            std::strerror(r));
        return static_cast<uint32_t>(r);
    }
    children_.push_back(pid);
    link.starter = pid;
    evaluate(index);
    return 0;
}

uint32_t PppdLinks::disconnect(size_t index) {
    reapChildren();
    evaluate(index);
    Link& link = links_[index];
    if (!link.present)
        return ENODEV;
    uint32_t result = 0;
    // Only a process that is a live pppd, by the pid file, or the one we
    // started ourselves, ever gets the signal.
    for (pid_t pid : {link.pppd, link.starter}) {
        if (pid <= 0)
            continue;
        if (::kill(pid, SIGTERM) != 0 && errno != ESRCH) {
            log("cannot hang up " + link.serviceID + " (pid " + std::to_string(pid) +
                "): " + std::strerror(errno));
            result = static_cast<uint32_t>(errno);
        }
    }
    return result;
}

std::optional<Clock::time_point> PppdLinks::nextChange() const {
    // A fixed schedule: busy clients re-arm the timer often, and must not
    // keep pushing the next look at the links away.
    return lastRefresh_ + kRefreshInterval;
}

void PppdLinks::updateWatches() {
    if (!watch_ || watch_->inotifyFd < 0)
        return;
    Watch& w = *watch_;
    auto add = [&](int& wd, const std::string& folder) {
        if (wd >= 0)
            return;
        wd = ::inotify_add_watch(w.inotifyFd, folder.c_str(), kFolderMask);
    };
    // Folders that appear later are picked up here, at the next refresh.
    add(w.preferencesWd, w.preferencesFolder);
    add(w.runWd, w.runFolder);
}

bool PppdLinks::watch(platform::RunLoop& loop) {
    if (watch_)
        return true;
    auto w = std::make_unique<Watch>();
    w->preferencesFolder = platform::parentFolder(preferencesFile());
    w->runFolder = runFolder();
    w->inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w->inotifyFd >= 0) {
        w->inotifySource = loop.addFd(w->inotifyFd, EPOLLIN, [this](uint32_t) {
            Watch& s = *watch_;
            alignas(struct inotify_event) char buf[4096];
            bool preferences = false;
            for (;;) {
                ssize_t n = ::read(s.inotifyFd, buf, sizeof buf);
                if (n <= 0)
                    break;
                for (char* p = buf; p < buf + n;) {
                    auto* ev = reinterpret_cast<struct inotify_event*>(p);
                    if (ev->mask & IN_IGNORED) {
                        // The folder went away; it is watched again once back.
                        if (ev->wd == s.preferencesWd)
                            s.preferencesWd = -1;
                        if (ev->wd == s.runWd)
                            s.runWd = -1;
                    }
                    if (ev->wd == s.preferencesWd || (ev->mask & IN_Q_OVERFLOW))
                        preferences = true;
                    p += sizeof(struct inotify_event) + ev->len;
                }
            }
            if (preferences)
                reloadServices();
            refresh();
        });
    }

    w->netlinkFd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (w->netlinkFd >= 0) {
        struct sockaddr_nl address {};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK;
        if (::bind(w->netlinkFd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) !=
            0) {
            ::close(w->netlinkFd);
            w->netlinkFd = -1;
        }
    }
    if (w->netlinkFd >= 0) {
        w->netlinkSource = loop.addFd(w->netlinkFd, EPOLLIN, [this](uint32_t) {
            char buf[8192];
            for (;;) {
                ssize_t n = ::recv(watch_->netlinkFd, buf, sizeof buf, MSG_DONTWAIT);
                if (n < 0 && errno == ENOBUFS)
                    continue; // dropped messages: the refresh looks at everything
                if (n <= 0)
                    break;
            }
            refresh();
        });
    } else {
        log(std::string("the kernel's link events cannot be followed: ") + std::strerror(errno));
    }

    const bool any = w->inotifyFd >= 0 || w->netlinkFd >= 0;
    watch_ = std::move(w);
    updateWatches();
    return any;
}

} // namespace controller
