// The agent's costs: a status poll of 10 services against the real pppconfd
// in simulation (CPU per poll, resident memory after 1,000 polls, and the real
// dialledger process watching 10 services), and appending one record to a
// connection log of 1,000, 10,000 and 100,000 records.
#include "agent/PPPObserver.h"
#include "platform/ConfigStore.h"
#include "platform/FileSystem.h"
#include "platform/Plist.h"
#include "platform/SystemPaths.h"
#include "pppctl/PPPManager.h"
#include "pppctl/PPPMessages.h"
#include "tests/support/Process.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr int kServices = 10;

std::string serviceID(int i) {
    return "BENCH-SVC-" + std::to_string(i);
}

// A private root and home holding network preferences with `kServices` PPP
// services in the active set, and a simulation with one running link each.
struct World {
    World() {
        char pattern[] = "/tmp/dl-bench-agent-XXXXXX";
        if (!::mkdtemp(pattern))
            std::abort();
        path = pattern;
        const std::string prefsFolder = path + "/root/Library/Preferences/SystemConfiguration";
        (void)std::system(("mkdir -p '" + prefsFolder + "' '" + path + "/home'").c_str());
        ::setenv("DIALLEDGER_SYSROOT", (path + "/root").c_str(), 1);
        ::setenv("HOME", (path + "/home").c_str(), 1);

        Dictionary services, setServices, ppp;
        Array order, links;
        for (int i = 0; i < kServices; ++i) {
            Dictionary iface;
            iface.set("Type", Value("PPP"));
            Dictionary service;
            service.set("Interface", Value(iface));
            service.set("PPP", Value(Dictionary{}));
            service.set("UserDefinedName", Value("Modem " + std::to_string(i)));
            services.set(serviceID(i), Value(service));
            Dictionary link;
            link.set("__LINK__", Value("/NetworkServices/" + serviceID(i)));
            setServices.set(serviceID(i), Value(link));
            order.emplace_back(serviceID(i));

            Dictionary sim;
            sim.set("ServiceID", Value(serviceID(i)));
            sim.set("Interface", Value("ppp" + std::to_string(i)));
            sim.set("DialSeconds", Value(0));
            sim.set("InRate", Value(1000 * (i + 1)));
            sim.set("OutRate", Value(100 * (i + 1)));
            sim.set("StartConnected", Value(true));
            links.emplace_back(sim);
        }
        Dictionary ipv4, global, network, set, sets, prefs;
        ipv4.set("ServiceOrder", Value(order));
        global.set("IPv4", Value(ipv4));
        network.set("Global", Value(global));
        network.set("Service", Value(setServices));
        set.set("Network", Value(network));
        set.set("UserDefinedName", Value("Bench"));
        sets.set("BENCH", Value(set));
        prefs.set("CurrentSet", Value("/Sets/BENCH"));
        prefs.set("NetworkServices", Value(services));
        prefs.set("Sets", Value(sets));
        platform::writeXmlFile(prefsFolder + "/preferences.plist", Value(prefs));
        platform::writeXmlFile(path + "/links.plist", Value(links));
    }
    ~World() {
        stop(agent);
        stop(controller);
        platform::removePath(path);
    }

    // Output and errors thrown away; the agent kept in the foreground so
    // that it stays our child.
    static pid_t spawn(std::vector<std::string> args, bool foreground) {
        testsupport::SpawnOptions options;
        options.out = options.err = "/dev/null";
        options.nullInput = false;
        if (foreground)
            options.env = {"DIALLEDGER_FOREGROUND=1"};
        return testsupport::spawn(std::move(args), options);
    }
    static void stop(pid_t& pid) { testsupport::stop(pid, SIGTERM, std::chrono::seconds(5)); }

    bool startController() {
        controller = spawn(
            {std::string(DL_BIN_DIR) + "/pppconfd", "--simulate", path + "/links.plist"}, false);
        return testsupport::eventually(
            [] {
                ppp_status s{};
                return PPPManager::getStatus(&s, serviceID(0)) && s.phase == 8;
            },
            std::chrono::seconds(10), std::chrono::milliseconds(20));
    }

    std::string path;
    pid_t controller = -1;
    pid_t agent = -1;
};

