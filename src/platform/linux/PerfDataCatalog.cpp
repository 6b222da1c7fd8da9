// The objects and counters the Linux backend publishes, named as on Windows
// so that one counters file serves both.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

constexpr uint32_t CPU = SRC_STAT;
constexpr uint32_t UP = SRC_UPTIME;
constexpr uint32_t MEM = SRC_MEMINFO;
constexpr uint32_t VM = SRC_VMSTAT | SRC_UPTIME;
constexpr uint32_t DISK = SRC_DISKSTATS;
constexpr uint32_t DISKR = SRC_DISKSTATS | SRC_UPTIME;
constexpr uint32_t LD = SRC_MOUNTS | SRC_DISKSTATS;
constexpr uint32_t LDR = SRC_MOUNTS | SRC_DISKSTATS | SRC_UPTIME;
constexpr uint32_t NET = SRC_NETDEV;
constexpr uint32_t NETR = SRC_NETDEV | SRC_UPTIME;
// the uptime dates the process names kept between collections
constexpr uint32_t PROC = SRC_PROCESSES | SRC_UPTIME;
constexpr uint32_t SNMP = SRC_SNMP;
constexpr uint32_t SNMPR = SRC_SNMP | SRC_UPTIME;
constexpr uint32_t SNMP6R = SRC_SNMP6 | SRC_UPTIME;

// Windows counter types.
constexpr uint32_t RAW = PERF_COUNTER_RAWCOUNT;
constexpr uint32_t LARGE = PERF_COUNTER_LARGE_RAWCOUNT;
constexpr uint32_t RATE = PERF_COUNTER_COUNTER;
constexpr uint32_t BULK = PERF_COUNTER_BULK_COUNT;
constexpr uint32_t TIMER = PERF_100NSEC_TIMER;
constexpr uint32_t FRACTION = PERF_RAW_FRACTION;
constexpr uint32_t QUEUE = PERF_COUNTER_100NS_QUEUELEN_TYPE;
constexpr uint32_t AVG_TIMER = PERF_AVERAGE_TIMER;
constexpr uint32_t AVG_BULK = PERF_AVERAGE_BULK;
constexpr uint32_t ELAPSED = PERF_ELAPSED_TIME;

// Counters published later than the first set: their names are indexed
// after every earlier name, so that the earlier indices stay as they were.
struct Later {
    const char* name;
};
const Later LATER[] = {
    {"DPCs Queued/sec"}, {"File Read Operations/sec"}, {"File Write Operations/sec"}, {"Page Reads/sec"},
    {"Page Writes/sec"}, {"Transition Faults/sec"}, {"Pool Paged Bytes"}, {"Pool Nonpaged Bytes"},
    {"Modified Page List Bytes"}, {"Free & Zero Page List Bytes"}, {"Standby Cache Normal Priority Bytes"},
    {"% Usage Peak"}, {"% Disk Read Time"}, {"% Disk Write Time"}, {"Avg. Disk Read Queue Length"},
    {"Avg. Disk Write Queue Length"}, {"Avg. Disk sec/Transfer"}, {"Avg. Disk Bytes/Read"},
    {"Avg. Disk Bytes/Write"}, {"Avg. Disk Bytes/Transfer"}, {"Packets Outbound Errors"},
    {"Packets Received Discarded"}, {"Packets Outbound Discarded"}, {"Working Set Peak"}, {"Virtual Bytes Peak"},
    {"Creating Process ID"}, {"Priority Base"}, {"IO Read Bytes/sec"}, {"IO Write Bytes/sec"},
    {"IO Data Bytes/sec"}, {"IO Read Operations/sec"}, {"IO Write Operations/sec"}, {"IO Data Operations/sec"},
};

