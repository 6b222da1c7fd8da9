#pragma once

// Inside of the Linux performance-data backend: the object and counter
// catalogue, one collection's parsed sources, and the provider itself.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/PerfData.h"

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

// Sources a collection may read; each counter names the ones it needs.
enum Source : uint32_t {
    SRC_UPTIME = 1u << 0,      // /proc/uptime, the time base of every rate
    SRC_STAT = 1u << 1,        // /proc/stat
    SRC_INTERRUPTS = 1u << 2,  // /proc/interrupts (per-processor interrupts)
    SRC_LOADAVG = 1u << 3,     // /proc/loadavg
    SRC_PIDLIST = 1u << 4,     // names of /proc only
    SRC_MEMINFO = 1u << 5,     // /proc/meminfo
    SRC_VMSTAT = 1u << 6,      // /proc/vmstat
    SRC_DISKSTATS = 1u << 7,   // /proc/diskstats with the /sys/block listing
    SRC_MOUNTS = 1u << 8,      // /proc/mounts with the file-system sizes
    SRC_NETDEV = 1u << 9,      // /proc/net/dev
    SRC_NETSPEED = 1u << 10,   // /sys/class/net/<if>/speed
    SRC_PROCESSES = 1u << 11,  // /proc/<pid>/stat of every process
    SRC_PROCSTATM = 1u << 12,  // /proc/<pid>/statm
    SRC_PROCFD = 1u << 13,     // /proc/<pid>/fd listing
};

enum class ObjectId { Processor, System, Memory, PagingFile, PhysicalDisk, LogicalDisk, NetworkInterface, Process };

enum class CounterId {
    CpuProcessorTime, CpuIdleTime, CpuUserTime, CpuPrivilegedTime, CpuInterruptTime, CpuDpcTime, CpuInterrupts,
    SysQueueLength, SysProcesses, SysThreads, SysContextSwitches, SysUpTime,
    MemAvailableBytes, MemAvailableKBytes, MemAvailableMBytes, MemCommittedBytes, MemCommitLimit,
    MemCommittedInUse, MemCacheBytes, MemPageFaults, MemPages, MemPagesInput, MemPagesOutput,
    PagingUsage,
    DiskReads, DiskWrites, DiskTransfers, DiskReadBytes, DiskWriteBytes, DiskBytes, DiskTime, DiskIdleTime,
    DiskAvgQueue, DiskCurrentQueue, DiskSecPerRead, DiskSecPerWrite,
    LdFreeSpace, LdFreeMegabytes,
    NetBytesReceived, NetBytesSent, NetBytesTotal, NetPackets, NetPacketsReceived, NetPacketsSent,
    NetReceiveErrors, NetBandwidth,
    ProcProcessorTime, ProcUserTime, ProcPrivilegedTime, ProcWorkingSet, ProcPrivateBytes, ProcVirtualBytes,
    ProcThreadCount, ProcHandleCount, ProcId, ProcElapsedTime, ProcPageFaults,
};

struct CounterDef {
    const char* name;
    CounterId id;
    uint32_t sources;
    bool rate;      // needs two collections
    bool percent;   // capped at 100 unless PDH_FMT_NOCAP100
};

struct ObjectDef {
    const char* name;
    ObjectId id;
    bool multiInstance;
    std::vector<CounterDef> counters;
};

const std::vector<ObjectDef>& catalogue();
const ObjectDef* findObject(const std::string& name);
const CounterDef* findCounter(const ObjectDef& object, const std::string& name);
// Every object and counter name with its stable index, in index order.
const std::vector<std::pair<uint32_t, std::string>>& nameTable();

// ---- one collection ----

struct CpuTimes {
    std::string name;  // "_Total", "0", "1", ...
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    uint64_t interrupts = 0;
    bool hasInterrupts = false;
};

struct DiskStat {
    std::string name;
    uint64_t rdIos = 0, rdSectors = 0, rdTicks = 0, wrIos = 0, wrSectors = 0, wrTicks = 0;
    uint64_t inFlight = 0, ioTicks = 0, timeInQueue = 0;
};

struct MountSpace {
    std::string mountPoint;
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};

struct NetStat {
    std::string name;
    uint64_t rxBytes = 0, rxPackets = 0, rxErrors = 0, txBytes = 0, txPackets = 0;
    int64_t speedMbps = -1;  // unknown below 0
};

