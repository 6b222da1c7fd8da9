// Every log line and record carries a local time text; this measures what
// one costs with the host zone looked up each time.
#include "common/DateTime.h"
#include "common/TimeSpan.h"

#include <benchmark/benchmark.h>

using namespace Telvar;

static void localTextWithOffset(benchmark::State& state)
{
    DateTime moment(static_cast<int64_t>(1299215167));
    for (auto _ : state) {
        benchmark::DoNotOptimize(moment.toText(false, false, true));
        moment += TimeSpan(1);
    }
}
BENCHMARK(localTextWithOffset);

static void utcText(benchmark::State& state)
{
    DateTime moment(static_cast<int64_t>(1299215167));
    for (auto _ : state) {
        benchmark::DoNotOptimize(moment.toText(true));
        moment += TimeSpan(1);
    }
}
BENCHMARK(utcText);

static void localComponentsToMoment(benchmark::State& state)
{
    DateTimeParts parts = DateTime(static_cast<int64_t>(1299215167)).localParts();
    for (auto _ : state)
        benchmark::DoNotOptimize(DateTime(parts).seconds());
}
BENCHMARK(localComponentsToMoment);

static void alignToHour(benchmark::State& state)
{
    for (auto _ : state) {
        DateTime moment(static_cast<int64_t>(1299215167));
        benchmark::DoNotOptimize(moment.alignTo(TimeSpan(3600)).seconds());
    }
}
BENCHMARK(alignToHour);

static void parseDateTimeText(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(DateTime::parseDateTime("2011-03-04T05:06:07+02:00"));
}
BENCHMARK(parseDateTimeText);

BENCHMARK_MAIN();