std::vector<CounterDef> diskIoCounters(uint32_t rateSources, uint32_t sources, bool physical)
{
    using C = CounterId;
    std::vector<CounterDef> all = {
        {"Disk Reads/sec", C::DiskReads, rateSources, true, RATE},
        {"Disk Writes/sec", C::DiskWrites, rateSources, true, RATE},
        {"Disk Transfers/sec", C::DiskTransfers, rateSources, true, RATE},
        {"Disk Read Bytes/sec", C::DiskReadBytes, rateSources, true, BULK},
        {"Disk Write Bytes/sec", C::DiskWriteBytes, rateSources, true, BULK},
        {"Disk Bytes/sec", C::DiskBytes, rateSources, true, BULK},
        {"% Disk Time", C::DiskTime, rateSources, true, TIMER},
        {"% Idle Time", C::DiskIdleTime, rateSources, true, PERF_PRECISION_100NS_TIMER},
        {"Avg. Disk Queue Length", C::DiskAvgQueue, rateSources, true, QUEUE},
        {"Current Disk Queue Length", C::DiskCurrentQueue, sources, false, RAW},
        {"Avg. Disk sec/Read", C::DiskSecPerRead, sources, true, AVG_TIMER},
        {"Avg. Disk sec/Write", C::DiskSecPerWrite, sources, true, AVG_TIMER},
        {"% Disk Read Time", C::DiskReadTime, rateSources, true, TIMER},
        {"% Disk Write Time", C::DiskWriteTime, rateSources, true, TIMER},
        {"Avg. Disk Read Queue Length", C::DiskAvgReadQueue, rateSources, true, QUEUE},
        {"Avg. Disk Write Queue Length", C::DiskAvgWriteQueue, rateSources, true, QUEUE},
        {"Avg. Disk sec/Transfer", C::DiskSecPerTransfer, sources, true, AVG_TIMER},
        {"Avg. Disk Bytes/Read", C::DiskBytesPerRead, sources, true, AVG_BULK},
        {"Avg. Disk Bytes/Write", C::DiskBytesPerWrite, sources, true, AVG_BULK},
        {"Avg. Disk Bytes/Transfer", C::DiskBytesPerTransfer, sources, true, AVG_BULK},
    };
    if (!physical) {
        // the partition under a mount point: the common counters only
        const C keep[] = {C::DiskTime, C::DiskAvgQueue, C::DiskCurrentQueue, C::DiskSecPerRead, C::DiskSecPerWrite,
                          C::DiskReads, C::DiskWrites, C::DiskTransfers, C::DiskBytes};
        std::vector<CounterDef> some;
        for (const CounterDef& c : all)
            if (std::find(std::begin(keep), std::end(keep), c.id) != std::end(keep))
                some.push_back(c);
        return some;
    }
    return all;
}

std::vector<CounterDef> logicalDiskCounters()
{
    std::vector<CounterDef> all = {
        {"% Free Space", CounterId::LdFreeSpace, SRC_MOUNTS, false, FRACTION},
        {"Free Megabytes", CounterId::LdFreeMegabytes, SRC_MOUNTS, false, RAW},
    };
    for (const CounterDef& c : diskIoCounters(LDR, LD, false))
        all.push_back(c);
    return all;
}

