// Reading and writing connection logs of 1,000 to 100,000 records, the
// agent's and the viewer's one hot path through the property-list layer.
#include "platform/FileSystem.h"
#include "platform/Plist.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <plist/plist.h>
#include <string>

using namespace platform;

namespace {

Value connectionLog(int64_t records) {
    Array log;
    log.reserve(static_cast<size_t>(records));
    for (int64_t i = 0; i < records; ++i) {
        Dictionary r;
        r.set("date", Value(Date{1600000000 + i * 3600}));
        r.set("timeElapsed", Value(uint32_t(60 + i % 7200)));
        r.set("inBytes", Value(uint32_t(1000000 + i * 37)));
        r.set("outBytes", Value(uint32_t(200000 + i * 11)));
        log.emplace_back(std::move(r));
    }
    return Value(std::move(log));
}

std::string benchFolder() {
    static std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/dl-bench-XXXXXX";
        if (!mkdtemp(t.data()))
            std::abort();
        std::atexit([] { removePath(benchFolder()); });
        return t;
    }();
    return dir;
}

void BM_WriteLogFile(benchmark::State& state) {
    const Value log = connectionLog(state.range(0));
    const std::string path = benchFolder() + "/write.plist";
    for (auto _ : state) {
        if (!writeXmlFile(path, log))
            state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ReadLogFile(benchmark::State& state) {
    const std::string path = benchFolder() + "/read-" + std::to_string(state.range(0)) + ".plist";
    writeXmlFile(path, connectionLog(state.range(0)));
    for (auto _ : state) {
        auto log = readArrayFile(path);
        if (!log || log->size() != static_cast<size_t>(state.range(0)))
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(log);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The two halves of a write without the disk: serialising, and the fsync'd
// atomic replace measured above minus this.
void BM_ToXml(benchmark::State& state) {
    const Value log = connectionLog(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(toXml(log));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ParseXml(benchmark::State& state) {
    const std::string xml = toXml(connectionLog(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(parse(xml));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// For comparison: libplist parsing the same text into its own tree.
void BM_LibplistParseXml(benchmark::State& state) {
    const std::string xml = toXml(connectionLog(state.range(0)));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
        plist_free(root);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_WriteLogFile)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLogFile)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToXml)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseXml)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibplistParseXml)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
