// Test support for the controller client and daemon: a private system root,
// a scripted fake controller on a real socket, and byte helpers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/SystemPaths.h"
#include "pppctl/PPPMessages.h"
#include "tests/support/Process.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A private system root and home for the life of the object.
class TempRoot {
public:
    TempRoot() {
        char pattern[] = "/tmp/dl-ctl-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made)
            throw std::runtime_error("mkdtemp failed");
        path_ = made;
        ::setenv("DIALLEDGER_SYSROOT", path_.c_str(), 1);
        std::filesystem::create_directories(path_ + "/home");
        ::setenv("HOME", (path_ + "/home").c_str(), 1);
    }
    ~TempRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string socketPath() const { return platform::systemPath(platform::kControllerSocketPath); }

private:
    std::string path_;
};

inline Bytes word(uint32_t value) {
    Bytes b(4);
    std::memcpy(b.data(), &value, 4);
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes header(uint16_t type, uint32_t result, uint32_t link, uint32_t length) {
    ppp_msg_hdr h{};
    h.type = type;
    h.result = result;
    h.link = link;
    h.length = length;
    Bytes b(sizeof h);
    std::memcpy(b.data(), &h, sizeof h);
    return b;
}

// A reply: header with the result and the body's length, then the body.
inline Bytes reply(uint32_t result, const Bytes& body = {}) {
    return concat({header(0, result, 0, static_cast<uint32_t>(body.size())), body});
}

inline Bytes statusRecord(uint32_t phase, uint32_t elapsed = 0, uint32_t remaining = 0,
                          uint32_t in = 0, uint32_t out = 0) {
    ppp_status s{};
    s.phase = phase;
    if (phase == PPP_RUNNING) {
        s.s.connected.timeElapsed = elapsed;
        s.s.connected.timeRemaining = remaining;
        s.s.connected.inBytes = in;
        s.s.connected.outBytes = out;
    } else {
        std::memset(s.s.raw, 0xAB, sizeof s.s.raw); // must be ignored
    }
    Bytes b(sizeof s);
    std::memcpy(b.data(), &s, sizeof s);
    return b;
}

inline bool writeAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly n bytes within the timeout; false on end of stream or timeout.
inline bool readExactly(int fd, uint8_t* data, size_t n, int timeoutMs = 5000) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            return false;
        ssize_t r = ::recv(fd, data + done, n - done, 0);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

struct Message {
    ppp_msg_hdr header{};
    Bytes body;
    Bytes raw; // header and body as they came
};

inline bool readMessage(int fd, Message& message, int timeoutMs = 5000) {
    message = {};
    if (!readExactly(fd, reinterpret_cast<uint8_t*>(&message.header), sizeof message.header,
                     timeoutMs))
        return false;
    message.body.resize(message.header.length);
    if (message.header.length &&
        !readExactly(fd, message.body.data(), message.body.size(), timeoutMs))
        return false;
    message.raw.resize(sizeof message.header);
    std::memcpy(message.raw.data(), &message.header, sizeof message.header);
    message.raw.insert(message.raw.end(), message.body.begin(), message.body.end());
    return true;
}

// A controller on the real socket path whose answers are scripted: each
// accepted connection is handed to the next handler in turn, on a thread of
// its own. Every request a handler reads through `next()` is recorded.
class FakeController {
public:
    class Connection {
    public:
        Connection(FakeController& owner, int fd) : owner_(owner), fd_(fd) {}
        int fd() const { return fd_; }
        // Reads the next request and records it; false when the client closed.
        bool next(Message& message) {
            if (!readMessage(fd_, message, 10000))
                return false;
            std::lock_guard<std::mutex> lock(owner_.mutex_);
            owner_.requests_.push_back(message);
            return true;
        }
        bool send(const Bytes& bytes) { return writeAll(fd_, bytes); }
        // Answers the next request with `bytes`.
        bool answer(const Bytes& bytes) {
            Message m;
            return next(m) && send(bytes);
        }
        // Waits until the client closes its end; true when it did.
        bool waitForClose(int timeoutMs = 10000) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                return false;
            char c;
            return ::recv(fd_, &c, 1, MSG_DONTWAIT) == 0;
        }
        // Blocks until the test ends (a controller that hangs).
        void hang() {
            pollfd p{owner_.stopPipe_[0], POLLIN, 0};
            ::poll(&p, 1, 30000);
        }

    private:
        FakeController& owner_;
        int fd_;
    };
    using Handler = std::function<void(Connection&)>;

    explicit FakeController(std::vector<Handler> handlers) : handlers_(std::move(handlers)) {
        if (::pipe2(stopPipe_, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::string path = platform::systemPath(platform::kControllerSocketPath);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ::unlink(path.c_str());
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 16) != 0)
            throw std::runtime_error("cannot listen on " + path);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~FakeController() {
        char c = 1;
        (void)!::write(stopPipe_[1], &c, 1);
        acceptor_.join();
        for (auto& t : workers_)
            t.join();
        ::close(listenFd_);
        ::close(stopPipe_[0]);
        ::close(stopPipe_[1]);
        ::unlink(platform::systemPath(platform::kControllerSocketPath).c_str());
    }

    int connections() const { return accepted_.load(); }
    // Connections whose handler has returned and closed its end.
    int finished() const { return finished_.load(); }
    // Waits until `count` handlers have closed their end.
    bool waitFinished(int count) {
        return eventually([&] { return finished_.load() >= count; }, std::chrono::seconds(10),
                          std::chrono::milliseconds(2));
    }
    std::vector<Message> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void acceptLoop() {
        for (;;) {
            pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0)
                continue;
            if (p[1].revents)
                return;
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            size_t index = static_cast<size_t>(accepted_++);
            Handler handler = index < handlers_.size() ? handlers_[index] : Handler();
            workers_.emplace_back([this, fd, handler] {
                Connection connection(*this, fd);
                if (handler)
                    handler(connection);
                ::close(fd);
                ++finished_;
            });
        }
    }

    std::vector<Handler> handlers_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::atomic<int> accepted_{0};
    std::atomic<int> finished_{0};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::vector<Message> requests_;
};

// SIGUSR1s caught since the handler went in. It is installed without
// SA_RESTART, so a read it interrupts fails with EINTR and must be resumed.
inline std::atomic<int> interruptsSeen{0};
inline void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = [](int) { ++interruptsSeen; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
}

// Reads the next request, interrupts `client` with SIGUSR1 while it waits for
// the answer, then sends `answer`.
inline void answerAfterInterrupting(FakeController::Connection& c, pthread_t client,
                                    const Bytes& answer) {
    Message m;
    c.next(m);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(client, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.send(answer);
}

// Number of open descriptors of this process.
inline int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Captures what the process writes to standard error.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        char pattern[] = "/tmp/dl-ctl-stderr-XXXXXX";
        fd_ = ::mkstemp(pattern);
        ::unlink(pattern);
        saved_ = ::dup(2);
        ::dup2(fd_, 2);
    }
    ~StderrCapture() {
        restore();
        ::close(fd_);
    }
    std::string text() {
        std::fflush(stderr);
        std::string out;
        char buffer[4096];
        ::lseek(fd_, 0, SEEK_SET);
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }

private:
    int fd_ = -1;
    int saved_ = -1;
};

} // namespace testsupport