std::vector<ObjectDef> systemObjects()
{
    using C = CounterId;
    return {
        {"Processor", ObjectId::Processor, true,
         {{"% Processor Time", C::CpuProcessorTime, CPU, true, PERF_100NSEC_TIMER_INV},
          {"% Idle Time", C::CpuIdleTime, CPU, true, TIMER},
          {"% User Time", C::CpuUserTime, CPU, true, TIMER},
          {"% Privileged Time", C::CpuPrivilegedTime, CPU, true, TIMER},
          {"% Interrupt Time", C::CpuInterruptTime, CPU, true, TIMER},
          {"% DPC Time", C::CpuDpcTime, CPU, true, TIMER},
          // _Total from /proc/stat, the single processors from /proc/interrupts (/proc/softirqs)
          {"Interrupts/sec", C::CpuInterrupts, CPU | SRC_INTERRUPTS | UP, true, RATE},
          {"DPCs Queued/sec", C::CpuDpcsQueued, CPU | SRC_SOFTIRQS | UP, true, RATE}}},
        {"System", ObjectId::System, false,
         {{"Processor Queue Length", C::SysQueueLength, SRC_LOADAVG, false, RAW},
          {"Processes", C::SysProcesses, SRC_PIDLIST, false, RAW},
          {"Threads", C::SysThreads, SRC_LOADAVG, false, RAW},
          {"Context Switches/sec", C::SysContextSwitches, CPU | UP, true, RATE},
          {"System Up Time", C::SysUpTime, UP, false, ELAPSED},
          {"File Read Operations/sec", C::SysFileReads, PROC | SRC_PROCIO, true, RATE},
          {"File Write Operations/sec", C::SysFileWrites, PROC | SRC_PROCIO, true, RATE}}},
        {"Memory", ObjectId::Memory, false,
         {{"Available Bytes", C::MemAvailableBytes, MEM, false, LARGE},
          {"Available KBytes", C::MemAvailableKBytes, MEM, false, LARGE},
          {"Available MBytes", C::MemAvailableMBytes, MEM, false, LARGE},
          {"Committed Bytes", C::MemCommittedBytes, MEM, false, LARGE},
          {"Commit Limit", C::MemCommitLimit, MEM, false, LARGE},
          {"% Committed Bytes In Use", C::MemCommittedInUse, MEM, false, FRACTION},
          {"Cache Bytes", C::MemCacheBytes, MEM, false, LARGE},
          {"Page Faults/sec", C::MemPageFaults, VM, true, RATE},
          {"Pages/sec", C::MemPages, VM, true, RATE},
          {"Pages Input/sec", C::MemPagesInput, VM, true, RATE},
          {"Pages Output/sec", C::MemPagesOutput, VM, true, RATE},
          {"Page Reads/sec", C::MemPageReads, VM, true, RATE},
          {"Page Writes/sec", C::MemPageWrites, VM, true, RATE},
          {"Transition Faults/sec", C::MemTransitionFaults, VM, true, RATE},
          {"Pool Paged Bytes", C::MemPoolPaged, MEM, false, LARGE},
          {"Pool Nonpaged Bytes", C::MemPoolNonpaged, MEM, false, LARGE},
          {"Modified Page List Bytes", C::MemModifiedList, MEM, false, LARGE},
          {"Free & Zero Page List Bytes", C::MemFreeZeroList, MEM, false, LARGE},
          {"Standby Cache Normal Priority Bytes", C::MemStandbyNormal, MEM, false, LARGE}}},
        {"Paging File", ObjectId::PagingFile, true,
         {{"% Usage", C::PagingUsage, MEM, false, FRACTION},
          {"% Usage Peak", C::PagingUsagePeak, MEM, false, FRACTION}}},
        {"PhysicalDisk", ObjectId::PhysicalDisk, true, diskIoCounters(DISKR, DISK, true)},
        {"LogicalDisk", ObjectId::LogicalDisk, true, logicalDiskCounters()},
    };
}

std::vector<ObjectDef> networkObjects()
{
    using C = CounterId;
    return {
        {"Network Interface", ObjectId::NetworkInterface, true,
         {{"Bytes Received/sec", C::NetBytesReceived, NETR, true, BULK},
          {"Bytes Sent/sec", C::NetBytesSent, NETR, true, BULK},
          {"Bytes Total/sec", C::NetBytesTotal, NETR, true, BULK},
          {"Packets/sec", C::NetPackets, NETR, true, BULK},
          {"Packets Received/sec", C::NetPacketsReceived, NETR, true, BULK},
          {"Packets Sent/sec", C::NetPacketsSent, NETR, true, BULK},
          {"Packets Received Errors", C::NetReceiveErrors, NET, false, LARGE},
          {"Current Bandwidth", C::NetBandwidth, NET | SRC_NETSPEED, false, LARGE},
          {"Packets Outbound Errors", C::NetOutboundErrors, NET, false, LARGE},
          {"Packets Received Discarded", C::NetReceiveDiscards, NET, false, LARGE},
          {"Packets Outbound Discarded", C::NetOutboundDiscards, NET, false, LARGE}}},
    };
}

