#include "controller/SimulatedLinks.h"

#include <set>

#include "platform/FileSystem.h"

namespace controller {

namespace {

constexpr uint32_t kMaxDialSeconds = 3600;
constexpr uint32_t kMaxAutoSeconds = 7 * 24 * 3600;
constexpr size_t kMaxFileBytes = 16u << 20;

std::string entryName(size_t index) {
    return "entry " + std::to_string(index + 1);
}

bool readWord(const platform::Value& value, uint64_t min, uint64_t max, uint32_t& out) {
    auto number = value.asUnsigned();
    if (value.type() != platform::Value::Type::Integer || !number || *number < min || *number > max)
        return false;
    out = static_cast<uint32_t>(*number);
    return true;
}

std::string rangeText(uint64_t min, uint64_t max) {
    return "must be a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

} // namespace

std::optional<std::vector<SimulatedLinkConfig>>
SimulatedLinks::parseConfig(const platform::Value& root, std::string& error) {
    const platform::Array* entries = root.asArray();
    if (!entries) {
        error = "the top level must be an array of link dictionaries";
        return std::nullopt;
    }

    std::vector<SimulatedLinkConfig> links;
    std::set<std::string> serviceIDs, interfaces;
    for (size_t i = 0; i < entries->size(); ++i) {
        const platform::Dictionary* entry = (*entries)[i].asDictionary();
        const std::string where = entryName(i);
        if (!entry) {
            error = where + ": must be a dictionary";
            return std::nullopt;
        }
        SimulatedLinkConfig link;
        bool hasService = false, hasInterface = false;
        for (const auto& [key, value] : *entry) {
            if (key == "ServiceID" || key == "Interface") {
                const std::string* text = value.asString();
                if (!text || text->empty()) {
                    error = where + ": " + key + " must be a non-empty string";
                    return std::nullopt;
                }
                if (text->size() > 255) {
                    error = where + ": " + key + " is longer than 255 bytes";
                    return std::nullopt;
                }
                if (key == "ServiceID") {
                    link.description.serviceID = *text;
                    hasService = true;
                } else {
                    link.description.interface = *text;
                    hasInterface = true;
                }
            } else if (key == "DialSeconds") {
                if (!readWord(value, 0, kMaxDialSeconds, link.dialSeconds)) {
                    error = where + ": DialSeconds " + rangeText(0, kMaxDialSeconds);
                    return std::nullopt;
                }
            } else if (key == "InRate" || key == "OutRate") {
                if (!readWord(value, 0, UINT32_MAX, key == "InRate" ? link.inRate : link.outRate)) {
                    error = where + ": " + key + " " + rangeText(0, UINT32_MAX);
                    return std::nullopt;
                }
            } else if (key == "StartConnected") {
                auto flag = value.asBoolean();
                if (!flag) {
                    error = where + ": StartConnected must be a boolean";
                    return std::nullopt;
                }
                link.startConnected = *flag;
            } else if (key == "AutoConnect") {
                const platform::Dictionary* autoConnect = value.asDictionary();
                if (!autoConnect) {
                    error = where + ": AutoConnect must be a dictionary with Every and Hold";
                    return std::nullopt;
                }
                for (const auto& [autoKey, autoValue] : *autoConnect) {
                    uint32_t* target = autoKey == "Every"  ? &link.autoEvery
                                       : autoKey == "Hold" ? &link.autoHold
                                                           : nullptr;
                    if (!target) {
                        error = where + ": AutoConnect has an unknown key " + autoKey;
                        return std::nullopt;
                    }
                    if (!readWord(autoValue, 1, kMaxAutoSeconds, *target)) {
                        error = where + ": AutoConnect " + autoKey + " " +
                                rangeText(1, kMaxAutoSeconds);
                        return std::nullopt;
                    }
                }
                if (link.autoEvery == 0 || link.autoHold == 0) {
                    error = where + ": AutoConnect needs both Every and Hold";
                    return std::nullopt;
                }
            } else {
                error = where + ": unknown key " + key;
                return std::nullopt;
            }
        }
        if (!hasService || !hasInterface) {
            error = where + ": " + (hasService ? "Interface" : "ServiceID") + " is missing";
            return std::nullopt;
        }
        if (!serviceIDs.insert(link.description.serviceID).second) {
            error = where + ": ServiceID " + link.description.serviceID + " is used twice";
            return std::nullopt;
        }
        if (!interfaces.insert(link.description.interface).second) {
            error = where + ": Interface " + link.description.interface + " is used twice";
            return std::nullopt;
        }
        links.push_back(std::move(link));
    }
    return links;
}

std::unique_ptr<SimulatedLinks> SimulatedLinks::load(const std::string& path, std::string& error,
                                                     NowFunction now) {
    std::string bytes;
    if (!platform::readFile(path, bytes, kMaxFileBytes)) {
        error = platform::pathExists(path) ? "cannot be read" : "does not exist";
        return nullptr;
    }
    auto root = platform::parse(bytes);
    if (!root) {
        error = "is not a property list";
        return nullptr;
    }
    auto links = parseConfig(*root, error);
    if (!links)
        return nullptr;
    return std::make_unique<SimulatedLinks>(std::move(*links), std::move(now));
}

SimulatedLinks::SimulatedLinks(std::vector<SimulatedLinkConfig> links, NowFunction now)
    : now_(std::move(now)) {
    const auto start = this->now();
    for (auto& config : links) {
        Link link;
        link.config = std::move(config);
        if (link.config.startConnected) {
            link.phase = PPP_RUNNING;
            link.dialStart = link.runStart = start;
            if (link.config.autoHold)
                link.hangUpAt = start + std::chrono::seconds(link.config.autoHold);
        }
        if (link.config.autoEvery) {
            // A link that starts up waits one period before its next dial.
            link.nextAutoDial = link.config.startConnected
                                    ? start + std::chrono::seconds(link.config.autoEvery)
                                    : start;
        }
        links_.push_back(std::move(link));
    }
}

namespace {

// Start of dialing phase `phase + 1` (phases 1..7 share the dial time evenly;
// the end of the last one is the moment the link runs).
Clock::time_point phaseEnd(Clock::time_point dialStart, uint32_t dialSeconds, uint32_t phase) {
    auto dial = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(dialSeconds));
    return dialStart + dial * phase / SimulatedLinks::kDialPhases;
}

bool isDialing(uint32_t phase) {
    return phase != PPP_IDLE && phase != PPP_RUNNING;
}

} // namespace

std::optional<Clock::time_point> SimulatedLinks::nextEvent(const Link& link) const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (isDialing(link.phase))
        consider(phaseEnd(link.dialStart, link.config.dialSeconds, link.phase));
    if (link.phase == PPP_RUNNING && link.hangUpAt)
        consider(*link.hangUpAt);
    if (link.nextAutoDial)
        consider(*link.nextAutoDial);
    return next;
}

