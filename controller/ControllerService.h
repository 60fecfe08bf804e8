// The controller's side of the protocol, without any I/O: bytes from a client
// go in, replies and events for that client come out. The server feeds it
// from sockets; tests and fuzzers feed it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "controller/LinkSource.h"

namespace controller {

// Who is at the other end of a client socket, as the kernel says.
struct PeerCredentials {
    int64_t pid = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

class ControllerService {
public:
    // A client whose unread output grows past this is disconnected: one that
    // switched events on and stopped reading must not grow our memory.
    static constexpr size_t kMaxPendingOutput = 1u << 20;

    class Session {
    public:
        // Bytes waiting to go to the client; the server removes what it sent.
        std::vector<uint8_t>& output() { return output_; }
        // True once the client is to be disconnected when its output is out.
        bool closing() const { return closing_; }
        // True when the client stopped reading: it is dropped without a flush.
        bool overflowed() const { return output_.size() > kMaxPendingOutput; }
        // The client's credentials; nothing when the server could not learn them.
        const std::optional<PeerCredentials>& peer() const { return peer_; }
        void setPeer(PeerCredentials peer) { peer_ = peer; }

    private:
        friend class ControllerService;
        std::vector<uint8_t> input_;
        std::vector<uint8_t> output_;
        bool closing_ = false;
        bool allLinkEvents_ = false;
        std::set<uint32_t> linkEvents_;
        std::optional<PeerCredentials> peer_;
    };

    // Options other than the service ID that one link keeps.
    static constexpr size_t kMaxStoredOptions = 32;

    explicit ControllerService(LinkSource& source);
    ~ControllerService();
    ControllerService(const ControllerService&) = delete;
    ControllerService& operator=(const ControllerService&) = delete;

    Session& openSession();
    void closeSession(Session& session);
    size_t sessionCount() const { return sessions_.size(); }

    // Consumes bytes received from the client; whole requests are answered at
    // once, a partial one waits for the rest. Returns false when the client is
    // to be disconnected once its output has been sent.
    bool receive(Session& session, const uint8_t* data, size_t size);

    // Called when events were queued for a session outside of receive().
    void setOutputHandler(std::function<void(Session&)> handler) {
        outputHandler_ = std::move(handler);
    }
    // Asked before a connect or disconnect request reaches the link source:
    // 0 lets it through, anything else is the result code of the refusal.
    using Authorizer = std::function<uint32_t(const Session& session, uint16_t type, size_t index)>;
    void setAuthorizer(Authorizer authorizer) { authorizer_ = std::move(authorizer); }
    // Called for every phase change of a link (the daemon logs them).
    void setPhaseObserver(std::function<void(size_t index, uint32_t phase)> observer) {
        phaseObserver_ = std::move(observer);
    }

    // Links are named by references from 1 up; 0 and 0xFFFFFFFF name no link.
    static uint32_t referenceForIndex(size_t index) { return static_cast<uint32_t>(index + 1); }

private:
    void handleRequest(Session& session, const ppp_msg_hdr& header, const uint8_t* body);
    void reply(Session& session, const ppp_msg_hdr& request, uint32_t result,
               const void* body = nullptr, size_t length = 0);
    bool linkIndex(uint32_t reference, size_t& index) const;
    void onPhase(size_t index, uint32_t phase);

    LinkSource& source_;
    std::list<std::unique_ptr<Session>> sessions_;
    std::map<size_t, std::map<uint32_t, std::vector<uint8_t>>> options_;
    std::function<void(Session&)> outputHandler_;
    std::function<void(size_t, uint32_t)> phaseObserver_;
    Authorizer authorizer_;
};

} // namespace controller
