// One collection of a query holding every counter of the system objects
// (every instance), against a bare read of the same /proc and /sys sources
// into memory (the System file operations read every process's stat and
// io); the ratio of the two is printed, the aim is at most 1.5.
//
// BM_Collect and BM_BareRead run back to back with warm caches: they tell
// what the code adds to the reads, not what a host pays. BM_CollectPaced is
// what a running collector pays per collection: one collection every 200 ms
// (the caches, the kernel's too, go cold in between as they do at one a
// second), the process's CPU time over all its threads, with and without
// eight counters of the benchmark's own process. bench/sample_cost.py
// measures the same for `ravlonctl sample` as a separate process.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/PerfData.h"
#include "platform/linux/PerfDataLinux.h"

using namespace Telvar::Platform;

namespace {

struct Setup {
    PdhHandle query = PDH_NULL_HANDLE;
    PdhHandle withProcess = PDH_NULL_HANDLE;
    size_t counters = 0;
    std::vector<std::string> files;
    std::vector<std::string> directories;
    std::vector<std::string> mounts;

    Setup()
    {
        PerfDataProvider& pdh = systemPerfData();
        pdh.openQuery(query);
        pdh.openQuery(withProcess);
        std::string self;  // the kernel's name of this process (at most 15 bytes)
        LinuxPerf::readWholeFile("/proc/self/comm", self);
        while (!self.empty() && self.back() == '\n')
            self.pop_back();
        for (const char* c : {"% Processor Time", "% User Time", "% Privileged Time", "Working Set", "Private Bytes",
                              "Virtual Bytes", "Thread Count", "Handle Count"}) {
            PdhHandle h;
            pdh.addCounter(withProcess, "\\Process(" + self + ")\\" + c, 0, h);
        }
        std::vector<std::string> objects, names, instances;
        pdh.enumObjects(objects);
        for (const std::string& o : objects) {
            if (o == "Process")
                continue;
            pdh.enumObjectItems(o, names, instances);
            for (const std::string& c : names) {
                std::vector<std::string> paths;
                if (instances.empty())
                    paths.push_back("\\" + o + "\\" + c);
                for (const std::string& i : instances)
                    paths.push_back("\\" + o + "(" + i + ")\\" + c);
                for (const std::string& p : paths) {
                    PdhHandle h;
                    if (pdh.addCounter(query, p, 0, h) == 0)
                        ++counters;
                    pdh.addCounter(withProcess, p, 0, h);
                }
            }
        }
        // The same sources, as plain reads.
        for (const char* f : {"/proc/uptime", "/proc/stat", "/proc/interrupts", "/proc/loadavg", "/proc/meminfo",
                              "/proc/vmstat", "/proc/diskstats", "/proc/mounts", "/proc/net/dev"})
            files.push_back(f);
        for (const auto& e : std::filesystem::directory_iterator("/sys/class/net"))
            files.push_back(e.path().string() + "/speed");
        directories = {"/proc", "/sys/block"};
        LinuxPerf::Snapshot snap;
        std::string buffer;
        LinuxPerf::collect(LinuxPerf::currentRoots(), LinuxPerf::SRC_MOUNTS, snap, buffer);
        for (const LinuxPerf::MountSpace& m : snap.mounts)
            mounts.push_back(m.mountPoint);
    }
};

Setup& setup()
{
    static Setup s;
    return s;
}

void BM_Collect(benchmark::State& state)
{
    Setup& s = setup();
    PerfDataProvider& pdh = systemPerfData();
    for (auto _ : state)
        benchmark::DoNotOptimize(pdh.collectQueryData(s.query));
    state.counters["counters"] = static_cast<double>(s.counters);
}

void BM_CollectPaced(benchmark::State& state)
{
    Setup& s = setup();
    PerfDataProvider& pdh = systemPerfData();
    PdhHandle query = state.range(0) != 0 ? s.withProcess : s.query;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state.ResumeTiming();
        benchmark::DoNotOptimize(pdh.collectQueryData(query));
    }
    state.counters["counters"] = static_cast<double>(s.counters + (state.range(0) != 0 ? 8 : 0));
}

void BM_BareRead(benchmark::State& state)
{
    Setup& s = setup();
    std::string buffer;
    for (auto _ : state) {
        size_t bytes = 0;
        for (const std::string& f : s.files) {
            LinuxPerf::readWholeFile(f, buffer);
            bytes += buffer.size();
        }
        for (const std::string& d : s.directories)
            LinuxPerf::listDirectory(d, [&](const char* name) { bytes += name[0] != '\0'; });
        // the System file operations read every process's stat and io
        std::vector<std::string> pids;
        LinuxPerf::listDirectory("/proc", [&](const char* name) {
            if (name[0] >= '0' && name[0] <= '9')
                pids.push_back(name);
        });
        for (const std::string& pid : pids)
            for (const char* file : {"/stat", "/io"})
                if (LinuxPerf::readWholeFile("/proc/" + pid + file, buffer))
                    bytes += buffer.size();
        for (const std::string& m : s.mounts) {
            FileSystemSpace space;
            fileSystemSpace(m, space);
            bytes += static_cast<size_t>(space.freeBytes & 1);
        }
        benchmark::DoNotOptimize(bytes);
    }
}

// Medians of interleaved repetitions: the machine is shared, single runs are noisy.
BENCHMARK(BM_Collect)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_BareRead)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->Repetitions(7)->ReportAggregatesOnly(true);
// arg 1: with the eight counters of this process
BENCHMARK(BM_CollectPaced)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(40)->MeasureProcessCPUTime()
    ->Repetitions(3)->ReportAggregatesOnly(true);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                perIteration[r.run_name.function_name] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> perIteration;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double collect = reporter.perIteration["BM_Collect"];
    double bare = reporter.perIteration["BM_BareRead"];
    if (collect > 0 && bare > 0)
        std::printf("collection / bare read (median CPU time) = %.2f (goal <= 1.5), %zu counters\n", collect / bare, setup().counters);
    benchmark::Shutdown();
    return 0;
}
