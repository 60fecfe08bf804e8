#include "platform/ConfigStore.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/SystemPaths.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::string_view kServicePrefix = "Setup:/Network/Service/";
constexpr std::string_view kPPPSuffix = "/PPP";

// Events often come in bursts (a file replaced by rename is a create, a close
// and a move; a link coming up is several netlink messages). Waiting this long
// after the first event lets one recompute cover the whole burst.
constexpr auto kSettleDelay = std::chrono::milliseconds(50);

// In the preferences folder: everything that can change which bytes the file
// holds once the writer is done. IN_MODIFY is left out on purpose so that a
// file written in place is read after its close, not half-way through.
constexpr uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                 IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// On an ancestor while the folder is missing: only what can make it appear.
constexpr uint32_t kAncestorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

const Dictionary* dictAt(const Dictionary* d, std::string_view key) {
    if (!d)
        return nullptr;
    const Value* v = d->find(key);
    return v ? v->asDictionary() : nullptr;
}

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0)
            ::close(fd);
        fd = f;
    }
    explicit operator bool() const { return fd >= 0; }
};

// The parts of the network preferences the Setup: keys come from.
struct ActiveSet {
    Dictionary root;
    const Dictionary* set = nullptr;
};

std::optional<ActiveSet> loadActiveSet(const std::string& path) {
    auto root = readDictionaryFile(path);
    if (!root)
        return std::nullopt;
    ActiveSet a;
    a.root = std::move(*root);
    const Value* current = a.root.find("CurrentSet");
    const std::string* ref = current ? current->asString() : nullptr;
    if (!ref)
        return std::nullopt;
    // "/Sets/<id>": the set is named by the last path element.
    std::string id =
        ref->substr(ref->find_last_of('/') == std::string::npos ? 0 : ref->find_last_of('/') + 1);
    a.set = dictAt(dictAt(&a.root, "Sets"), id);
    if (!a.set)
        return std::nullopt;
    return a;
}

std::vector<std::string> serviceOrder(const ActiveSet& a) {
    std::vector<std::string> ids;
    const Dictionary* network = dictAt(a.set, "Network");
    const Dictionary* ipv4 = dictAt(dictAt(network, "Global"), "IPv4");
    const Value* order = ipv4 ? ipv4->find("ServiceOrder") : nullptr;
    if (order && order->asArray()) {
        for (const Value& v : *order->asArray())
            if (const std::string* s = v.asString())
                ids.push_back(*s);
        return ids;
    }
    if (const Dictionary* services = dictAt(network, "Service"))
        ids = services->keys();
    return ids;
}

bool setHasService(const ActiveSet& a, const std::string& id) {
    if (const Dictionary* services = dictAt(dictAt(a.set, "Network"), "Service");
        services && services->contains(id))
        return true;
    for (const std::string& s : serviceOrder(a))
        if (s == id)
            return true;
    return false;
}

} // namespace

std::string servicePPPKey(std::string_view serviceID) {
    std::string key(kServicePrefix);
    key += serviceID;
    key += kPPPSuffix;
    return key;
}

struct ConfigStore::Impl {
    std::string name;
    Callback callback;
    void* info = nullptr;
    std::vector<std::string> keys;
    std::vector<std::optional<Value>> snapshot;
    InterfaceProvider interfaces;

    RunLoop* loop = nullptr;
    Fd inotifyFd;
    int watchDescriptor = -1;
    std::string watchedPath;
    Fd netlinkFd;
    // Optional: a Source has no default state of its own to start from.
    std::optional<RunLoop::Source> inotifySource;
    std::optional<RunLoop::Source> netlinkSource;
    std::optional<RunLoop::Source> settleTimer;
    bool settlePending = false;
};

ConfigStore::ConfigStore(std::string name, Callback callback, void* info)
    : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(name);
    impl_->callback = std::move(callback);
    impl_->info = info;
}

ConfigStore::~ConfigStore() {
    removeFromRunLoop();
}

