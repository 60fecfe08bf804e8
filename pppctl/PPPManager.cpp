#include "pppctl/PPPManager.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/SystemPaths.h"

namespace {

using Clock = std::chrono::steady_clock;

// A controller that does not answer within this time is treated as gone: the
// agent polls from its main loop and must never hang there.
constexpr auto kReplyTimeout = std::chrono::seconds(5);

int remainingMillis(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<int>(left.count());
}

std::unique_ptr<PPPManager>& sharedSlot() {
    static std::unique_ptr<PPPManager> slot;
    return slot;
}

} // namespace

// The manager's stream over the controller descriptor. It does not own the
// descriptor. Every transfer is bounded by a deadline and never raises
// SIGPIPE, so a controller that hangs or goes away surfaces as a failed
// transfer instead of freezing or killing the agent.
class PPPStreamHandle {
public:
    explicit PPPStreamHandle(int fd) : fd_(fd) {}

    bool writeAll(const uint8_t* data, size_t size, Clock::time_point deadline) {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!waitFor(POLLOUT, deadline))
                    return false;
                continue;
            }
            return false;
        }
        return true;
    }

    // Reads exactly `size` bytes; returns how many arrived before the stream
    // ended, or -1 on an error or when the deadline passed.
    ssize_t readExactly(uint8_t* data, size_t size, Clock::time_point deadline) {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::recv(fd_, data + done, size - done, MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!waitFor(POLLIN, deadline))
                    return -1;
                continue;
            }
            return -1;
        }
        return static_cast<ssize_t>(done);
    }

private:
    bool waitFor(short events, Clock::time_point deadline) {
        for (;;) {
            pollfd p{fd_, events, 0};
            int r = ::poll(&p, 1, remainingMillis(deadline));
            if (r > 0)
                return true;
            if (r == 0)
                return false;
            if (errno != EINTR)
                return false;
        }
    }

    int fd_;
};

PPPManager::PPPManager() = default;

PPPManager::~PPPManager() {
    disconnectTransport();
}

std::unique_ptr<PPPManager> PPPManager::create() {
    std::unique_ptr<PPPManager> manager(new PPPManager());
    if (!manager->connect())
        return nullptr;
    return manager;
}

PPPManager* PPPManager::sharedInstance() {
    auto& slot = sharedSlot();
    if (!slot)
        slot = create();
    return slot.get();
}

void PPPManager::resetForTesting() {
    sharedSlot().reset();
}

namespace {

// The shared instance ready for an exchange. An instance whose connection was
// dropped after a transport failure connects afresh here, so the agent
// survives a controller restart.
PPPManager* connectedInstance() {
    auto& slot = sharedSlot();
    if (!slot)
        return PPPManager::sharedInstance();
    if (!slot->isConnected() && !slot->connect())
        return nullptr;
    return slot.get();
}

} // namespace

bool PPPManager::getStatus(ppp_status* status, const std::string& serviceID) {
    PPPManager* manager = connectedInstance();
    return manager && manager->getLinkStatus(status, serviceID);
}

std::optional<platform::Dictionary> PPPManager::statusForService(const std::string& serviceID) {
    PPPManager* manager = connectedInstance();
    if (!manager)
        return std::nullopt;
    return manager->pppStatusForService(serviceID);
}

std::optional<platform::Dictionary> PPPManager::statusForInterface(const std::string& interface) {
    PPPManager* manager = connectedInstance();
    if (!manager)
        return std::nullopt;
    return manager->pppStatusForInterface(interface);
}

void PPPManager::forceReconnect() {
    PPPManager* manager = sharedInstance();
    if (manager)
        manager->reconnect();
}

