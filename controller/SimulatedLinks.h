// A link source that plays links from a property-list file: each link dials
// for a while when asked, then runs with counters growing at fixed rates.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controller/LinkSource.h"
#include "platform/Plist.h"

namespace controller {

struct SimulatedLinkConfig {
    LinkDescription description;
    uint32_t dialSeconds = 2;
    uint32_t inRate = 0;  // bytes per second while running
    uint32_t outRate = 0; // bytes per second while running
    bool startConnected = false;
    // Dial every `autoEvery` seconds and hang up `autoHold` seconds after the
    // link came up; 0 for a link that only follows requests.
    uint32_t autoEvery = 0;
    uint32_t autoHold = 0;
};

class SimulatedLinks : public LinkSource {
public:
    using NowFunction = std::function<Clock::time_point()>;

    // The links described by a property-list array; nothing, with `error`
    // naming the entry and the problem, for anything else.
    static std::optional<std::vector<SimulatedLinkConfig>> parseConfig(const platform::Value& root,
                                                                       std::string& error);
    // Reads and checks a simulation file; `error` names the problem.
    static std::unique_ptr<SimulatedLinks> load(const std::string& path, std::string& error,
                                                NowFunction now = {});

    explicit SimulatedLinks(std::vector<SimulatedLinkConfig> links, NowFunction now = {});

    size_t linkCount() const override { return links_.size(); }
    const LinkDescription& link(size_t index) const override {
        return links_[index].config.description;
    }
    ppp_status status(size_t index) override;
    uint32_t connect(size_t index) override;
    uint32_t disconnect(size_t index) override;
    std::optional<Clock::time_point> nextChange() const override;
    void advance() override;

    // Dialing passes through these phases, evenly spread over DialSeconds.
    static constexpr uint32_t kDialPhases = 7;

private:
    struct Link {
        SimulatedLinkConfig config;
        uint32_t phase = PPP_IDLE;
        Clock::time_point dialStart{};
        Clock::time_point runStart{};
        std::optional<Clock::time_point> hangUpAt;
        std::optional<Clock::time_point> nextAutoDial;
    };

    std::optional<Clock::time_point> nextEvent(const Link& link) const;
    void applyEvent(size_t index, Clock::time_point at);
    void startDialing(size_t index, Clock::time_point at);
    void setPhase(size_t index, uint32_t phase);
    Clock::time_point now() const { return now_ ? now_() : Clock::now(); }

    std::vector<Link> links_;
    NowFunction now_;
};

} // namespace controller
