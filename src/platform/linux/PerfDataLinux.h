#pragma once

// Inside of the Linux performance-data backend: the object and counter
// catalogue, one collection's parsed sources, and the provider itself.
// It reads /proc and /sys; TELVAR_PROC_ROOT and TELVAR_SYS_ROOT, when set
// at openQuery, move those roots (fixture trees).

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/CollectorStatistics.h"
#include "platform/PerfData.h"
#include "platform/linux/ProcDirectory.h"

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
    SRC_PROCESSES = 1u << 11,  // /proc/<pid>/stat of the processes asked for
    SRC_PROCSTATM = 1u << 12,  // /proc/<pid>/statm
    SRC_PROCFD = 1u << 13,     // /proc/<pid>/fd listing
    SRC_SOFTIRQS = 1u << 14,   // /proc/softirqs (per-processor softirqs)
    SRC_SNMP = 1u << 15,       // /proc/net/snmp
    SRC_SNMP6 = 1u << 16,      // /proc/net/snmp6
    SRC_PROCSTATUS = 1u << 17, // /proc/<pid>/status
    SRC_PROCIO = 1u << 18,     // /proc/<pid>/io
    SRC_SELF = 1u << 19,       // /proc/self with its threads, and the collector's own figures
};

// The per-process files beyond stat.
constexpr uint32_t PROCESS_EXTRAS = SRC_PROCSTATM | SRC_PROCFD | SRC_PROCSTATUS | SRC_PROCIO;

enum class ObjectId {
    Processor, System, Memory, PagingFile, PhysicalDisk, LogicalDisk, NetworkInterface, Process,
    TCPv4, IPv4, IPv6, UDPv4, UDPv6, ProcessV2, RavlonCollector,
};

enum class CounterId {
    CpuProcessorTime, CpuIdleTime, CpuUserTime, CpuPrivilegedTime, CpuInterruptTime, CpuDpcTime, CpuInterrupts,
    CpuDpcsQueued,
    SysQueueLength, SysProcesses, SysThreads, SysContextSwitches, SysUpTime, SysFileReads, SysFileWrites,
    MemAvailableBytes, MemAvailableKBytes, MemAvailableMBytes, MemCommittedBytes, MemCommitLimit,
    MemCommittedInUse, MemCacheBytes, MemPageFaults, MemPages, MemPagesInput, MemPagesOutput,
    MemPageReads, MemPageWrites, MemTransitionFaults, MemPoolPaged, MemPoolNonpaged, MemModifiedList,
    MemFreeZeroList, MemStandbyNormal,
    PagingUsage, PagingUsagePeak,
    DiskReads, DiskWrites, DiskTransfers, DiskReadBytes, DiskWriteBytes, DiskBytes, DiskTime, DiskIdleTime,
    DiskAvgQueue, DiskCurrentQueue, DiskSecPerRead, DiskSecPerWrite,
    DiskReadTime, DiskWriteTime, DiskAvgReadQueue, DiskAvgWriteQueue, DiskSecPerTransfer,
    DiskBytesPerRead, DiskBytesPerWrite, DiskBytesPerTransfer,
    LdFreeSpace, LdFreeMegabytes,
    NetBytesReceived, NetBytesSent, NetBytesTotal, NetPackets, NetPacketsReceived, NetPacketsSent,
    NetReceiveErrors, NetBandwidth, NetOutboundErrors, NetReceiveDiscards, NetOutboundDiscards,
    ProcProcessorTime, ProcUserTime, ProcPrivilegedTime, ProcWorkingSet, ProcPrivateBytes, ProcVirtualBytes,
    ProcThreadCount, ProcHandleCount, ProcId, ProcElapsedTime, ProcPageFaults,
    ProcWorkingSetPeak, ProcVirtualBytesPeak, ProcParentId, ProcPriorityBase,
    ProcIoReadBytes, ProcIoWriteBytes, ProcIoReadOps, ProcIoWriteOps, ProcIoDataBytes, ProcIoDataOps,
    TcpEstablished, TcpActive, TcpPassive, TcpFailures, TcpResets, TcpSegments, TcpSegmentsReceived,
    TcpSegmentsSent, TcpRetransmitted,
    IpDatagrams, IpDatagramsReceived, IpDatagramsSent,
    UdpDatagrams, UdpDatagramsReceived, UdpDatagramsSent, UdpReceiveErrors,
    SelfProcessorTime, SelfPollerTime, SelfWriterTime, SelfDeliveryTime, SelfListenerTime, SelfWorkingSet,
    SelfPrivateBytes, SelfThreadCount, SelfHandleCount, SelfWakeups, SelfSamplesLate, SelfSamplesMissed,
    SelfRecordsWritten, SelfRecordsFailed, SelfFilesDelivered, SelfFilesPending, SelfDeliveryFailures,
    SelfLastDeliveryAge, SelfCommandsReceived, SelfJunkDropped, SelfExportBacklog, SelfExportFailures,
    SelfReloads, SelfFailedReloads,
};

