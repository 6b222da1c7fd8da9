// The Ravlon Collector object: the collector's own process from /proc/self,
// the processor time of its threads by kind from their task stat files, its
// wake-ups from the tasks' schedstat, and the figures it keeps itself.
// Nothing here names another process, so each collector sees only itself.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "platform/linux/PerfDataScan.h"

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

using C = CounterId;
using Figure = CollectorStatistics::Figure;

bool readKept(KeptFiles* kept, const std::string& path, std::string& buffer)
{
    return kept != nullptr ? kept->read(path, buffer) : readWholeFile(path, buffer);
}

// Each task's schedstat, read once for both uses: the timeslices run by
// every task (its third field) and the run time of the registered ones.
void readTasks(const std::string& dir, SelfStat& self, std::string& buffer, KeptFiles* kept, std::string& path)
{
    std::unique_ptr<ProcDirectory> own(kept == nullptr ? new ProcDirectory(4096) : nullptr);
    ProcDirectory& tasks = kept != nullptr ? kept->tasks() : *own;
    const std::string taskDir = dir + "/task";
    if (!tasks.list(taskDir))
        return;
    std::vector<std::pair<uint32_t, uint64_t>> runs;  // tid, schedstat run time
    runs.reserve(tasks.pids().size());
    for (int64_t tid : tasks.pids()) {
        processDirectory(taskDir, tid, path);
        if (!readKept(kept, path.append("/schedstat"), buffer))
            continue;
        Scan sc = scanOf(buffer);
        uint64_t run = 0, wait = 0, slices = 0;
        if (sc.number(run) && sc.number(wait) && sc.number(slices)) {
            self.switches.emplace_back(static_cast<uint32_t>(tid), slices);
            runs.emplace_back(static_cast<uint32_t>(tid), run);
        }
    }
    CollectorStatistics::ThreadEntry registered[CollectorStatistics::MAX_THREADS];
    const size_t count = collectorStatistics().threads(registered);
    for (size_t i = 0; i < count; ++i) {
        ProcStat task;
        processDirectory(taskDir, registered[i].tid, path);
        if (!readKept(kept, path.append("/stat"), buffer) || !parseProcStat(buffer, task))
            continue;  // ended since it registered
        SelfStat::Thread t{registered[i].tid, static_cast<uint32_t>(registered[i].kind), task.startTime,
                           task.utime + task.stime, 0};
        auto run = std::lower_bound(runs.begin(), runs.end(), std::make_pair(t.tid, uint64_t(0)));
        if (run != runs.end() && run->first == t.tid)
            t.runNs = run->second;
        self.threads.push_back(t);
    }
}

// Processor seconds of one kind's threads that lived through both
// collections: their schedstat run time, which a thread that runs less than
// a clock tick at a time also shows, else their stat ticks.
double kindSeconds(const SelfStat& cur, const SelfStat& prev, ThreadKind kind)
{
    const double hz = double(clockTicksPerSecond());
    double seconds = 0;
    for (const SelfStat::Thread& c : cur.threads) {
        if (c.kind != static_cast<uint32_t>(kind))
            continue;
        for (const SelfStat::Thread& p : prev.threads) {
            if (p.tid != c.tid || p.startTime != c.startTime)
                continue;
            if (c.runNs != 0 && p.runNs != 0 && c.runNs >= p.runNs)
                seconds += double(c.runNs - p.runNs) / 1e9;
            else if (c.ticks >= p.ticks)
                seconds += double(c.ticks - p.ticks) / hz;
        }
    }
    return seconds;
}

// Wake-ups of the tasks that lived through both collections; false without schedstat.
bool wakeups(const SelfStat& cur, const SelfStat& prev, double& count)
{
    if (cur.switches.empty() || prev.switches.empty())
        return false;
    count = 0;
    auto p = prev.switches.begin();
    for (const auto& c : cur.switches) {
        while (p != prev.switches.end() && p->first < c.first)
            ++p;
        if (p != prev.switches.end() && p->first == c.first && c.second >= p->second)
            count += double(c.second - p->second);
    }
    return true;
}

