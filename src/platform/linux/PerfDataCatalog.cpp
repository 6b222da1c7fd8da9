// The objects and counters the Linux backend publishes, named as on Windows
// so that one counters file serves both.

#include "platform/linux/PerfDataLinux.h"

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
constexpr uint32_t NET = SRC_NETDEV;
constexpr uint32_t NETR = SRC_NETDEV | SRC_UPTIME;
constexpr uint32_t PROC = SRC_PROCESSES;
constexpr uint32_t PROCR = SRC_PROCESSES | SRC_UPTIME;

std::vector<ObjectDef> buildCatalogue()
{
    using C = CounterId;
    return {
        {"Processor", ObjectId::Processor, true,
         {{"% Processor Time", C::CpuProcessorTime, CPU, true, true},
          {"% Idle Time", C::CpuIdleTime, CPU, true, true},
          {"% User Time", C::CpuUserTime, CPU, true, true},
          {"% Privileged Time", C::CpuPrivilegedTime, CPU, true, true},
          {"% Interrupt Time", C::CpuInterruptTime, CPU, true, true},
          {"% DPC Time", C::CpuDpcTime, CPU, true, true},
          // _Total from /proc/stat, the single processors from /proc/interrupts
          {"Interrupts/sec", C::CpuInterrupts, CPU | SRC_INTERRUPTS | UP, true, false}}},
        {"System", ObjectId::System, false,
         {{"Processor Queue Length", C::SysQueueLength, SRC_LOADAVG, false, false},
          {"Processes", C::SysProcesses, SRC_PIDLIST, false, false},
          {"Threads", C::SysThreads, SRC_LOADAVG, false, false},
          {"Context Switches/sec", C::SysContextSwitches, CPU | UP, true, false},
          {"System Up Time", C::SysUpTime, UP, false, false}}},
        {"Memory", ObjectId::Memory, false,
         {{"Available Bytes", C::MemAvailableBytes, MEM, false, false},
          {"Available KBytes", C::MemAvailableKBytes, MEM, false, false},
          {"Available MBytes", C::MemAvailableMBytes, MEM, false, false},
          {"Committed Bytes", C::MemCommittedBytes, MEM, false, false},
          {"Commit Limit", C::MemCommitLimit, MEM, false, false},
          {"% Committed Bytes In Use", C::MemCommittedInUse, MEM, false, true},
          {"Cache Bytes", C::MemCacheBytes, MEM, false, false},
          {"Page Faults/sec", C::MemPageFaults, VM, true, false},
          {"Pages/sec", C::MemPages, VM, true, false},
          {"Pages Input/sec", C::MemPagesInput, VM, true, false},
          {"Pages Output/sec", C::MemPagesOutput, VM, true, false}}},
        {"Paging File", ObjectId::PagingFile, true,
         {{"% Usage", C::PagingUsage, MEM, false, true}}},
        {"PhysicalDisk", ObjectId::PhysicalDisk, true,
         {{"Disk Reads/sec", C::DiskReads, DISKR, true, false},
          {"Disk Writes/sec", C::DiskWrites, DISKR, true, false},
          {"Disk Transfers/sec", C::DiskTransfers, DISKR, true, false},
          {"Disk Read Bytes/sec", C::DiskReadBytes, DISKR, true, false},
          {"Disk Write Bytes/sec", C::DiskWriteBytes, DISKR, true, false},
          {"Disk Bytes/sec", C::DiskBytes, DISKR, true, false},
          {"% Disk Time", C::DiskTime, DISKR, true, true},
          {"% Idle Time", C::DiskIdleTime, DISKR, true, true},
          {"Avg. Disk Queue Length", C::DiskAvgQueue, DISKR, true, false},
          {"Current Disk Queue Length", C::DiskCurrentQueue, DISK, false, false},
          {"Avg. Disk sec/Read", C::DiskSecPerRead, DISK, true, false},
          {"Avg. Disk sec/Write", C::DiskSecPerWrite, DISK, true, false}}},
        {"LogicalDisk", ObjectId::LogicalDisk, true,
         {{"% Free Space", C::LdFreeSpace, SRC_MOUNTS, false, true},
          {"Free Megabytes", C::LdFreeMegabytes, SRC_MOUNTS, false, false}}},
        {"Network Interface", ObjectId::NetworkInterface, true,
         {{"Bytes Received/sec", C::NetBytesReceived, NETR, true, false},
          {"Bytes Sent/sec", C::NetBytesSent, NETR, true, false},
          {"Bytes Total/sec", C::NetBytesTotal, NETR, true, false},
          {"Packets/sec", C::NetPackets, NETR, true, false},
          {"Packets Received/sec", C::NetPacketsReceived, NETR, true, false},
          {"Packets Sent/sec", C::NetPacketsSent, NETR, true, false},
          {"Packets Received Errors", C::NetReceiveErrors, NET, false, false},
          {"Current Bandwidth", C::NetBandwidth, NET | SRC_NETSPEED, false, false}}},
        {"Process", ObjectId::Process, true,
         {{"% Processor Time", C::ProcProcessorTime, PROCR, true, true},
          {"% User Time", C::ProcUserTime, PROCR, true, true},
          {"% Privileged Time", C::ProcPrivilegedTime, PROCR, true, true},
          {"Working Set", C::ProcWorkingSet, PROC, false, false},
          {"Private Bytes", C::ProcPrivateBytes, PROC | SRC_PROCSTATM, false, false},
          {"Virtual Bytes", C::ProcVirtualBytes, PROC, false, false},
          {"Thread Count", C::ProcThreadCount, PROC, false, false},
          {"Handle Count", C::ProcHandleCount, PROC | SRC_PROCFD, false, false},
          {"ID Process", C::ProcId, PROC, false, false},
          {"Elapsed Time", C::ProcElapsedTime, PROC | UP, false, false},
          {"Page Faults/sec", C::ProcPageFaults, PROCR, true, false}}},
    };
}

// Indices are handed out once, in catalogue order, to each distinct name;
// a name used by two objects (% Processor Time) has one index, as on
// Windows. New names go at the end so that the indices stay stable.
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
    for (const ObjectDef& o : catalogue()) {
        add(o.name);
        for (const CounterDef& c : o.counters)
            add(c.name);
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