struct CounterDef {
    const char* name;
    CounterId id;
    uint32_t sources;
    bool rate;      // needs two collections
    uint32_t type;  // the Windows counter type; PERF_DISPLAY_PERCENT ones are capped at 100
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
    uint64_t interrupts = 0, softirqs = 0;
    bool hasInterrupts = false, hasSoftirqs = false;
};

// Fields of a /proc/diskstats line, as indices of DiskStat::f.
enum DiskField { RD_IOS, RD_SECTORS, RD_TICKS, WR_IOS, WR_SECTORS, WR_TICKS, IO_TICKS, QUEUE_TICKS,
                 DC_IOS, FL_IOS, DISK_FIELDS };

struct DiskStat {
    std::string name;
    uint64_t f[DISK_FIELDS] = {};
    uint64_t inFlight = 0;
    bool wholeDisk = false;  // a disk with hardware behind it, not a partition or a mapping
};

struct MountSpace {
    std::string mountPoint;
    std::string device;  // the /proc/diskstats name of the device under it
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};

enum NetField { RX_BYTES, RX_PACKETS, RX_ERRORS, RX_DROP, TX_BYTES, TX_PACKETS, TX_ERRORS, TX_DROP, NET_FIELDS };

struct NetStat {
    std::string name;
    uint64_t f[NET_FIELDS] = {};
    int64_t speedMbps = -1;  // unknown below 0
};

struct ProcStat {
    std::string name;      // the command name
    std::string instance;  // Process: name, name#1, ... in process-id order; Process V2: name:pid
    int64_t pid = 0, ppid = 0, nice = 0;
    uint64_t utime = 0, stime = 0, minflt = 0, majflt = 0, startTime = 0;
    uint64_t vsize = 0, rssPages = 0, threads = 0, rtPriority = 0;
    uint64_t statmResident = 0, statmShared = 0;
    uint64_t vmPeakKb = 0, vmHwmKb = 0;                   // status
    uint64_t readChars = 0, writeChars = 0, readCalls = 0, writeCalls = 0;  // io
    bool hasStatm = false, hasStatus = false, hasIo = false;
    int64_t fdCount = -1;  // unreadable below 0
};

// The collector itself: its process, the processor time of its threads by
// kind, its threads' switches, and its own figures.
struct SelfStat {
    struct Thread {
        uint32_t tid = 0;
        uint32_t kind = 0;  // Platform::ThreadKind
        uint64_t startTime = 0, ticks = 0;
        uint64_t runNs = 0;  // schedstat time on a processor; 0 when unknown
    };
    ProcStat process;
    std::vector<Thread> threads;  // the registered ones
    // schedstat timeslices run (wake-ups) by thread id, of every thread, in thread-id order
    std::vector<std::pair<uint32_t, uint64_t>> switches;
    int64_t figures[CollectorStatistics::FIGURES] = {};
    double lastDeliveryAge = 0;
};

// /proc/meminfo fields, as indices of Snapshot::mem (kB).
enum MemField { MEM_TOTAL, MEM_FREE, MEM_AVAILABLE, MEM_CACHED, MEM_COMMITTED_AS, MEM_SWAP_TOTAL, MEM_SWAP_FREE,
                MEM_DIRTY, MEM_WRITEBACK, MEM_INACTIVE_FILE, MEM_KRECLAIMABLE, MEM_SRECLAIMABLE, MEM_SUNRECLAIM,
                MEM_FIELDS };
