// Formatted values of 1000 counters: the backend's getFormattedValue over
// 1000 handles, and the collector's pass (registerCounterData, valueText)
// over 1000 registered counters.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/PerfData.h"
#include "platform/linux/PerfDataLinux.h"
#include "ravlon/Counter.h"

using namespace Telvar;
using namespace Telvar::Platform;

namespace {

constexpr size_t COUNTERS = 1000;

struct Setup {
    PdhHandle query = PDH_NULL_HANDLE;
    std::vector<PdhHandle> handles;
    std::vector<std::string> paths;

    Setup()
    {
        PerfDataProvider& pdh = systemPerfData();
        pdh.openQuery(query);
        std::vector<std::string> all;
        for (const LinuxPerf::ObjectDef& o : LinuxPerf::catalogue()) {
            if (o.id == LinuxPerf::ObjectId::Process || o.id == LinuxPerf::ObjectId::NetworkInterface)
                continue;
            for (const LinuxPerf::CounterDef& c : o.counters)
                all.push_back("\\" + std::string(o.name) + (o.multiInstance ? "(_Total)" : "") + "\\" + c.name);
        }
        for (size_t i = 0; i < COUNTERS; ++i) {
            PdhHandle h;
            const std::string& p = all[i % all.size()];
            if (pdh.addCounter(query, p, 0, h) == 0) {
                handles.push_back(h);
                paths.push_back(p);
            }
        }
        pdh.collectQueryData(query);
        pdh.collectQueryData(query);
        // The registry: 1000 distinct counters, each on one of the handles.
        pdhQuery = query;
        for (size_t i = 0; i < handles.size(); ++i) {
            SmartPointer<Counter> c(new Counter("Object" + std::to_string(i), "Counter"));
            c->localizedPath = paths[i];
            c->handle = handles[i];
            c->format = paths[i].find('%') != std::string::npos ? PDH_FMT_DOUBLE : PDH_FMT_LARGE;
            registerCounter(c);
        }
    }
};

Setup& setup()
{
    static Setup s;
    return s;
}

void BM_FormattedValues(benchmark::State& state)
{
    Setup& s = setup();
    PerfDataProvider& pdh = systemPerfData();
    for (auto _ : state) {
        double sum = 0;
        for (PdhHandle h : s.handles) {
            PdhFmtCounterValue v;
            pdh.getFormattedValue(h, PDH_FMT_DOUBLE, nullptr, v);
            sum += v.doubleValue;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["counters"] = static_cast<double>(s.handles.size());
}

void BM_RegisterAndValueText(benchmark::State& state)
{
    setup();
    for (auto _ : state) {
        registerCounterData(false);
        size_t length = 0;
        for (const SmartPointer<Counter>& c : counterRegistry().counters)
            if (isValid(*c) && hasData(*c))
                length += valueText(*c).size();
        benchmark::DoNotOptimize(length);
    }
    state.counters["counters"] = static_cast<double>(counterRegistry().counters.size());
}

BENCHMARK(BM_FormattedValues)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RegisterAndValueText)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