std::vector<CounterDef> processCounters()
{
    using C = CounterId;
    const uint32_t PROCR = PROC | UP;
    const uint32_t IO = PROC | SRC_PROCIO;
    return {
        {"% Processor Time", C::ProcProcessorTime, PROCR, true, TIMER},
        {"% User Time", C::ProcUserTime, PROCR, true, TIMER},
        {"% Privileged Time", C::ProcPrivilegedTime, PROCR, true, TIMER},
        {"Working Set", C::ProcWorkingSet, PROC, false, LARGE},
        {"Private Bytes", C::ProcPrivateBytes, PROC | SRC_PROCSTATM, false, LARGE},
        {"Virtual Bytes", C::ProcVirtualBytes, PROC, false, LARGE},
        {"Thread Count", C::ProcThreadCount, PROC, false, RAW},
        {"Handle Count", C::ProcHandleCount, PROC | SRC_PROCFD, false, RAW},
        {"ID Process", C::ProcId, PROC, false, RAW},
        {"Elapsed Time", C::ProcElapsedTime, PROC | UP, false, ELAPSED},
        {"Page Faults/sec", C::ProcPageFaults, PROCR, true, RATE},
        {"Working Set Peak", C::ProcWorkingSetPeak, PROC | SRC_PROCSTATUS, false, LARGE},
        {"Virtual Bytes Peak", C::ProcVirtualBytesPeak, PROC | SRC_PROCSTATUS, false, LARGE},
        {"Creating Process ID", C::ProcParentId, PROC, false, RAW},
        {"Priority Base", C::ProcPriorityBase, PROC, false, RAW},
        {"IO Read Bytes/sec", C::ProcIoReadBytes, IO, true, BULK},
        {"IO Write Bytes/sec", C::ProcIoWriteBytes, IO, true, BULK},
        {"IO Data Bytes/sec", C::ProcIoDataBytes, IO, true, BULK},
        {"IO Read Operations/sec", C::ProcIoReadOps, IO, true, BULK},
        {"IO Write Operations/sec", C::ProcIoWriteOps, IO, true, BULK},
        {"IO Data Operations/sec", C::ProcIoDataOps, IO, true, BULK},
    };
}

std::vector<ObjectDef> protocolObjects()
{
    using C = CounterId;
    auto datagrams = [](uint32_t sources) {
        return std::vector<CounterDef>{{"Datagrams/sec", C::IpDatagrams, sources, true, RATE},
                                       {"Datagrams Received/sec", C::IpDatagramsReceived, sources, true, RATE},
                                       {"Datagrams Sent/sec", C::IpDatagramsSent, sources, true, RATE}};
    };
    auto udp = [](uint32_t sources) {
        return std::vector<CounterDef>{{"Datagrams/sec", C::UdpDatagrams, sources | UP, true, RATE},
                                       {"Datagrams Received/sec", C::UdpDatagramsReceived, sources | UP, true, RATE},
                                       {"Datagrams Sent/sec", C::UdpDatagramsSent, sources | UP, true, RATE},
                                       {"Datagrams Received Errors", C::UdpReceiveErrors, sources, false, RAW}};
    };
    return {
        {"TCPv4", ObjectId::TCPv4, false,
         {{"Connections Established", C::TcpEstablished, SNMP, false, RAW},
          {"Connections Active", C::TcpActive, SNMP, false, RAW},
          {"Connections Passive", C::TcpPassive, SNMP, false, RAW},
          {"Connection Failures", C::TcpFailures, SNMP, false, RAW},
          {"Connections Reset", C::TcpResets, SNMP, false, RAW},
          {"Segments/sec", C::TcpSegments, SNMPR, true, RATE},
          {"Segments Received/sec", C::TcpSegmentsReceived, SNMPR, true, RATE},
          {"Segments Sent/sec", C::TcpSegmentsSent, SNMPR, true, RATE},
          {"Segments Retransmitted/sec", C::TcpRetransmitted, SNMPR, true, RATE}}},
        {"IPv4", ObjectId::IPv4, false, datagrams(SNMPR)},
        {"IPv6", ObjectId::IPv6, false, datagrams(SNMP6R)},
        {"UDPv4", ObjectId::UDPv4, false, udp(SRC_SNMP)},
        {"UDPv6", ObjectId::UDPv6, false, udp(SRC_SNMP6)},
    };
}

