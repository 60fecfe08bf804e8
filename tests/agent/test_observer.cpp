#include "TempRoot.h"

#include "agent/Agent.h"
#include "agent/PPPObserver.h"
#include "agent/PPPServices.h"
#include "platform/ConfigStore.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "pppctl/PPPMessages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>

using platform::Date;
using platform::Dictionary;
using platform::Value;

namespace {

struct Link {
    bool answers = true;
    uint32_t phase = 0;
    uint32_t elapsed = 0, in = 0, out = 0;
};

// Everything the watcher reaches outside itself, scripted.
class Harness {
public:
    Harness() {
        out = open_memstream(&outBuf, &outLen);
        store = platform::ConfigStore::create("test", nullptr);
    }
    ~Harness() {
        std::fclose(out);
        std::free(outBuf);
    }

    PPPObserver::Environment env() {
        PPPObserver::Environment e;
        e.getStatus = [this](ppp_status* s, const std::string& id) {
            ++queries;
            events.push_back("query " + id);
            auto it = links.find(id);
            if (it == links.end() || !it->second.answers)
                return false;
            s->phase = it->second.phase;
            s->s.connected.timeElapsed = it->second.elapsed;
            s->s.connected.inBytes = it->second.in;
            s->s.connected.outBytes = it->second.out;
            return true;
        };
        e.store = [this] { return static_cast<const platform::ConfigStore*>(store.get()); };
        e.post = [this](std::string_view name) {
            posts.emplace_back(name);
            events.push_back("post " + std::string(name));
        };
        e.now = [this] { return Date{clock}; };
        e.pause = [this](std::chrono::milliseconds d) {
            pauses.push_back(d);
            events.push_back("pause");
            if (duringPause)
                duringPause();
        };
        e.loop = nullptr;
        e.out = out;
        return e;
    }

    std::string output() {
        std::fflush(out);
        return std::string(outBuf, outLen);
    }

    void up(const std::string& id, uint32_t elapsed, uint32_t in, uint32_t outBytes) {
        links[id] = Link{true, 8, elapsed, in, outBytes};
    }
    void down(const std::string& id) { links[id] = Link{true, 0, 0, 0, 0}; }

    std::map<std::string, Link> links;
    std::unique_ptr<platform::ConfigStore> store;
    int64_t clock = 1'000'000'000;
    int queries = 0;
    std::vector<std::string> posts;
    std::vector<std::string> events;
    std::vector<std::chrono::milliseconds> pauses;
    std::function<void()> duringPause;
    FILE* out = nullptr;
    char* outBuf = nullptr;
    size_t outLen = 0;
};

struct Record {
    int64_t date;
    uint64_t elapsed, in, out;
    bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Record& r) {
    return os << "{date " << r.date << ", " << r.elapsed << "s, in " << r.in << ", out " << r.out
              << "}";
}

std::optional<std::vector<Record>> readLog(const std::string& path) {
    auto array = platform::readArrayFile(path);
    if (!array)
        return std::nullopt;
    std::vector<Record> records;
    for (const Value& v : *array) {
        const Dictionary* d = v.asDictionary();
        EXPECT_TRUE(d);
        if (!d)
            continue;
        EXPECT_EQ(d->keys().size(), 4u);
        EXPECT_FALSE(d->contains("status"));
        records.push_back(
            Record{d->find("date")->asDate()->seconds, *d->find("timeElapsed")->asUnsigned(),
                   *d->find("inBytes")->asUnsigned(), *d->find("outBytes")->asUnsigned()});
    }
    return records;
}

class ObserverTest : public ::testing::Test {
protected:
    void SetUp() override { root.installPreferences(); }
    TempRoot root;
    Harness h;
    platform::LogCapture log;
};

const std::string kModem = "SVC-MODEM";
const std::string kPPPoE = "SVC-PPPOE";

} // namespace

TEST_F(ObserverTest, LoadsThePPPServicesOfTheActiveLocation) {
    auto services = PPPServices::currentServices(h.store.get());
    ASSERT_TRUE(services);
    EXPECT_EQ(services->keys(), (std::vector<std::string>{kModem, kPPPoE}));
    for (const auto& [id, entry] : *services)
        EXPECT_TRUE(entry.asDictionary() && entry.asDictionary()->empty()) << id;

    EXPECT_FALSE(PPPServices::currentServices(nullptr)) << "no session";
    ASSERT_TRUE(platform::removePath(root.preferencesFile()));
    EXPECT_FALSE(PPPServices::currentServices(h.store.get())) << "no global setup";

    PPPObserver observer(h.env());
    EXPECT_TRUE(observer.currentServices().empty());
    EXPECT_EQ(h.output(), "0 service(s) loaded.\n");
    EXPECT_EQ(h.queries, 0);
}

