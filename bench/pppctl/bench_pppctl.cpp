// The controller round trip: PPPManager::getStatus against the real
// pppconfd --simulate, and pppconfd answering many clients at once.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "platform/SystemPaths.h"
#include "pppctl/PPPManager.h"
#include "tests/support/Process.h"

namespace {

constexpr int kLinks = 10;

std::string serviceID(int i) {
    return "BENCH-SERVICE-" + std::to_string(i);
}

// One pppconfd with kLinks running links in a private root, for the whole run.
class Controller {
public:
    Controller() {
        char pattern[] = "/tmp/dl-bench-ctl-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::setenv("DIALLEDGER_SYSROOT", root_.c_str(), 1);
        ::setenv("HOME", root_.c_str(), 1);
        std::string file = root_ + "/links.plist";
        std::ofstream out(file);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>\n";
        for (int i = 0; i < kLinks; ++i)
            out << "<dict><key>ServiceID</key><string>" << serviceID(i)
                << "</string><key>Interface</key><string>ppp" << i
                << "</string><key>InRate</key><integer>4000</integer><key>OutRate</key>"
                   "<integer>1000</integer><key>StartConnected</key><true/></dict>\n";
        out << "</array></plist>\n";
        out.close();

        testsupport::SpawnOptions options;
        options.err = root_ + "/pppconfd.err";
        options.nullInput = false;
        pid_ = testsupport::spawn({DL_BIN_DIR "/pppconfd", "--simulate", file}, options);

        socket_ = platform::systemPath(platform::kControllerSocketPath);
        if (pid_ > 0 && testsupport::waitForSocket(socket_))
            return;
        std::fprintf(stderr, "pppconfd did not start\n");
        std::exit(1);
    }
    ~Controller() {
        testsupport::stop(pid_, SIGTERM);
        std::filesystem::remove_all(root_);
    }
    const std::string& socket() const { return socket_; }

private:
    std::string root_;
    std::string socket_;
    pid_t pid_ = -1;
};

Controller& controller() {
    static Controller c;
    return c;
}

void BM_GetStatus(benchmark::State& state) {
    controller();
    ppp_status status{};
    const std::string id = serviceID(kLinks - 1);
    for (auto _ : state) {
        if (!PPPManager::getStatus(&status, id)) {
            state.SkipWithError("getStatus failed");
            break;
        }
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_GetStatus);

// A lookup and a status request from every client, all written before any
// reply is read: the daemon has `clients` requests pending at once.
void sendRequests(int fd, uint32_t link) {
    ppp_msg_hdr requests[2] = {};
    requests[0].type = PPP_GETNBLINKS;
    requests[0].link = PPP_LINK_NONE;
    requests[1].type = PPP_STATUS;
    requests[1].link = link;
    (void)!::send(fd, requests, sizeof requests, MSG_NOSIGNAL);
}

bool readReplies(int fd) {
    // 20 + 4 bytes, then 20 + 36 bytes.
    uint8_t buffer[80];
    size_t got = 0;
    while (got < sizeof buffer) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        ssize_t n = ::recv(fd, buffer + got, sizeof buffer - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void BM_ClientsAtOnce(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        int fd = testsupport::connectUnix(controller().socket());
        if (fd < 0) {
            state.SkipWithError("connect failed");
            return;
        }
        fds.push_back(fd);
    }
    for (auto _ : state) {
        for (int i = 0; i < clients; ++i)
            sendRequests(fds[i], 1 + i % kLinks);
        for (int fd : fds) {
            if (!readReplies(fd)) {
                state.SkipWithError("reply missing");
                break;
            }
        }
    }
    for (int fd : fds)
        ::close(fd);
    state.SetItemsProcessed(state.iterations() * clients * 2);
}
BENCHMARK(BM_ClientsAtOnce)->Arg(1)->Arg(100);

// The same, with every client connecting afresh (as a new pppctl does).
void BM_ClientsConnecting(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    std::vector<int> fds(clients);
    for (auto _ : state) {
        for (int i = 0; i < clients; ++i) {
            fds[i] = testsupport::connectUnix(controller().socket());
            sendRequests(fds[i], 1 + i % kLinks);
        }
        for (int fd : fds) {
            if (!readReplies(fd))
                state.SkipWithError("reply missing");
            ::close(fd);
        }
    }
}
BENCHMARK(BM_ClientsConnecting)->Arg(100);

} // namespace

BENCHMARK_MAIN();
