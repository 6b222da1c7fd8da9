// The Linux performance-data backend: queries of counters named by Windows
// paths, computed from the last two collections of /proc and /sys with the
// formulas sysstat uses for the same figures.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

constexpr uint32_t FORMAT_MASK = PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE;
// Counter type words, as the Windows counter types they stand for.
constexpr uint32_t TYPE_RAW = 0x00010100;     // PERF_COUNTER_LARGE_RAWCOUNT
constexpr uint32_t TYPE_RATE = 0x10410400;    // PERF_COUNTER_COUNTER
constexpr uint32_t TYPE_PERCENT = 0x20510500; // PERF_100NSEC_TIMER

// Sources without which a counter still has an answer of its own.
constexpr uint32_t OPTIONAL_SOURCES = SRC_INTERRUPTS | SRC_NETSPEED | SRC_PROCSTATM | SRC_PROCFD;

template <class T>
const T* byName(const std::vector<T>& list, const std::string& name)
{
    for (const T& item : list)
        if (item.name == name)
            return &item;
    return nullptr;
}

const ProcStat* processByInstance(const std::vector<ProcStat>& list, const std::string& instance)
{
    for (const ProcStat& p : list)
        if (p.instance == instance)
            return &p;
    return nullptr;
}

const MountSpace* mountByName(const std::vector<MountSpace>& list, const std::string& name)
{
    for (const MountSpace& m : list)
        if (m.mountPoint == name)
            return &m;
    return nullptr;
}

// A raw counter that went backwards (reset, wrap) gives no rate this time.
bool delta(uint64_t now, uint64_t before, double& d)
{
    if (now < before)
        return false;
    d = static_cast<double>(now - before);
    return true;
}

bool isLocalMachine(const std::string& machine)
{
    if (machine.empty() || machine == "." || strcasecmp(machine.c_str(), "localhost") == 0)
        return true;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return false;
    if (strcasecmp(machine.c_str(), host) == 0)
        return true;
    const char* dot = std::strchr(host, '.');
    return dot != nullptr && machine.size() == static_cast<size_t>(dot - host) &&
           strncasecmp(machine.c_str(), host, machine.size()) == 0;
}