// /proc/vmstat fields, as indices of Snapshot::vm.
enum VmField { VM_PGPGIN, VM_PGPGOUT, VM_PGFAULT, VM_PGMAJFAULT, VM_PSWPOUT, VM_FIELDS };
// Fields of /proc/net/snmp and snmp6, as indices of Snapshot::mib.
enum MibField { IP_IN_RECEIVES, IP_OUT_REQUESTS, TCP_ACTIVE_OPENS, TCP_PASSIVE_OPENS, TCP_ATTEMPT_FAILS,
                TCP_ESTAB_RESETS, TCP_CURR_ESTAB, TCP_IN_SEGS, TCP_OUT_SEGS, TCP_RETRANS_SEGS,
                UDP_IN_DATAGRAMS, UDP_IN_ERRORS, UDP_OUT_DATAGRAMS,
                IP6_IN_RECEIVES, IP6_OUT_REQUESTS, UDP6_IN_DATAGRAMS, UDP6_IN_ERRORS, UDP6_OUT_DATAGRAMS,
                MIB_FIELDS };

struct Snapshot {
    uint32_t read = 0;    // sources read successfully
    double uptime = 0.0;  // seconds
    std::vector<CpuTimes> cpus;
    uint64_t interruptsTotal = 0, contextSwitches = 0, softirqsTotal = 0;
    uint64_t running = 0, tasks = 0, processCount = 0;
    uint64_t mem[MEM_FIELDS] = {};
    uint32_t memHas = 0;  // bit per MemField present
    uint64_t vm[VM_FIELDS] = {};
    uint32_t vmHas = 0;
    uint64_t mib[MIB_FIELDS] = {};
    uint32_t mibHas = 0;
    std::vector<DiskStat> disks;  // every complete line of /proc/diskstats
    std::vector<MountSpace> mounts;
    std::vector<NetStat> nets;
    std::vector<ProcStat> processes;  // in process-id order
    std::vector<ProcStat> processesById;  // Process V2 instances asked for, in process-id order
    SelfStat self;
    uint32_t processFilesRead = 0;    // /proc/<pid>/stat files read (cost checks)
    bool processesListed = false;     // /proc was listed

    bool hasMem(MemField f) const { return (memHas & (1u << f)) != 0; }
    bool hasVm(VmField f) const { return (vmHas & (1u << f)) != 0; }
    bool hasMib(MibField f) const { return (mibHas & (1u << f)) != 0; }
};

// Which processes a collection reads. Naming processes asks for them only;
// their names are kept between collections so that finding them costs
// little more than reading their own files (see ProcessNames).
struct ProcessSelection {
    bool all = true;                     // every process (_Total, browsing)
    std::vector<std::string> instances;  // else these instances ("name", "name#1")
    std::vector<std::string> names;      // and the process names they may stand for
    std::vector<std::pair<int64_t, std::string>> byId;  // Process V2: pid and name, in pid order
    uint32_t namedExtras = 0;            // PROCESS_EXTRAS of the named processes
    uint32_t allExtras = 0;              // PROCESS_EXTRAS of every process
};

// Process names by process id from earlier collections. /proc is listed
// every LIST_PERIOD collections, at every collection while an instance asked
// for is missing, and whenever every process or their number is needed; in
// between only the named processes are read. At a listing, new processes are
// read, and so are the ones still young (they may exec) and a tenth of the
// others in turn, so that a late exec is seen within LIST_PERIOD * 10
// collections.
struct ProcessNames {
    static constexpr uint64_t LIST_PERIOD = 10;
    static constexpr uint64_t RECHECK_SLICES = 10;
    static constexpr double YOUNG_SECONDS = 30.0;
    struct Entry {
        int64_t pid = 0;
        std::string name;
        bool young = true;  // read while the process was young
    };
    std::vector<Entry> entries;  // in process-id order
    std::vector<Entry> spare;    // the list a listing fills, kept for its capacity
    std::vector<uint32_t> order; // the numbering of duplicated names, kept likewise
    uint64_t serial = 0;         // collections so far
    uint64_t listings = 0;       // listings of /proc so far
    bool missing = true;         // an instance asked for was not found last time
};

