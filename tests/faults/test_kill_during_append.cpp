// SIGKILL at random moments while the agent's append path grows a long log:
// after every kill the log still parses and holds every record whose append
// had returned, in order, with nothing lost, doubled or torn.
#include "FaultSupport.h"

#include "../agent/TempRoot.h"

#include <random>

using namespace faults;

namespace {

const std::string kService = "SVC-MODEM";

struct Progress {
    uint64_t lastReturned = 0;
    bool any = false;
};

// The indices the driver reported as appended (complete lines only: a kill
// may cut the last one short).
Progress returnedIn(const std::string& output) {
    Progress p;
    size_t at = 0;
    for (;;) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string line = output.substr(at, end - at);
        at = end + 1;
        if (line.rfind("appended ", 0) == 0) {
            p.lastReturned = std::stoull(line.substr(9));
            p.any = true;
        }
    }
    return p;
}

} // namespace

TEST(KillDuringAppend, EveryReturnedAppendSurvivesSigkill) {
    const uint64_t seeded = kLight ? 2'000 : 10'000;
    const uint64_t appends = kLight ? 60 : 500;

    TempRoot root;
    root.installPreferences();
    TempRoot::makePath(root.logFolder());
    const std::string log = root.logPath(kService);
    seedLog(log, seeded);

    std::mt19937 random(std::random_device{}());
    // Kills land anywhere in an append: before, during or after the write of
    // the new file, and between appends. The window is a few appends long.
    const int window = kLight ? 400 : 250;
    int maxDelay = window;

    uint64_t promised = seeded; // records [0, promised) must be in the log
    int kills = 0, rounds = 0;
    while (promised < seeded + appends) {
        ASSERT_LT(++rounds, 5000) << "no progress";
        const std::string out = root.path + "/driver-" + std::to_string(rounds) + ".out";
        const uint64_t first = readLog(log)->size();
        pid_t pid = spawnWithFaults({DL_FAULTS_DRIVER, kService, std::to_string(first),
                                     std::to_string(seeded + appends - first)},
                                    out, {}, {});
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, maxDelay)(random)));
        ::kill(pid, SIGKILL);
        const int status = reap(pid);
        kills += status == 128 + SIGKILL;
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << "driver ended with " << status;

        Progress p = returnedIn(fileBytes(out));
        if (p.any)
            promised = std::max(promised, p.lastReturned + 1);
        // On a loaded machine an append may outlast the window: widen it
        // until the driver gets through one again.
        maxDelay = p.any ? window : std::min(maxDelay * 2, 8000);

        auto records = readLog(log);
        ASSERT_TRUE(records) << "the log does not parse after kill " << kills;
        ASSERT_GE(records->size(), promised) << "a returned append was lost";
        // At most the one append in flight went in without being reported.
        ASSERT_LE(records->size(), promised + 1);
        for (uint64_t i = 0; i < records->size(); ++i) {
            const Record& r = (*records)[i];
            ASSERT_EQ(r.inBytes, i) << "record " << i << " out of sequence";
            ASSERT_EQ(r.outBytes, 2 * i);
            ASSERT_EQ(r.timeElapsed, i % 3600 + 1);
        }
        for (uint64_t i = 0; i < seeded; i += 997)
            ASSERT_EQ((*records)[i].date, 1'000'000'000 + int64_t(i) * 3600);
        // An in-flight append may leave its temporary file behind, never the
        // log half-written; the next run still reads and extends the log.
        platform::removePath(out);
    }
    EXPECT_EQ(readLog(log)->size(), seeded + appends);
    // Most rounds must end in a kill, or this proves nothing.
    EXPECT_GE(kills, rounds / 2) << kills << " kills in " << rounds << " rounds";
    RecordProperty("kills", kills);
    // Temporary files of the appends that were cut short stay behind, beside
    // the log and apart from it.
    const size_t leftovers = strayEntries(root.logFolder(), {kService}).size();
    EXPECT_LE(leftovers, size_t(kills));
    std::printf("%d kills over %llu appends to a %llu-record log, %zu temporary files left\n",
                kills, static_cast<unsigned long long>(appends),
                static_cast<unsigned long long>(seeded), leftovers);
}
