// Shared by the fault tests: seeded connection logs, programs started with a
// fault already in place (a file size limit, a read-only log folder, a system
// log socket of the test's own), and what /proc says about a process.
#pragma once

#include "platform/FileSystem.h"
#include "platform/Plist.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace faults {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Iteration counts: the sanitizer build runs every fault too, on fewer rounds.
#ifdef DL_FAULTS_LIGHT
inline constexpr bool kLight = true;
#else
inline constexpr bool kLight = false;
#endif

// One record as the tests read it back.
struct Record {
    int64_t date = 0;
    uint64_t timeElapsed = 0, inBytes = 0, outBytes = 0;
};

// Record i of a seeded log: inBytes = i, outBytes = 2 * i, like the records
// fault_appender writes, so one sequence runs through seed and appends.
inline platform::Value seedRecord(uint64_t i) {
    platform::Dictionary d;
    d.set("date", platform::Value(platform::Date{1'000'000'000 + int64_t(i) * 3600}));
    d.set("timeElapsed", platform::Value(i % 3600 + 1));
    d.set("inBytes", platform::Value(i));
    d.set("outBytes", platform::Value(2 * i));
    return platform::Value(std::move(d));
}

inline void seedLog(const std::string& path, uint64_t count) {
    platform::Array records;
    records.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        records.push_back(seedRecord(i));
    ASSERT_TRUE(platform::writeXmlFile(path, platform::Value(std::move(records))));
}

// The log's records, or nothing when it does not parse as a log. A record
// must hold exactly the four keys with values of their kinds.
inline std::optional<std::vector<Record>> readLog(const std::string& path) {
    auto array = platform::readArrayFile(path);
    if (!array)
        return std::nullopt;
    std::vector<Record> out;
    out.reserve(array->size());
    for (const platform::Value& v : *array) {
        const platform::Dictionary* d = v.asDictionary();
        if (!d || d->size() != 4)
            return std::nullopt;
        const platform::Value* date = d->find("date");
        const platform::Value* elapsed = d->find("timeElapsed");
        const platform::Value* in = d->find("inBytes");
        const platform::Value* outBytes = d->find("outBytes");
        if (!date || !date->asDate() || !elapsed || !elapsed->asUnsigned() || !in ||
            !in->asUnsigned() || !outBytes || !outBytes->asUnsigned())
            return std::nullopt;
        out.push_back(Record{date->asDate()->seconds, *elapsed->asUnsigned(), *in->asUnsigned(),
                             *outBytes->asUnsigned()});
    }
    return out;
}

inline std::string fileBytes(const std::string& path) {
    std::string s;
    platform::readFile(path, s);
    return s;
}

// Names in the folder other than the given ones (left-over temporary files).
inline std::vector<std::string> strayEntries(const std::string& folder,
                                             const std::vector<std::string>& expected) {
    std::vector<std::string> out;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return out;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        bool known = false;
        for (const std::string& x : expected)
            known = known || x == name;
        if (!known)
            out.push_back(name);
    }
    ::closedir(dir);
    return out;
}

// --- processes -------------------------------------------------------------

// What a child does between fork and exec to put its fault in place.
struct ChildFaults {
    // A file size limit (RLIMIT_FSIZE), in bytes.
    std::optional<rlim_t> fileSizeLimit;
    // In a mount namespace of the child's own: this folder read-only...
    std::string readOnlyFolder;
    // ...and /dev/log a link to this datagram socket, so the child's system
    // log lines come to the test.
    std::string syslogSocket;
};

inline bool needsNamespace(const ChildFaults& f) {
    return !f.readOnlyFolder.empty() || !f.syslogSocket.empty();
}

// Runs in the forked child: only system calls from here to exec.
inline bool applyFaults(const ChildFaults& f, const std::string& stage) {
    if (f.fileSizeLimit) {
        // Only the soft limit: the test lifts it again later, which raising
        // a hard limit would need a capability for.
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = *f.fileSizeLimit;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return false;
    }
    if (!needsNamespace(f))
        return true;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    if (!f.readOnlyFolder.empty()) {
        if (::mount(f.readOnlyFolder.c_str(), f.readOnlyFolder.c_str(), nullptr, MS_BIND,
                    nullptr) != 0 ||
            ::mount(nullptr, f.readOnlyFolder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                    nullptr) != 0)
            return false;
    }
    if (!f.syslogSocket.empty()) {
        // A fresh /dev with the few nodes a program opens, plus "log".
        if (::mount("/dev", stage.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0)
            return false;
        for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
            std::string from = stage + "/" + node, to = std::string("/dev/") + node;
            int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            if (fd >= 0)
                ::close(fd);
            (void)::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr);
        }
        (void)::umount2(stage.c_str(), MNT_DETACH);
        if (::symlink(f.syslogSocket.c_str(), "/dev/log") != 0)
            return false;
    }
    return true;
}

// Starts a program with standard output and error appended to `output`, its
// standard input on /dev/null, the given extra environment, and the faults in
// place. Exit status 99 from the child: a fault could not be put in place.
inline pid_t spawnWithFaults(const std::vector<std::string>& args, const std::string& output,
                             const std::vector<std::string>& extraEnv, const ChildFaults& f,
                             const std::string& stage = {}) {
    testsupport::SpawnOptions options;
    options.out = options.err = output;
    options.append = true;
    options.env = extraEnv;
    options.inChild = [&f, &stage] { return applyFaults(f, stage) ? 0 : 99; };
    return testsupport::spawn(args, options);
}

using testsupport::reap;
using testsupport::stillRunning;

// Whether this process may make a mount namespace with a read-only bind mount
// (root in a container that allows it).
inline bool mountNamespacesWork(const std::string& folder) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ChildFaults f;
        f.readOnlyFolder = folder;
        ::_exit(applyFaults(f, {}) ? 0 : 1);
    }
    return pid > 0 && reap(pid) == 0;
}