bool PPPManager::connect() {
    disconnectTransport();
    pppconfdSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (pppconfdSocket < 0) {
        platform::logLine("Unable to establish socket for pppconfd. Abort.\n");
        return false;
    }

    std::string path = platform::systemPath(platform::kControllerSocketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool fits = path.size() < sizeof(address.sun_path);
    if (fits)
        std::memcpy(address.sun_path, path.data(), path.size());

    // A controller whose listen queue is full would hold connect() for ever;
    // the send timeout bounds that wait on local sockets.
    timeval timeout{static_cast<time_t>(kReplyTimeout.count()), 0};
    ::setsockopt(pppconfdSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    int r = -1;
    if (fits) {
        do {
            r = ::connect(pppconfdSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        } while (r < 0 && errno == EINTR);
    }
    if (r < 0) {
        platform::logLine("Unable to establish socket for pppconfd. Abort.\n");
        ::close(pppconfdSocket);
        pppconfdSocket = -1;
        return false;
    }

    pppconfdHandle = std::make_unique<PPPStreamHandle>(pppconfdSocket);
    return true;
}

void PPPManager::disconnectTransport() {
    pppconfdHandle.reset();
    if (pppconfdSocket >= 0) {
        ::close(pppconfdSocket);
        pppconfdSocket = -1;
    }
}

bool PPPManager::reconnect() {
    disconnectTransport();
    return connect();
}

std::optional<std::vector<uint8_t>>
PPPManager::_pppconfdExecMessage(const std::vector<uint8_t>& request) {
    if (!pppconfdHandle)
        return std::nullopt;

    const auto deadline = Clock::now() + kReplyTimeout;
    // Any transport failure leaves the stream at an unknown place, so the
    // connection is dropped and the next class-level call opens a new one.
    if (!pppconfdHandle->writeAll(request.data(), request.size(), deadline)) {
        disconnectTransport();
        return std::nullopt;
    }

    ppp_msg_hdr header{};
    if (pppconfdHandle->readExactly(reinterpret_cast<uint8_t*>(&header), sizeof header, deadline) !=
        static_cast<ssize_t>(sizeof header)) {
        disconnectTransport();
        return std::nullopt;
    }
    if (header.length == 0)
        return std::nullopt;
    // Nothing a controller answers comes near this size: the stream is not
    // one we can follow, and the announced size is never allocated.
    if (header.length > PPP_MAX_REPLY_BODY) {
        disconnectTransport();
        return std::nullopt;
    }

    std::vector<uint8_t> body(header.length);
    if (pppconfdHandle->readExactly(body.data(), body.size(), deadline) !=
        static_cast<ssize_t>(body.size())) {
        disconnectTransport();
        return std::nullopt;
    }
    if (header.result != 0)
        return std::nullopt;
    return body;
}

namespace {

std::vector<uint8_t> requestBytes(uint16_t type, uint32_t link, std::string_view body = {}) {
    ppp_msg_hdr header{};
    header.type = type;
    header.link = link;
    header.length = static_cast<uint32_t>(body.size());
    std::vector<uint8_t> bytes(sizeof header + body.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    if (!body.empty())
        std::memcpy(bytes.data() + sizeof header, body.data(), body.size());
    return bytes;
}

} // namespace

std::optional<uint32_t> PPPManager::lookupLink(uint16_t type, std::string_view name) {
    auto reply = _pppconfdExecMessage(requestBytes(type, PPP_LINK_NONE, name));
    if (!reply || reply->size() != sizeof(uint32_t))
        return std::nullopt;
    uint32_t link;
    std::memcpy(&link, reply->data(), sizeof link);
    return link;
}

std::optional<ppp_status> PPPManager::linkStatus(uint32_t link) {
    auto reply = _pppconfdExecMessage(requestBytes(PPP_STATUS, link));
    if (!reply || reply->size() != sizeof(ppp_status))
        return std::nullopt;
    ppp_status status;
    std::memcpy(&status, reply->data(), sizeof status);
    return status;
}

bool PPPManager::getLinkStatus(ppp_status* status, const std::string& serviceID) {
    auto link = lookupLink(PPP_LINKFORSERVICE, serviceID);
    if (!link) {
        platform::logLine("erreur 1");
        return false;
    }
    auto record = linkStatus(*link);
    if (!record) {
        platform::logLine("erreur 2");
        return false;
    }
    *status = *record;
    return true;
}

platform::Dictionary pppStatusDictionary(const ppp_status& status) {
    platform::Dictionary dictionary;
    dictionary.set("status", platform::Value(status.phase));
    if (status.phase == PPP_RUNNING) {
        dictionary.set("inBytes", platform::Value(status.s.connected.inBytes));
        dictionary.set("outBytes", platform::Value(status.s.connected.outBytes));
        dictionary.set("timeElapsed", platform::Value(status.s.connected.timeElapsed));
        dictionary.set("timeRemaining", platform::Value(status.s.connected.timeRemaining));
    }
    return dictionary;
}

std::optional<platform::Dictionary> PPPManager::statusDictionary(uint16_t lookupType,
                                                                 std::string_view name) {
    auto link = lookupLink(lookupType, name);
    if (!link)
        return std::nullopt;
    auto record = linkStatus(*link);
    if (!record)
        return std::nullopt;
    return pppStatusDictionary(*record);
}

std::optional<platform::Dictionary> PPPManager::pppStatusForService(const std::string& serviceID) {
    return statusDictionary(PPP_LINKFORSERVICE, serviceID);
}

std::optional<platform::Dictionary>
PPPManager::pppStatusForInterface(const std::string& interface) {
    return statusDictionary(PPP_LINKFORIFNAME, interface);
}

void PPPManager::pppConnectService(const std::string& serviceID) {
    auto link = lookupLink(PPP_LINKFORSERVICE, serviceID);
    if (!link)
        return;
    _pppconfdExecMessage(requestBytes(PPP_CONNECT, *link));
}

void PPPManager::pppDisconnectService(const std::string& serviceID) {
    auto link = lookupLink(PPP_LINKFORSERVICE, serviceID);
    if (!link)
        return;
    _pppconfdExecMessage(requestBytes(PPP_DISCONNECT, *link));
}

uint32_t PPPManager::_pppconfdNumberOfLinks() {
    auto reply = _pppconfdExecMessage(requestBytes(PPP_GETNBLINKS, PPP_LINK_NONE));
    if (!reply || reply->size() != sizeof(uint32_t))
        return 0;
    uint32_t count;
    std::memcpy(&count, reply->data(), sizeof count);
    return count;
}