// Descriptors of the files a query reads at every collection (the
// system-wide /proc and /sys files, and those of the processes it names),
// kept open between its collections: a read from offset 0 makes the kernel
// produce such a file anew, which saves an open (a path walk) and a close
// per file per collection. A kept read that fails (an ended process) drops
// the descriptor and opens the path anew. Only files of proc and sysfs are
// kept; the files of a recorded tree may be replaced between collections.
// A descriptor not read in a collection is closed at its end (sweep).
class KeptFiles {
public:
    static constexpr size_t MAX_KEPT = 64;
    KeptFiles();
    KeptFiles(const KeptFiles&) = delete;
    KeptFiles& operator=(const KeptFiles&) = delete;
    ~KeptFiles();
    // Whole file into out (reused); false when it cannot be read.
    bool read(const std::string& path, std::string& out);
    size_t size() const { return files_.size(); }
    // Closes the descriptors not read since the last sweep.
    void sweep();
    // The listings of /proc, of the collector's own tasks and of its own
    // descriptors, their directories kept open.
    ProcDirectory& procDirectory() { return procDirectory_; }
    ProcDirectory& tasks() { return tasks_; }
    ProcDirectory& handles() { return handles_; }
    // The disks among the devices /proc/diskstats named, as /sys/block told
    // them apart; kept while it names the same devices.
    struct Disks {
        bool listed = false;
        std::vector<std::string> names;  // of /proc/diskstats, in its order
        std::vector<std::string> whole;  // the disks among them
    };
    Disks& disks() { return disks_; }
    // The local file systems of the mount table when it was last read.
    struct Mounts {
        bool read = false;
        std::vector<std::pair<std::string, std::string>> local;  // mount point, its /proc/diskstats device
    };
    Mounts& mounts() { return mounts_; }
    // Whether the kernel says a kept file (the mount table) is as it was at
    // the last poll or, before that, when it was opened; false when the file
    // is not kept or cannot say.
    bool unchanged(const std::string& path);

private:
    struct Kept {
        std::string path;
        int fd;
        bool used;  // read since the last sweep
    };
    std::vector<Kept> files_;
    ProcDirectory procDirectory_, tasks_, handles_;
    Disks disks_;
    Mounts mounts_;
};

struct Roots {
    std::string proc;  // no trailing separator
    std::string sys;
};

// Roots from TELVAR_PROC_ROOT / TELVAR_SYS_ROOT, else /proc and /sys.
Roots currentRoots();

// Reads the named sources into snap (cleared first). buffer is reused.
// With kept, the system-wide files are read through its descriptors.
void collect(const Roots& roots, uint32_t sources, const ProcessSelection& selection, ProcessNames& names,
             Snapshot& snap, std::string& buffer, KeptFiles* kept = nullptr);
// The processes of a selection into snap.processes, with the count of all;
// false when /proc cannot be listed.
// needCount lists /proc whatever the selection (System\Processes).
bool readProcesses(const Roots& roots, const ProcessSelection& selection, bool needCount, ProcessNames& names,
                   Snapshot& snap, std::string& buffer, KeptFiles* kept = nullptr);
// The Process V2 processes of a selection into snap.processesById: each is
// read by its id and kept when its command name is the one asked for.
void readProcessesById(const Roots& roots, const ProcessSelection& selection, Snapshot& snap, std::string& buffer,
                       KeptFiles* kept = nullptr);
// /proc/self (with its tasks) and the collector's figures into snap.self;
// false when the process's own stat cannot be read.
bool readSelf(const Roots& roots, Snapshot& snap, std::string& buffer, KeptFiles* kept = nullptr);
// The files of a process directory beyond stat (PROCESS_EXTRAS bits) into p.
// path is reused for the files' names.
void readExtras(const std::string& dir, uint32_t extras, ProcStat& p, std::string& buffer, KeptFiles* kept,
                std::string& path);
// dir = proc + "/" + pid, without a temporary string.
void processDirectory(const std::string& proc, int64_t pid, std::string& dir);
// One /proc/<pid>/stat (or task stat) line into p; false when malformed.
bool parseProcStat(const std::string& text, ProcStat& p);
// A Process V2 instance "name:pid" split; false when it has no such form.
bool splitProcessV2Instance(const std::string& instance, std::string& name, int64_t& pid);
// The same for every process, without names kept.
void collect(const Roots& roots, uint32_t sources, Snapshot& snap, std::string& buffer);

