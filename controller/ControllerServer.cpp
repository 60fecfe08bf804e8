#include "controller/ControllerServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace controller {

namespace {

// A client with this much unsent output is not read from until it catches up.
constexpr size_t kReadPauseThreshold = 64 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

bool makeParents(const std::string& path, std::string& error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) < 0 && errno != EEXIST) {
            error = "cannot create the folder " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

} // namespace

void EventSourceDeleter::operator()(sd_event_source* source) const {
    sd_event_source_disable_unref(source);
}

struct ControllerServer::Client {
    ControllerServer* server = nullptr;
    int fd = -1;
    EventSourcePtr source;
    ControllerService::Session* session = nullptr;
    uint32_t interest = 0;
};

ControllerServer::ControllerServer(sd_event* event, LinkSource& source)
    : event_(event), source_(source), service_(source) {
    service_.setOutputHandler([this](ControllerService::Session& session) {
        for (auto& client : clients_) {
            if (client->session == &session) {
                updateInterest(*client);
                break;
            }
        }
    });

    rlimit limit{};
    size_t fds = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        fds = static_cast<size_t>(limit.rlim_cur);
    // Keep descriptors in hand for the loop itself, so accept() never runs
    // dry while clients are connected.
    maxClients_ = std::clamp<size_t>(fds > 64 ? fds - 32 : fds / 2, 1, 65536);
}

ControllerServer::~ControllerServer() {
    while (!clients_.empty())
        closeClient(*clients_.front());
    listenSource_.reset();
    timerSource_.reset();
    acceptPause_.reset();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        // Remove the socket file only while it is the one we bound: a
        // controller started after us may have taken the path over.
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
            st.st_dev == socketDevice_ && st.st_ino == socketInode_)
            ::unlink(path_.c_str());
    }
}

bool ControllerServer::listen(const std::string& path, std::string& error) {
    sockaddr_un address;
    if (!fillAddress(path, address)) {
        error = "the socket path " + path + " is longer than " +
                std::to_string(sizeof(address.sun_path) - 1) + " bytes";
        return false;
    }
    if (!makeParents(path, error))
        return false;

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            error = std::string("cannot create a socket: ") + std::strerror(errno);
            return false;
        }
        // A live controller with a full listen queue would hold a plain
        // connect; the send timeout bounds that wait on local sockets.
        timeval timeout{1, 0};
        ::setsockopt(probe, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        int r = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int connectError = errno;
        ::close(probe);
        if (r == 0 || connectError == EAGAIN) {
            error = "another controller is already answering on " + path;
            return false;
        }
        // Nobody answers: the file is left over from a controller that died.
        if (::unlink(path.c_str()) < 0 && errno != ENOENT) {
            error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
            return false;
        }
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        error = "cannot bind " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Every local user's agent asks for link status.
    ::chmod(path.c_str(), 0666);
    if (::lstat(path.c_str(), &st) == 0) {
        socketDevice_ = st.st_dev;
        socketInode_ = st.st_ino;
    }
    listenFd_ = fd;
    path_ = path;
    if (::listen(fd, SOMAXCONN) < 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }

    sd_event_source* source = nullptr;
    int r = sd_event_add_io(event_, &source, fd, EPOLLIN, &ControllerServer::onListenReady, this);
    if (r < 0) {
        error = std::string("cannot watch the socket: ") + std::strerror(-r);
        return false;
    }
    listenSource_.reset(source);
    rearmTimer();
    return true;
}

int ControllerServer::onListenReady(sd_event_source*, int, uint32_t, void* userdata) {
    static_cast<ControllerServer*>(userdata)->acceptClients();
    return 0;
}

int ControllerServer::onAcceptResume(sd_event_source*, uint64_t, void* userdata) {
    auto* server = static_cast<ControllerServer*>(userdata);
    sd_event_source_set_enabled(server->listenSource_.get(), SD_EVENT_ON);
    return 0;
}

