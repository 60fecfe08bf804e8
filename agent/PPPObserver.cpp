#include "agent/PPPObserver.h"

#include "agent/Agent.h"
#include "agent/PPPServices.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "pppctl/PPPManager.h"
#include "pppctl/PPPMessages.h"

#include <cstring>
#include <ctime>
#include <thread>

using platform::Date;
using platform::Dictionary;
using platform::Value;

namespace {

uint32_t phaseOf(const Value* entry) {
    const Dictionary* d = entry ? entry->asDictionary() : nullptr;
    const Value* status = d ? d->find("status") : nullptr;
    auto phase = status ? status->asUnsigned() : std::nullopt;
    return phase ? static_cast<uint32_t>(*phase) : 0;
}

std::string timestamp(Date date) {
    std::time_t t = static_cast<std::time_t>(date.seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

} // namespace

PPPObserver::Environment PPPObserver::Environment::agent() {
    Environment env;
    env.getStatus = [](ppp_status* status, const std::string& serviceID) {
        return PPPManager::getStatus(status, serviceID);
    };
    env.store = [] { return static_cast<const platform::ConfigStore*>(Agent::configStore()); };
    env.post = [](std::string_view name) { platform::NotificationCenter::shared().post(name); };
    env.now = [] { return Date::now(); };
    env.pause = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    env.loop = &platform::RunLoop::main();
    env.out = stdout;
    return env;
}

void PPPObserver::start() {
    sharedInstance();
}

PPPObserver& PPPObserver::sharedInstance() {
    // Never freed: the watcher lives as long as the agent.
    static PPPObserver* instance = new PPPObserver(Environment::agent());
    return *instance;
}

PPPObserver::PPPObserver(Environment env) : env_(std::move(env)) {
    getCurrentServices();
    lock_ = false;
    if (env_.loop)
        timer_ = env_.loop->addTimer(kPollInterval, true, [this] { getStatus(); });
    // The first poll runs now; the timer's own firings keep their 3-second
    // schedule counted from its creation.
    getStatus();
}

PPPObserver::~PPPObserver() = default;

void PPPObserver::printLine(const char* format, const std::string& serviceID) {
    if (!env_.out)
        return;
    std::fprintf(env_.out, format, serviceID.c_str());
    std::fflush(env_.out);
}

void PPPObserver::printLoaded() {
    if (!env_.out)
        return;
    std::fprintf(env_.out, "%d service(s) loaded.\n", static_cast<int>(currentServices_.size()));
    std::fflush(env_.out);
}

void PPPObserver::getCurrentServices() {
    currentServices_.clear();
    if (auto services = PPPServices::currentServices(env_.store ? env_.store() : nullptr))
        currentServices_ = std::move(*services);
    printLoaded();
}

void PPPObserver::getStatus() {
    if (lock_)
        return;
    for (const std::string& serviceID : currentServices_.keys()) {
        const Value* previous = currentServices_.find(serviceID);
        if (!previous)
            continue;
        const uint32_t oldPhase = phaseOf(previous);

        // Each service is read into a record of its own: when the query fails
        // the service keeps its own last phase and counters, never another
        // service's answer, and nothing changes for it until a query succeeds.
        ppp_status status{};
        if (!env_.getStatus || !env_.getStatus(&status, serviceID)) {
            platform::logf("Unable to get the status for %s", serviceID.c_str());
            continue;
        }
        const uint32_t newPhase = status.phase;

        std::optional<Date> startDate;
        if (newPhase == kPhaseRunning && oldPhase != kPhaseRunning) {
            printLine("Service up: %s\n", serviceID);
            startDate = env_.now();
        }
        if (newPhase != kPhaseRunning && oldPhase == kPhaseRunning) {
            printLine("Service down: %s\n", serviceID);
            writeConnection(serviceID);
        }

        Dictionary entry;
        entry.set("status", Value(newPhase));
        if (newPhase == kPhaseRunning) {
            entry.set("inBytes", Value(status.s.connected.inBytes));
            entry.set("outBytes", Value(status.s.connected.outBytes));
            entry.set("timeElapsed", Value(status.s.connected.timeElapsed));
            if (!startDate) {
                // writeConnection may not touch the table, so `previous` is
                // still the entry found above.
                const Value* p = currentServices_.find(serviceID);
                const Dictionary* pd = p ? p->asDictionary() : nullptr;
                const Value* date = pd ? pd->find("date") : nullptr;
                if (date && date->asDate())
                    startDate = *date->asDate();
                else
                    startDate = env_.now();
            }
            entry.set("date", Value(*startDate));
        }
        currentServices_.set(serviceID, Value(std::move(entry)));
    }
}

void PPPObserver::reloadServices() {
    lock_ = true;
    // Give the store time to settle after the change before reading it.
    if (env_.pause)
        env_.pause(kReloadPause);

    Dictionary fresh;
    if (auto services = PPPServices::currentServices(env_.store ? env_.store() : nullptr))
        fresh = std::move(*services);

    // Only connections whose services left the list end here. A service that
    // is still listed keeps its entry, so a connection that carries on across
    // the change gives one record, with its start date and the link's own
    // counters, when it really ends.
    for (const std::string& serviceID : currentServices_.keys()) {
        if (fresh.contains(serviceID))
            continue;
        if (phaseOf(currentServices_.find(serviceID)) == kPhaseRunning)
            writeConnection(serviceID);
    }
    for (auto& [serviceID, entry] : fresh) {
        if (const Value* kept = currentServices_.find(serviceID))
            entry = *kept;
    }
    currentServices_ = std::move(fresh);
    printLoaded();
    lock_ = false;
}

void PPPObserver::closeRunningConnections() {
    lock_ = true;
    for (const std::string& serviceID : currentServices_.keys()) {
        if (phaseOf(currentServices_.find(serviceID)) != kPhaseRunning)
            continue;
        writeConnection(serviceID);
        // Recorded once: the entry no longer counts as running.
        Dictionary closed;
        closed.set("status", Value(uint32_t{0}));
        currentServices_.set(serviceID, Value(std::move(closed)));
    }
    lock_ = false;
}

bool PPPObserver::isSafeServiceID(std::string_view serviceID) {
    return !serviceID.empty() && serviceID != "." && serviceID != ".." &&
           serviceID.find('/') == std::string_view::npos &&
           serviceID.find('\0') == std::string_view::npos;
}

std::string PPPObserver::applicationSupportFolder() {
    return platform::expandTilde("~/Library/Application Support/Dial Ledger");
}

bool PPPObserver::ensureFolders() {
    // A fresh home on this platform has no ~/Library: make each missing level,
    // the home folder itself excepted.
    const std::string home = platform::homeDirectory();
    for (const char* level :
         {"/Library", "/Library/Application Support", "/Library/Application Support/Dial Ledger"}) {
        const std::string path = home + level;
        if (platform::isDirectory(path))
            continue;
        if (!platform::createDirectory(path))
            return false;
    }
    return true;
}

void PPPObserver::writeConnection(const std::string& serviceID) {
    if (!isSafeServiceID(serviceID)) {
        platform::logf("Not recording the connection of service \"%s\": its ID cannot name a file",
                       platform::printable(serviceID).c_str());
        return;
    }
    if (!ensureFolders())
        return;
    const std::string path = applicationSupportFolder() + "/" + serviceID;

    platform::Array records;
    bool keepOld = false;
    if (auto existing = platform::readArrayFile(path)) {
        records = std::move(*existing);
    } else if (platform::pathExists(path)) {
        // Never replace a log that cannot be read: it may hold a history that
        // a later version, or the user, can still recover.
        std::string aside = path + ".unreadable-" + timestamp(env_.now ? env_.now() : Date::now());
        std::string target = aside;
        for (int n = 1; platform::pathExists(target) && n < 1000; ++n)
            target = aside + "-" + std::to_string(n);
        if (!platform::pathExists(target) && std::rename(path.c_str(), target.c_str()) == 0) {
            platform::logf("Unreadable connection log %s moved aside to %s", path.c_str(),
                           target.c_str());
        } else {
            platform::logf("Unable to move aside the unreadable connection log %s: %s",
                           path.c_str(), std::strerror(errno));
            keepOld = true;
        }
    }

    if (!keepOld) {
        const Value* entry = currentServices_.find(serviceID);
        const Dictionary* running = entry ? entry->asDictionary() : nullptr;
        // The record is the running entry without its "status".
        Dictionary record;
        for (const char* key : {"date", "timeElapsed", "inBytes", "outBytes"})
            if (const Value* v = running ? running->find(key) : nullptr)
                record.set(key, *v);
        records.push_back(Value(std::move(record)));
        if (!platform::writeXmlFile(path, Value(std::move(records))))
            platform::logf("Unable to write %s", path.c_str());
    }
    if (env_.post)
        env_.post(platform::kUpdateUI);
}
