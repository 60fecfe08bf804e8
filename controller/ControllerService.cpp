#include "controller/ControllerService.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "pppctl/PPPLib.h"

namespace controller {

namespace {

// Result codes, in the errno numbering clients print.
constexpr uint32_t kNoSuchLink = ENODEV;
constexpr uint32_t kBadRequest = EINVAL;
constexpr uint32_t kUnknownType = EOPNOTSUPP;
constexpr uint32_t kTooLarge = EMSGSIZE;
constexpr uint32_t kReadOnly = EPERM;
constexpr uint32_t kNoSpace = ENOSPC;

uint32_t wordAt(const uint8_t* data) {
    uint32_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}

bool namesAllLinks(uint32_t reference) {
    return reference == 0 || reference == PPP_LINK_NONE;
}

} // namespace

ControllerService::ControllerService(LinkSource& source) : source_(source) {
    source_.setPhaseHandler([this](size_t index, uint32_t phase) { onPhase(index, phase); });
}

ControllerService::~ControllerService() {
    source_.setPhaseHandler({});
}

ControllerService::Session& ControllerService::openSession() {
    sessions_.push_back(std::make_unique<Session>());
    return *sessions_.back();
}

void ControllerService::closeSession(Session& session) {
    sessions_.remove_if([&](const auto& s) { return s.get() == &session; });
}

bool ControllerService::linkIndex(uint32_t reference, size_t& index) const {
    if (reference == 0 || reference > source_.linkCount())
        return false;
    index = reference - 1;
    return true;
}

void ControllerService::reply(Session& session, const ppp_msg_hdr& request, uint32_t result,
                              const void* body, size_t length) {
    ppp_msg_hdr header{};
    header.type = request.type;
    header.result = result;
    header.link = request.link;
    header.length = static_cast<uint32_t>(length);
    auto& out = session.output_;
    const auto* h = reinterpret_cast<const uint8_t*>(&header);
    out.insert(out.end(), h, h + sizeof header);
    if (length) {
        const auto* b = static_cast<const uint8_t*>(body);
        out.insert(out.end(), b, b + length);
    }
}

bool ControllerService::receive(Session& session, const uint8_t* data, size_t size) {
    if (session.closing_)
        return false;
    auto& in = session.input_;
    in.insert(in.end(), data, data + size);

    size_t offset = 0;
    while (in.size() - offset >= sizeof(ppp_msg_hdr)) {
        ppp_msg_hdr header;
        std::memcpy(&header, in.data() + offset, sizeof header);
        // Reserved fields are 0 in every request; anything else means we are
        // not reading a request stream, and nothing later can be trusted.
        bool malformed = header.flags != 0 || header.cookie != 0;
        if (malformed || header.length > PPP_MAX_REQUEST_BODY) {
            reply(session, header, malformed ? kBadRequest : kTooLarge);
            session.closing_ = true;
            in.clear();
            return false;
        }
        if (in.size() - offset - sizeof header < header.length)
            break;
        handleRequest(session, header, in.data() + offset + sizeof header);
        offset += sizeof header + header.length;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(offset));
    if (session.output_.size() > kMaxPendingOutput) {
        session.closing_ = true;
        return false;
    }
    return true;
}

void ControllerService::handleRequest(Session& session, const ppp_msg_hdr& header,
                                      const uint8_t* body) {
    size_t index = 0;
    const uint32_t length = header.length;
    switch (header.type) {
    case PPP_STATUS: {
        if (!linkIndex(header.link, index))
            return reply(session, header, kNoSuchLink);
        ppp_status status = source_.status(index);
        return reply(session, header, 0, &status, sizeof status);
    }
    case PPP_CONNECT:
    case PPP_DISCONNECT: {
        if (!linkIndex(header.link, index))
            return reply(session, header, kNoSuchLink);
        if (authorizer_) {
            if (uint32_t refusal = authorizer_(session, header.type, index))
                return reply(session, header, refusal);
        }
        uint32_t result =
            header.type == PPP_CONNECT ? source_.connect(index) : source_.disconnect(index);
        return reply(session, header, result);
    }
    case PPP_GETOPTION: {
        if (!linkIndex(header.link, index))
            return reply(session, header, kNoSuchLink);
        if (length != sizeof(uint32_t))
            return reply(session, header, kBadRequest);
        const uint32_t option = wordAt(body);
        std::vector<uint8_t> value(body, body + sizeof option);
        if (option == PPP_OPT_SERVICEID) {
            // Clients compare service IDs as Mac OS Roman bytes; an ID that
            // encoding cannot carry goes out as it was written.
            const std::string& id = source_.link(index).serviceID;
            std::string bytes;
            if (!pppToMacRoman(id, bytes))
                bytes = id;
            value.insert(value.end(), bytes.begin(), bytes.end());
        } else {
            auto link = options_.find(index);
            if (link == options_.end() || !link->second.count(option))
                return reply(session, header, kBadRequest);
            const auto& stored = link->second.at(option);
            value.insert(value.end(), stored.begin(), stored.end());
        }
        return reply(session, header, 0, value.data(), value.size());
    }
    case PPP_SETOPTION: {
        if (!linkIndex(header.link, index))
            return reply(session, header, kNoSuchLink);
        if (length < sizeof(uint32_t))
            return reply(session, header, kBadRequest);
        const uint32_t option = wordAt(body);
        if (option == PPP_OPT_SERVICEID)
            return reply(session, header, kReadOnly);
        auto& stored = options_[index];
        if (!stored.count(option) && stored.size() >= kMaxStoredOptions)
            return reply(session, header, kNoSpace);
        stored[option].assign(body + sizeof option, body + length);
        return reply(session, header, 0);
    }
    case PPP_ENABLE_EVENT:
    case PPP_DISABLE_EVENT: {
        const bool all = namesAllLinks(header.link);
        if (!all && !linkIndex(header.link, index))
            return reply(session, header, kNoSuchLink);
        if (header.type == PPP_ENABLE_EVENT) {
            if (all)
                session.allLinkEvents_ = true;
            else
                session.linkEvents_.insert(header.link);
        } else if (all) {
            session.allLinkEvents_ = false;
            session.linkEvents_.clear();
        } else {
            if (session.allLinkEvents_) {
                session.allLinkEvents_ = false;
                for (size_t i = 0; i < source_.linkCount(); ++i)
                    session.linkEvents_.insert(referenceForIndex(i));
            }
            session.linkEvents_.erase(header.link);
        }
        return reply(session, header, 0);
    }
    case PPP_GETNBLINKS: {
        uint32_t count = static_cast<uint32_t>(source_.linkCount());
        return reply(session, header, 0, &count, sizeof count);
    }
    case PPP_GETLINKBYINDEX: {
        if (length != sizeof(uint32_t))
            return reply(session, header, kBadRequest);
        uint32_t i = wordAt(body);
        if (i >= source_.linkCount())
            return reply(session, header, kNoSuchLink);
        uint32_t reference = referenceForIndex(i);
        return reply(session, header, 0, &reference, sizeof reference);
    }
    case PPP_LINKFORSERVICE:
    case PPP_LINKFORIFNAME: {
        std::string_view name(reinterpret_cast<const char*>(body), length);
        for (size_t i = 0; i < source_.linkCount(); ++i) {
            const auto& link = source_.link(i);
            const std::string& candidate =
                header.type == PPP_LINKFORSERVICE ? link.serviceID : link.interface;
            if (length != 0 && candidate == name) {
                uint32_t reference = referenceForIndex(i);
                return reply(session, header, 0, &reference, sizeof reference);
            }
        }
        return reply(session, header, kNoSuchLink);
    }
    default:
        return reply(session, header, kUnknownType);
    }
}

void ControllerService::onPhase(size_t index, uint32_t phase) {
    if (phaseObserver_)
        phaseObserver_(index, phase);

    ppp_msg_hdr event{};
    event.type = PPP_EVENT;
    event.cookie = phase;
    event.link = referenceForIndex(index);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&event);

    std::vector<Session*> touched;
    for (auto& session : sessions_) {
        if (session->closing_)
            continue;
        if (!session->allLinkEvents_ && !session->linkEvents_.count(event.link))
            continue;
        session->output_.insert(session->output_.end(), bytes, bytes + sizeof event);
        if (session->output_.size() > kMaxPendingOutput)
            session->closing_ = true;
        touched.push_back(session.get());
    }
    if (outputHandler_) {
        for (Session* session : touched)
            outputHandler_(*session);
    }
}

} // namespace controller
