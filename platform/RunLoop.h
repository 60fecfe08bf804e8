// The main run loop of the agent and the controller daemon: sd-event with
// monotonic timers, fd sources and signals.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;

namespace platform {

class RunLoop {
public:
    // A registered timer, fd or signal source. Destroying or cancelling it takes
    // it off the loop.
    class Source {
    public:
        Source();
        Source(Source&&) noexcept;
        Source& operator=(Source&&) noexcept;
        ~Source();
        void cancel();
        explicit operator bool() const { return state_ != nullptr; }

    private:
        friend class RunLoop;
        struct State;
        explicit Source(std::unique_ptr<State> state);
        std::unique_ptr<State> state_;
    };

    // The loop of the main thread (sd-event's default loop).
    static RunLoop& main();
    sd_event* event() const { return event_; }

    // A timer that fires after `interval`; a repeating one then every `interval`
    // counted from its creation (a late firing does not shift the schedule).
    Source addTimer(std::chrono::microseconds interval, bool repeats,
                    std::function<void()> handler);
    // Calls the handler with the returned events (EPOLLIN, ...) whenever the fd
    // is ready for `events`.
    Source addFd(int fd, uint32_t events, std::function<void(uint32_t revents)> handler);
    // Blocks the signal for the process and delivers it on the loop instead.
    Source addSignal(int signo, std::function<void()> handler);

    // Runs until stop(); returns the code given to stop(), or a negative errno.
    int run();
    void stop(int code = 0);
    // Runs for at most `timeout` or until stop() (tests); returns true when stopped.
    bool runFor(std::chrono::milliseconds timeout);

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    ~RunLoop();

private:
    RunLoop();
    sd_event* event_ = nullptr;
};

} // namespace platform