PdhStatus selfRate(const ValueInput& in, double& v)
{
    const SelfStat& cur = in.cur.self;
    const SelfStat& prev = in.prev->self;
    const double hz = double(clockTicksPerSecond());
    const double percent = 100.0 / hz / in.itv;
    switch (in.id) {
    case C::SelfProcessorTime: {  // pidstat %CPU of the process itself
        const uint64_t now = cur.process.utime + cur.process.stime, before = prev.process.utime + prev.process.stime;
        if (now < before)
            return PDH_CSTATUS_INVALID_DATA;
        v = double(now - before) * percent;
        break;
    }
    case C::SelfPollerTime: v = 100.0 * kindSeconds(cur, prev, ThreadKind::Poller) / in.itv; break;
    case C::SelfWriterTime: v = 100.0 * kindSeconds(cur, prev, ThreadKind::Writer) / in.itv; break;
    case C::SelfDeliveryTime: v = 100.0 * kindSeconds(cur, prev, ThreadKind::Delivery) / in.itv; break;
    case C::SelfListenerTime: v = 100.0 * kindSeconds(cur, prev, ThreadKind::Listener) / in.itv; break;
    case C::SelfWakeups:  // sum of task schedstat timeslices / interval
        if (!wakeups(cur, prev, v))
            return PDH_CSTATUS_INVALID_DATA;
        v /= in.itv;
        break;
    case C::SelfSamplesLate: {  // samples missed / interval
        const int64_t d = cur.figures[Figure::SAMPLES_MISSED] - prev.figures[Figure::SAMPLES_MISSED];
        v = d >= 0 ? double(d) / in.itv : 0.0;
        break;
    }
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

// The figures the collector keeps, by counter.
bool figureOf(CounterId id, Figure& f)
{
    static const std::pair<CounterId, Figure> MAP[] = {
        {C::SelfSamplesMissed, Figure::SAMPLES_MISSED},   {C::SelfRecordsWritten, Figure::RECORDS_WRITTEN},
        {C::SelfRecordsFailed, Figure::RECORDS_FAILED},   {C::SelfFilesDelivered, Figure::FILES_DELIVERED},
        {C::SelfFilesPending, Figure::FILES_PENDING},     {C::SelfDeliveryFailures, Figure::DELIVERY_FAILURES},
        {C::SelfCommandsReceived, Figure::COMMANDS_RECEIVED}, {C::SelfJunkDropped, Figure::JUNK_DROPPED},
        {C::SelfExportBacklog, Figure::EXPORT_BACKLOG},   {C::SelfExportFailures, Figure::EXPORT_FAILURES},
        {C::SelfReloads, Figure::RELOADS},                {C::SelfFailedReloads, Figure::FAILED_RELOADS},
    };
    for (const auto& m : MAP)
        if (m.first == id) {
            f = m.second;
            return true;
        }
    return false;
}

} // namespace

bool readSelf(const Roots& roots, Snapshot& s, std::string& buffer, KeptFiles* kept)
{
    SelfStat& self = s.self;
    const std::string dir = roots.proc + "/self";
    if (!readKept(kept, dir + "/stat", buffer) || !parseProcStat(buffer, self.process))
        return false;
    std::string path;
    readExtras(dir, kept != nullptr ? SRC_PROCSTATM : SRC_PROCSTATM | SRC_PROCFD, self.process, buffer, kept, path);
    // a listing with its directory kept open counts that descriptor, as any
    // listing counts its own
    if (kept != nullptr && kept->handles().list(dir + "/fd"))
        self.process.fdCount = static_cast<int64_t>(kept->handles().pids().size());
    readTasks(dir, self, buffer, kept, path);
    const CollectorStatistics& stats = collectorStatistics();
    for (int f = 0; f < Figure::FIGURES; ++f)
        self.figures[f] = stats.get(static_cast<Figure>(f));
    self.lastDeliveryAge = stats.lastDeliveryAgeSeconds();
    return true;
}

PdhStatus selfValue(const ValueInput& in, double& v)
{
    if (in.prev != nullptr && in.itv > 0 &&
        ((in.id >= C::SelfProcessorTime && in.id <= C::SelfListenerTime) || in.id == C::SelfWakeups || in.id == C::SelfSamplesLate))
        return selfRate(in, v);
    const ProcStat& p = in.cur.self.process;
    Figure f = Figure::FIGURES;
    switch (in.id) {
    case C::SelfWorkingSet: v = double(p.rssPages) * double(pageSizeBytes()); break;  // stat field 24 in bytes
    case C::SelfPrivateBytes:                                                         // (statm resident - shared) pages
        if (!p.hasStatm || p.statmResident < p.statmShared)
            return PDH_CSTATUS_INVALID_DATA;
        v = double(p.statmResident - p.statmShared) * double(pageSizeBytes());
        break;
    case C::SelfThreadCount: v = double(p.threads); break;  // stat field 20
    case C::SelfHandleCount:                                 // entries of /proc/self/fd
        if (p.fdCount < 0)
            return PDH_CSTATUS_INVALID_DATA;
        v = double(p.fdCount);
        break;
    case C::SelfLastDeliveryAge: v = in.cur.self.lastDeliveryAge; break;
    default:
        if (!figureOf(in.id, f))
            return PDH_CSTATUS_NO_COUNTER;
        v = double(in.cur.self.figures[f]);
        break;
    }
    return PDH_CSTATUS_VALID_DATA;
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