// The collector itself; these names are fixed, checks and dashboards use them.
std::vector<CounterDef> selfCounters()
{
    using C = CounterId;
    const uint32_t SELF = SRC_SELF;
    const uint32_t SELFR = SRC_SELF | UP;
    return {
        {"% Processor Time", C::SelfProcessorTime, SELFR, true, TIMER},
        {"% Poller Time", C::SelfPollerTime, SELFR, true, TIMER},
        {"% Writer Time", C::SelfWriterTime, SELFR, true, TIMER},
        {"% Delivery Time", C::SelfDeliveryTime, SELFR, true, TIMER},
        {"% Listener Time", C::SelfListenerTime, SELFR, true, TIMER},
        {"Working Set", C::SelfWorkingSet, SELF, false, LARGE},
        {"Private Bytes", C::SelfPrivateBytes, SELF, false, LARGE},
        {"Thread Count", C::SelfThreadCount, SELF, false, RAW},
        {"Handle Count", C::SelfHandleCount, SELF, false, RAW},
        {"Wake-ups/sec", C::SelfWakeups, SELFR, true, RATE},
        {"Samples Late/sec", C::SelfSamplesLate, SELFR, true, RATE},
        {"Samples Missed", C::SelfSamplesMissed, SELF, false, LARGE},
        {"Records Written", C::SelfRecordsWritten, SELF, false, LARGE},
        {"Records Failed", C::SelfRecordsFailed, SELF, false, LARGE},
        {"Files Delivered", C::SelfFilesDelivered, SELF, false, LARGE},
        {"Files Pending", C::SelfFilesPending, SELF, false, LARGE},
        {"Delivery Failures", C::SelfDeliveryFailures, SELF, false, LARGE},
        {"Last Delivery Age", C::SelfLastDeliveryAge, SELF, false, LARGE},
        {"Commands Received", C::SelfCommandsReceived, SELF, false, LARGE},
        {"Junk Messages Dropped", C::SelfJunkDropped, SELF, false, LARGE},
        {"Export Backlog Records", C::SelfExportBacklog, SELF, false, LARGE},
        {"Export Failures", C::SelfExportFailures, SELF, false, LARGE},
        {"Configuration Reloads", C::SelfReloads, SELF, false, LARGE},
        {"Failed Reloads", C::SelfFailedReloads, SELF, false, LARGE},
    };
}

std::vector<ObjectDef> buildCatalogue()
{
    std::vector<ObjectDef> all = systemObjects();
    for (ObjectDef& o : networkObjects())
        all.push_back(std::move(o));
    all.push_back({"Process", ObjectId::Process, true, processCounters()});
    for (ObjectDef& o : protocolObjects())
        all.push_back(std::move(o));
    // Published later: last, so that the indices of the earlier names stay.
    all.push_back({"Process V2", ObjectId::ProcessV2, true, processCounters()});
    all.push_back({"Ravlon Collector", ObjectId::RavlonCollector, false, selfCounters()});
    return all;
}

bool isLater(const std::string& name)
{
    for (const Later& l : LATER)
        if (name == l.name)
            return true;
    return false;
}

// Indices are handed out once, in catalogue order, to each distinct name;
// a name used by two objects (% Processor Time) has one index, as on
// Windows. Later names come after all earlier ones, so that the indices
// stay stable.
std::vector<std::pair<uint32_t, std::string>> buildNameTable()
{
    std::vector<std::pair<uint32_t, std::string>> table;
    std::map<std::string, uint32_t> seen;
    uint32_t next = 2;
    auto add = [&](const std::string& name) {
        if (seen.count(name) != 0)
            return;
        seen[name] = next;
        table.emplace_back(next, name);
        next += 2;
    };
    for (int pass = 0; pass < 2; ++pass) {
        for (const ObjectDef& o : catalogue()) {
            bool earlierObject = o.id <= ObjectId::Process;
            if (pass == 1 || earlierObject)
                add(o.name);
            for (const CounterDef& c : o.counters)
                if (pass == 1 || (earlierObject && !isLater(c.name)))
                    add(c.name);
        }
    }
    return table;
}

} // namespace

const std::vector<ObjectDef>& catalogue()
{
    static const std::vector<ObjectDef> all = buildCatalogue();
    return all;
}

const ObjectDef* findObject(const std::string& name)
{
    for (const ObjectDef& o : catalogue())
        if (name == o.name)
            return &o;
    return nullptr;
}

const CounterDef* findCounter(const ObjectDef& object, const std::string& name)
{
    for (const CounterDef& c : object.counters)
        if (name == c.name)
            return &c;
    return nullptr;
}

const std::vector<std::pair<uint32_t, std::string>>& nameTable()
{
    static const std::vector<std::pair<uint32_t, std::string>> table = buildNameTable();
    return table;
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
