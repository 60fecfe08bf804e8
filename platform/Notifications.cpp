#include "platform/Notifications.h"

#include "platform/Log.h"
#include "platform/RunLoop.h"

#include <cstring>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <vector>

namespace platform {

namespace {

constexpr const char* kPath = "/com/example/dialledger";
constexpr const char* kInterface = "com.example.dialledger.Notification";
constexpr const char* kMember = "Posted";

struct BusUnref {
    // Whatever was posted but not yet written leaves before the connection
    // closes (at exit for the process-wide centre).
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

struct Observation {
    const void* observer;
    std::string name;
    NotificationCenter::Handler handler;
    bool removed = false;
};

} // namespace

struct NotificationCenter::Impl {
    std::unique_ptr<sd_bus, BusUnref> bus;
    std::unique_ptr<sd_bus_slot, SlotUnref> match;
    std::vector<std::shared_ptr<Observation>> observations;
    bool warnedNoBus = false;
    bool warnedPostFailure = false;

    static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0 || !name)
            return 0;
        // A handler may add or remove observations, its own included: work on
        // a copy and skip whatever was removed meanwhile.
        std::vector<std::shared_ptr<Observation>> matching;
        for (const auto& o : self->observations)
            if (o->name == name)
                matching.push_back(o);
        for (const auto& o : matching)
            if (!o->removed)
                o->handler();
        return 0;
    }

    bool ensureMatch() {
        if (match)
            return true;
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_match_signal(bus.get(), &slot, nullptr, nullptr, kInterface, kMember,
                                    onSignal, this);
        if (r < 0) {
            logf("Cannot watch notifications on the session bus: %s", std::strerror(-r));
            return false;
        }
        match.reset(slot);
        return true;
    }
};

NotificationCenter& NotificationCenter::shared() {
    static NotificationCenter centre;
    return centre;
}

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) >= 0)
        impl_->bus.reset(bus);
}

NotificationCenter::~NotificationCenter() {
    impl_->match.reset();
    impl_->bus.reset();
}

void NotificationCenter::post(std::string_view name) {
    if (!impl_->bus) {
        if (!impl_->warnedNoBus) {
            impl_->warnedNoBus = true;
            logLine("No session bus: notifications are not sent");
        }
        return;
    }
    std::string n(name);
    // Queued on the connection and written as far as the socket takes it now;
    // the rest goes out from the event loop. Never waits for anyone.
    int r = sd_bus_emit_signal(impl_->bus.get(), kPath, kInterface, kMember, "s", n.c_str());
    if (r < 0 && !impl_->warnedPostFailure) {
        impl_->warnedPostFailure = true;
        logf("Cannot post notification %s: %s", n.c_str(), std::strerror(-r));
    }
}

void NotificationCenter::observe(const void* observer, std::string name, Handler handler) {
    if (!impl_->bus || !impl_->ensureMatch())
        return;
    auto o = std::make_shared<Observation>();
    o->observer = observer;
    o->name = std::move(name);
    o->handler = std::move(handler);
    impl_->observations.push_back(std::move(o));
}

void NotificationCenter::removeObserver(const void* observer) {
    auto& list = impl_->observations;
    for (auto it = list.begin(); it != list.end();) {
        if ((*it)->observer == observer) {
            (*it)->removed = true;
            it = list.erase(it);
        } else {
            ++it;
        }
    }
}

bool NotificationCenter::connected() const {
    return impl_->bus && sd_bus_is_open(impl_->bus.get()) > 0;
}

int NotificationCenter::fd() const {
    if (!impl_->bus)
        return -1;
    int fd = sd_bus_get_fd(impl_->bus.get());
    return fd < 0 ? -1 : fd;
}

void NotificationCenter::processPending() {
    if (!impl_->bus)
        return;
    // sd_bus_process writes what it can of the outgoing queue and dispatches
    // one incoming message per call; it never blocks.
    for (int i = 0; i < 10000; ++i) {
        int r = sd_bus_process(impl_->bus.get(), nullptr);
        if (r <= 0)
            break;
    }
}

void NotificationCenter::attach(RunLoop& loop) {
    if (!impl_->bus || !loop.event())
        return;
    if (sd_bus_get_event(impl_->bus.get()) == loop.event())
        return;
    int r = sd_bus_attach_event(impl_->bus.get(), loop.event(), SD_EVENT_PRIORITY_NORMAL);
    if (r < 0)
        logf("Cannot attach the session bus to the run loop: %s", std::strerror(-r));
}

} // namespace platform
