// The formulas of the Linux backend's counters, one function per object,
// each from the last two collections. Each formula is given in one line next
// to its code, with the sysstat figure it agrees with where there is one.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

using C = CounterId;

template <class T>
const T* byName(const std::vector<T>& list, const std::string& name)
{
    for (const T& item : list)
        if (item.name == name)
            return &item;
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

PdhStatus rateOf(uint64_t now, uint64_t before, double itv, double& v)
{
    double d = 0;
    if (!delta(now, before, d))
        return PDH_CSTATUS_INVALID_DATA;
    v = d / itv;
    return PDH_CSTATUS_VALID_DATA;
}

// ---- Processor ----

// Linux's per-processor idle and iowait step back now and then: such a
// field counts 0 for the interval, which then comes from the other fields.
// Any other field that steps back leaves the processor without a value.
bool cpuDeltas(const CpuTimes& c, const CpuTimes& p, double d[8])
{
    const uint64_t now[8] = {c.user, c.nice, c.system, c.idle, c.iowait, c.irq, c.softirq, c.steal};
    const uint64_t before[8] = {p.user, p.nice, p.system, p.idle, p.iowait, p.irq, p.softirq, p.steal};
    for (int i = 0; i < 8; ++i) {
        if (now[i] >= before[i])
            d[i] = static_cast<double>(now[i] - before[i]);
        else if (i == 3 || i == 4)
            d[i] = 0.0;
        else
            return false;
    }
    return true;
}

PdhStatus perCpuCount(const ValueInput& in, const CpuTimes& c, const CpuTimes& p, double& v)
{
    const bool interrupts = in.id == C::CpuInterrupts;
    if (in.total)  // sar -I SUM intr/s: first number of the intr line; softirq line likewise
        return interrupts ? rateOf(in.cur.interruptsTotal, in.prev->interruptsTotal, in.itv, v)
                          : rateOf(in.cur.softirqsTotal, in.prev->softirqsTotal, in.itv, v);
    if (interrupts ? !(c.hasInterrupts && p.hasInterrupts) : !(c.hasSoftirqs && p.hasSoftirqs))
        return PDH_CSTATUS_NO_COUNTER;
    // mpstat -I SUM (-I SCPU): the processor's column of /proc/interrupts (/proc/softirqs) / interval
    return interrupts ? rateOf(c.interrupts, p.interrupts, in.itv, v) : rateOf(c.softirqs, p.softirqs, in.itv, v);
}

} // namespace

