// Where the controller's links come from: a simulator today, real pppd links
// later. The controller only sees this interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "pppctl/PPPMessages.h"

namespace controller {

using Clock = std::chrono::steady_clock;

struct LinkDescription {
    std::string serviceID;
    std::string interface; // network interface name, such as "ppp0"
};

class LinkSource {
public:
    using PhaseHandler = std::function<void(size_t index, uint32_t phase)>;

    virtual ~LinkSource() = default;

    virtual size_t linkCount() const = 0;
    virtual const LinkDescription& link(size_t index) const = 0;
    virtual ppp_status status(size_t index) = 0;
    // 0 when the request was taken, else a result code for the client.
    virtual uint32_t connect(size_t index) = 0;
    virtual uint32_t disconnect(size_t index) = 0;

    // Time-driven sources say when they next need advance(); nothing while
    // no change is pending.
    virtual std::optional<Clock::time_point> nextChange() const { return std::nullopt; }
    virtual void advance() {}

    // Called with every phase change, from inside the calls above.
    void setPhaseHandler(PhaseHandler handler) { phaseHandler_ = std::move(handler); }

protected:
    void reportPhase(size_t index, uint32_t phase) {
        if (phaseHandler_)
            phaseHandler_(index, phase);
    }

private:
    PhaseHandler phaseHandler_;
};

} // namespace controller