// Whole file into out (reused); false when it cannot be read.
bool readWholeFile(const std::string& path, std::string& out);
// Calls f with each name in dir but "." and ".."; false when dir cannot be opened.
bool listDirectory(const std::string& dir, const std::function<void(const char*)>& f);

long clockTicksPerSecond();
long pageSizeBytes();

// ---- values ----

// What a counter's value is computed from: the last two collections.
struct ValueInput {
    const Snapshot& cur;
    const Snapshot* prev;  // null before the second collection
    double itv;            // seconds between the two collections (1 when not a rate)
    const std::string& instance;
    bool total;  // instance "_Total"
    CounterId id;
};

// One function per object; each answers a counter status and sets v.
PdhStatus processorValue(const ValueInput& in, double& v);
PdhStatus systemValue(const ValueInput& in, double& v);
PdhStatus memoryValue(const ValueInput& in, double& v);
PdhStatus physicalDiskValue(const ValueInput& in, double& v);
PdhStatus logicalDiskValue(const ValueInput& in, double& v);
PdhStatus networkValue(const ValueInput& in, double& v);
PdhStatus processValue(const ValueInput& in, double& v);
PdhStatus processV2Value(const ValueInput& in, double& v);
PdhStatus selfValue(const ValueInput& in, double& v);
PdhStatus protocolValue(ObjectId object, const ValueInput& in, double& v);
// Paging File % Usage of a snapshot; false without swap figures.
bool swapUsage(const Snapshot& s, double& percent);

// ---- the provider ----

class LinuxPerfData : public PerfDataProvider {
public:
    PdhStatus openQuery(PdhHandle& query) override;
    PdhStatus closeQuery(PdhHandle query) override;
    PdhStatus addCounter(PdhHandle query, const std::string& path, uintptr_t userData, PdhHandle& counter) override;
    PdhStatus removeCounter(PdhHandle counter) override;
    PdhStatus collectQueryData(PdhHandle query) override;
    PdhStatus getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type, PdhFmtCounterValue& value) override;
    PdhStatus getCounterType(PdhHandle counter, uint32_t& type) override;
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
        ProcessSelection selection;
        ProcessNames names;
        uint64_t collections = 0;
        Snapshot previous, current;
        double swapUsagePeak = -1;  // highest Paging File % Usage since the query was opened
        // Process V2: the start time of the process each instance first named;
        // a later process under the same name and id is another instance.
        std::unordered_map<std::string, uint64_t> processStarts;
        std::string buffer;
        KeptFiles kept;
        std::vector<PdhHandle> counters;
    };

    void recomputeSources(Query& q);
    static PdhStatus computeValue(const Query& q, const CounterEntry& e, double& value);
    static PdhStatus pagingFileValue(const Query& q, const CounterEntry& e, double& value);
    static bool sameProcessV2(const Query& q, const CounterEntry& e);
    static void noteProcessStarts(Query& q);

    std::mutex mutex_;
    std::unordered_map<PdhHandle, std::unique_ptr<Query>> queries_;
    std::unordered_map<PdhHandle, CounterEntry> counters_;
    PdhHandle nextHandle_ = 1;
};

// Splits "\\machine\Object(instance)\Counter"; false for a malformed path.
bool splitCounterPath(const std::string& path, std::string& machine, std::string& object, std::string& instance,
                      bool& hasInstance, std::string& counter);

} // namespace LinuxPerf

// Size and free space of a mounted file system, for LogicalDisk.
struct FileSystemSpace {
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};
using FileSystemSpaceFunction = std::function<bool(const std::string& mountPoint, FileSystemSpace& space)>;
// Replaces the file-system query of the system backend (tests); an empty
// function restores the real one.
void setFileSystemSpaceFunction(FileSystemSpaceFunction function);

// Size and free space of a mounted file system (statvfs, or the test's function).
bool fileSystemSpace(const std::string& mountPoint, FileSystemSpace& space);

} // namespace Platform
} // namespace Telvar
