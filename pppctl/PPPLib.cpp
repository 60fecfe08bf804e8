#include "pppctl/PPPLib.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/SystemPaths.h"

namespace {

// An error number for a transfer that failed without one (the peer closed the
// stream): a short transfer must never read as success.
int32_t currentError() {
    return errno != 0 ? errno : -1;
}

// Writes without ever raising SIGPIPE: a controller that went away is an
// error to report, not a reason for the caller's process to die.
ssize_t writeSome(int fd, const void* buffer, size_t n) {
    ssize_t r = ::send(fd, buffer, n, MSG_NOSIGNAL);
    if (r < 0 && errno == ENOTSOCK)
        r = ::write(fd, buffer, n);
    return r;
}

// Takes a reply body that is not kept off the stream, so that the next
// exchange starts at a header. Returns the number of bytes consumed.
int64_t discardBody(int fd, uint32_t length, bool& failed) {
    char scratch[16384];
    uint32_t left = length;
    failed = false;
    while (left > 0) {
        int32_t chunk = static_cast<int32_t>(left < sizeof scratch ? left : sizeof scratch);
        int32_t n = readn(fd, scratch, chunk);
        if (n < 0) {
            failed = true;
            break;
        }
        left -= static_cast<uint32_t>(n);
        if (n < chunk)
            break;
    }
    return static_cast<int64_t>(length - left);
}

uint32_t wordAt(const void* data) {
    uint32_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}

} // namespace

int32_t PPPInit(int32_t* ref) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;

    std::string path = platform::systemPath(platform::kControllerSocketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        ::close(fd);
        return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, path.data(), path.size());

    int r;
    do {
        r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        int error = errno;
        ::close(fd);
        return error;
    }
    *ref = fd;
    return 0;
}

int32_t PPPDispose(int32_t ref) {
    if (::close(ref) < 0)
        return errno;
    return 0;
}