PdhStatus processorValue(const ValueInput& in, double& v)
{
    const CpuTimes* c = byName(in.cur.cpus, in.instance);
    if (c == nullptr)
        return PDH_CSTATUS_NO_INSTANCE;
    const CpuTimes* p = byName(in.prev->cpus, in.instance);
    if (p == nullptr)
        return PDH_CSTATUS_INVALID_DATA;
    if (in.id == C::CpuInterrupts || in.id == C::CpuDpcsQueued)
        return perCpuCount(in, *c, *p, v);
    double d[8];
    if (!cpuDeltas(*c, *p, d))
        return PDH_CSTATUS_INVALID_DATA;
    const double user = d[0], nice = d[1], system = d[2], idle = d[3], iowait = d[4], irq = d[5], softirq = d[6];
    // sar -u interval: user+nice+system+idle+iowait+irq+softirq+steal (guest is inside user)
    const double tot = user + nice + system + idle + iowait + irq + softirq + d[7];
    if (tot <= 0) {
        // no tick at all: a tickless idle processor, shown idle as sar does
        v = in.id == C::CpuIdleTime ? 100.0 : 0.0;
        return PDH_CSTATUS_VALID_DATA;
    }
    switch (in.id) {
    case C::CpuProcessorTime: v = 100.0 * (tot - idle - iowait) / tot; break;      // 100 - %idle - %iowait
    case C::CpuIdleTime: v = 100.0 * (idle + iowait) / tot; break;                 // %idle + %iowait
    case C::CpuUserTime: v = 100.0 * (user + nice) / tot; break;                   // %usr + %nice (guest inside)
    case C::CpuPrivilegedTime: v = 100.0 * (system + irq + softirq) / tot; break;  // %sys + %irq + %soft
    case C::CpuInterruptTime: v = 100.0 * irq / tot; break;                        // %irq
    case C::CpuDpcTime: v = 100.0 * softirq / tot; break;                          // %soft
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

namespace {

// Deltas of one process between two collections; false when it is not the same process.
struct ProcDelta {
    double utime = 0, stime = 0, faults = 0, readChars = 0, writeChars = 0, readCalls = 0, writeCalls = 0;
    bool io = true;  // io deltas known

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
        double rc, wc, rs, ws;
        if (c.hasIo && p.hasIo && delta(c.readChars, p.readChars, rc) && delta(c.writeChars, p.writeChars, wc) &&
            delta(c.readCalls, p.readCalls, rs) && delta(c.writeCalls, p.writeCalls, ws)) {
            readChars += rc;
            writeChars += wc;
            readCalls += rs;
            writeCalls += ws;
        } else {
            io = false;
        }
        return true;
    }
};

// Adds every process that lived through both collections; both lists are in process-id order.
ProcDelta allProcesses(const Snapshot& cur, const Snapshot& prev)
{
    ProcDelta d;
    auto pp = prev.processes.begin();
    for (const ProcStat& pc : cur.processes) {
        while (pp != prev.processes.end() && pp->pid < pc.pid)
            ++pp;
        if (pp != prev.processes.end() && pp->pid == pc.pid) {
            ProcDelta one;
            // a process whose io cannot be read (another user's) adds nothing to the io sums
            if (one.add(pc, *pp)) {
                d.utime += one.utime;
                d.stime += one.stime;
                d.faults += one.faults;
                if (one.io) {
                    d.readChars += one.readChars;
                    d.writeChars += one.writeChars;
                    d.readCalls += one.readCalls;
                    d.writeCalls += one.writeCalls;
                }
            }
        }
    }
    return d;
}

} // namespace

PdhStatus systemValue(const ValueInput& in, double& v)
{
    const Snapshot& cur = in.cur;
    switch (in.id) {
    case C::SysQueueLength: v = cur.running > 0 ? double(cur.running - 1) : 0.0; break;  // sar -q runq-sz: running tasks less the reader
    case C::SysProcesses: v = double(cur.processCount); break;                          // number of /proc/<pid> entries
    case C::SysThreads: v = double(cur.tasks); break;                                    // sar -q plist-sz: tasks of /proc/loadavg
    case C::SysContextSwitches: return rateOf(cur.contextSwitches, in.prev->contextSwitches, in.itv, v);  // sar -w cswch/s
    case C::SysUpTime: v = cur.uptime; break;                                            // first field of /proc/uptime
    case C::SysFileReads: v = allProcesses(cur, *in.prev).readCalls / in.itv; break;     // sum of /proc/<pid>/io syscr deltas / interval
    case C::SysFileWrites: v = allProcesses(cur, *in.prev).writeCalls / in.itv; break;   // sum of /proc/<pid>/io syscw deltas / interval
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

namespace {

// kB of one meminfo field in bytes.
PdhStatus memBytes(const Snapshot& s, MemField f, double& v)
{
    if (!s.hasMem(f))
        return PDH_CSTATUS_NO_COUNTER;
    v = double(s.mem[f]) * 1024.0;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus memorySizes(const ValueInput& in, double& v)
{
    const Snapshot& s = in.cur;
    switch (in.id) {
    case C::MemAvailableBytes: return memBytes(s, MEM_AVAILABLE, v);  // sar -r kbavail (MemAvailable) in bytes
    case C::MemAvailableKBytes: v = double(s.mem[MEM_AVAILABLE]); return s.hasMem(MEM_AVAILABLE) ? 0 : PDH_CSTATUS_NO_COUNTER;
    case C::MemAvailableMBytes: v = double(s.mem[MEM_AVAILABLE]) / 1024.0; return s.hasMem(MEM_AVAILABLE) ? 0 : PDH_CSTATUS_NO_COUNTER;
    case C::MemCommittedBytes: return memBytes(s, MEM_COMMITTED_AS, v);  // sar -r kbcommit (Committed_AS)
    case C::MemCacheBytes: return memBytes(s, MEM_CACHED, v);            // sar -r kbcached (Cached)
    case C::MemFreeZeroList: return memBytes(s, MEM_FREE, v);            // sar -r kbmemfree (MemFree)
    case C::MemStandbyNormal: return memBytes(s, MEM_INACTIVE_FILE, v);  // Inactive(file): clean cache reclaimed first
    case C::MemPoolNonpaged: return memBytes(s, MEM_SUNRECLAIM, v);      // SUnreclaim: kernel slab that cannot be freed
    case C::MemPoolPaged:  // KReclaimable (SReclaimable before 4.20): kernel memory that can be freed
        return memBytes(s, s.hasMem(MEM_KRECLAIMABLE) ? MEM_KRECLAIMABLE : MEM_SRECLAIMABLE, v);
    case C::MemModifiedList:  // sar -r kbdirty: Dirty + Writeback
        if (!s.hasMem(MEM_DIRTY) || !s.hasMem(MEM_WRITEBACK))
            return PDH_CSTATUS_NO_COUNTER;
        v = double(s.mem[MEM_DIRTY] + s.mem[MEM_WRITEBACK]) * 1024.0;
        return PDH_CSTATUS_VALID_DATA;
    default: break;
    }
    if (!s.hasMem(MEM_TOTAL) || !s.hasMem(MEM_SWAP_TOTAL) || !s.hasMem(MEM_COMMITTED_AS))
        return PDH_CSTATUS_NO_COUNTER;
    const double limit = double(s.mem[MEM_TOTAL] + s.mem[MEM_SWAP_TOTAL]);
    if (in.id == C::MemCommitLimit)
        v = limit * 1024.0;  // sar -r %commit denominator: MemTotal + SwapTotal
    else
        v = limit > 0 ? 100.0 * double(s.mem[MEM_COMMITTED_AS]) / limit : 0.0;  // sar -r %commit
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus vmRate(const ValueInput& in, VmField f, double& v)
{
    if (!in.cur.hasVm(f) || !in.prev->hasVm(f))
        return PDH_CSTATUS_NO_COUNTER;
    return rateOf(in.cur.vm[f], in.prev->vm[f], in.itv, v);
}

} // namespace

PdhStatus memoryValue(const ValueInput& in, double& v)
{
    const double pagesPerKb = 1024.0 / double(pageSizeBytes());
    double a = 0, b = 0;
    PdhStatus s = PDH_CSTATUS_VALID_DATA;
    switch (in.id) {
    case C::MemPageFaults: return vmRate(in, VM_PGFAULT, v);   // sar -B fault/s
    case C::MemPageReads: return vmRate(in, VM_PGMAJFAULT, v); // sar -B majflt/s: faults that read the disk
    case C::MemPageWrites: return vmRate(in, VM_PSWPOUT, v);   // sar -W pswpout/s: pages written to swap
    case C::MemPagesInput: s = vmRate(in, VM_PGPGIN, a); v = a * pagesPerKb; return s;    // sar -B pgpgin/s in pages
    case C::MemPagesOutput: s = vmRate(in, VM_PGPGOUT, a); v = a * pagesPerKb; return s;  // sar -B pgpgout/s in pages
    case C::MemPages:  // (pgpgin/s + pgpgout/s) in pages
        if ((s = vmRate(in, VM_PGPGIN, a)) == 0 && (s = vmRate(in, VM_PGPGOUT, b)) == 0)
            v = (a + b) * pagesPerKb;
        return s;
    case C::MemTransitionFaults:  // sar -B fault/s - majflt/s: minor faults
        if ((s = vmRate(in, VM_PGFAULT, a)) == 0 && (s = vmRate(in, VM_PGMAJFAULT, b)) == 0)
            v = std::max(0.0, a - b);
        return s;
    default: return memorySizes(in, v);
    }
}

bool swapUsage(const Snapshot& s, double& percent)
{
    if (!s.hasMem(MEM_SWAP_TOTAL) || !s.hasMem(MEM_SWAP_FREE))
        return false;
    const uint64_t total = s.mem[MEM_SWAP_TOTAL];
    // sar -S %swpused: (SwapTotal - SwapFree) / SwapTotal
    percent = total > 0 ? 100.0 * double(total - std::min(s.mem[MEM_SWAP_FREE], total)) / double(total) : 0.0;
    return true;
}

namespace {

// ---- disks ----

struct DiskDelta {
    double d[DISK_FIELDS] = {};
    uint32_t bad = 0;  // bit per field that went backwards
};

// A device whose I/O count went back was removed and added again: it is
// rated from zero. Otherwise a field that went back makes only the counters
// that use it invalid.
DiskDelta diskDelta(const DiskStat& c, const DiskStat& p)
{
    auto ios = [](const DiskStat& s) { return s.f[RD_IOS] + s.f[WR_IOS] + s.f[DC_IOS] + s.f[FL_IOS]; };
    const bool fresh = ios(c) < ios(p);
    DiskDelta r;
    for (int i = 0; i < DISK_FIELDS; ++i) {
        const uint64_t base = fresh ? 0 : p.f[i];
        if (c.f[i] >= base)
            r.d[i] = double(c.f[i] - base);
        else
            r.bad |= 1u << i;
    }
    return r;
}

constexpr uint32_t bit(DiskField f) { return 1u << f; }

uint32_t diskFieldsOf(CounterId id)
{
    const uint32_t ios = bit(RD_IOS) | bit(WR_IOS);
    switch (id) {
    case C::DiskReads: return bit(RD_IOS);
    case C::DiskWrites: return bit(WR_IOS);
    case C::DiskTransfers: return ios;
    case C::DiskReadBytes: return bit(RD_SECTORS);
    case C::DiskWriteBytes: return bit(WR_SECTORS);
    case C::DiskBytes: return bit(RD_SECTORS) | bit(WR_SECTORS);
    case C::DiskTime: case C::DiskIdleTime: return bit(IO_TICKS);
    case C::DiskAvgQueue: return bit(QUEUE_TICKS);
    case C::DiskReadTime: case C::DiskAvgReadQueue: return bit(RD_TICKS);
    case C::DiskWriteTime: case C::DiskAvgWriteQueue: return bit(WR_TICKS);
    case C::DiskSecPerRead: return bit(RD_TICKS) | bit(RD_IOS);
    case C::DiskSecPerWrite: return bit(WR_TICKS) | bit(WR_IOS);
    case C::DiskSecPerTransfer: return bit(RD_TICKS) | bit(WR_TICKS) | ios;
    case C::DiskBytesPerRead: return bit(RD_SECTORS) | bit(RD_IOS);
    case C::DiskBytesPerWrite: return bit(WR_SECTORS) | bit(WR_IOS);
    case C::DiskBytesPerTransfer: return bit(RD_SECTORS) | bit(WR_SECTORS) | ios;
    default: return 0;
    }
}

double ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

// d: deltas summed over n devices; itv in seconds, the tick fields in ms.
PdhStatus diskFormula(CounterId id, const double* d, double n, double itv, double& v)
{
    const double ms = itv * 1000.0, ios = d[RD_IOS] + d[WR_IOS], sectors = d[RD_SECTORS] + d[WR_SECTORS];
    switch (id) {
    case C::DiskReads: v = d[RD_IOS] / itv; break;                                  // iostat r/s
    case C::DiskWrites: v = d[WR_IOS] / itv; break;                                 // iostat w/s
    case C::DiskTransfers: v = ios / itv; break;                                    // r/s + w/s (iostat's tps also counts discards)
    case C::DiskReadBytes: v = d[RD_SECTORS] * 512.0 / itv; break;                  // iostat rkB/s * 1024
    case C::DiskWriteBytes: v = d[WR_SECTORS] * 512.0 / itv; break;                 // iostat wkB/s * 1024
    case C::DiskBytes: v = sectors * 512.0 / itv; break;                            // (rkB/s + wkB/s) * 1024
    case C::DiskTime: v = 100.0 * d[IO_TICKS] / ms / n; break;                      // iostat %util (mean over devices)
    case C::DiskIdleTime: v = std::max(0.0, 100.0 - 100.0 * d[IO_TICKS] / ms / n); break;  // 100 - iostat %util
    case C::DiskReadTime: v = 100.0 * d[RD_TICKS] / ms / n; break;                  // 100 * read ticks / interval (mean)
    case C::DiskWriteTime: v = 100.0 * d[WR_TICKS] / ms / n; break;                 // 100 * write ticks / interval (mean)
    case C::DiskAvgQueue: v = d[QUEUE_TICKS] / ms; break;                           // iostat aqu-sz
    case C::DiskAvgReadQueue: v = d[RD_TICKS] / ms; break;                          // iostat r_await * r/s / 1000
    case C::DiskAvgWriteQueue: v = d[WR_TICKS] / ms; break;                         // iostat w_await * w/s / 1000
    case C::DiskSecPerRead: v = ratio(d[RD_TICKS], d[RD_IOS]) / 1000.0; break;      // iostat r_await / 1000
    case C::DiskSecPerWrite: v = ratio(d[WR_TICKS], d[WR_IOS]) / 1000.0; break;     // iostat w_await / 1000
    case C::DiskSecPerTransfer: v = ratio(d[RD_TICKS] + d[WR_TICKS], ios) / 1000.0; break;  // (read + write ticks) / (r + w) / 1000
    case C::DiskBytesPerRead: v = ratio(d[RD_SECTORS] * 512.0, d[RD_IOS]); break;   // iostat rareq-sz * 1024
    case C::DiskBytesPerWrite: v = ratio(d[WR_SECTORS] * 512.0, d[WR_IOS]); break;  // iostat wareq-sz * 1024
    case C::DiskBytesPerTransfer: v = ratio(sectors * 512.0, ios); break;           // bytes / (r + w)
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

using DevicePairs = std::vector<std::pair<const DiskStat*, const DiskStat*>>;

// The rate counters of one device or the sum of several: a device whose
// inputs of this counter cannot be trusted is left out of the sum.
PdhStatus diskRates(CounterId id, const DevicePairs& pairs, double itv, double& v)
{
    if (pairs.empty()) {
        v = id == C::DiskIdleTime ? 100.0 : 0.0;  // no device: nothing busy
        return PDH_CSTATUS_VALID_DATA;
    }
    const uint32_t needs = diskFieldsOf(id);
    double sum[DISK_FIELDS] = {};
    double n = 0;
    for (const auto& pair : pairs) {
        if (pair.second == nullptr)
            continue;  // new since the last collection
        DiskDelta dd = diskDelta(*pair.first, *pair.second);
        if ((dd.bad & needs) != 0)
            continue;
        for (int i = 0; i < DISK_FIELDS; ++i)
            sum[i] += dd.d[i];
        n += 1;
    }
    if (n == 0)
        return PDH_CSTATUS_INVALID_DATA;
    return diskFormula(id, sum, n, itv, v);
}

// A whole disk is listed once it has done I/O of any kind.
bool shownDisk(const DiskStat& d)
{
    return d.wholeDisk && d.f[RD_IOS] + d.f[WR_IOS] + d.f[DC_IOS] + d.f[FL_IOS] != 0;
}

PdhStatus deviceValue(const ValueInput& in, const std::vector<const DiskStat*>& devices, double& v)
{
    if (in.id == C::DiskCurrentQueue) {
        uint64_t sum = 0;
        for (const DiskStat* d : devices)
            sum += d->inFlight;  // diskstats field 9: I/Os in progress
        v = double(sum);
        return PDH_CSTATUS_VALID_DATA;
    }
    DevicePairs pairs;
    for (const DiskStat* d : devices)
        pairs.emplace_back(d, byName(in.prev->disks, d->name));
    if (!in.total && pairs[0].second == nullptr)
        return PDH_CSTATUS_INVALID_DATA;
    return diskRates(in.id, pairs, in.itv, v);
}

} // namespace

PdhStatus physicalDiskValue(const ValueInput& in, double& v)
{
    std::vector<const DiskStat*> devices;
    for (const DiskStat& d : in.cur.disks)
        if (shownDisk(d) && (in.total || d.name == in.instance))
            devices.push_back(&d);
    if (!in.total && devices.empty())
        return PDH_CSTATUS_NO_INSTANCE;
    return deviceValue(in, devices, v);
}

PdhStatus logicalDiskValue(const ValueInput& in, double& v)
{
    double size = 0, free = 0;
    std::vector<const DiskStat*> devices;
    bool found = false;
    for (const MountSpace& m : in.cur.mounts) {
        if (!in.total && m.mountPoint != in.instance)
            continue;
        found = true;
        size += double(m.totalBytes);
        free += double(m.freeBytes);
        const DiskStat* d = byName(in.cur.disks, m.device);
        // a device under two mount points counts once
        if (d != nullptr && std::find(devices.begin(), devices.end(), d) == devices.end())
            devices.push_back(d);
    }
    if (!found && !in.total)
        return PDH_CSTATUS_NO_INSTANCE;
    if (in.id == C::LdFreeSpace) {
        v = size > 0 ? 100.0 * free / size : 0.0;  // 100 - sar -F %fsused (f_bfree / f_blocks)
        return PDH_CSTATUS_VALID_DATA;
    }
    if (in.id == C::LdFreeMegabytes) {
        v = free / 1048576.0;  // sar -F MBfsfree (f_bfree * f_frsize)
        return PDH_CSTATUS_VALID_DATA;
    }
    if (!in.total && devices.empty())
        return PDH_CSTATUS_INVALID_DATA;  // no I/O figures for its device
    return deviceValue(in, devices, v);
}

namespace {

// ---- network ----

constexpr uint32_t nbit(NetField f) { return 1u << f; }

uint32_t netFieldsOf(CounterId id)
{
    switch (id) {
    case C::NetBytesReceived: return nbit(RX_BYTES);
    case C::NetBytesSent: return nbit(TX_BYTES);
    case C::NetBytesTotal: return nbit(RX_BYTES) | nbit(TX_BYTES);
    case C::NetPackets: return nbit(RX_PACKETS) | nbit(TX_PACKETS);
    case C::NetPacketsReceived: return nbit(RX_PACKETS);
    case C::NetPacketsSent: return nbit(TX_PACKETS);
    default: return 0;
    }
}

} // namespace

PdhStatus networkValue(const ValueInput& in, double& v)
{
    const NetStat* c = byName(in.cur.nets, in.instance);
    if (c == nullptr)
        return PDH_CSTATUS_NO_INSTANCE;
    switch (in.id) {
    case C::NetReceiveErrors: v = double(c->f[RX_ERRORS]); return PDH_CSTATUS_VALID_DATA;     // receive errs of /proc/net/dev, since boot
    case C::NetOutboundErrors: v = double(c->f[TX_ERRORS]); return PDH_CSTATUS_VALID_DATA;    // transmit errs, since boot
    case C::NetReceiveDiscards: v = double(c->f[RX_DROP]); return PDH_CSTATUS_VALID_DATA;     // receive drop, since boot
    case C::NetOutboundDiscards: v = double(c->f[TX_DROP]); return PDH_CSTATUS_VALID_DATA;    // transmit drop, since boot
    case C::NetBandwidth:  // /sys/class/net/<if>/speed (Mb/s) in bit/s
        v = c->speedMbps > 0 ? double(c->speedMbps) * 1e6 : 0.0;
        return PDH_CSTATUS_VALID_DATA;
    default: break;
    }
    const NetStat* p = byName(in.prev->nets, in.instance);
    if (p == nullptr)
        return PDH_CSTATUS_INVALID_DATA;
    // packets that went back: the interface was registered again, rated from zero
    const bool fresh = c->f[RX_PACKETS] + c->f[TX_PACKETS] < p->f[RX_PACKETS] + p->f[TX_PACKETS];
    double d[NET_FIELDS] = {};
    const uint32_t needs = netFieldsOf(in.id);
    for (int i = 0; i < NET_FIELDS; ++i) {
        const uint64_t base = fresh ? 0 : p->f[i];
        if ((needs & (1u << i)) != 0 && !delta(c->f[i], base, d[i]))
            return PDH_CSTATUS_INVALID_DATA;
    }
    switch (in.id) {
    case C::NetBytesReceived: v = d[RX_BYTES] / in.itv; break;                     // sar -n DEV rxkB/s * 1024
    case C::NetBytesSent: v = d[TX_BYTES] / in.itv; break;                         // sar -n DEV txkB/s * 1024
    case C::NetBytesTotal: v = (d[RX_BYTES] + d[TX_BYTES]) / in.itv; break;        // (rxkB/s + txkB/s) * 1024
    case C::NetPackets: v = (d[RX_PACKETS] + d[TX_PACKETS]) / in.itv; break;       // rxpck/s + txpck/s
    case C::NetPacketsReceived: v = d[RX_PACKETS] / in.itv; break;                 // sar -n DEV rxpck/s
    case C::NetPacketsSent: v = d[TX_PACKETS] / in.itv; break;                     // sar -n DEV txpck/s
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

namespace {

// ---- processes ----

const ProcStat* processByInstance(const std::vector<ProcStat>& list, const std::string& instance)
{
    for (const ProcStat& p : list)
        if (p.instance == instance)
            return &p;
    return nullptr;
}

// The Windows base priority of a nice value: the priority classes idle (4),
// below normal (6), normal (8), above normal (10), high (13); real-time 24.
double basePriority(const ProcStat& p)
{
    if (p.rtPriority > 0)
        return 24;
    return p.nice >= 15 ? 4 : p.nice > 0 ? 6 : p.nice == 0 ? 8 : p.nice > -11 ? 10 : 13;
}

using ProcessList = std::vector<ProcStat> Snapshot::*;

PdhStatus processRate(const ValueInput& in, ProcessList list, const ProcStat* c, double& v)
{
    const double hz = double(clockTicksPerSecond());
    ProcDelta d;
    if (in.total) {
        d = allProcesses(in.cur, *in.prev);  // the processes that lived through both collections
    } else {
        const ProcStat* p = processByInstance(in.prev->*list, in.instance);
        if (p == nullptr || !d.add(*c, *p))
            return PDH_CSTATUS_INVALID_DATA;
    }
    const bool io = in.id >= C::ProcIoReadBytes && in.id <= C::ProcIoDataOps;
    if (io && !in.total && !d.io)
        return PDH_CSTATUS_INVALID_DATA;  // io not readable (another user's process)
    switch (in.id) {
    case C::ProcProcessorTime: v = 100.0 * (d.utime + d.stime) / hz / in.itv; break;  // pidstat %CPU
    case C::ProcUserTime: v = 100.0 * d.utime / hz / in.itv; break;                   // pidstat %usr
    case C::ProcPrivilegedTime: v = 100.0 * d.stime / hz / in.itv; break;             // pidstat %system
    case C::ProcPageFaults: v = d.faults / in.itv; break;                             // pidstat minflt/s + majflt/s
    case C::ProcIoReadBytes: v = d.readChars / in.itv; break;                         // io rchar / interval
    case C::ProcIoWriteBytes: v = d.writeChars / in.itv; break;                       // io wchar / interval
    case C::ProcIoDataBytes: v = (d.readChars + d.writeChars) / in.itv; break;        // (rchar + wchar) / interval
    case C::ProcIoReadOps: v = d.readCalls / in.itv; break;                           // io syscr / interval
    case C::ProcIoWriteOps: v = d.writeCalls / in.itv; break;                         // io syscw / interval
    case C::ProcIoDataOps: v = (d.readCalls + d.writeCalls) / in.itv; break;          // (syscr + syscw) / interval
    default: return PDH_CSTATUS_NO_COUNTER;
    }
    return PDH_CSTATUS_VALID_DATA;
}

// One process's figure of a counter that is not a rate; false when unreadable.
bool processFigure(const ValueInput& in, const ProcStat& p, double& v)
{
    const double page = double(pageSizeBytes()), hz = double(clockTicksPerSecond());
    switch (in.id) {
    case C::ProcWorkingSet: v = double(p.rssPages) * page; return true;  // pidstat RSS (stat field 24) in bytes
    case C::ProcPrivateBytes:                                             // (statm resident - shared) pages
        v = double(p.statmResident - p.statmShared) * page;
        return p.hasStatm && p.statmResident >= p.statmShared;
    case C::ProcVirtualBytes: v = double(p.vsize); return true;            // pidstat VSZ (stat field 23) in bytes
    case C::ProcThreadCount: v = double(p.threads); return true;           // pidstat -t threads (stat field 20)
    case C::ProcHandleCount: v = double(p.fdCount); return p.fdCount >= 0; // entries of /proc/<pid>/fd
    case C::ProcWorkingSetPeak: v = double(p.vmHwmKb) * 1024.0; return p.hasStatus;    // status VmHWM in bytes
    case C::ProcVirtualBytesPeak: v = double(p.vmPeakKb) * 1024.0; return p.hasStatus; // status VmPeak in bytes
    case C::ProcId: v = in.total ? 0.0 : double(p.pid); return true;
    case C::ProcParentId: v = in.total ? 0.0 : double(p.ppid); return true;  // stat field 4
    case C::ProcPriorityBase: v = in.total ? 0.0 : basePriority(p); return true;  // stat nice (19), rt_priority (40)
    case C::ProcElapsedTime:  // ps etime: uptime - start time (stat field 22) / HZ
        v = in.total ? 0.0 : std::max(0.0, in.cur.uptime - double(p.startTime) / hz);
        return true;
    default: return false;
    }
}

PdhStatus processValueOf(const ValueInput& in, ProcessList list, double& v)
{
    const ProcStat* c = nullptr;
    if (!in.total) {
        c = processByInstance(in.cur.*list, in.instance);
        if (c == nullptr)
            return PDH_CSTATUS_NO_INSTANCE;
    }
    if (in.prev != nullptr && in.itv > 0 && (in.id == C::ProcProcessorTime || in.id == C::ProcUserTime ||
                                             in.id == C::ProcPrivilegedTime || in.id == C::ProcPageFaults ||
                                             (in.id >= C::ProcIoReadBytes && in.id <= C::ProcIoDataOps)))
        return processRate(in, list, c, v);
    if (!in.total)
        return processFigure(in, *c, v) ? PDH_CSTATUS_VALID_DATA : PDH_CSTATUS_INVALID_DATA;
    // _Total: a process whose figures are not readable (another user's) counts as none
    double sum = 0, one = 0;
    for (const ProcStat& p : in.cur.processes)
        if (processFigure(in, p, one))
            sum += one;
    v = sum;
    return PDH_CSTATUS_VALID_DATA;
}

} // namespace

// Process and Process V2 differ in their instances only.
PdhStatus processValue(const ValueInput& in, double& v) { return processValueOf(in, &Snapshot::processes, v); }

PdhStatus processV2Value(const ValueInput& in, double& v) { return processValueOf(in, &Snapshot::processesById, v); }

namespace {

// ---- protocols of /proc/net/snmp and snmp6 ----

PdhStatus mibRate(const ValueInput& in, MibField a, MibField b, double& v)
{
    if (!in.cur.hasMib(a) || !in.prev->hasMib(a) || !in.cur.hasMib(b) || !in.prev->hasMib(b))
        return PDH_CSTATUS_NO_COUNTER;
    double da = 0, db = 0;
    if (!delta(in.cur.mib[a], in.prev->mib[a], da) || !delta(in.cur.mib[b], in.prev->mib[b], db))
        return PDH_CSTATUS_INVALID_DATA;
    v = (a == b ? da : da + db) / in.itv;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus mibRaw(const ValueInput& in, MibField a, double& v)
{
    if (!in.cur.hasMib(a))
        return PDH_CSTATUS_NO_COUNTER;
    v = double(in.cur.mib[a]);
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus tcpValue(const ValueInput& in, double& v)
{
    switch (in.id) {
    case C::TcpEstablished: return mibRaw(in, TCP_CURR_ESTAB, v);                            // Tcp CurrEstab
    case C::TcpActive: return mibRaw(in, TCP_ACTIVE_OPENS, v);                               // Tcp ActiveOpens, since boot
    case C::TcpPassive: return mibRaw(in, TCP_PASSIVE_OPENS, v);                             // Tcp PassiveOpens, since boot
    case C::TcpFailures: return mibRaw(in, TCP_ATTEMPT_FAILS, v);                            // Tcp AttemptFails, since boot
    case C::TcpResets: return mibRaw(in, TCP_ESTAB_RESETS, v);                               // Tcp EstabResets, since boot
    case C::TcpSegments: return mibRate(in, TCP_IN_SEGS, TCP_OUT_SEGS, v);                   // sar -n TCP iseg/s + oseg/s
    case C::TcpSegmentsReceived: return mibRate(in, TCP_IN_SEGS, TCP_IN_SEGS, v);            // sar -n TCP iseg/s
    case C::TcpSegmentsSent: return mibRate(in, TCP_OUT_SEGS, TCP_OUT_SEGS, v);              // sar -n TCP oseg/s
    case C::TcpRetransmitted: return mibRate(in, TCP_RETRANS_SEGS, TCP_RETRANS_SEGS, v);     // sar -n ETCP retrans/s
    default: return PDH_CSTATUS_NO_COUNTER;
    }
}

} // namespace

PdhStatus protocolValue(ObjectId object, const ValueInput& in, double& v)
{
    const bool v6 = object == ObjectId::IPv6 || object == ObjectId::UDPv6;
    const MibField ipIn = v6 ? IP6_IN_RECEIVES : IP_IN_RECEIVES, ipOut = v6 ? IP6_OUT_REQUESTS : IP_OUT_REQUESTS;
    const MibField udpIn = v6 ? UDP6_IN_DATAGRAMS : UDP_IN_DATAGRAMS, udpOut = v6 ? UDP6_OUT_DATAGRAMS : UDP_OUT_DATAGRAMS;
    switch (in.id) {
    case C::IpDatagrams: return mibRate(in, ipIn, ipOut, v);                  // sar -n IP(6) irec/s + orq/s
    case C::IpDatagramsReceived: return mibRate(in, ipIn, ipIn, v);           // sar -n IP(6) irec/s
    case C::IpDatagramsSent: return mibRate(in, ipOut, ipOut, v);             // sar -n IP(6) orq/s
    case C::UdpDatagrams: return mibRate(in, udpIn, udpOut, v);               // sar -n UDP(6) idgm/s + odgm/s
    case C::UdpDatagramsReceived: return mibRate(in, udpIn, udpIn, v);        // sar -n UDP(6) idgm/s
    case C::UdpDatagramsSent: return mibRate(in, udpOut, udpOut, v);          // sar -n UDP(6) odgm/s
    case C::UdpReceiveErrors: return mibRaw(in, v6 ? UDP6_IN_ERRORS : UDP_IN_ERRORS, v);  // Udp InErrors, since boot
    default: return tcpValue(in, v);
    }
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
