// Programs the tests and benchmarks start: spawning with argv, environment
// and output files, reaping with a deadline, and waiting for a condition, a
// socket or a process's end. Header only; every wait is bounded.
#pragma once

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

// What a started program gets besides its arguments.
struct SpawnOptions {
    // Files for standard output and error; "" leaves ours in place. When both
    // name the same file they share one descriptor, so the lines interleave.
    std::string out;
    std::string err;
    // Appended to rather than truncated.
    bool append = false;
    mode_t mode = 0644;
    // Standard input on /dev/null rather than ours.
    bool nullInput = true;
    // NAME=value entries set over our environment, and names taken out of it.
    std::vector<std::string> env;
    std::vector<std::string> unset;
    // Runs in the forked child just before exec (only async-signal-safe calls):
    // 0 to go on, or the exit status the child ends with instead.
    std::function<int()> inChild;
};

// Our environment with the options' changes.
inline std::vector<std::string> environmentFor(const SpawnOptions& options) {
    auto named = [](const char* entry, const std::string& name) {
        return std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=';
    };
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        bool drop = false;
        for (const std::string& name : options.unset)
            drop = drop || named(*e, name);
        for (const std::string& entry : options.env)
            drop = drop || named(*e, entry.substr(0, entry.find('=')));
        if (!drop)
            out.emplace_back(*e);
    }
    out.insert(out.end(), options.env.begin(), options.env.end());
    return out;
}

// A null-terminated pointer list over the strings, for exec.
inline std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts args[0] (a path) with the options; its pid, or -1 when it could not
// be started. Signals blocked in the test (an event loop blocks some) are not
// blocked in the child.
inline pid_t spawn(std::vector<std::string> args, const SpawnOptions& options = {}) {
    std::vector<std::string> envStrings = environmentFor(options);
    std::vector<char*> argv = pointersTo(args);
    std::vector<char*> envp = pointersTo(envStrings);
    const int openFlags = O_WRONLY | O_CREAT | O_CLOEXEC | (options.append ? O_APPEND : O_TRUNC);

    // Opened here, before any fork, so the child only duplicates descriptors.
    int in = options.nullInput ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    int out = options.out.empty() ? -1 : ::open(options.out.c_str(), openFlags, options.mode);
    int err = options.err.empty()          ? -1
              : options.err == options.out ? out
                                           : ::open(options.err.c_str(), openFlags, options.mode);
    auto closeAll = [&] {
        for (int fd : {in, out, err == out ? -1 : err})
            if (fd >= 0)
                ::close(fd);
    };
    if ((options.nullInput && in < 0) || (!options.out.empty() && out < 0) ||
        (!options.err.empty() && err < 0)) {
        closeAll();
        return -1;
    }

    pid_t pid = -1;
    if (options.inChild) {
        pid = ::fork();
        if (pid == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if ((in >= 0 && ::dup2(in, 0) < 0) || (out >= 0 && ::dup2(out, 1) < 0) ||
                (err >= 0 && ::dup2(err, 2) < 0))
                ::_exit(127);
            if (int status = options.inChild(); status != 0)
                ::_exit(status);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (in >= 0)
            posix_spawn_file_actions_adddup2(&actions, in, 0);
        if (out >= 0)
            posix_spawn_file_actions_adddup2(&actions, out, 1);
        if (err >= 0)
            posix_spawn_file_actions_adddup2(&actions, err, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    closeAll();
    return pid;
}

// Waits for the child's end: its exit status, 128 + the signal that ended it,
// or -1 when it cannot be waited for or outlives the deadline (it is then
// killed and reaped).
inline int reap(pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Sends the signal and reaps the child (killed when it outlives the
// deadline); `pid` is -1 afterwards. What reap says, or -1 with no child.
inline int stop(pid_t& pid, int signo,
                std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    if (pid <= 0)
        return -1;
    ::kill(pid, signo);
    int status = reap(pid, deadline);
    pid = -1;
    return status;
}

// True while the child has not ended (it is not reaped here).
inline bool stillRunning(pid_t pid) {
    siginfo_t info{};
    info.si_pid = 0;
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

// Asks the condition until it holds, and once more at the deadline.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(10),
                std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(interval);
    }
    return condition();
}

// A stream connection to the socket at `path`, or -1.
inline int connectUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether something answers on the socket now.
inline bool canConnect(const std::string& path) {
    int fd = connectUnix(path);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Waits until something answers on the socket; false at the deadline, or as
// soon as `owner` (when given) has ended.
inline bool waitForSocket(const std::string& path,
                          std::chrono::milliseconds deadline = std::chrono::seconds(10),
                          pid_t owner = -1) {
    bool ended = false;
    bool up = eventually(
        [&] {
            ended = owner > 0 && !stillRunning(owner);
            return ended || canConnect(path);
        },
        deadline, std::chrono::milliseconds(5));
    return up && !ended;
}

} // namespace testsupport