// Takes the read-only mount off the folder inside that process's namespace.
inline bool liftReadOnly(pid_t target, const std::string& folder) {
    std::string ns = "/proc/" + std::to_string(target) + "/ns/mnt";
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        ::_exit(fd >= 0 && ::setns(fd, CLONE_NEWNS) == 0 &&
                        ::umount2(folder.c_str(), MNT_DETACH) == 0
                    ? 0
                    : 1);
    }
    return pid > 0 && reap(pid) == 0;
}

// Sets the soft file size limit of that process (up to its hard limit).
inline bool setFileSizeLimit(pid_t target, rlim_t bytes) {
    rlimit limit{};
    if (::prlimit(target, RLIMIT_FSIZE, nullptr, &limit) != 0)
        return false;
    limit.rlim_cur = std::min(bytes, limit.rlim_max);
    return ::prlimit(target, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

// The system log socket of a test: a datagram socket whose messages are
// collected on demand.
class SyslogCapture {
public:
    explicit SyslogCapture(std::string path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || path_.size() >= sizeof addr.sun_path)
            throw std::runtime_error("no log socket");
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot bind the log socket");
        ::chmod(path_.c_str(), 0666);
    }
    ~SyslogCapture() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    // Every message so far, without the syslog header ("<pri>date host tag: ").
    const std::vector<std::string>& lines() {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            std::string m(buf, static_cast<size_t>(n));
            size_t at = m.find("]: ");
            lines_.push_back(at == std::string::npos ? m : m.substr(at + 3));
        }
        return lines_;
    }
    size_t count(const std::string& text) {
        size_t n = 0;
        for (const std::string& l : lines())
            n += l.find(text) != std::string::npos;
        return n;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> lines_;
};

// --- /proc -----------------------------------------------------------------

inline int openFileCount(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return -1;
    int n = 0;
    while (dirent* e = ::readdir(dir))
        n += e->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

inline long residentKiB(pid_t pid) {
    std::string status;
    platform::readFile("/proc/" + std::to_string(pid) + "/status", status);
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

} // namespace faults
