// The viewer core on long histories: reloading a connection log into the
// model, and building and writing the HTML report of it.
#include "platform/FileSystem.h"
#include "platform/Plist.h"
#include "viewer/DLConnections.h"
#include "viewer/DLExporter.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

std::string gHome;

std::string serviceID(int64_t records) {
    return "S-BENCH-" + std::to_string(records);
}

// A log shaped like the agent's: one record per connection, oldest first.
void writeLog(int64_t records) {
    platform::Array log;
    log.reserve(records);
    for (int64_t i = 0; i < records; ++i) {
        platform::Dictionary record;
        record.set("date", platform::Date{1600000000 + i * 5400});
        record.set("timeElapsed", uint32_t(60 + (i * 37) % 7200));
        record.set("inBytes", uint32_t((i * 7919) % 50000000));
        record.set("outBytes", uint32_t((i * 104729) % 5000000));
        log.push_back(std::move(record));
    }
    platform::writeXmlFile(DLConnections::logFolder() + "/" + serviceID(records),
                           platform::Value(std::move(log)));
}

// Parsing alone, to tell the property-list reader's share of a reload.
void BM_ReadLog(benchmark::State& state) {
    std::string path = DLConnections::logFolder() + "/" + serviceID(state.range(0));
    for (auto _ : state) {
        auto log = platform::readArrayFile(path);
        benchmark::DoNotOptimize(log);
    }
}

void BM_Reload(benchmark::State& state) {
    DLConnections model;
    model.setCurrentWithKey(serviceID(state.range(0)));
    for (auto _ : state) {
        model.reload();
        benchmark::DoNotOptimize(model.total());
    }
    state.counters["records"] = model.total();
}

void BM_HTMLReport(benchmark::State& state) {
    DLConnections model;
    model.setCurrentWithKey(serviceID(state.range(0)));
    for (auto _ : state) {
        std::string html = DLExporter::htmlReport(model, "Modem", "Office");
        benchmark::DoNotOptimize(html.data());
    }
}

void BM_ExportHTML(benchmark::State& state) {
    DLConnections model;
    model.setCurrentWithKey(serviceID(state.range(0)));
    std::string path = gHome + "/Connections.html";
    for (auto _ : state) {
        bool written =
            DLExporter::writeReport(path, DLExporter::htmlReport(model, "Modem", "Office"));
        benchmark::DoNotOptimize(written);
    }
}

BENCHMARK(BM_ReadLog)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reload)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HTMLReport)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportHTML)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "dl-bench-viewer-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    gHome = pattern;
    setenv("HOME", gHome.c_str(), 1);
    setenv("TZ", "UTC", 1);
    tzset();
    fs::create_directories(DLConnections::logFolder());
    writeLog(10000);
    writeLog(100000);

    benchmark::Initialize(&argc, argv);
    int status = 0;
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        status = 1;
    else
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::error_code ec;
    fs::remove_all(gHome, ec);
    return status;
}