void ControllerServer::acceptClients() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending client stays queued and
                // would wake us at once again; pause accepting briefly.
                std::fprintf(stderr, "pppconfd: cannot accept a client: %s\n",
                             std::strerror(errno));
                sd_event_source_set_enabled(listenSource_.get(), SD_EVENT_OFF);
                uint64_t now = 0;
                sd_event_now(event_, CLOCK_MONOTONIC, &now);
                if (!acceptPause_) {
                    sd_event_source* pause = nullptr;
                    if (sd_event_add_time(event_, &pause, CLOCK_MONOTONIC, now + 200000, 1000,
                                          &ControllerServer::onAcceptResume, this) >= 0)
                        acceptPause_.reset(pause);
                    else
                        sd_event_source_set_enabled(listenSource_.get(), SD_EVENT_ON);
                } else {
                    sd_event_source_set_time(acceptPause_.get(), now + 200000);
                    sd_event_source_set_enabled(acceptPause_.get(), SD_EVENT_ONESHOT);
                }
            }
            return;
        }
        if (clients_.size() >= maxClients_) {
            ::close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->server = this;
        client->fd = fd;
        sd_event_source* source = nullptr;
        if (sd_event_add_io(event_, &source, fd, EPOLLIN, &ControllerServer::onClientReady,
                            client.get()) < 0) {
            ::close(fd);
            continue;
        }
        client->source.reset(source);
        client->interest = EPOLLIN;
        client->session = &service_.openSession();
        struct ucred credentials {};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
            size == sizeof credentials)
            client->session->setPeer(
                PeerCredentials{credentials.pid, credentials.uid, credentials.gid});
        clients_.push_back(std::move(client));
    }
}

int ControllerServer::onClientReady(sd_event_source*, int, uint32_t revents, void* userdata) {
    auto* client = static_cast<Client*>(userdata);
    ControllerServer* server = client->server;
    server->serve(*client, revents);
    server->rearmTimer();
    return 0;
}

void ControllerServer::serve(Client& client, uint32_t revents) {
    ControllerService::Session& session = *client.session;

    if ((revents & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !session.closing() &&
        session.output().size() < kReadPauseThreshold) {
        uint8_t buffer[kReadChunk];
        ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeClient(client);
            return;
        }
        if (n > 0)
            service_.receive(session, buffer, static_cast<size_t>(n));
    } else if ((revents & (EPOLLHUP | EPOLLERR)) && !(revents & EPOLLIN)) {
        closeClient(client);
        return;
    }

    if (session.overflowed()) {
        std::fprintf(stderr, "pppconfd: dropping a client that stopped reading its replies\n");
        closeClient(client);
        return;
    }

    auto& out = session.output();
    while (!out.empty()) {
        ssize_t n = ::send(client.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out.erase(out.begin(), out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closeClient(client);
        return;
    }

    if (session.closing() && out.empty()) {
        closeClient(client);
        return;
    }
    updateInterest(client);
}

void ControllerServer::updateInterest(Client& client) {
    ControllerService::Session& session = *client.session;
    uint32_t interest = 0;
    if (!session.closing() && session.output().size() < kReadPauseThreshold)
        interest |= EPOLLIN;
    if (!session.output().empty() || session.closing())
        interest |= EPOLLOUT;
    if (interest != client.interest) {
        sd_event_source_set_io_events(client.source.get(), interest);
        client.interest = interest;
    }
}

void ControllerServer::closeClient(Client& client) {
    client.source.reset();
    ::close(client.fd);
    service_.closeSession(*client.session);
    clients_.remove_if([&](const auto& c) { return c.get() == &client; });
}

int ControllerServer::onTimer(sd_event_source*, uint64_t, void* userdata) {
    auto* server = static_cast<ControllerServer*>(userdata);
    server->source_.advance();
    server->rearmTimer();
    return 0;
}

void ControllerServer::rearmTimer() {
    auto next = source_.nextChange();
    if (!next) {
        if (timerSource_)
            sd_event_source_set_enabled(timerSource_.get(), SD_EVENT_OFF);
        return;
    }
    // The source's clock is the monotonic clock, the same one sd-event uses.
    auto since = std::chrono::duration_cast<std::chrono::microseconds>(next->time_since_epoch());
    uint64_t usec = since.count() > 0 ? static_cast<uint64_t>(since.count()) : 1;
    if (!timerSource_) {
        sd_event_source* timer = nullptr;
        if (sd_event_add_time(event_, &timer, CLOCK_MONOTONIC, usec, 1000,
                              &ControllerServer::onTimer, this) < 0) {
            std::fprintf(stderr, "pppconfd: cannot arm the link timer\n");
            return;
        }
        timerSource_.reset(timer);
        return;
    }
    sd_event_source_set_time(timerSource_.get(), usec);
    sd_event_source_set_enabled(timerSource_.get(), SD_EVENT_ONESHOT);
}

} // namespace controller