std::unique_ptr<ConfigStore> ConfigStore::create(std::string name, Callback callback, void* info) {
    if (name.empty())
        return nullptr;
    return std::unique_ptr<ConfigStore>(
        new ConfigStore(std::move(name), std::move(callback), info));
}

const std::string& ConfigStore::name() const {
    return impl_->name;
}

bool ConfigStore::setNotificationKeys(std::vector<std::string> keys) {
    for (const std::string& k : keys)
        if (k.empty())
            return false;
    impl_->keys = std::move(keys);
    impl_->snapshot.clear();
    for (const std::string& k : impl_->keys)
        impl_->snapshot.push_back(copyValue(k));
    return true;
}

const std::vector<std::string>& ConfigStore::notificationKeys() const {
    return impl_->keys;
}

std::string ConfigStore::preferencesPath() const {
    // The version query has no answer on this platform, which selects the
    // .plist location; the network preferences reader makes the same choice.
    return systemPath(kPreferencesPlistPath);
}

void ConfigStore::setInterfaceProvider(InterfaceProvider provider) {
    impl_->interfaces = std::move(provider);
}

std::vector<std::string> ConfigStore::kernelInterfaces() {
    std::vector<std::string> names;
    struct if_nameindex* list = ::if_nameindex();
    if (!list)
        return names;
    for (struct if_nameindex* p = list; p->if_index != 0 && p->if_name; ++p)
        names.emplace_back(p->if_name);
    ::if_freenameindex(list);
    return names;
}

std::optional<Value> ConfigStore::copyValue(std::string_view key) const {
    if (key == kInterfaceStateKey) {
        Array names;
        for (std::string& n : impl_->interfaces ? impl_->interfaces() : kernelInterfaces())
            names.emplace_back(std::move(n));
        Dictionary d;
        d.set("Interfaces", Value(std::move(names)));
        return Value(std::move(d));
    }
    if (key == kGlobalIPv4Key) {
        auto active = loadActiveSet(preferencesPath());
        if (!active)
            return std::nullopt;
        Array order;
        for (std::string& id : serviceOrder(*active))
            order.emplace_back(std::move(id));
        Dictionary d;
        d.set("ServiceOrder", Value(std::move(order)));
        return Value(std::move(d));
    }
    if (key.size() > kServicePrefix.size() + kPPPSuffix.size() && key.starts_with(kServicePrefix) &&
        key.ends_with(kPPPSuffix)) {
        std::string id(key.substr(kServicePrefix.size(),
                                  key.size() - kServicePrefix.size() - kPPPSuffix.size()));
        auto active = loadActiveSet(preferencesPath());
        if (!active || !setHasService(*active, id))
            return std::nullopt;
        const Dictionary* service = dictAt(dictAt(&active->root, "NetworkServices"), id);
        const Dictionary* iface = dictAt(service, "Interface");
        const Value* type = iface ? iface->find("Type") : nullptr;
        if (!type || !type->asString() || *type->asString() != "PPP")
            return std::nullopt;
        if (const Dictionary* ppp = dictAt(service, "PPP"))
            return Value(*ppp);
        return Value(Dictionary{});
    }
    return std::nullopt;
}

void ConfigStore::recompute() {
    std::vector<std::string> changed;
    for (size_t i = 0; i < impl_->keys.size(); ++i) {
        std::optional<Value> now = copyValue(impl_->keys[i]);
        if (now != impl_->snapshot[i]) {
            changed.push_back(impl_->keys[i]);
            impl_->snapshot[i] = std::move(now);
        }
    }
    if (changed.empty() || !impl_->callback)
        return;
    Callback callback = impl_->callback; // the callback may replace the session's state
    callback(*this, changed, impl_->info);
}