std::optional<Clock::time_point> SimulatedLinks::nextChange() const {
    std::optional<Clock::time_point> next;
    for (const auto& link : links_) {
        auto t = nextEvent(link);
        if (t && (!next || *t < *next))
            next = t;
    }
    return next;
}

void SimulatedLinks::setPhase(size_t index, uint32_t phase) {
    Link& link = links_[index];
    if (link.phase == phase)
        return;
    link.phase = phase;
    if (phase == PPP_RUNNING && link.config.autoHold)
        link.hangUpAt = link.runStart + std::chrono::seconds(link.config.autoHold);
    if (phase != PPP_RUNNING)
        link.hangUpAt.reset();
    reportPhase(index, phase);
}

void SimulatedLinks::startDialing(size_t index, Clock::time_point at) {
    Link& link = links_[index];
    link.dialStart = at;
    if (link.config.dialSeconds == 0) {
        link.runStart = at;
        setPhase(index, PPP_RUNNING);
    } else {
        setPhase(index, 1);
    }
}

void SimulatedLinks::applyEvent(size_t index, Clock::time_point at) {
    Link& link = links_[index];
    // Ties go in the order a link lives them: finish dialing, hang up, dial.
    if (isDialing(link.phase) &&
        phaseEnd(link.dialStart, link.config.dialSeconds, link.phase) == at) {
        if (link.phase == kDialPhases) {
            link.runStart = at;
            setPhase(index, PPP_RUNNING);
        } else {
            setPhase(index, link.phase + 1);
        }
        return;
    }
    if (link.phase == PPP_RUNNING && link.hangUpAt && *link.hangUpAt == at) {
        setPhase(index, PPP_IDLE);
        return;
    }
    if (link.nextAutoDial && *link.nextAutoDial == at) {
        *link.nextAutoDial += std::chrono::seconds(link.config.autoEvery);
        if (link.phase == PPP_IDLE)
            startDialing(index, at);
    }
}

void SimulatedLinks::advance() {
    const auto t = now();
    for (size_t i = 0; i < links_.size(); ++i) {
        Link& link = links_[i];
        // After a long stall (a suspended machine) only the last missed
        // automatic dial is played, never a burst of them.
        if (link.nextAutoDial && *link.nextAutoDial < t) {
            auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::seconds(link.config.autoEvery));
            auto missed = (t - *link.nextAutoDial) / period;
            if (missed > 0)
                *link.nextAutoDial += period * missed;
        }
        // Each step moves the link on; the bound only guards against a
        // schedule that would not.
        int steps = 0;
        for (auto next = nextEvent(link); next && *next <= t && steps < 64;
             next = nextEvent(link), ++steps)
            applyEvent(i, *next);
    }
}

ppp_status SimulatedLinks::status(size_t index) {
    advance();
    const Link& link = links_[index];
    ppp_status record{};
    record.phase = link.phase;
    if (link.phase != PPP_RUNNING)
        return record;

    const auto t = now();
    auto running = std::chrono::duration_cast<std::chrono::milliseconds>(t - link.runStart);
    uint64_t ms = running.count() > 0 ? static_cast<uint64_t>(running.count()) : 0;
    uint64_t seconds = ms / 1000, rest = ms % 1000;
    // Totals grow at the link's rates; the 32-bit counters wrap like real ones.
    uint64_t in =
        uint64_t(link.config.inRate) * seconds + uint64_t(link.config.inRate) * rest / 1000;
    uint64_t out =
        uint64_t(link.config.outRate) * seconds + uint64_t(link.config.outRate) * rest / 1000;
    record.s.connected.timeElapsed = static_cast<uint32_t>(seconds);
    if (link.hangUpAt && *link.hangUpAt > t)
        record.s.connected.timeRemaining = static_cast<uint32_t>(
            std::chrono::ceil<std::chrono::seconds>(*link.hangUpAt - t).count());
    record.s.connected.inBytes = static_cast<uint32_t>(in);
    record.s.connected.outBytes = static_cast<uint32_t>(out);
    record.s.connected.inPackets = static_cast<uint32_t>(in / 512);
    record.s.connected.outPackets = static_cast<uint32_t>(out / 512);
    return record;
}

uint32_t SimulatedLinks::connect(size_t index) {
    advance();
    if (links_[index].phase == PPP_IDLE)
        startDialing(index, now());
    return 0;
}

uint32_t SimulatedLinks::disconnect(size_t index) {
    advance();
    setPhase(index, PPP_IDLE);
    return 0;
}

} // namespace controller