PdhStatus processorValue(CounterId id, const CpuTimes& c, const CpuTimes& p, double itv, bool total, double& v)
{
    if (id == CounterId::CpuInterrupts) {
        if (total)
            return PDH_CSTATUS_VALID_DATA;  // filled in by the caller from /proc/stat
        if (!c.hasInterrupts || !p.hasInterrupts)
            return PDH_CSTATUS_NO_COUNTER;
        double d = 0;
        if (!delta(c.interrupts, p.interrupts, d))
            return PDH_CSTATUS_INVALID_DATA;
        v = d / itv;  // mpstat -I SUM: per-processor column sum of /proc/interrupts / interval
        return PDH_CSTATUS_VALID_DATA;
    }
    double user, nice, system, idle, iowait, irq, softirq, steal;
    if (!delta(c.user, p.user, user) || !delta(c.nice, p.nice, nice) || !delta(c.system, p.system, system) ||
        !delta(c.idle, p.idle, idle) || !delta(c.iowait, p.iowait, iowait) || !delta(c.irq, p.irq, irq) ||
        !delta(c.softirq, p.softirq, softirq) || !delta(c.steal, p.steal, steal))
        return PDH_CSTATUS_INVALID_DATA;
    // sar -u interval: user+nice+system+idle+iowait+irq+softirq+steal (guest is inside user)
    double tot = user + nice + system + idle + iowait + irq + softirq + steal;
    if (tot <= 0) {
        // no tick at all: a tickless idle processor, shown idle as sar does
        v = id == CounterId::CpuIdleTime ? 100.0 : 0.0;
        return PDH_CSTATUS_VALID_DATA;
    }
    switch (id) {
    case CounterId::CpuProcessorTime: v = 100.0 * (tot - idle - iowait) / tot; break;  // 100 - %idle - %iowait
    case CounterId::CpuIdleTime: v = 100.0 * (idle + iowait) / tot; break;             // %idle + %iowait
    case CounterId::CpuUserTime: v = 100.0 * (user + nice) / tot; break;               // %usr + %nice (guest inside)
    case CounterId::CpuPrivilegedTime: v = 100.0 * (system + irq + softirq) / tot; break; // %sys + %irq + %soft
    case CounterId::CpuInterruptTime: v = 100.0 * irq / tot; break;                    // %irq
    case CounterId::CpuDpcTime: v = 100.0 * softirq / tot; break;                      // %soft
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

// Deltas of one disk between two collections.
struct DiskDelta {
    double rdIos = 0, rdSectors = 0, rdTicks = 0, wrIos = 0, wrSectors = 0, wrTicks = 0, ioTicks = 0, queue = 0;
    bool add(const DiskStat& c, const DiskStat& p)
    {
        double d[8];
        if (!delta(c.rdIos, p.rdIos, d[0]) || !delta(c.rdSectors, p.rdSectors, d[1]) ||
            !delta(c.rdTicks, p.rdTicks, d[2]) || !delta(c.wrIos, p.wrIos, d[3]) ||
            !delta(c.wrSectors, p.wrSectors, d[4]) || !delta(c.wrTicks, p.wrTicks, d[5]) ||
            !delta(c.ioTicks, p.ioTicks, d[6]) || !delta(c.timeInQueue, p.timeInQueue, d[7]))
            return false;
        rdIos += d[0]; rdSectors += d[1]; rdTicks += d[2]; wrIos += d[3];
        wrSectors += d[4]; wrTicks += d[5]; ioTicks += d[6]; queue += d[7];
        return true;
    }
};

PdhStatus diskValue(CounterId id, const DiskDelta& d, double disks, double itv, double& v)
{
    switch (id) {
    case CounterId::DiskReads: v = d.rdIos / itv; break;                              // iostat r/s
    case CounterId::DiskWrites: v = d.wrIos / itv; break;                             // iostat w/s
    case CounterId::DiskTransfers: v = (d.rdIos + d.wrIos) / itv; break;              // iostat tps
    case CounterId::DiskReadBytes: v = d.rdSectors * 512.0 / itv; break;              // iostat rkB/s * 1024
    case CounterId::DiskWriteBytes: v = d.wrSectors * 512.0 / itv; break;             // iostat wkB/s * 1024
    case CounterId::DiskBytes: v = (d.rdSectors + d.wrSectors) * 512.0 / itv; break;  // (rkB/s + wkB/s) * 1024
    case CounterId::DiskTime: v = 100.0 * d.ioTicks / (itv * 1000.0) / disks; break;  // iostat %util (mean over disks)
    case CounterId::DiskIdleTime:                                                     // 100 - iostat %util
        v = std::max(0.0, 100.0 - 100.0 * d.ioTicks / (itv * 1000.0) / disks);
        break;
    case CounterId::DiskAvgQueue: v = d.queue / (itv * 1000.0); break;                // iostat aqu-sz
    case CounterId::DiskSecPerRead: v = d.rdIos > 0 ? d.rdTicks / d.rdIos / 1000.0 : 0.0; break;   // r_await / 1000
    case CounterId::DiskSecPerWrite: v = d.wrIos > 0 ? d.wrTicks / d.wrIos / 1000.0 : 0.0; break;  // w_await / 1000
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

// Deltas of one process between two collections; false when it is not the same process.
struct ProcDelta {
    double utime = 0, stime = 0, faults = 0;
    bool add(const ProcStat& c, const ProcStat& p)
    {
        if (c.pid != p.pid || c.startTime != p.startTime)
            return false;
        double u, s, mi, ma;
        if (!delta(c.utime, p.utime, u) || !delta(c.stime, p.stime, s) || !delta(c.minflt, p.minflt, mi) ||
            !delta(c.majflt, p.majflt, ma))
            return false;
        utime += u;
        stime += s;
        faults += mi + ma;
        return true;
    }
};

} // namespace

bool splitCounterPath(const std::string& path, std::string& machine, std::string& object, std::string& instance,
                      bool& hasInstance, std::string& counter)
{
    machine.clear();
    instance.clear();
    hasInstance = false;
    std::string s = path;
    if (s.compare(0, 2, "\\\\") == 0) {
        size_t end = s.find('\\', 2);
        if (end == std::string::npos)
            return false;
        machine = s.substr(2, end - 2);
        s.erase(0, end);
    }
    if (s.size() < 4 || s[0] != '\\')
        return false;
    size_t last = s.rfind('\\');
    if (last == 0)
        return false;
    counter = s.substr(last + 1);
    std::string part = s.substr(1, last - 1);
    if (counter.empty() || part.empty())
        return false;
    size_t open = part.find('(');
    if (open != std::string::npos) {
        if (part.back() != ')' || open == 0)
            return false;
        instance = part.substr(open + 1, part.size() - open - 2);
        hasInstance = true;
        part.erase(open);
    }
    object = part;
    return !object.empty();
}

PdhStatus LinuxPerfData::openQuery(PdhHandle& query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto q = std::make_unique<Query>();
    q->roots = currentRoots();
    query = nextHandle_++;
    queries_[query] = std::move(q);
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::closeQuery(PdhHandle query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = queries_.find(query);
    if (it == queries_.end())
        return PDH_INVALID_HANDLE;
    for (PdhHandle c : it->second->counters)
        counters_.erase(c);
    queries_.erase(it);
    return PDH_CSTATUS_VALID_DATA;
}

void LinuxPerfData::recomputeSources(Query& q)
{
    q.sources = 0;
    for (PdhHandle h : q.counters) {
        const CounterEntry& e = counters_[h];
        uint32_t s = e.def->sources;
        if (e.def->id == CounterId::CpuInterrupts && e.instance == "_Total")
            s &= ~static_cast<uint32_t>(SRC_INTERRUPTS);
        q.sources |= s;
    }
}

PdhStatus LinuxPerfData::addCounter(PdhHandle query, const std::string& path, uintptr_t, PdhHandle& counter)
{
    counter = PDH_NULL_HANDLE;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = queries_.find(query);
    if (it == queries_.end())
        return PDH_INVALID_HANDLE;
    std::string machine, objectName, instance, counterName;
    bool hasInstance = false;
    if (path.empty())
        return PDH_CSTATUS_NO_COUNTERNAME;
    if (!splitCounterPath(path, machine, objectName, instance, hasInstance, counterName))
        return PDH_CSTATUS_BAD_COUNTERNAME;
    if (!isLocalMachine(machine))
        return PDH_CSTATUS_NO_MACHINE;
    const ObjectDef* object = findObject(objectName);
    if (object == nullptr)
        return PDH_CSTATUS_NO_OBJECT;
    const CounterDef* def = findCounter(*object, counterName);
    if (def == nullptr)
        return PDH_CSTATUS_NO_COUNTER;
    // An instance that does not exist yet is fine (it may come); a missing
    // or superfluous instance part, or a wildcard, is not.
    if (hasInstance != object->multiInstance || (hasInstance && (instance.empty() || instance == "*")))
        return PDH_CSTATUS_BAD_COUNTERNAME;
    Query& q = *it->second;
    PdhHandle h = nextHandle_++;
    counters_[h] = CounterEntry{&q, object, def, instance};
    q.counters.push_back(h);
    recomputeSources(q);
    counter = h;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::removeCounter(PdhHandle counter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counters_.find(counter);
    if (it == counters_.end())
        return PDH_INVALID_HANDLE;
    Query& q = *it->second.query;
    q.counters.erase(std::remove(q.counters.begin(), q.counters.end(), counter), q.counters.end());
    counters_.erase(it);
    recomputeSources(q);
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::collectQueryData(PdhHandle query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = queries_.find(query);
    if (it == queries_.end())
        return PDH_INVALID_HANDLE;
    Query& q = *it->second;
    if (q.counters.empty())
        return PDH_NO_DATA;
    std::swap(q.previous, q.current);
    collect(q.roots, q.sources, q.current, q.buffer);
    ++q.collections;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::computeValue(const Query& q, const CounterEntry& e, double& v)
{
    if (q.collections == 0)
        return PDH_CSTATUS_INVALID_DATA;
    const Snapshot& cur = q.current;
    const Snapshot* prev = q.collections >= 2 ? &q.previous : nullptr;
    const CounterId id = e.def->id;
    const std::string& inst = e.instance;
    const bool total = inst == "_Total";
    uint32_t need = e.def->sources & ~OPTIONAL_SOURCES;
    if ((cur.read & need) != need)
        return PDH_CSTATUS_NO_OBJECT;
    const bool rate = e.def->rate;
    if (rate && (prev == nullptr || (prev->read & need) != need))
        return PDH_CSTATUS_INVALID_DATA;
    // sysstat's interval: the difference of the two /proc/uptime readings
    double itv = rate && (need & SRC_UPTIME) != 0 ? cur.uptime - prev->uptime : 1.0;
    if (itv <= 0)
        return PDH_CSTATUS_INVALID_DATA;

    switch (e.object->id) {
    case ObjectId::Processor: {
        const CpuTimes* c = byName(cur.cpus, inst);
        if (c == nullptr)
            return PDH_CSTATUS_NO_INSTANCE;
        const CpuTimes* p = byName(prev->cpus, inst);
        if (p == nullptr)
            return PDH_CSTATUS_INVALID_DATA;
        if (id == CounterId::CpuInterrupts && total) {
            double d = 0;
            if (!delta(cur.interruptsTotal, prev->interruptsTotal, d))
                return PDH_CSTATUS_INVALID_DATA;
            v = d / itv;  // sar -I SUM intr/s: first number of the intr line / interval
            return PDH_CSTATUS_VALID_DATA;
        }
        return processorValue(id, *c, *p, itv, total, v);
    }
    case ObjectId::System:
        switch (id) {
        case CounterId::SysQueueLength: v = cur.running > 0 ? double(cur.running - 1) : 0.0; break; // sar -q runq-sz: running tasks less the reader
        case CounterId::SysProcesses: v = double(cur.processCount); break;                         // number of /proc/<pid> entries
        case CounterId::SysThreads: v = double(cur.tasks); break;                                   // sar -q plist-sz: tasks of /proc/loadavg
        case CounterId::SysContextSwitches: {                                                       // sar -w cswch/s
            double d = 0;
            if (!delta(cur.contextSwitches, prev->contextSwitches, d))
                return PDH_CSTATUS_INVALID_DATA;
            v = d / itv;
            break;
        }
        case CounterId::SysUpTime: v = cur.uptime; break;  // first field of /proc/uptime
        default: return PDH_CSTATUS_NO_COUNTER;
        }
        return PDH_CSTATUS_VALID_DATA;
    case ObjectId::Memory: {
        switch (id) {
        case CounterId::MemAvailableBytes:
        case CounterId::MemAvailableKBytes:
        case CounterId::MemAvailableMBytes:
            if (!cur.hasMemAvailable)
                return PDH_CSTATUS_NO_COUNTER;
            // sar -r kbavail (MemAvailable), in bytes, kB, MB
            v = id == CounterId::MemAvailableBytes    ? double(cur.memAvailable) * 1024.0
                : id == CounterId::MemAvailableKBytes ? double(cur.memAvailable)
                                                      : double(cur.memAvailable) / 1024.0;
            return PDH_CSTATUS_VALID_DATA;
        case CounterId::MemCommittedBytes:
            if (!cur.hasCommittedAs)
                return PDH_CSTATUS_NO_COUNTER;
            v = double(cur.committedAs) * 1024.0;  // sar -r kbcommit (Committed_AS)
            return PDH_CSTATUS_VALID_DATA;
        case CounterId::MemCommitLimit:
        case CounterId::MemCommittedInUse: {
            if (!cur.hasMemTotal || !cur.hasSwap || (id == CounterId::MemCommittedInUse && !cur.hasCommittedAs))
                return PDH_CSTATUS_NO_COUNTER;
            double limit = double(cur.memTotal + cur.swapTotal);
            if (id == CounterId::MemCommitLimit)
                v = limit * 1024.0;  // sar -r %commit denominator: MemTotal + SwapTotal
            else
                v = limit > 0 ? 100.0 * double(cur.committedAs) / limit : 0.0;  // sar -r %commit
            return PDH_CSTATUS_VALID_DATA;
        }
        case CounterId::MemCacheBytes:
            if (!cur.hasCached)
                return PDH_CSTATUS_NO_COUNTER;
            v = double(cur.cached) * 1024.0;  // sar -r kbcached (Cached)
            return PDH_CSTATUS_VALID_DATA;
        default:
            break;
        }
        if (!cur.hasVmstat || !prev->hasVmstat)
            return PDH_CSTATUS_NO_COUNTER;
        double fault, in, out;
        if (!delta(cur.pgfault, prev->pgfault, fault) || !delta(cur.pgpgin, prev->pgpgin, in) ||
            !delta(cur.pgpgout, prev->pgpgout, out))
            return PDH_CSTATUS_INVALID_DATA;
        const double pagesPerKb = 1024.0 / double(pageSizeBytes());
        switch (id) {
        case CounterId::MemPageFaults: v = fault / itv; break;                      // sar -B fault/s
        case CounterId::MemPagesInput: v = in * pagesPerKb / itv; break;            // sar -B pgpgin/s in pages
        case CounterId::MemPagesOutput: v = out * pagesPerKb / itv; break;          // sar -B pgpgout/s in pages
        case CounterId::MemPages: v = (in + out) * pagesPerKb / itv; break;         // (pgpgin/s + pgpgout/s) in pages
        default: return PDH_CSTATUS_NO_COUNTER;
        }
        return PDH_CSTATUS_VALID_DATA;
    }
    case ObjectId::PagingFile:
        if (!total)
            return PDH_CSTATUS_NO_INSTANCE;
        if (!cur.hasSwap)
            return PDH_CSTATUS_NO_COUNTER;
        // sar -S %swpused: (SwapTotal - SwapFree) / SwapTotal
        v = cur.swapTotal > 0 ? 100.0 * double(cur.swapTotal - std::min(cur.swapFree, cur.swapTotal)) /
                                    double(cur.swapTotal)
                              : 0.0;
        return PDH_CSTATUS_VALID_DATA;
    case ObjectId::PhysicalDisk: {
        if (id == CounterId::DiskCurrentQueue) {
            uint64_t sum = 0;
            if (total) {
                for (const DiskStat& d : cur.disks)
                    sum += d.inFlight;
            } else {
                const DiskStat* d = byName(cur.disks, inst);
                if (d == nullptr)
                    return PDH_CSTATUS_NO_INSTANCE;
                sum = d->inFlight;
            }
            v = double(sum);  // diskstats field 9: I/Os in progress
            return PDH_CSTATUS_VALID_DATA;
        }
        DiskDelta d;
        double disks = 0;
        if (total) {
            // _Total adds the disks seen in both collections
            for (const DiskStat& c : cur.disks) {
                const DiskStat* p = byName(prev->disks, c.name);
                if (p != nullptr) {
                    if (!d.add(c, *p))
                        return PDH_CSTATUS_INVALID_DATA;
                    disks += 1;
                }
            }
            if (disks == 0) {
                v = id == CounterId::DiskIdleTime ? 100.0 : 0.0;
                return PDH_CSTATUS_VALID_DATA;
            }
        } else {
            const DiskStat* c = byName(cur.disks, inst);
            if (c == nullptr)
                return PDH_CSTATUS_NO_INSTANCE;
            const DiskStat* p = byName(prev->disks, inst);
            if (p == nullptr || !d.add(*c, *p))
                return PDH_CSTATUS_INVALID_DATA;
            disks = 1;
        }
        return diskValue(id, d, disks, itv, v);
    }
    case ObjectId::LogicalDisk: {
        double size = 0, free = 0;
        if (total) {
            for (const MountSpace& m : cur.mounts) {
                size += double(m.totalBytes);
                free += double(m.freeBytes);
            }
        } else {
            const MountSpace* m = mountByName(cur.mounts, inst);
            if (m == nullptr)
                return PDH_CSTATUS_NO_INSTANCE;
            size = double(m->totalBytes);
            free = double(m->freeBytes);
        }
        if (id == CounterId::LdFreeSpace)
            v = size > 0 ? 100.0 * free / size : 0.0;  // 100 - sar -F %fsused (f_bfree / f_blocks)
        else
            v = free / 1048576.0;  // sar -F MBfsfree (f_bfree * f_frsize)
        return PDH_CSTATUS_VALID_DATA;
    }
    case ObjectId::NetworkInterface: {
        const NetStat* c = byName(cur.nets, inst);
        if (c == nullptr)
            return PDH_CSTATUS_NO_INSTANCE;
        if (id == CounterId::NetReceiveErrors) {
            v = double(c->rxErrors);  // receive errs of /proc/net/dev, since boot
            return PDH_CSTATUS_VALID_DATA;
        }
        if (id == CounterId::NetBandwidth) {
            v = c->speedMbps > 0 ? double(c->speedMbps) * 1e6 : 0.0;  // /sys/class/net/<if>/speed (Mb/s) in bit/s
            return PDH_CSTATUS_VALID_DATA;
        }
        const NetStat* p = byName(prev->nets, inst);
        if (p == nullptr)
            return PDH_CSTATUS_INVALID_DATA;
        double rxB, txB, rxP, txP;
        if (!delta(c->rxBytes, p->rxBytes, rxB) || !delta(c->txBytes, p->txBytes, txB) ||
            !delta(c->rxPackets, p->rxPackets, rxP) || !delta(c->txPackets, p->txPackets, txP))
            return PDH_CSTATUS_INVALID_DATA;
        switch (id) {
        case CounterId::NetBytesReceived: v = rxB / itv; break;         // sar -n DEV rxkB/s * 1024
        case CounterId::NetBytesSent: v = txB / itv; break;             // sar -n DEV txkB/s * 1024
        case CounterId::NetBytesTotal: v = (rxB + txB) / itv; break;    // (rxkB/s + txkB/s) * 1024
        case CounterId::NetPackets: v = (rxP + txP) / itv; break;       // rxpck/s + txpck/s
        case CounterId::NetPacketsReceived: v = rxP / itv; break;       // sar -n DEV rxpck/s
        case CounterId::NetPacketsSent: v = txP / itv; break;           // sar -n DEV txpck/s
        default: return PDH_CSTATUS_NO_COUNTER;
        }
        return PDH_CSTATUS_VALID_DATA;
    }
    case ObjectId::Process: {
        const double hz = double(clockTicksPerSecond());
        const double page = double(pageSizeBytes());
        const ProcStat* c = nullptr;
        if (!total) {
            c = processByInstance(cur.processes, inst);
            if (c == nullptr)
                return PDH_CSTATUS_NO_INSTANCE;
        }
        if (rate) {
            ProcDelta d;
            if (total) {
                // _Total adds the processes that lived through both collections;
                // both lists are in process-id order
                auto pp = prev->processes.begin();
                for (const ProcStat& pc : cur.processes) {
                    while (pp != prev->processes.end() && pp->pid < pc.pid)
                        ++pp;
                    if (pp != prev->processes.end() && pp->pid == pc.pid)
                        d.add(pc, *pp);
                }
            } else {
                const ProcStat* p = processByInstance(prev->processes, inst);
                if (p == nullptr || !d.add(*c, *p))
                    return PDH_CSTATUS_INVALID_DATA;
            }
            switch (id) {
            case CounterId::ProcProcessorTime: v = 100.0 * (d.utime + d.stime) / hz / itv; break; // pidstat %CPU
            case CounterId::ProcUserTime: v = 100.0 * d.utime / hz / itv; break;                  // pidstat %usr
            case CounterId::ProcPrivilegedTime: v = 100.0 * d.stime / hz / itv; break;            // pidstat %system
            case CounterId::ProcPageFaults: v = d.faults / itv; break;                            // pidstat minflt/s + majflt/s
            default: return PDH_CSTATUS_NO_COUNTER;
            }
            return PDH_CSTATUS_VALID_DATA;
        }
        double sum = 0;
        bool anyMissing = false;
        auto each = [&](const ProcStat& p) {
            switch (id) {
            case CounterId::ProcWorkingSet: sum += double(p.rssPages) * page; break;  // pidstat RSS (stat field 24) in bytes
            case CounterId::ProcPrivateBytes:                                          // (statm resident - shared) pages
                if (p.hasStatm && p.statmResident >= p.statmShared)
                    sum += double(p.statmResident - p.statmShared) * page;
                else
                    anyMissing = true;
                break;
            case CounterId::ProcVirtualBytes: sum += double(p.vsize); break;   // pidstat VSZ (stat field 23) in bytes
            case CounterId::ProcThreadCount: sum += double(p.threads); break;  // pidstat -t threads (stat field 20)
            case CounterId::ProcHandleCount:                                   // entries of /proc/<pid>/fd
                if (p.fdCount >= 0)
                    sum += double(p.fdCount);
                else
                    anyMissing = true;
                break;
            case CounterId::ProcId: sum += total ? 0.0 : double(p.pid); break;
            case CounterId::ProcElapsedTime:  // ps etime: uptime - start time (stat field 22) / HZ
                if (!total)
                    sum += std::max(0.0, cur.uptime - double(p.startTime) / hz);
                break;
            default: break;
            }
        };
        if (total) {
            for (const ProcStat& p : cur.processes)
                each(p);
            // a process whose figures are not readable (another user's) counts as none
            anyMissing = false;
        } else {
            each(*c);
        }
        if (anyMissing)
            return PDH_CSTATUS_INVALID_DATA;
        v = sum;
        return PDH_CSTATUS_VALID_DATA;
    }
    }
    return PDH_CSTATUS_NO_COUNTER;
}

PdhStatus LinuxPerfData::getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type,
                                           PdhFmtCounterValue& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    value = PdhFmtCounterValue();
    auto it = counters_.find(counter);
    if (it == counters_.end())
        return PDH_INVALID_HANDLE;
    uint32_t kind = format & FORMAT_MASK;
    if (kind != PDH_FMT_DOUBLE && kind != PDH_FMT_LARGE && kind != PDH_FMT_LONG)
        return PDH_INVALID_ARGUMENT;
    const CounterEntry& e = it->second;
    if (type != nullptr)
        *type = !e.def->rate ? TYPE_RAW : e.def->percent ? TYPE_PERCENT : TYPE_RATE;
    double v = 0.0;
    PdhStatus cs = computeValue(*e.query, e, v);
    value.cStatus = cs;
    if (cs != PDH_CSTATUS_VALID_DATA)
        return PDH_INVALID_DATA;
    if (e.def->percent && (format & PDH_FMT_NOCAP100) == 0 && v > 100.0)
        v = 100.0;
    value.doubleValue = kind == PDH_FMT_DOUBLE ? v : 0.0;
    value.largeValue = kind == PDH_FMT_LARGE ? static_cast<int64_t>(v) : 0;
    value.longValue = kind == PDH_FMT_LONG ? static_cast<int32_t>(std::min(v, 2147483647.0)) : 0;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::lookupNameByIndex(const char* machine, uint32_t index, char* buffer, uint32_t& size)
{
    if (machine != nullptr && !isLocalMachine(machine))
        return PDH_CSTATUS_NO_MACHINE;
    // On Linux the current language is English.
    for (const auto& entry : nameTable()) {
        if (entry.first != index)
            continue;
        uint32_t needed = static_cast<uint32_t>(entry.second.size() + 1);
        if (buffer == nullptr || size < needed) {
            size = needed;
            return PDH_MORE_DATA;
        }
        std::memcpy(buffer, entry.second.c_str(), needed);
        size = needed;
        return PDH_CSTATUS_VALID_DATA;
    }
    return PDH_INVALID_ARGUMENT;
}

uint32_t LinuxPerfData::englishNameTable(char* buffer, uint32_t& size)
{
    std::string bytes;
    const auto& table = nameTable();
    // Index 1 holds the highest index in use, as on Windows.
    bytes += "1";
    bytes += '\0';
    bytes += std::to_string(table.empty() ? 0 : table.back().first);
    bytes += '\0';
    for (const auto& entry : table) {
        bytes += std::to_string(entry.first);
        bytes += '\0';
        bytes += entry.second;
        bytes += '\0';
    }
    bytes += '\0';
    uint32_t needed = static_cast<uint32_t>(bytes.size());
    if (buffer == nullptr || size < needed) {
        size = needed;
        return PERF_ERROR_MORE_DATA;
    }
    std::memcpy(buffer, bytes.data(), needed);
    size = needed;
    return PERF_ERROR_SUCCESS;
}

PdhStatus LinuxPerfData::enumObjects(std::vector<std::string>& objects)
{
    objects.clear();
    for (const ObjectDef& o : catalogue())
        objects.push_back(o.name);
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::enumObjectItems(const std::string& objectName, std::vector<std::string>& counters,
                                         std::vector<std::string>& instances)
{
    counters.clear();
    instances.clear();
    const ObjectDef* object = findObject(objectName);
    if (object == nullptr)
        return PDH_CSTATUS_NO_OBJECT;
    for (const CounterDef& c : object->counters)
        counters.push_back(c.name);
    if (!object->multiInstance)
        return PDH_CSTATUS_VALID_DATA;
    uint32_t sources = 0;
    switch (object->id) {
    case ObjectId::Processor: sources = SRC_STAT; break;
    case ObjectId::PhysicalDisk: sources = SRC_DISKSTATS; break;
    case ObjectId::LogicalDisk: sources = SRC_MOUNTS; break;
    case ObjectId::NetworkInterface: sources = SRC_NETDEV; break;
    case ObjectId::Process: sources = SRC_PROCESSES; break;
    default: break;
    }
    Snapshot snap;
    std::string buffer;
    if (sources != 0)
        collect(currentRoots(), sources, snap, buffer);
    bool withTotal = true;
    switch (object->id) {
    case ObjectId::Processor:
        for (const CpuTimes& c : snap.cpus)
            if (c.name != "_Total")
                instances.push_back(c.name);
        break;
    case ObjectId::PhysicalDisk:
        for (const DiskStat& d : snap.disks)
            instances.push_back(d.name);
        break;
    case ObjectId::LogicalDisk:
        for (const MountSpace& m : snap.mounts)
            instances.push_back(m.mountPoint);
        break;
    case ObjectId::NetworkInterface:
        withTotal = false;
        for (const NetStat& n : snap.nets)
            instances.push_back(n.name);
        break;
    case ObjectId::Process:
        for (const ProcStat& p : snap.processes)
            instances.push_back(p.instance);
        break;
    default:
        break;
    }
    if (withTotal)
        instances.push_back("_Total");
    return PDH_CSTATUS_VALID_DATA;
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
