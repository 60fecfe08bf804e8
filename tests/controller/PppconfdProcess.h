// Runs the real pppconfd (and pppctl) binaries in a private system root.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/pppctl/ControllerTestSupport.h"

extern char** environ;

namespace testsupport {

struct ProgramRun {
    int status = -1; // exit code, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::string readWhole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts a program with its output going to files; returns its pid.
inline pid_t spawnProgram(const std::vector<std::string>& args, const std::string& outPath,
                          const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // Signals blocked by a test's event loop must not stay blocked in the child.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// Waits for the process to end; kills it when it outlives the timeout.
inline int waitExit(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Runs a program to its end (bounded).
inline ProgramRun runProgram(const TempRoot& root, const std::vector<std::string>& args,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    static int counter = 0;
    std::string base = root.path() + "/run" + std::to_string(++counter);
    ProgramRun run;
    pid_t pid = spawnProgram(args, base + ".out", base + ".err");
    if (pid < 0)
        return run;
    run.status = waitExit(pid, timeout);
    run.out = readWhole(base + ".out");
    run.err = readWhole(base + ".err");
    return run;
}

inline bool canConnect(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// pppconfd --simulate FILE, running until the object goes.
class Pppconfd {
public:
    Pppconfd(const TempRoot& root, const std::string& simulation) : root_(root) {
        errPath_ = root.path() + "/pppconfd.err";
        pid_ = spawnProgram({DL_BIN_DIR "/pppconfd", "--simulate", simulation},
                            root.path() + "/pppconfd.out", errPath_);
    }
    ~Pppconfd() { stop(); }

    // Waits until the daemon answers on its socket.
    bool ready(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (pid_ < 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (canConnect(root_.socketPath()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // SIGTERM, then the exit code.
    int stop() {
        if (pid_ < 0)
            return exitCode_;
        ::kill(pid_, SIGTERM);
        exitCode_ = waitExit(pid_, std::chrono::seconds(10));
        pid_ = -1;
        return exitCode_;
    }
    std::string errors() const { return readWhole(errPath_); }

private:
    const TempRoot& root_;
    std::string errPath_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

} // namespace testsupport