// One service through a scripted run of polls: what each poll prints, what
// the entry holds and which records reach the log.
TEST_F(ObserverTest, TransitionsOfOneService) {
    struct Step {
        const char* what;
        std::optional<Link> link; // nothing: the query fails
        const char* printed;
        size_t records;
    };
    const Step steps[] = {
        {"idle stays idle", Link{true, 0}, "", 0},
        {"dialing is not running", Link{true, 3}, "", 0},
        {"comes up", Link{true, 8, 1, 100, 10}, "Service up: SVC-MODEM\n", 0},
        {"keeps running", Link{true, 8, 4, 400, 40}, "", 0},
        {"query fails while running", std::nullopt, "", 0},
        {"still running", Link{true, 8, 7, 700, 70}, "", 0},
        {"goes down", Link{true, 0}, "Service down: SVC-MODEM\n", 1},
        {"query fails while down", std::nullopt, "", 1},
        {"stays down", Link{true, 5}, "", 1},
    };
    h.links[kModem] = Link{true, 0};
    h.links[kPPPoE] = Link{true, 0};
    PPPObserver observer(h.env());
    std::string printedSoFar = h.output();
    EXPECT_EQ(printedSoFar, "2 service(s) loaded.\n");

    int64_t upAt = 0;
    for (const Step& step : steps) {
        h.clock += 3;
        if (step.link)
            h.links[kModem] = *step.link;
        else
            h.links[kModem].answers = false;
        if (step.link && step.link->phase == 8 && step.printed[0])
            upAt = h.clock;
        observer.getStatus();
        std::string all = h.output();
        EXPECT_EQ(all.substr(printedSoFar.size()), step.printed) << step.what;
        printedSoFar = all;

        auto records = readLog(root.logPath(kModem));
        EXPECT_EQ(records ? records->size() : 0, step.records) << step.what;

        const Dictionary& entry = *observer.currentServices().find(kModem)->asDictionary();
        const uint32_t phase = static_cast<uint32_t>(*entry.find("status")->asUnsigned());
        if (phase == 8) {
            EXPECT_EQ(entry.find("date")->asDate()->seconds, upAt)
                << step.what << ": start date kept";
            EXPECT_EQ(entry.size(), 5u);
        } else {
            EXPECT_EQ(entry.size(), 1u) << step.what;
        }
    }
    // The one record: the start date and the counters of the last running poll.
    auto records = readLog(root.logPath(kModem));
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0], (Record{upAt, 7, 700, 70}));
    EXPECT_EQ(h.posts, std::vector<std::string>{std::string(platform::kUpdateUI)});
    EXPECT_TRUE(log.contains("Unable to get the status for SVC-MODEM"));
    EXPECT_FALSE(platform::pathExists(root.logPath(kPPPoE)));
}