// Kilobytes of one "VmRSS:"-style line of a /proc/<pid> file.
long procKB(const std::string& pid, const char* file, const char* field) {
    std::ifstream in("/proc/" + pid + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}
long statusKB(const std::string& pid, const char* field) {
    return procKB(pid, "status", field);
}
long rollupKB(const std::string& pid, const char* field) {
    return procKB(pid, "smaps_rollup", field);
}

double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

double processCpuSeconds() {
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

PPPObserver::Environment quietEnvironment(const platform::ConfigStore* store) {
    PPPObserver::Environment env;
    env.getStatus = [](ppp_status* s, const std::string& id) {
        return PPPManager::getStatus(s, id);
    };
    env.store = [store] { return store; };
    env.post = [](std::string_view) {};
    env.now = [] { return platform::Date::now(); };
    env.pause = [](std::chrono::milliseconds) {};
    env.loop = nullptr;
    env.out = nullptr;
    return env;
}

// One poll of 10 running services: 20 controller exchanges and 10 entries
// replaced. After the run: the CPU time per poll and this process's resident
// memory once 1,000 polls (at least) have run.
void BM_PollTenServices(benchmark::State& state) {
    World world;
    if (!world.startController()) {
        state.SkipWithError("pppconfd did not answer");
        return;
    }
    auto store = platform::ConfigStore::create("bench", nullptr);
    PPPObserver observer(quietEnvironment(store.get()));
    if (observer.currentServices().size() != kServices) {
        state.SkipWithError("services not loaded");
        return;
    }
    const long rssBefore = statusKB("self", "VmRSS:");
    const double cpuBefore = processCpuSeconds();
    int64_t polls = 0;
    for (auto _ : state) {
        observer.getStatus();
        ++polls;
    }
    // Make sure the memory figure is that of at least 1,000 polls.
    for (; polls < 1000; ++polls)
        observer.getStatus();
    const double cpuAfter = processCpuSeconds();
    state.counters["cpu_ms_per_poll"] = (cpuAfter - cpuBefore) * 1000.0 / double(polls);
    state.counters["polls"] = double(polls);
    state.counters["rss_KiB"] = double(statusKB("self", "VmRSS:"));
    state.counters["rss_growth_KiB"] = double(statusKB("self", "VmRSS:") - rssBefore);
}
BENCHMARK(BM_PollTenServices)->Unit(benchmark::kMicrosecond)->Iterations(1000);

// The real dialledger watching 10 running services: resident memory and CPU
// time after its first polls (it polls every 3 seconds, so the run takes
// `seconds`; 1,000 real polls would take 50 minutes).
void BM_AgentProcessTenServices(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    for (auto _ : state) {
        World world;
        if (!world.startController()) {
            state.SkipWithError("pppconfd did not answer");
            return;
        }
        world.agent = World::spawn({std::string(DL_BIN_DIR) + "/dialledger"}, true);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const std::string pid = std::to_string(world.agent);
        state.counters["rss_KiB"] = double(statusKB(pid, "VmRSS:"));
        // Most of the resident set is shared library pages; these say what
        // the agent itself costs.
        state.counters["pss_KiB"] = double(rollupKB(pid, "Pss:"));
        state.counters["private_KiB"] =
            double(rollupKB(pid, "Private_Clean:") + rollupKB(pid, "Private_Dirty:"));
        const double cpu = cpuSecondsOf(world.agent);
        state.counters["cpu_ms_total"] = cpu * 1000.0;
        state.counters["polls"] = double(1 + seconds / 3);
        state.counters["cpu_ms_per_poll_upper"] = cpu * 1000.0 / double(1 + seconds / 3);
    }
}
BENCHMARK(BM_AgentProcessTenServices)->Arg(31)->Iterations(1)->Unit(benchmark::kMillisecond);

// Appending one record to a log of N records: read the whole log, add one
// record, write it back by atomic replace.
void BM_AppendRecord(benchmark::State& state) {
    World world; // for its private home and preferences; no controller
    auto store = platform::ConfigStore::create("bench", nullptr);
    PPPObserver::Environment env = quietEnvironment(store.get());
    env.getStatus = [](ppp_status* s, const std::string&) {
        s->phase = 8;
        s->s.connected.timeElapsed = 3600;
        s->s.connected.inBytes = 123456789;
        s->s.connected.outBytes = 9876543;
        return true;
    };
    PPPObserver observer(env);

    const std::string id = serviceID(0);
    const std::string path = PPPObserver::applicationSupportFolder() + "/" + id;
    (void)std::system(("mkdir -p '" + PPPObserver::applicationSupportFolder() + "'").c_str());
    Array records;
    records.reserve(size_t(state.range(0)));
    for (int64_t i = 0; i < state.range(0); ++i) {
        Dictionary r;
        r.set("date", Value(platform::Date{1'100'000'000 + i * 3600}));
        r.set("timeElapsed", Value(uint32_t(600 + i % 3000)));
        r.set("inBytes", Value(uint32_t(1'000'000 + i)));
        r.set("outBytes", Value(uint32_t(200'000 + i)));
        records.emplace_back(std::move(r));
    }
    platform::writeXmlFile(path, Value(std::move(records)));
    for (auto _ : state)
        observer.writeConnection(id);
    state.counters["records_after"] = double(platform::readArrayFile(path)->size());
}
BENCHMARK(BM_AppendRecord)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