int32_t readn(int fd, void* buffer, int32_t n) {
    if (n <= 0)
        return 0;
    auto* p = static_cast<char*>(buffer);
    int32_t done = 0;
    while (done < n) {
        ssize_t r = ::read(fd, p + done, static_cast<size_t>(n - done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        done += static_cast<int32_t>(r);
    }
    return done;
}

int32_t writen(int fd, const void* buffer, int32_t n) {
    if (n <= 0)
        return n;
    const auto* p = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < n) {
        ssize_t r = writeSome(fd, p + done, static_cast<size_t>(n - done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<int32_t>(r);
    }
    return n;
}

int32_t PPPExec(int32_t ref, uint32_t link, uint32_t type, const void* request,
                uint32_t requestLength, void** reply, uint32_t* replyLength) {
    ppp_msg_hdr header{};
    header.type = static_cast<uint16_t>(type);
    header.link = link;
    header.length = (request && requestLength) ? requestLength : 0;

    if (header.length > INT32_MAX) {
        std::fprintf(stderr, "PPPExec write() failed: %s\n", std::strerror(EMSGSIZE));
        return EMSGSIZE;
    }
    if (writen(ref, &header, sizeof header) != static_cast<int32_t>(sizeof header) ||
        (header.length && writen(ref, request, static_cast<int32_t>(header.length)) !=
                              static_cast<int32_t>(header.length))) {
        int error = errno;
        std::fprintf(stderr, "PPPExec write() failed: %s\n", std::strerror(error));
        return error;
    }

    int32_t n = readn(ref, &header, sizeof header);
    if (n < 0) {
        int error = errno;
        std::fprintf(stderr, "PPPExec read() failed: error=%s\n", std::strerror(error));
        return error;
    }
    if (n < static_cast<int32_t>(sizeof header)) {
        std::fprintf(stderr, "PPPExec read() failed: insufficent data, read=%d\n", n);
        return -1;
    }

    void* body = nullptr;
    if (header.length != 0) {
        // A body beyond any real reply, or one that cannot be allocated, is
        // still taken off the stream but not kept.
        if (header.length <= PPP_MAX_REPLY_BODY)
            body = std::malloc(header.length);
        if (!body) {
            bool failed;
            int64_t got = discardBody(ref, header.length, failed);
            if (failed) {
                int error = errno;
                std::fprintf(stderr, "PPPExec read() failed: error=%s\n", std::strerror(error));
                return error;
            }
            if (got < header.length) {
                std::fprintf(stderr, "PPPExec read() failed: insufficent data, read=%d\n",
                             static_cast<int>(got));
                return -1;
            }
            std::fprintf(stderr, "PPPExec read() failed: error=%s\n", std::strerror(ENOMEM));
            return ENOMEM;
        }
        n = readn(ref, body, static_cast<int32_t>(header.length));
        if (n < 0) {
            int error = errno;
            std::fprintf(stderr, "PPPExec read() failed: error=%s\n", std::strerror(error));
            std::free(body);
            return error;
        }
        if (n < static_cast<int32_t>(header.length)) {
            std::fprintf(stderr, "PPPExec read() failed: insufficent data, read=%d\n", n);
            std::free(body);
            return -1;
        }
    }

    if (reply && replyLength) {
        *reply = body;
        *replyLength = header.length;
    } else {
        std::free(body);
    }
    return static_cast<int32_t>(header.result);
}

int32_t PPPConnect(int32_t ref, uint32_t link) {
    int32_t status = PPPExec(ref, link, PPP_CONNECT, nullptr, 0, nullptr, nullptr);
    if (status)
        std::fprintf(stderr, "PPPExec(PPP_CONNECT) failed: status = %d\n", status);
    return status;
}

int32_t PPPDisconnect(int32_t ref, uint32_t link) {
    int32_t status = PPPExec(ref, link, PPP_DISCONNECT, nullptr, 0, nullptr, nullptr);
    if (status)
        std::fprintf(stderr, "PPPExec(PPP_DISCONNECT) failed: status = %d\n", status);
    return status;
}

int32_t PPPGetNumberOfLinks(int32_t ref, uint32_t* count) {
    void* reply = nullptr;
    uint32_t length = 0;
    int32_t status = PPPExec(ref, PPP_LINK_NONE, PPP_GETNBLINKS, nullptr, 0, &reply, &length);
    if (status) {
        std::fprintf(stderr, "PPPExec(PPP_GETNBLINKS) failed: status = %d\n", status);
        std::free(reply); // a failure reply may still carry a body
        return status;
    }
    *count = (reply && length == sizeof(uint32_t)) ? wordAt(reply) : 0;
    std::free(reply);
    return 0;
}

int32_t PPPGetLinkByIndex(int32_t ref, uint32_t index, uint32_t* link) {
    void* reply = nullptr;
    uint32_t length = 0;
    int32_t status =
        PPPExec(ref, PPP_LINK_NONE, PPP_GETLINKBYINDEX, &index, sizeof index, &reply, &length);
    if (status) {
        std::fprintf(stderr, "PPPExec(PPP_GETLINKBYINDEX) failed: status = %d\n", status);
        std::free(reply); // a failure reply may still carry a body
        return status;
    }
    if (reply && length == sizeof(uint32_t))
        *link = wordAt(reply);
    else
        status = -2;
    std::free(reply);
    return status;
}

int32_t PPPGetLinkByServiceID(int32_t ref, const char* serviceID, uint32_t* link) {
    if (!serviceID)
        return 22;
    std::string bytes;
    if (!pppToMacRoman(serviceID, bytes))
        return 12;

    uint32_t count = 0;
    int32_t status = PPPGetNumberOfLinks(ref, &count);
    if (status) {
        std::fprintf(stderr, "PPPGetNumberOfLinks() failed: %d\n", status);
        return status;
    }

    status = -2;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t candidate = 0;
        status = PPPGetLinkByIndex(ref, i, &candidate);
        if (status) {
            std::fprintf(stderr, "PPPGetLinkByIndex() failed: %d\n", status);
            return status;
        }
        void* value = nullptr;
        uint32_t valueLength = 0;
        status = PPPGetOption(ref, candidate, PPP_OPT_SERVICEID, &value, &valueLength);
        if (status) {
            std::fprintf(stderr, "PPPGetOption(PPP_OPT_SERVICEID) failed: %d\n", status);
            return status;
        }
        bool match = value && valueLength == bytes.size() &&
                     std::strncmp(static_cast<const char*>(value), bytes.c_str(), valueLength) == 0;
        std::free(value);
        if (match) {
            *link = candidate;
            return 0;
        }
        status = -2;
    }
    return status;
}

int32_t PPPGetOption(int32_t ref, uint32_t link, uint32_t option, void** data,
                     uint32_t* dataLength) {
    void* reply = nullptr;
    uint32_t length = 0;
    int32_t status = PPPExec(ref, link, PPP_GETOPTION, &option, sizeof option, &reply, &length);
    if (status) {
        std::fprintf(stderr, "PPPExec(PPP_GETOPTION) failed: status = %d\n", status);
        std::free(reply); // a failure reply may still carry a body
        *data = nullptr;
        *dataLength = 0;
        return status;
    }
    if (reply && length > sizeof(uint32_t)) {
        uint32_t valueLength = length - static_cast<uint32_t>(sizeof(uint32_t));
        void* value = std::malloc(valueLength);
        if (value) {
            std::memcpy(value, static_cast<char*>(reply) + sizeof(uint32_t), valueLength);
            *data = value;
            *dataLength = valueLength;
        } else {
            status = ENOMEM;
        }
    }
    std::free(reply);
    return status;
}

int32_t PPPSetOption(int32_t ref, uint32_t link, uint32_t option, const void* data,
                     uint32_t dataLength) {
    if (!data)
        dataLength = 0;
    if (dataLength > UINT32_MAX - sizeof(uint32_t))
        return EMSGSIZE;
    uint32_t requestLength = static_cast<uint32_t>(sizeof(uint32_t)) + dataLength;
    auto* request = static_cast<char*>(std::malloc(requestLength));
    if (!request)
        return ENOMEM;
    std::memcpy(request, &option, sizeof option);
    if (dataLength)
        std::memcpy(request + sizeof option, data, dataLength);
    int32_t status = PPPExec(ref, link, PPP_SETOPTION, request, requestLength, nullptr, nullptr);
    std::free(request);
    if (status)
        std::fprintf(stderr, "PPPExec(PPP_SETOPTION) failed: status = %d\n", status);
    return status;
}

int32_t PPPStatus(int32_t ref, uint32_t link, ppp_status* status) {
    void* reply = nullptr;
    uint32_t length = 0;
    int32_t result = PPPExec(ref, link, PPP_STATUS, nullptr, 0, &reply, &length);
    if (result) {
        std::fprintf(stderr, "PPPExec(PPP_STATUS) failed: status = %d\n", result);
        std::free(reply); // a failure reply may still carry a body
        return result;
    }
    if (!reply)
        return -1;
    if (length != sizeof(ppp_status)) {
        std::free(reply);
        return -1;
    }
    if (status)
        std::memcpy(status, reply, sizeof(ppp_status));
    std::free(reply);
    return 0;
}

int32_t PPPEnableEvents(int32_t ref, uint32_t link, bool enable) {
    uint32_t type = enable ? PPP_ENABLE_EVENT : PPP_DISABLE_EVENT;
    int32_t status = PPPExec(ref, link, type, nullptr, 0, nullptr, nullptr);
    if (status)
        std::fprintf(stderr, "PPPExec(%s) failed: status = %d\n",
                     enable ? "PPP_ENABLE_EVENT" : "PPP_DISABLE_EVENT", status);
    return status;
}

namespace {

int32_t singleHeaderSwitch(int32_t ref, uint16_t type) {
    ppp_msg_hdr header{};
    header.type = type;
    errno = 0;
    if (writeSome(ref, &header, sizeof header) != static_cast<ssize_t>(sizeof header))
        return currentError();
    errno = 0;
    if (::read(ref, &header, sizeof header) != static_cast<ssize_t>(sizeof header))
        return currentError();
    return static_cast<int32_t>(header.result);
}

} // namespace

int32_t PPPEnableEvent(int32_t ref) {
    return singleHeaderSwitch(ref, PPP_ENABLE_EVENT);
}

int32_t PPPDisableEvent(int32_t ref) {
    return singleHeaderSwitch(ref, PPP_DISABLE_EVENT);
}

int32_t PPPWaitForEvent(int32_t ref, ppp_msg_hdr* header) {
    pollfd p{ref, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0)
        return errno;
    errno = 0;
    if (::read(ref, header, sizeof *header) != static_cast<ssize_t>(sizeof *header))
        return currentError();
    return 0;
}