struct ProcStat {
    std::string instance;  // name, name#1, ... in process-id order
    int64_t pid = 0;
    uint64_t utime = 0, stime = 0, minflt = 0, majflt = 0, startTime = 0;
    uint64_t vsize = 0, rssPages = 0, threads = 0;
    uint64_t statmResident = 0, statmShared = 0;
    bool hasStatm = false;
    int64_t fdCount = -1;  // unreadable below 0
};

struct Snapshot {
    uint32_t read = 0;    // sources read successfully
    double uptime = 0.0;  // seconds
    std::vector<CpuTimes> cpus;
    uint64_t interruptsTotal = 0, contextSwitches = 0;
    uint64_t running = 0, tasks = 0, processCount = 0;
    // /proc/meminfo, in kB
    uint64_t memTotal = 0, memAvailable = 0, cached = 0, committedAs = 0, swapTotal = 0, swapFree = 0;
    bool hasMemAvailable = false, hasCommittedAs = false, hasSwap = false, hasCached = false, hasMemTotal = false;
    // /proc/vmstat
    uint64_t pgfault = 0, pgmajfault = 0, pgpgin = 0, pgpgout = 0;
    bool hasVmstat = false;
    std::vector<DiskStat> disks;
    std::vector<MountSpace> mounts;
    std::vector<NetStat> nets;
    std::vector<ProcStat> processes;
};

struct Roots {
    std::string proc;  // no trailing separator
    std::string sys;
};

// Roots from TELVAR_PROC_ROOT / TELVAR_SYS_ROOT, else /proc and /sys.
Roots currentRoots();

// Reads the named sources into snap (cleared first). buffer is reused.
void collect(const Roots& roots, uint32_t sources, Snapshot& snap, std::string& buffer);

// Whole file into out (reused); false when it cannot be read.
bool readWholeFile(const std::string& path, std::string& out);
// Calls f with each name in dir but "." and ".."; false when dir cannot be opened.
bool listDirectory(const std::string& dir, const std::function<void(const char*)>& f);

long clockTicksPerSecond();
long pageSizeBytes();

// ---- the provider ----

class LinuxPerfData : public PerfDataProvider {
public:
    PdhStatus openQuery(PdhHandle& query) override;
    PdhStatus closeQuery(PdhHandle query) override;
    PdhStatus addCounter(PdhHandle query, const std::string& path, uintptr_t userData, PdhHandle& counter) override;
    PdhStatus removeCounter(PdhHandle counter) override;
    PdhStatus collectQueryData(PdhHandle query) override;
    PdhStatus getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type, PdhFmtCounterValue& value) override;
    PdhStatus lookupNameByIndex(const char* machine, uint32_t index, char* buffer, uint32_t& size) override;
    uint32_t englishNameTable(char* buffer, uint32_t& size) override;
    PdhStatus enumObjects(std::vector<std::string>& objects) override;
    PdhStatus enumObjectItems(const std::string& object, std::vector<std::string>& counters,
                              std::vector<std::string>& instances) override;

private:
    struct Query;
    struct CounterEntry {
        Query* query = nullptr;
        const ObjectDef* object = nullptr;
        const CounterDef* def = nullptr;
        std::string instance;
    };
    struct Query {
        Roots roots;
        uint32_t sources = 0;
        uint64_t collections = 0;
        Snapshot previous, current;
        std::string buffer;
        std::vector<PdhHandle> counters;
    };

    void recomputeSources(Query& q);
    static PdhStatus computeValue(const Query& q, const CounterEntry& e, double& value);

    std::mutex mutex_;
    std::unordered_map<PdhHandle, std::unique_ptr<Query>> queries_;
    std::unordered_map<PdhHandle, CounterEntry> counters_;
    PdhHandle nextHandle_ = 1;
};

// Splits "\\machine\Object(instance)\Counter"; false for a malformed path.
bool splitCounterPath(const std::string& path, std::string& machine, std::string& object, std::string& instance,
                      bool& hasInstance, std::string& counter);

} // namespace LinuxPerf

// Size and free space of a mounted file system (statvfs, or the test's function).
bool fileSystemSpace(const std::string& mountPoint, FileSystemSpace& space);

} // namespace Platform
} // namespace Telvar
