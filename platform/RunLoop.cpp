#include "platform/RunLoop.h"

#include "platform/Log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <systemd/sd-event.h>
#include <time.h>

namespace platform {

namespace {

struct SourceUnref {
    void operator()(sd_event_source* s) const { sd_event_source_disable_unref(s); }
};
using SourcePtr = std::unique_ptr<sd_event_source, SourceUnref>;

uint64_t monotonicNow() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Timers may fire up to this late, which lets the kernel batch wake-ups
// without making a 3-second poll noticeably irregular.
constexpr uint64_t kTimerAccuracyUsec = 1000;

// Stop requests of the loops run on this thread; sd_event_exit would end a
// loop for good, while ours must run again after a stop (tests run it many
// times).
struct StopState {
    bool requested = false;
    int code = 0;
};

// What the sd-event callbacks see of a source.
struct Callbacks {
    std::function<void()> handler;
    std::function<void(uint32_t)> fdHandler;
    uint64_t interval = 0;
    uint64_t due = 0;
    bool repeats = false;
};

} // namespace

struct RunLoop::Source::State {
    Callbacks cb; // declared first: destroyed after the source is off the loop
    SourcePtr source;
};

RunLoop::Source::Source() = default;
RunLoop::Source::Source(std::unique_ptr<State> state) : state_(std::move(state)) {}
RunLoop::Source::Source(Source&&) noexcept = default;
RunLoop::Source& RunLoop::Source::operator=(Source&&) noexcept = default;
RunLoop::Source::~Source() = default;

void RunLoop::Source::cancel() {
    state_.reset();
}

namespace {

StopState& stopStateOf(sd_event* event) {
    // One run loop per thread at most, as with sd-event's default loop.
    static thread_local StopState state;
    (void)event;
    return state;
}

int onTimer(sd_event_source* s, uint64_t, void* userdata) {
    auto* state = static_cast<Callbacks*>(userdata);
    if (state->repeats) {
        // Counted from the timer's creation: the next firing is one interval
        // after the previous due time, however late this one ran. Firings
        // missed while the thread was blocked are dropped, not run back to
        // back: a poll that catches up on itself only repeats the same work.
        state->due += state->interval;
        const uint64_t now = monotonicNow();
        if (state->due <= now)
            state->due += ((now - state->due) / state->interval + 1) * state->interval;
        sd_event_source_set_time(s, state->due);
        sd_event_source_set_enabled(s, SD_EVENT_ON);
    }
    // The handler may destroy this very source; nothing of it is touched after.
    auto handler = state->handler;
    handler();
    return 0;
}

int onFd(sd_event_source*, int, uint32_t revents, void* userdata) {
    auto* state = static_cast<Callbacks*>(userdata);
    auto handler = state->fdHandler;
    handler(revents);
    return 0;
}

int onSignal(sd_event_source*, const struct signalfd_siginfo*, void* userdata) {
    auto* state = static_cast<Callbacks*>(userdata);
    auto handler = state->handler;
    handler();
    return 0;
}

} // namespace

RunLoop& RunLoop::main() {
    static RunLoop loop;
    return loop;
}

RunLoop::RunLoop() {
    int r = sd_event_default(&event_);
    if (r < 0) {
        logf("sd_event_default failed: %s", std::strerror(-r));
        event_ = nullptr;
    }
}

RunLoop::~RunLoop() {
    if (event_)
        sd_event_unref(event_);
}

RunLoop::Source RunLoop::addTimer(std::chrono::microseconds interval, bool repeats,
                                  std::function<void()> handler) {
    if (!event_)
        return Source();
    auto state = std::make_unique<Source::State>();
    state->cb.handler = std::move(handler);
    state->cb.interval = static_cast<uint64_t>(std::max<int64_t>(interval.count(), 1));
    state->cb.repeats = repeats;
    state->cb.due = monotonicNow() + state->cb.interval;
    sd_event_source* s = nullptr;
    int r = sd_event_add_time(event_, &s, CLOCK_MONOTONIC, state->cb.due, kTimerAccuracyUsec,
                              onTimer, &state->cb);
    if (r < 0) {
        logf("sd_event_add_time failed: %s", std::strerror(-r));
        return Source();
    }
    state->source.reset(s);
    if (repeats)
        sd_event_source_set_enabled(s, SD_EVENT_ON);
    return Source(std::move(state));
}

RunLoop::Source RunLoop::addFd(int fd, uint32_t events, std::function<void(uint32_t)> handler) {
    if (!event_)
        return Source();
    auto state = std::make_unique<Source::State>();
    state->cb.fdHandler = std::move(handler);
    sd_event_source* s = nullptr;
    int r = sd_event_add_io(event_, &s, fd, events, onFd, &state->cb);
    if (r < 0) {
        logf("sd_event_add_io failed: %s", std::strerror(-r));
        return Source();
    }
    state->source.reset(s);
    return Source(std::move(state));
}

RunLoop::Source RunLoop::addSignal(int signo, std::function<void()> handler) {
    if (!event_)
        return Source();
    // sd-event reads signals from a signalfd, which only sees blocked signals.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    auto state = std::make_unique<Source::State>();
    state->cb.handler = std::move(handler);
    sd_event_source* s = nullptr;
    int r = sd_event_add_signal(event_, &s, signo, onSignal, &state->cb);
    if (r < 0) {
        logf("sd_event_add_signal failed: %s", std::strerror(-r));
        return Source();
    }
    state->source.reset(s);
    return Source(std::move(state));
}

int RunLoop::run() {
    if (!event_)
        return -ENOMEM;
    StopState& stop = stopStateOf(event_);
    while (!stop.requested) {
        int r = sd_event_run(event_, UINT64_MAX);
        if (r < 0) {
            logf("sd_event_run failed: %s", std::strerror(-r));
            return r;
        }
    }
    stop.requested = false;
    return stop.code;
}

void RunLoop::stop(int code) {
    StopState& stop = stopStateOf(event_);
    stop.requested = true;
    stop.code = code;
}

bool RunLoop::runFor(std::chrono::milliseconds timeout) {
    if (!event_)
        return false;
    StopState& stop = stopStateOf(event_);
    const uint64_t deadline =
        monotonicNow() + static_cast<uint64_t>(std::max<int64_t>(timeout.count(), 0)) * 1000u;
    while (!stop.requested) {
        uint64_t now = monotonicNow();
        if (now >= deadline)
            return false;
        int r = sd_event_run(event_, deadline - now);
        if (r < 0)
            return false;
    }
    stop.requested = false;
    return true;
}

} // namespace platform