namespace {

// Puts the watch on the preferences folder, or on its nearest existing
// ancestor while the folder is missing (it is then moved down as the folders
// appear). A folder made between two looks is caught by looking again once
// the watch is in place.
void rewatch(int inotifyFd, int& wd, std::string& watchedPath, const std::string& folder) {
    for (int round = 0; round < 64; ++round) {
        std::string candidate = folder;
        int newWd = -1;
        for (;;) {
            if (isDirectory(candidate)) {
                if (candidate == watchedPath && wd >= 0)
                    return;
                uint32_t mask = candidate == folder ? kFolderMask : kAncestorMask;
                newWd = ::inotify_add_watch(inotifyFd, candidate.c_str(), mask);
                if (newWd >= 0)
                    break;
            }
            if (candidate == "/" || candidate == ".")
                return;
            candidate = parentFolder(candidate);
        }
        if (wd >= 0 && wd != newWd)
            ::inotify_rm_watch(inotifyFd, wd);
        wd = newWd;
        watchedPath = candidate;
        if (candidate == folder)
            return;
    }
}

} // namespace

bool ConfigStore::addToRunLoop(RunLoop& loop) {
    if (impl_->loop)
        return impl_->loop == &loop;
    Impl& d = *impl_;
    d.inotifyFd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!d.inotifyFd)
        return false;
    const std::string folder = parentFolder(preferencesPath());
    d.watchDescriptor = -1;
    d.watchedPath.clear();
    rewatch(d.inotifyFd.fd, d.watchDescriptor, d.watchedPath, folder);
    if (d.watchDescriptor < 0) {
        d.inotifyFd.reset();
        return false;
    }

    auto scheduleRecompute = [this] {
        Impl& s = *impl_;
        if (s.settlePending || !s.loop)
            return;
        s.settlePending = true;
        s.settleTimer = s.loop->addTimer(kSettleDelay, false, [this] {
            impl_->settlePending = false;
            recompute();
        });
    };

    d.inotifySource =
        loop.addFd(d.inotifyFd.fd, EPOLLIN, [this, folder, scheduleRecompute](uint32_t) {
            Impl& s = *impl_;
            alignas(struct inotify_event) char buf[4096];
            bool lostWatch = false;
            bool folderAppeared = false;
            for (;;) {
                ssize_t n = ::read(s.inotifyFd.fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                for (char* p = buf; p < buf + n;) {
                    auto* ev = reinterpret_cast<struct inotify_event*>(p);
                    if (ev->wd == s.watchDescriptor) {
                        if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                            lostWatch = true;
                        if ((ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO)) &&
                            s.watchedPath != folder)
                            folderAppeared = true;
                    }
                    if (ev->mask & IN_Q_OVERFLOW)
                        lostWatch = true;
                    p += sizeof(struct inotify_event) + ev->len;
                }
            }
            if (lostWatch) {
                if (s.watchDescriptor >= 0)
                    ::inotify_rm_watch(s.inotifyFd.fd, s.watchDescriptor);
                s.watchDescriptor = -1;
                s.watchedPath.clear();
            }
            if (lostWatch || folderAppeared)
                rewatch(s.inotifyFd.fd, s.watchDescriptor, s.watchedPath, folder);
            scheduleRecompute();
        });

    d.netlinkFd.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (d.netlinkFd) {
        struct sockaddr_nl addr {};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = RTMGRP_LINK;
        if (::bind(d.netlinkFd.fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
            d.netlinkFd.reset();
    }
    if (d.netlinkFd) {
        d.netlinkSource = loop.addFd(d.netlinkFd.fd, EPOLLIN, [this, scheduleRecompute](uint32_t) {
            char buf[8192];
            for (;;) {
                ssize_t n = ::recv(impl_->netlinkFd.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n < 0 && errno == ENOBUFS)
                    continue; // messages were dropped: the recompute covers them
                if (n <= 0)
                    break;
            }
            scheduleRecompute();
        });
    } else {
        logf("Interface changes cannot be watched: %s", std::strerror(errno));
    }
    d.loop = &loop;
    return true;
}

void ConfigStore::removeFromRunLoop() {
    Impl& d = *impl_;
    d.settleTimer.reset();
    d.settlePending = false;
    d.inotifySource.reset();
    d.netlinkSource.reset();
    d.inotifyFd.reset();
    d.netlinkFd.reset();
    d.watchDescriptor = -1;
    d.watchedPath.clear();
    d.loop = nullptr;
}

bool ConfigStore::scheduled() const {
    return impl_->loop != nullptr;
}

} // namespace platform
