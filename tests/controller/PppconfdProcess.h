// Runs the real pppconfd (and pppctl) binaries in a private system root.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pppctl/ControllerTestSupport.h"
#include "tests/support/Process.h"

namespace testsupport {

struct ProgramRun {
    int status = -1; // exit code, 128 + signal, or -1 when it could not be run or timed out
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
    SpawnOptions options;
    options.out = outPath;
    options.err = errPath;
    return spawn(args, options);
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
    run.status = reap(pid, timeout);
    run.out = readWhole(base + ".out");
    run.err = readWhole(base + ".err");
    return run;
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
        return pid_ > 0 && waitForSocket(root_.socketPath(), timeout, pid_);
    }

    // SIGTERM, then the exit code.
    int stop() {
        if (pid_ > 0)
            exitCode_ = testsupport::stop(pid_, SIGTERM);
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
