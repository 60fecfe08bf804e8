// Controller replies, as any bytes, through the link manager and through the
// plain-function library. The input after its first byte is everything the
// "controller" answers: it is written to the controller's end of the stream,
// which is then shut for writing, so every read ends at the input's end and
// nothing waits for the reply timeout. The first byte picks where in the
// round of queries the clients begin, so every query meets the first reply.
//
// The manager talks to a real listening socket in the private root (it
// connects by path); the library over a socket pair or, for every input whose
// first byte has its high bit set, a connection made by its own PPPInit.
//
// The library reports each failure on standard error; run with
// -close_fd_mask=2 to keep the fuzzer's own output readable.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "fuzz/FuzzSupport.h"
#include "platform/SystemPaths.h"
#include "pppctl/PPPLib.h"
#include "pppctl/PPPManager.h"

class PPPManagerTestPeer {
public:
    static uint32_t numberOfLinks(PPPManager& manager) { return manager._pppconfdNumberOfLinks(); }
};

namespace {

// More than any socket buffer takes in one go; longer inputs add nothing a
// shorter one cannot reach.
constexpr size_t kMaxInput = 64 * 1024;

const std::string kService = "0A1B2C3D-0000-4000-8000-000000000001";

// Writes the whole reply stream, then ends it.
void serve(int fd, std::string_view replies) {
    size_t done = 0;
    while (done < replies.size()) {
        ssize_t n = ::send(fd, replies.data() + done, replies.size() - done, MSG_NOSIGNAL);
        FUZZ_CHECK(n > 0 || errno == EINTR, "cannot write the reply stream");
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
}

void raiseBuffer(int fd) {
    int bytes = static_cast<int>(kMaxInput * 2);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

// A controller socket at the controller path that takes one client.
int listenOnce() {
    const std::string path = platform::systemPath(platform::kControllerSocketPath);
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0, "no socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    FUZZ_CHECK(path.size() < sizeof address.sun_path, "the private root's path is too long");
    std::memcpy(address.sun_path, path.data(), path.size());
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
               "cannot bind the controller socket");
    FUZZ_CHECK(::listen(fd, 1) == 0, "cannot listen");
    return fd;
}

void runManager(uint8_t start, std::string_view replies) {
    // A listener that lives only until the shared manager is connected: once
    // the stream ends and the manager drops it, its attempts to connect again
    // are refused at once instead of waiting in a queue nobody serves.
    int listener = listenOnce();
    PPPManager::resetForTesting();
    PPPManager* manager = PPPManager::sharedInstance();
    FUZZ_CHECK(manager, "the manager cannot reach the listening controller");
    int controller = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(controller >= 0, "cannot accept the manager");
    ::close(listener);
    ::unlink(platform::systemPath(platform::kControllerSocketPath).c_str());
    raiseBuffer(controller);
    serve(controller, replies);

    constexpr int kSteps = 9;
    for (int i = 0; i < kSteps * 2; ++i) {
        switch ((start + i) % kSteps) {
        case 0: {
            ppp_status status;
            std::memset(&status, 0x5A, sizeof status);
            const ppp_status before = status;
            if (!PPPManager::getStatus(&status, kService))
                FUZZ_CHECK(std::memcmp(&status, &before, sizeof status) == 0,
                           "a failed status query wrote the caller's record");
            break;
        }
        case 1:
            if (auto d = PPPManager::statusForService(kService))
                FUZZ_CHECK(d->contains("status"), "a status dictionary without a status");
            break;
        case 2:
            if (auto d = PPPManager::statusForInterface("ppp0"))
                FUZZ_CHECK(d->contains("status"), "a status dictionary without a status");
            break;
        case 3:
            if (PPPManager* m = PPPManager::sharedInstance())
                m->pppConnectService(kService);
            break;
        case 4:
            if (PPPManager* m = PPPManager::sharedInstance())
                m->pppDisconnectService(kService);
            break;
        case 5:
            if (PPPManager* m = PPPManager::sharedInstance())
                (void)PPPManagerTestPeer::numberOfLinks(*m);
            break;
        case 6:
            if (PPPManager* m = PPPManager::sharedInstance()) {
                ppp_status status{};
                (void)m->getLinkStatus(&status, "");
            }
            break;
        case 7:
            if (PPPManager* m = PPPManager::sharedInstance())
                (void)m->pppStatusForService(std::string(300, 'S'));
            break;
        case 8:
            if (PPPManager* m = PPPManager::sharedInstance())
                (void)m->pppStatusForInterface("");
            break;
        }
    }
    PPPManager::resetForTesting();
    ::close(controller);
}

void runLibrary(uint8_t start, std::string_view replies) {
    // Every other input opens the connection the library's own way, the
    // others over a socket pair.
    int fds[2];
    int32_t ref = -1;
    if (start & 0x80) {
        int listener = listenOnce();
        FUZZ_CHECK(PPPInit(&ref) == 0, "the library cannot reach the listening controller");
        fds[0] = ref;
        fds[1] = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        FUZZ_CHECK(fds[1] >= 0, "cannot accept the library");
        ::close(listener);
    } else {
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0,
                   "no socket pair");
        ref = fds[0];
    }
    raiseBuffer(fds[1]);
    serve(fds[1], replies);

    constexpr int kSteps = 12;
    for (int i = 0; i < kSteps * 2; ++i) {
        switch ((start + i) % kSteps) {
        case 0:
            (void)PPPConnect(ref, 1);
            (void)PPPDisconnect(ref, 1);
            break;
        case 1: {
            uint32_t count = 0xDEAD;
            if (PPPGetNumberOfLinks(ref, &count) != 0)
                FUZZ_CHECK(count == 0xDEAD, "a failed count query wrote the count");
            break;
        }
        case 2: {
            uint32_t link = 0;
            (void)PPPGetLinkByIndex(ref, start, &link);
            break;
        }
        case 3: {
            uint32_t link = 0;
            (void)PPPGetLinkByServiceID(ref, kService.c_str(), &link);
            (void)PPPGetLinkByServiceID(ref, "caf\xC3\xA9", &link);
            break;
        }
        case 4: {
            void* value = reinterpret_cast<void*>(uintptr_t(1));
            uint32_t length = 7;
            int32_t status = PPPGetOption(ref, 1, PPP_OPT_SERVICEID, &value, &length);
            if (value != reinterpret_cast<void*>(uintptr_t(1))) {
                FUZZ_CHECK(status == 0 || value == nullptr, "a failed option query kept a value");
                if (value) {
                    // A service ID as the controller sent it, shown as text and
                    // encoded back the way a lookup would send it.
                    const std::string_view bytes(static_cast<const char*>(value), length);
                    std::string back;
                    FUZZ_CHECK(pppToMacRoman(pppFromMacRoman(bytes), back) && back == bytes,
                               "Mac OS Roman text does not survive a round trip");
                    (void)pppToMacRoman(bytes, back);
                }
                std::free(value);
            }
            break;
        }
        case 5: {
            const char value[] = "value";
            (void)PPPSetOption(ref, 1, 3, value, sizeof value);
            (void)PPPSetOption(ref, 1, 3, nullptr, 12);
            break;
        }
        case 6: {
            ppp_status status{};
            (void)PPPStatus(ref, 1, &status);
            (void)PPPStatus(ref, 1, nullptr);
            break;
        }
        case 7:
            (void)PPPEnableEvents(ref, 0, true);
            (void)PPPEnableEvents(ref, 1, false);
            break;
        case 8:
            (void)PPPEnableEvent(ref);
            (void)PPPDisableEvent(ref);
            break;
        case 9: {
            ppp_msg_hdr header{};
            (void)PPPWaitForEvent(ref, &header);
            break;
        }
        case 10: {
            void* reply = nullptr;
            uint32_t length = 0;
            const uint32_t word = 42;
            int32_t status =
                PPPExec(ref, PPP_LINK_NONE, PPP_GETNBLINKS, &word, sizeof word, &reply, &length);
            FUZZ_CHECK(reply || length == 0, "a reply length without a body");
            (void)status;
            std::free(reply);
            break;
        }
        case 11:
            (void)PPPExec(ref, 2, PPP_STATUS, nullptr, 0, nullptr, nullptr);
            break;
        }
    }
    FUZZ_CHECK(PPPDispose(ref) == 0, "cannot close the connection");
    ::close(fds[1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::PrivateRoot::instance();
    if (size == 0 || size > kMaxInput)
        return 0;
    static const bool folders = [] {
        std::filesystem::create_directories(
            std::filesystem::path(platform::systemPath(platform::kControllerSocketPath))
                .parent_path());
        return true;
    }();
    (void)folders;
    const uint8_t start = data[0];
    const std::string_view replies(reinterpret_cast<const char*>(data + 1), size - 1);
    runManager(start, replies);
    runLibrary(start, replies);
    return 0;
}