TEST_F(ObserverTest, LinkAlreadyUpAtStartIsSeenComingUpInTheFirstPoll) {
    h.up(kModem, 3600, 5'000'000, 70'000);
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    EXPECT_EQ(h.output(), "2 service(s) loaded.\nService up: SVC-MODEM\n");
    const int64_t started = h.clock;

    h.clock += 3;
    h.up(kModem, 3603, 5'001'000, 70'100);
    observer.getStatus();
    h.clock += 3;
    h.down(kModem);
    observer.getStatus();
    auto records = readLog(root.logPath(kModem));
    ASSERT_TRUE(records);
    EXPECT_EQ(*records, (std::vector<Record>{{started, 3603, 5'001'000, 70'100}}));
}

TEST_F(ObserverTest, UpAndDownBetweenTwoPollsLeavesNoRecord) {
    h.down(kModem);
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    h.clock += 3;
    observer.getStatus(); // the link was up and down in between: never seen
    EXPECT_FALSE(platform::pathExists(root.logPath(kModem)));
    EXPECT_TRUE(h.posts.empty());
}

TEST_F(ObserverTest, TwoServicesKeepTheirOwnStartDates) {
    h.up(kModem, 10, 1000, 100);
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    const int64_t modemStart = h.clock;

    h.clock += 3;
    h.up(kModem, 13, 1300, 130);
    h.up(kPPPoE, 1, 50, 5);
    observer.getStatus();
    const int64_t pppoeStart = h.clock;

    h.clock += 3;
    h.up(kModem, 16, 1600, 160);
    h.up(kPPPoE, 4, 200, 20);
    observer.getStatus();
    h.clock += 3;
    h.down(kModem);
    h.down(kPPPoE);
    observer.getStatus();

    EXPECT_EQ(*readLog(root.logPath(kModem)), (std::vector<Record>{{modemStart, 16, 1600, 160}}));
    EXPECT_EQ(*readLog(root.logPath(kPPPoE)), (std::vector<Record>{{pppoeStart, 4, 200, 20}}));
    EXPECT_EQ(h.posts.size(), 2u);
}

// A failed query says nothing about the service: it keeps its own phase and
// counters and is never given the answer of the service polled before it.
TEST_F(ObserverTest, FailedQueryKeepsTheServicesOwnState) {
    h.up(kModem, 10, 1000, 100);
    h.up(kPPPoE, 20, 2000, 200);
    PPPObserver observer(h.env());
    const int64_t start = h.clock;

    // The modem is polled first and answers "down"; the PPPoE query fails.
    h.clock += 3;
    h.down(kModem);
    h.links[kPPPoE].answers = false;
    log.clear();
    observer.getStatus();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Unable to get the status for SVC-PPPOE"});
    EXPECT_FALSE(platform::pathExists(root.logPath(kPPPoE)))
        << "no record from another service's answer";
    const Dictionary& kept = *observer.currentServices().find(kPPPoE)->asDictionary();
    EXPECT_EQ(*kept.find("status")->asUnsigned(), 8u);
    EXPECT_EQ(*kept.find("inBytes")->asUnsigned(), 2000u);

    // It answers again: still the same connection, recorded once at its end.
    h.clock += 3;
    h.up(kPPPoE, 26, 2600, 260);
    observer.getStatus();
    h.clock += 3;
    h.down(kPPPoE);
    observer.getStatus();
    EXPECT_EQ(*readLog(root.logPath(kPPPoE)), (std::vector<Record>{{start, 26, 2600, 260}}));
    EXPECT_EQ(h.output().find("Service up: SVC-PPPOE"), h.output().rfind("Service up: SVC-PPPOE"));

    // A service whose first query fails stays empty (phase 0).
    TempRoot other;
    other.installPreferences();
    Harness h2;
    h2.links[kPPPoE] = Link{true, 0};
    PPPObserver fresh(h2.env());
    EXPECT_TRUE(fresh.currentServices().find(kModem)->asDictionary()->empty());
}

TEST_F(ObserverTest, CountersAreStoredAsTheControllerReportsThem) {
    h.up(kModem, 4294967295u, 4294967295u, 0);
    PPPObserver observer(h.env());
    h.down(kModem);
    observer.getStatus();
    auto records = readLog(root.logPath(kModem));
    ASSERT_TRUE(records);
    EXPECT_EQ((*records)[0].in, 4294967295u);
    EXPECT_EQ((*records)[0].elapsed, 4294967295u);
}

TEST_F(ObserverTest, RecordsAreAppendedOldestFirst) {
    PPPObserver observer(h.env());
    std::vector<Record> expected;
    for (uint32_t i = 1; i <= 3; ++i) {
        h.clock += 3;
        h.up(kModem, i, i * 10, i);
        observer.getStatus();
        expected.push_back({h.clock, i, i * 10, i});
        h.clock += 3;
        h.down(kModem);
        observer.getStatus();
    }
    EXPECT_EQ(*readLog(root.logPath(kModem)), expected);
}

// The log is replaced as a whole, never rewritten in place: a second name for
// the old file still shows the old content, whole.
TEST_F(ObserverTest, LogIsReplacedAtomically) {
    PPPObserver observer(h.env());
    h.up(kModem, 5, 50, 5);
    observer.getStatus();
    h.down(kModem);
    observer.getStatus();
    const std::string path = root.logPath(kModem);
    const std::string oldName = root.path + "/old-link";
    ASSERT_EQ(::link(path.c_str(), oldName.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    h.up(kModem, 9, 90, 9);
    observer.getStatus();
    h.down(kModem);
    observer.getStatus();

    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(readLog(oldName)->size(), 1u);
    EXPECT_EQ(readLog(path)->size(), 2u);
    // No temporary file is left beside the log.
    EXPECT_EQ(std::system(("test $(ls -A '" + root.logFolder() + "' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(ObserverTest, UnreadableLogIsMovedAsideNotReplaced) {
    struct Case {
        const char* what;
        std::string content;
    } cases[] = {
        {"dictionary root",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><integer>1</integer>"
         "</dict></plist>"},
        {"garbage", "not a property list \x01\x02"},
        {"cut short", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict><key>date</key>"},
        {"empty", ""},
    };
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    TempRoot::makePath(root.logFolder());
    for (const Case& c : cases) {
        platform::removePath(root.logFolder());
        TempRoot::makePath(root.logFolder());
        ASSERT_TRUE(platform::writeFileAtomically(root.logPath(kModem), c.content));
        h.clock += 3;
        h.up(kModem, 3, 30, 3);
        observer.getStatus();
        h.clock += 3;
        h.down(kModem);
        log.clear();
        observer.getStatus();

        // The history that could not be read is kept, under a dated name.
        char stamp[32];
        std::time_t t = h.clock;
        std::tm tm{};
        localtime_r(&t, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        const std::string aside = root.logPath(kModem) + ".unreadable-" + stamp;
        std::string kept;
        ASSERT_TRUE(platform::readFile(aside, kept)) << c.what;
        EXPECT_EQ(kept, c.content) << c.what;
        ASSERT_EQ(log.lines().size(), 1u)
            << c.what << ": " << ::testing::PrintToString(log.lines());
        EXPECT_NE(log.lines()[0].find(aside), std::string::npos) << c.what;

        auto records = readLog(root.logPath(kModem));
        ASSERT_TRUE(records) << c.what;
        EXPECT_EQ(*records, (std::vector<Record>{{h.clock - 3, 3, 30, 3}})) << c.what;
    }

    // Twice in the same second: the second one gets a name of its own.
    platform::removePath(root.logFolder());
    TempRoot::makePath(root.logFolder());
    ASSERT_TRUE(platform::writeFileAtomically(root.logPath(kModem), "junk 1"));
    h.up(kModem, 1, 1, 1);
    observer.getStatus();
    h.down(kModem);
    observer.getStatus();
    ASSERT_TRUE(platform::writeFileAtomically(root.logPath(kModem), "junk 2"));
    h.up(kModem, 1, 1, 1);
    observer.getStatus();
    h.down(kModem);
    observer.getStatus();
    EXPECT_EQ(std::system(
                  ("test $(ls -A '" + root.logFolder() + "' | grep -c unreadable) -eq 2").c_str()),
              0);
}

TEST_F(ObserverTest, UnsafeServiceIDsNeverBecomePaths) {
    const std::string ids[] = {
        "", ".", "..", "a/b", "../../escape", "/abs", std::string("nul\0id", 6)};
    for (const std::string& id : ids) {
        EXPECT_FALSE(PPPObserver::isSafeServiceID(id));
    }
    for (const char* ok : {"SVC-MODEM", "...", ".hidden", "8F3C2A10-1B2C-4D5E-9F00-123456789ABC"})
        EXPECT_TRUE(PPPObserver::isSafeServiceID(ok)) << ok;

    // Services whose IDs came that way from the preferences: their
    // connections are watched, but ending one writes nothing.
    const std::vector<std::string> listed = {".", "..", "a/b", "../../escape"};
    Dictionary prefs = TempRoot::fixturePreferences();
    platform::Array order;
    Dictionary* services = prefs.find("NetworkServices")->asDictionary();
    for (const std::string& id : listed) {
        order.emplace_back(id);
        Dictionary iface;
        iface.set("Type", Value("PPP"));
        Dictionary service;
        service.set("Interface", Value(iface));
        services->set(id, Value(service));
        h.up(id, 5, 50, 5);
    }
    prefs.find("Sets")
        ->asDictionary()
        ->find("HOME-SET")
        ->asDictionary()
        ->find("Network")
        ->asDictionary()
        ->find("Global")
        ->asDictionary()
        ->find("IPv4")
        ->asDictionary()
        ->set("ServiceOrder", Value(order));
    ASSERT_TRUE(platform::writeXmlFile(root.preferencesFile(), Value(prefs)));

    PPPObserver observer(h.env());
    ASSERT_EQ(observer.currentServices().keys(), listed);
    for (const std::string& id : listed)
        h.down(id);
    log.clear();
    observer.getStatus();
    EXPECT_EQ(log.lines().size(), listed.size()) << "one line for each";
    for (const std::string& id : {std::string(), std::string("nul\0id", 6)}) {
        log.clear();
        observer.writeConnection(id);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].find('\0'), std::string::npos) << "the line stays printable";
    }
    EXPECT_TRUE(h.posts.empty());
    EXPECT_FALSE(platform::pathExists(root.home + "/Library")) << "nothing made for them";
    EXPECT_FALSE(platform::pathExists(root.path + "/escape"));
    EXPECT_FALSE(platform::pathExists(root.home + "/Library/escape"));
}

TEST_F(ObserverTest, SupportFolderThatCannotBeMadeWritesNothing) {
    // ~/Library is a file: no folder can be made below it, whoever we are.
    ASSERT_TRUE(platform::writeFileAtomically(root.home + "/Library", "not a folder"));
    h.up(kModem, 5, 5, 5);
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    h.down(kModem);
    log.clear();
    observer.getStatus();
    EXPECT_TRUE(platform::pathExists(root.home + "/Library"));
    EXPECT_FALSE(platform::isDirectory(root.home + "/Library"));
    EXPECT_TRUE(h.posts.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ObserverTest, WriteFailureIsLoggedAndStillPosted) {
    h.up(kModem, 5, 5, 5);
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    TempRoot::makePath(root.logFolder());
    h.down(kModem);
    log.clear();
    {
        // A file size limit makes the write fail even for the superuser.
        struct rlimit old {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit tiny = old;
        tiny.rlim_cur = 16;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
        observer.getStatus();
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Unable to write " + root.logPath(kModem)});
    EXPECT_EQ(h.posts, std::vector<std::string>{std::string(platform::kUpdateUI)});
    EXPECT_FALSE(platform::pathExists(root.logPath(kModem)));
}

// After a change of the global setup, only the connections of services that
// left the list end; a service still listed carries its connection across.
TEST_F(ObserverTest, ReloadClosesOnlyConnectionsOfServicesThatLeft) {
    h.up(kModem, 10, 1000, 100);
    h.up(kPPPoE, 20, 2000, 200);
    PPPObserver observer(h.env());
    const int64_t start = h.clock;

    // PPPoE leaves the active location; the modem stays.
    Dictionary prefs = TempRoot::fixturePreferences();
    Dictionary* sets = prefs.find("Sets")->asDictionary();
    Dictionary* home = sets->find("HOME-SET")->asDictionary();
    home->find("Network")
        ->asDictionary()
        ->find("Global")
        ->asDictionary()
        ->find("IPv4")
        ->asDictionary()
        ->set("ServiceOrder", Value(platform::Array{Value(kModem), Value("SVC-ETH")}));
    ASSERT_TRUE(platform::writeXmlFile(root.preferencesFile(), Value(prefs)));

    int queriesDuringReload = -1;
    h.duringPause = [&] {
        int before = h.queries;
        observer.getStatus(); // a poll while the reload holds the lock does nothing
        queriesDuringReload = h.queries - before;
    };
    h.clock += 3;
    observer.reloadServices();
    EXPECT_EQ(queriesDuringReload, 0);
    EXPECT_FALSE(observer.locked());
    EXPECT_EQ(h.pauses, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(500)});
    EXPECT_EQ(observer.currentServices().keys(), std::vector<std::string>{kModem});
    EXPECT_EQ(*readLog(root.logPath(kPPPoE)), (std::vector<Record>{{start, 20, 2000, 200}}));
    EXPECT_FALSE(platform::pathExists(root.logPath(kModem)));
    EXPECT_EQ(h.output(), "2 service(s) loaded.\nService up: SVC-MODEM\nService up: SVC-PPPOE\n"
                          "1 service(s) loaded.\n");

    // The modem's connection goes on and ends once: one record, first date,
    // final counters, never counted twice.
    h.clock += 3;
    h.up(kModem, 16, 1600, 160);
    observer.getStatus();
    h.clock += 3;
    h.down(kModem);
    observer.getStatus();
    EXPECT_EQ(*readLog(root.logPath(kModem)), (std::vector<Record>{{start, 16, 1600, 160}}));
    EXPECT_EQ(h.output().find("Service up: SVC-MODEM"), h.output().rfind("Service up: SVC-MODEM"));

    // A location without any PPP setup at all: everything still running ends.
    h.up(kModem, 1, 1, 1);
    observer.getStatus();
    ASSERT_TRUE(platform::removePath(root.preferencesFile()));
    observer.reloadServices();
    EXPECT_TRUE(observer.currentServices().empty());
    EXPECT_EQ(readLog(root.logPath(kModem))->size(), 2u);
}

TEST_F(ObserverTest, ReloadAddsNewServicesEmpty) {
    h.down(kModem);
    PPPObserver observer(h.env());
    root.installPreferences("OFFICE-SET");
    observer.reloadServices();
    EXPECT_EQ(observer.currentServices().keys(), std::vector<std::string>{"SVC-OFFICE"});
    EXPECT_TRUE(observer.currentServices().find("SVC-OFFICE")->asDictionary()->empty());
    EXPECT_TRUE(h.posts.empty());
}

TEST_F(ObserverTest, ClosingRecordsEveryRunningConnectionOnce) {
    h.up(kModem, 10, 1000, 100);
    h.up(kPPPoE, 20, 2000, 200);
    PPPObserver observer(h.env());
    observer.closeRunningConnections();
    observer.closeRunningConnections();
    EXPECT_EQ(readLog(root.logPath(kModem))->size(), 1u);
    EXPECT_EQ(readLog(root.logPath(kPPPoE))->size(), 1u);
    EXPECT_EQ(h.posts.size(), 2u);
}

// The change callback: an interface change polls at once; a change of the
// global setup (alone or with the interfaces) announces itself and reloads,
// without a separate poll.
TEST_F(ObserverTest, ConfigChangedPollsOrReloads) {
    const std::string iface(platform::kInterfaceStateKey), ipv4(platform::kGlobalIPv4Key);
    struct Case {
        const char* what;
        std::vector<std::string> keys;
        int polls;
        bool reload;
    } cases[] = {
        {"interfaces", {iface}, 1, false},
        {"global setup", {ipv4}, 0, true},
        {"both", {iface, ipv4}, 0, true},
        {"both, other order", {ipv4, iface}, 0, true},
    };
    h.down(kModem);
    h.down(kPPPoE);
    PPPObserver observer(h.env());
    for (const Case& c : cases) {
        h.events.clear();
        h.posts.clear();
        h.pauses.clear();
        int before = h.queries;
        std::vector<std::string> posted;
        Agent::handleConfigChange(c.keys, observer, [&](std::string_view name) {
            posted.emplace_back(name);
            h.events.push_back("post " + std::string(name));
        });
        EXPECT_EQ(h.queries - before, c.polls * 2) << c.what; // two services per poll
        EXPECT_EQ(h.pauses.size(), c.reload ? 1u : 0u) << c.what;
        if (c.reload) {
            EXPECT_EQ(posted, std::vector<std::string>{std::string(platform::kNetworkConfigChange)})
                << c.what;
            ASSERT_GE(h.events.size(), 2u);
            EXPECT_EQ(h.events[0], "post " + std::string(platform::kNetworkConfigChange))
                << "posted first";
            EXPECT_EQ(h.events[1], "pause");
        } else {
            EXPECT_TRUE(posted.empty()) << c.what;
        }
    }
}

TEST_F(ObserverTest, ConfigWatchOpensTheAgentsSessionOnTheTwoKeys) {
    ASSERT_TRUE(Agent::setUpConfigWatch());
    platform::ConfigStore* store = Agent::configStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->name(), "dialledger");
    EXPECT_EQ(store->notificationKeys(),
              (std::vector<std::string>{std::string(platform::kInterfaceStateKey),
                                        std::string(platform::kGlobalIPv4Key)}));
    EXPECT_TRUE(store->scheduled());
    EXPECT_TRUE(log.lines().empty());
    Agent::tearDownConfigWatch();
    EXPECT_FALSE(Agent::configStore());
}
