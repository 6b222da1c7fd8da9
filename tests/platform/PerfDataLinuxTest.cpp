// The Linux performance-data backend against fixture trees of /proc and /sys:
// snapshots in tests/data/proc, copied one after the other into a root that
// TELVAR_PROC_ROOT / TELVAR_SYS_ROOT point at.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include <condition_variable>
#include <mutex>

#include "platform/CollectorStatistics.h"
#include "platform/PerfData.h"
#include "platform/Process.h"
#include "platform/ThreadId.h"
#include "platform/linux/PerfDataLinux.h"
#include "support/ChildMain.h"
#include "support/ChildProcess.h"
#include "support/Waiting.h"

using namespace Telvar::Platform;
namespace fs = std::filesystem;

namespace {

const std::string FIXTURES = std::string(TEST_SOURCE_DIR) + "/data/proc/";

class PerfDataLinuxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::path(TEST_BINARY_DIR) / ("perfdata-root-" + std::to_string(currentProcessId()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "proc");
        fs::create_directories(root_ / "sys");
        setEnvironmentVariable("TELVAR_PROC_ROOT", (root_ / "proc").string());
        setEnvironmentVariable("TELVAR_SYS_ROOT", (root_ / "sys").string());
        // LogicalDisk sizes of the fixture's two local file systems.
        setFileSystemSpaceFunction([](const std::string& mountPoint, FileSystemSpace& space) {
            const uint64_t mb = 1048576;
            if (mountPoint == "/") {
                space = FileSystemSpace{1000 * mb, 250 * mb};
                return true;
            }
            if (mountPoint == "/data disk") {
                space = FileSystemSpace{3000 * mb, 1500 * mb};
                return true;
            }
            return false;
        });
        ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().openQuery(query_));
    }

    void TearDown() override
    {
        pdh().closeQuery(query_);
        setFileSystemSpaceFunction(nullptr);
        unsetEnvironmentVariable("TELVAR_PROC_ROOT");
        unsetEnvironmentVariable("TELVAR_SYS_ROOT");
        fs::remove_all(root_);
    }

    static PerfDataProvider& pdh() { return systemPerfData(); }

    // Replaces the tree under the root by a fixture snapshot.
    void useSnapshot(const std::string& name)
    {
        clearRoot();
        fs::copy(FIXTURES + name, root_, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }

    void clearRoot()
    {
        fs::remove_all(root_);
        fs::create_directories(root_ / "proc");
        fs::create_directories(root_ / "sys");
    }

    void writeFile(const std::string& relative, const std::string& text)
    {
        fs::path p = root_ / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }

    PdhHandle add(const std::string& path)
    {
        PdhHandle h = PDH_NULL_HANDLE;
        PdhStatus s = pdh().addCounter(query_, path, 0, h);
        EXPECT_EQ(PDH_CSTATUS_VALID_DATA, s) << path;
        handles_[path] = h;
        return h;
    }

    void collect() { ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().collectQueryData(query_)); }

    // The call's status and the value's own status of one read.
    struct Read {
        PdhStatus status;
        PdhStatus cStatus;
        double value;
        int64_t large;
    };
    Read read(const std::string& path, uint32_t format = PDH_FMT_DOUBLE)
    {
        PdhFmtCounterValue v;
        PdhStatus s = pdh().getFormattedValue(handles_.at(path), format, nullptr, v);
        return Read{s, v.cStatus, v.doubleValue, v.largeValue};
    }

    void expectValue(const std::string& path, double expected)
    {
        Read r = read(path);
        EXPECT_EQ(PDH_CSTATUS_VALID_DATA, r.status) << path;
        EXPECT_EQ(PDH_CSTATUS_VALID_DATA, r.cStatus) << path;
        EXPECT_EQ(expected, r.value) << path;  // exact: the numbers are chosen to be
    }

    void expectStatus(const std::string& path, PdhStatus cStatus)
    {
        Read r = read(path);
        EXPECT_EQ(PDH_INVALID_DATA, r.status) << path;
        EXPECT_EQ(cStatus, r.cStatus) << path;
    }

    fs::path root_;
    PdhHandle query_ = PDH_NULL_HANDLE;
    std::map<std::string, PdhHandle> handles_;
};

struct Expected {
    std::string path;
    double value;  // < 0: the counter has no valid data (see the status)
    PdhStatus cStatus = PDH_CSTATUS_VALID_DATA;
};

// Every counter of every object, hand-computed from snap1 -> snap2 (2.00 s
// of uptime apart, 100 clock ticks per second, 4096-byte pages).
const std::vector<Expected>& fixtureExpectations()
{
    static const std::vector<Expected> all = {
        // cpu0 deltas: user 60 nice 20 system 30 idle 60 iowait 10 irq 5 softirq 10 steal 5 = 200
        {"\\Processor(0)\\% Processor Time", 65},
        {"\\Processor(0)\\% Idle Time", 35},
        {"\\Processor(0)\\% User Time", 40},
        {"\\Processor(0)\\% Privileged Time", 22.5},
        {"\\Processor(0)\\% Interrupt Time", 2.5},
        {"\\Processor(0)\\% DPC Time", 5},
        {"\\Processor(0)\\Interrupts/sec", 110},  // (335 - 115) / 2; ERR line left out
        // cpu1: user 20 system 10 idle 150 iowait 10 irq 2 softirq 4 steal 4 = 200
        {"\\Processor(1)\\% Processor Time", 20},
        {"\\Processor(1)\\% Idle Time", 80},
        {"\\Processor(1)\\% User Time", 10},
        {"\\Processor(1)\\% Privileged Time", 8},
        {"\\Processor(1)\\% Interrupt Time", 1},
        {"\\Processor(1)\\% DPC Time", 2},
        {"\\Processor(1)\\Interrupts/sec", 41},  // (307 - 225) / 2
        {"\\Processor(_Total)\\% Processor Time", 42.5},
        {"\\Processor(_Total)\\% Idle Time", 57.5},
        {"\\Processor(_Total)\\% User Time", 25},
        {"\\Processor(_Total)\\% Privileged Time", 15.25},
        {"\\Processor(_Total)\\% Interrupt Time", 1.75},
        {"\\Processor(_Total)\\% DPC Time", 3.5},
        {"\\Processor(_Total)\\Interrupts/sec", 500},
        // softirqs: cpu0 (231 - 111) / 2, cpu1 (130 - 70) / 2, _Total (410 - 10) / 2 from /proc/stat
        {"\\Processor(0)\\DPCs Queued/sec", 60},
        {"\\Processor(1)\\DPCs Queued/sec", 30},
        {"\\Processor(_Total)\\DPCs Queued/sec", 200},
        {"\\System\\Processor Queue Length", 3},
        {"\\System\\Processes", 5},
        {"\\System\\Threads", 250},
        {"\\System\\Context Switches/sec", 2000},
        {"\\System\\System Up Time", 1002},
        // syscr and syscw of bash (+20, +6) and bash#1 (+4, +2); the worker's io is unreadable
        {"\\System\\File Read Operations/sec", 12},
        {"\\System\\File Write Operations/sec", 4},
        {"\\Memory\\Available Bytes", 4096000000.0},
        {"\\Memory\\Available KBytes", 4000000},
        {"\\Memory\\Available MBytes", 3906.25},
        {"\\Memory\\Committed Bytes", 5120000000.0},
        {"\\Memory\\Commit Limit", 10240000000.0},
        {"\\Memory\\% Committed Bytes In Use", 50},
        {"\\Memory\\Cache Bytes", 2048000000.0},
        {"\\Memory\\Page Faults/sec", 3000},
        {"\\Memory\\Pages/sec", 150},
        {"\\Memory\\Pages Input/sec", 50},
        {"\\Memory\\Pages Output/sec", 100},
        {"\\Memory\\Page Reads/sec", 5},             // pgmajfault +10
        {"\\Memory\\Page Writes/sec", 20},           // pswpout +40
        {"\\Memory\\Transition Faults/sec", 2995},   // (pgfault +6000 - pgmajfault +10) / 2
        {"\\Memory\\Pool Paged Bytes", 256000000},   // KReclaimable 250000 kB
        {"\\Memory\\Pool Nonpaged Bytes", 51200000}, // SUnreclaim 50000 kB
        {"\\Memory\\Modified Page List Bytes", 409600},  // Dirty 100 + Writeback 300 kB
        {"\\Memory\\Free & Zero Page List Bytes", 1024000000.0},
        {"\\Memory\\Standby Cache Normal Priority Bytes", 1228800000.0},  // Inactive(file)
        {"\\Paging File(_Total)\\% Usage", 25},
        {"\\Paging File(_Total)\\% Usage Peak", 25},
        {"\\PhysicalDisk(vda)\\Disk Reads/sec", 50},
        {"\\PhysicalDisk(vda)\\Disk Writes/sec", 100},
        {"\\PhysicalDisk(vda)\\Disk Transfers/sec", 150},
        {"\\PhysicalDisk(vda)\\Disk Read Bytes/sec", 2048000},
        {"\\PhysicalDisk(vda)\\Disk Write Bytes/sec", 4096000},
        {"\\PhysicalDisk(vda)\\Disk Bytes/sec", 6144000},
        {"\\PhysicalDisk(vda)\\% Disk Time", 50},
        {"\\PhysicalDisk(vda)\\% Idle Time", 50},
        {"\\PhysicalDisk(vda)\\Avg. Disk Queue Length", 0.5},
        {"\\PhysicalDisk(vda)\\Current Disk Queue Length", 2},
        {"\\PhysicalDisk(vda)\\Avg. Disk sec/Read", 0.003},
        {"\\PhysicalDisk(vda)\\Avg. Disk sec/Write", 0.004},
        // vda: reads +100 (8000 sectors, 300 ms), writes +200 (16000 sectors, 800 ms) in 2000 ms
        {"\\PhysicalDisk(vda)\\% Disk Read Time", 15},
        {"\\PhysicalDisk(vda)\\% Disk Write Time", 40},
        {"\\PhysicalDisk(vda)\\Avg. Disk Read Queue Length", 0.15},
        {"\\PhysicalDisk(vda)\\Avg. Disk Write Queue Length", 0.4},
        {"\\PhysicalDisk(vda)\\Avg. Disk sec/Transfer", 1100.0 / 300 / 1000},
        {"\\PhysicalDisk(vda)\\Avg. Disk Bytes/Read", 40960},
        {"\\PhysicalDisk(vda)\\Avg. Disk Bytes/Write", 40960},
        {"\\PhysicalDisk(vda)\\Avg. Disk Bytes/Transfer", 40960},
        {"\\PhysicalDisk(sdb)\\Disk Reads/sec", 12.5},
        {"\\PhysicalDisk(sdb)\\Disk Writes/sec", 0},
        {"\\PhysicalDisk(sdb)\\Disk Transfers/sec", 12.5},
        {"\\PhysicalDisk(sdb)\\Disk Read Bytes/sec", 204800},
        {"\\PhysicalDisk(sdb)\\Disk Write Bytes/sec", 0},
        {"\\PhysicalDisk(sdb)\\Disk Bytes/sec", 204800},
        {"\\PhysicalDisk(sdb)\\% Disk Time", 10},
        {"\\PhysicalDisk(sdb)\\% Idle Time", 90},
        {"\\PhysicalDisk(sdb)\\Avg. Disk Queue Length", 0.2},
        {"\\PhysicalDisk(sdb)\\Current Disk Queue Length", 1},
        {"\\PhysicalDisk(sdb)\\Avg. Disk sec/Read", 0.008},
        {"\\PhysicalDisk(sdb)\\Avg. Disk sec/Write", 0},
        {"\\PhysicalDisk(sdb)\\% Disk Read Time", 10},
        {"\\PhysicalDisk(sdb)\\% Disk Write Time", 0},
        {"\\PhysicalDisk(sdb)\\Avg. Disk Read Queue Length", 0.1},
        {"\\PhysicalDisk(sdb)\\Avg. Disk Write Queue Length", 0},
        {"\\PhysicalDisk(sdb)\\Avg. Disk sec/Transfer", 0.008},
        {"\\PhysicalDisk(sdb)\\Avg. Disk Bytes/Read", 16384},
        {"\\PhysicalDisk(sdb)\\Avg. Disk Bytes/Write", 0},
        {"\\PhysicalDisk(sdb)\\Avg. Disk Bytes/Transfer", 16384},
        {"\\PhysicalDisk(_Total)\\Disk Reads/sec", 62.5},
        {"\\PhysicalDisk(_Total)\\Disk Writes/sec", 100},
        {"\\PhysicalDisk(_Total)\\Disk Transfers/sec", 162.5},
        {"\\PhysicalDisk(_Total)\\Disk Read Bytes/sec", 2252800},
        {"\\PhysicalDisk(_Total)\\Disk Write Bytes/sec", 4096000},
        {"\\PhysicalDisk(_Total)\\Disk Bytes/sec", 6348800},
        {"\\PhysicalDisk(_Total)\\% Disk Time", 30},
        {"\\PhysicalDisk(_Total)\\% Idle Time", 70},
        {"\\PhysicalDisk(_Total)\\Avg. Disk Queue Length", 0.7},
        {"\\PhysicalDisk(_Total)\\Current Disk Queue Length", 3},
        {"\\PhysicalDisk(_Total)\\Avg. Disk sec/Read", 0.004},
        {"\\PhysicalDisk(_Total)\\Avg. Disk sec/Write", 0.004},
        // percentages are the mean over the disks, queue lengths their sum, averages over all their I/O
        {"\\PhysicalDisk(_Total)\\% Disk Read Time", 12.5},
        {"\\PhysicalDisk(_Total)\\% Disk Write Time", 20},
        {"\\PhysicalDisk(_Total)\\Avg. Disk Read Queue Length", 0.25},
        {"\\PhysicalDisk(_Total)\\Avg. Disk Write Queue Length", 0.4},
        {"\\PhysicalDisk(_Total)\\Avg. Disk sec/Transfer", 1300.0 / 325 / 1000},
        {"\\PhysicalDisk(_Total)\\Avg. Disk Bytes/Read", 8800.0 * 512 / 125},
        {"\\PhysicalDisk(_Total)\\Avg. Disk Bytes/Write", 40960},
        {"\\PhysicalDisk(_Total)\\Avg. Disk Bytes/Transfer", 24800.0 * 512 / 325},
        {"\\PhysicalDisk(vda1)\\Disk Reads/sec", -1, PDH_CSTATUS_NO_INSTANCE},   // a partition
        {"\\PhysicalDisk(loop0)\\Disk Reads/sec", -1, PDH_CSTATUS_NO_INSTANCE},  // never used
        // a logical volume on vda: no disk of its own, its I/O is in vda already
        {"\\PhysicalDisk(dm-0)\\Disk Reads/sec", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\PhysicalDisk(dm-0)\\Current Disk Queue Length", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\LogicalDisk(/)\\% Free Space", 25},
        {"\\LogicalDisk(/)\\Free Megabytes", 250},
        {"\\LogicalDisk(/data disk)\\% Free Space", 50},
        {"\\LogicalDisk(/data disk)\\Free Megabytes", 1500},
        {"\\LogicalDisk(_Total)\\% Free Space", 43.75},
        {"\\LogicalDisk(_Total)\\Free Megabytes", 1750},
        // "/" is on vda1: reads +50 (4000 sectors, 100 ms), writes +100 (8000 sectors, 300 ms),
        // busy 200 ms, queue 400 ms, 1 in flight; "/data disk" is on sdb
        {"\\LogicalDisk(/)\\% Disk Time", 10},
        {"\\LogicalDisk(/)\\Avg. Disk Queue Length", 0.2},
        {"\\LogicalDisk(/)\\Current Disk Queue Length", 1},
        {"\\LogicalDisk(/)\\Avg. Disk sec/Read", 0.002},
        {"\\LogicalDisk(/)\\Avg. Disk sec/Write", 0.003},
        {"\\LogicalDisk(/)\\Disk Reads/sec", 25},
        {"\\LogicalDisk(/)\\Disk Writes/sec", 50},
        {"\\LogicalDisk(/)\\Disk Transfers/sec", 75},
        {"\\LogicalDisk(/)\\Disk Bytes/sec", 3072000},
        {"\\LogicalDisk(/data disk)\\% Disk Time", 10},
        {"\\LogicalDisk(/data disk)\\Avg. Disk Queue Length", 0.2},
        {"\\LogicalDisk(/data disk)\\Current Disk Queue Length", 1},
        {"\\LogicalDisk(/data disk)\\Avg. Disk sec/Read", 0.008},
        {"\\LogicalDisk(/data disk)\\Disk Reads/sec", 12.5},
        {"\\LogicalDisk(/data disk)\\Disk Bytes/sec", 204800},
        {"\\LogicalDisk(_Total)\\% Disk Time", 10},
        {"\\LogicalDisk(_Total)\\Avg. Disk Queue Length", 0.4},
        {"\\LogicalDisk(_Total)\\Current Disk Queue Length", 2},
        {"\\LogicalDisk(_Total)\\Avg. Disk sec/Read", 0.004},
        {"\\LogicalDisk(_Total)\\Avg. Disk sec/Write", 0.003},
        {"\\LogicalDisk(_Total)\\Disk Reads/sec", 37.5},
        {"\\LogicalDisk(_Total)\\Disk Writes/sec", 50},
        {"\\LogicalDisk(_Total)\\Disk Transfers/sec", 87.5},
        {"\\LogicalDisk(_Total)\\Disk Bytes/sec", 3276800},
        {"\\LogicalDisk(/tmp)\\Disk Reads/sec", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\LogicalDisk(/tmp)\\Free Megabytes", -1, PDH_CSTATUS_NO_INSTANCE},  // not on a device
        {"\\Network Interface(eth0)\\Bytes Received/sec", 100000},
        {"\\Network Interface(eth0)\\Bytes Sent/sec", 20000},
        {"\\Network Interface(eth0)\\Bytes Total/sec", 120000},
        {"\\Network Interface(eth0)\\Packets/sec", 700},
        {"\\Network Interface(eth0)\\Packets Received/sec", 500},
        {"\\Network Interface(eth0)\\Packets Sent/sec", 200},
        {"\\Network Interface(eth0)\\Packets Received Errors", 5},
        {"\\Network Interface(eth0)\\Current Bandwidth", 1e9},
        {"\\Network Interface(eth0)\\Packets Outbound Errors", 2},
        {"\\Network Interface(eth0)\\Packets Received Discarded", 1},
        {"\\Network Interface(eth0)\\Packets Outbound Discarded", 3},
        {"\\Network Interface(lo)\\Bytes Received/sec", 200},
        {"\\Network Interface(lo)\\Bytes Sent/sec", 200},
        {"\\Network Interface(lo)\\Bytes Total/sec", 400},
        {"\\Network Interface(lo)\\Packets/sec", 4},
        {"\\Network Interface(lo)\\Packets Received/sec", 2},
        {"\\Network Interface(lo)\\Packets Sent/sec", 2},
        {"\\Network Interface(lo)\\Packets Received Errors", 0},
        {"\\Network Interface(lo)\\Current Bandwidth", 0},  // no speed file
        {"\\Network Interface(wlan0)\\Bytes Received/sec", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\Network Interface(wlan0)\\Current Bandwidth", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\Network Interface(wlan0)\\Packets Outbound Errors", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\TCPv4\\Connections Established", 14},
        {"\\TCPv4\\Connections Active", 104},
        {"\\TCPv4\\Connections Passive", 51},
        {"\\TCPv4\\Connection Failures", 8},
        {"\\TCPv4\\Connections Reset", 4},
        {"\\TCPv4\\Segments/sec", 500},                // InSegs +600, OutSegs +400
        {"\\TCPv4\\Segments Received/sec", 300},
        {"\\TCPv4\\Segments Sent/sec", 200},
        {"\\TCPv4\\Segments Retransmitted/sec", 5},
        {"\\IPv4\\Datagrams/sec", 300},                // InReceives +400, OutRequests +200
        {"\\IPv4\\Datagrams Received/sec", 200},
        {"\\IPv4\\Datagrams Sent/sec", 100},
        {"\\IPv6\\Datagrams/sec", 30},                 // Ip6InReceives +40, Ip6OutRequests +20
        {"\\IPv6\\Datagrams Received/sec", 20},
        {"\\IPv6\\Datagrams Sent/sec", 10},
        {"\\UDPv4\\Datagrams/sec", 80},                // InDatagrams +100, OutDatagrams +60 (not UdpLite's)
        {"\\UDPv4\\Datagrams Received/sec", 50},
        {"\\UDPv4\\Datagrams Sent/sec", 30},
        {"\\UDPv4\\Datagrams Received Errors", 3},
        {"\\UDPv6\\Datagrams/sec", 8},                 // Udp6InDatagrams +10, Udp6OutDatagrams +6
        {"\\UDPv6\\Datagrams Received/sec", 5},
        {"\\UDPv6\\Datagrams Sent/sec", 3},
        {"\\UDPv6\\Datagrams Received Errors", 2},
        // init: utime +2, stime +4, faults +22; no readable fd directory
        {"\\Process(init)\\% Processor Time", 3},
        {"\\Process(init)\\% User Time", 1},
        {"\\Process(init)\\% Privileged Time", 2},
        {"\\Process(init)\\Working Set", 2048000},
        {"\\Process(init)\\Private Bytes", 1228800},
        {"\\Process(init)\\Virtual Bytes", 5000000},
        {"\\Process(init)\\Thread Count", 1},
        {"\\Process(init)\\Handle Count", -1, PDH_CSTATUS_INVALID_DATA},
        {"\\Process(init)\\ID Process", 1},
        {"\\Process(init)\\Elapsed Time", 1001},
        {"\\Process(init)\\Page Faults/sec", 11},
        {"\\Process(init)\\Working Set Peak", -1, PDH_CSTATUS_INVALID_DATA},  // no status file
        {"\\Process(init)\\Creating Process ID", 1},
        {"\\Process(init)\\Priority Base", 8},  // nice 0
        {"\\Process(init)\\IO Read Bytes/sec", -1, PDH_CSTATUS_INVALID_DATA},  // no io file
        {"\\Process(bash)\\% Processor Time", 50},
        {"\\Process(bash)\\% User Time", 30},
        {"\\Process(bash)\\% Privileged Time", 20},
        {"\\Process(bash)\\Working Set", 4096000},
        {"\\Process(bash)\\Private Bytes", 2867200},
        {"\\Process(bash)\\Virtual Bytes", 10000000},
        {"\\Process(bash)\\Thread Count", 1},
        {"\\Process(bash)\\Handle Count", 3},
        {"\\Process(bash)\\ID Process", 100},
        {"\\Process(bash)\\Elapsed Time", 952},
        {"\\Process(bash)\\Page Faults/sec", 305},
        {"\\Process(bash)\\Working Set Peak", 5120000},     // VmHWM 5000 kB
        {"\\Process(bash)\\Virtual Bytes Peak", 12288000},  // VmPeak 12000 kB
        {"\\Process(bash)\\Creating Process ID", 1},
        {"\\Process(bash)\\Priority Base", 8},
        // io: rchar +2000, wchar +1000, syscr +20, syscw +6
        {"\\Process(bash)\\IO Read Bytes/sec", 1000},
        {"\\Process(bash)\\IO Write Bytes/sec", 500},
        {"\\Process(bash)\\IO Data Bytes/sec", 1500},
        {"\\Process(bash)\\IO Read Operations/sec", 10},
        {"\\Process(bash)\\IO Write Operations/sec", 3},
        {"\\Process(bash)\\IO Data Operations/sec", 13},
        // the second bash: 200 % and 150 %, capped at 100 %
        {"\\Process(bash#1)\\% Processor Time", 100},
        {"\\Process(bash#1)\\% User Time", 100},
        {"\\Process(bash#1)\\% Privileged Time", 50},
        {"\\Process(bash#1)\\Working Set", 8192000},
        {"\\Process(bash#1)\\Private Bytes", 6144000},
        {"\\Process(bash#1)\\Virtual Bytes", 20000000},
        {"\\Process(bash#1)\\Thread Count", 2},
        {"\\Process(bash#1)\\Handle Count", 4},
        {"\\Process(bash#1)\\ID Process", 200},
        {"\\Process(bash#1)\\Elapsed Time", 102},
        {"\\Process(bash#1)\\Page Faults/sec", 100},
        {"\\Process(bash#1)\\Working Set Peak", 9216000},
        {"\\Process(bash#1)\\Virtual Bytes Peak", 20480000},
        {"\\Process(bash#1)\\Priority Base", 6},  // nice 10
        {"\\Process(bash#1)\\IO Read Bytes/sec", 200},
        {"\\Process(bash#1)\\IO Data Operations/sec", 3},
        {"\\Process(my (worker))\\% Processor Time", 10},
        {"\\Process(my (worker))\\% User Time", 5},
        {"\\Process(my (worker))\\% Privileged Time", 5},
        {"\\Process(my (worker))\\Working Set", 409600},
        {"\\Process(my (worker))\\Private Bytes", 204800},
        {"\\Process(my (worker))\\Virtual Bytes", 1000000},
        {"\\Process(my (worker))\\Thread Count", 8},
        {"\\Process(my (worker))\\Handle Count", 1},
        {"\\Process(my (worker))\\ID Process", 300},
        {"\\Process(my (worker))\\Elapsed Time", 12},
        {"\\Process(my (worker))\\Page Faults/sec", 25},
        {"\\Process(my (worker))\\Working Set Peak", -1, PDH_CSTATUS_INVALID_DATA},  // no Vm lines
        {"\\Process(my (worker))\\Creating Process ID", 100},
        {"\\Process(my (worker))\\Priority Base", 10},  // nice -5
        {"\\Process(my (worker))\\IO Write Bytes/sec", -1, PDH_CSTATUS_INVALID_DATA},
        // started between the snapshots: no rate yet
        {"\\Process(newbie)\\% Processor Time", -1, PDH_CSTATUS_INVALID_DATA},
        {"\\Process(newbie)\\Page Faults/sec", -1, PDH_CSTATUS_INVALID_DATA},
        {"\\Process(newbie)\\Working Set", 204800},
        {"\\Process(newbie)\\Private Bytes", 102400},
        {"\\Process(newbie)\\Virtual Bytes", 2000000},
        {"\\Process(newbie)\\Thread Count", 1},
        {"\\Process(newbie)\\Handle Count", 2},
        {"\\Process(newbie)\\ID Process", 400},
        {"\\Process(newbie)\\Elapsed Time", 1},
        {"\\Process(newbie)\\Working Set Peak", 307200},
        {"\\Process(newbie)\\Priority Base", 24},  // real-time
        {"\\Process(newbie)\\IO Read Operations/sec", -1, PDH_CSTATUS_INVALID_DATA},
        // ended between the snapshots
        {"\\Process(short)\\% Processor Time", -1, PDH_CSTATUS_NO_INSTANCE},
        {"\\Process(short)\\Working Set", -1, PDH_CSTATUS_NO_INSTANCE},
        // _Total: rates over the processes seen twice, sizes over all
        {"\\Process(_Total)\\% Processor Time", 100},
        {"\\Process(_Total)\\% User Time", 100},
        {"\\Process(_Total)\\% Privileged Time", 77},
        {"\\Process(_Total)\\Working Set", 14950400},
        {"\\Process(_Total)\\Private Bytes", 10547200},
        {"\\Process(_Total)\\Virtual Bytes", 38000000},
        {"\\Process(_Total)\\Thread Count", 13},
        {"\\Process(_Total)\\Handle Count", 10},
        {"\\Process(_Total)\\ID Process", 0},
        {"\\Process(_Total)\\Elapsed Time", 0},
        {"\\Process(_Total)\\Page Faults/sec", 441},
        {"\\Process(_Total)\\Working Set Peak", 14643200},    // (5000 + 9000 + 300) kB
        {"\\Process(_Total)\\Virtual Bytes Peak", 34816000},  // (12000 + 20000 + 2000) kB
        {"\\Process(_Total)\\Creating Process ID", 0},
        {"\\Process(_Total)\\Priority Base", 0},
        {"\\Process(_Total)\\IO Read Bytes/sec", 1200},
        {"\\Process(_Total)\\IO Write Bytes/sec", 600},
        {"\\Process(_Total)\\IO Data Bytes/sec", 1800},
        {"\\Process(_Total)\\IO Read Operations/sec", 12},
        {"\\Process(_Total)\\IO Write Operations/sec", 4},
        {"\\Process(_Total)\\IO Data Operations/sec", 16},
    };
    return all;
}

// The collector's own object from the /proc/self that its test writes: 2.00 s
// apart, the process 200 ticks busier, its poller thread (the only one
// registered) 500 ms on a processor, its two threads 300 wake-ups; the
// figures as set there.
std::vector<Expected> selfExpectations()
{
    const std::string o = "\\Ravlon Collector\\";
    return {
        {o + "% Processor Time", 100},    {o + "% Poller Time", 25},       {o + "% Writer Time", 0},
        {o + "% Delivery Time", 0},       {o + "% Listener Time", 0},      {o + "Working Set", 4096000},
        {o + "Private Bytes", 3276800},   {o + "Thread Count", 5},         {o + "Handle Count", 4},
        {o + "Wake-ups/sec", 150},        {o + "Samples Late/sec", 2},     {o + "Samples Missed", 7},
        {o + "Records Written", 101},     {o + "Records Failed", 102},     {o + "Files Delivered", 103},
        {o + "Files Pending", 104},       {o + "Delivery Failures", 105},  {o + "Last Delivery Age", 0},
        {o + "Commands Received", 106},   {o + "Junk Messages Dropped", 107}, {o + "Export Backlog Records", 0},
        {o + "Export Failures", 0},       {o + "Configuration Reloads", 108}, {o + "Failed Reloads", 109},
    };
}

// Process V2 names the same processes by name and id: bash:100 is Process(bash).
std::vector<Expected> processV2Expectations()
{
    std::vector<Expected> all;
    const std::string from = "\\Process(bash)\\";
    for (Expected e : fixtureExpectations()) {
        if (e.path.compare(0, from.size(), from) != 0)
            continue;
        e.path = "\\Process V2(bash:100)\\" + e.path.substr(from.size());
        all.push_back(e);
    }
    return all;
}

} // namespace

TEST_F(PerfDataLinuxTest, FixtureAssumesTheUsualTicksAndPages)
{
    // The hand-computed numbers take 100 ticks per second and 4 KiB pages.
    ASSERT_EQ(100, LinuxPerf::clockTicksPerSecond());
    ASSERT_EQ(4096, LinuxPerf::pageSizeBytes());
}

TEST_F(PerfDataLinuxTest, EveryCounterFromTwoSnapshots)
{
    std::vector<Expected> all = fixtureExpectations();
    for (const Expected& e : processV2Expectations())
        all.push_back(e);
    for (const Expected& e : all)
        add(e.path);
    useSnapshot("snap1");
    collect();
    useSnapshot("snap2");
    collect();
    for (const Expected& e : all) {
        if (e.value >= 0)
            expectValue(e.path, e.value);
        else
            expectStatus(e.path, e.cStatus);
    }
}

TEST_F(PerfDataLinuxTest, EveryPublishedCounterIsCoveredByTheFixture)
{
    std::map<std::string, bool> covered;
    std::vector<Expected> all = fixtureExpectations();
    for (const std::vector<Expected>& more : {processV2Expectations(), selfExpectations()})
        all.insert(all.end(), more.begin(), more.end());
    for (const Expected& e : all) {
        std::string machine, object, instance, counter;
        bool hasInstance = false;
        ASSERT_TRUE(LinuxPerf::splitCounterPath(e.path, machine, object, instance, hasInstance, counter));
        if (e.value >= 0)
            covered[object + "\\" + counter] = true;
    }
    for (const LinuxPerf::ObjectDef& o : LinuxPerf::catalogue())
        for (const LinuxPerf::CounterDef& c : o.counters)
            EXPECT_TRUE(covered[std::string(o.name) + "\\" + c.name]) << o.name << "\\" << c.name;
}

TEST_F(PerfDataLinuxTest, FirstCollectionGivesInstantValuesAndNoRates)
{
    for (const Expected& e : fixtureExpectations())
        add(e.path);
    for (const Expected& e : processV2Expectations())
        add(e.path);
    add("\\Process(short)\\ID Process");
    useSnapshot("snap1");
    collect();
    expectValue("\\Memory\\Available Bytes", 3072000000.0);
    expectValue("\\Memory\\% Committed Bytes In Use", 48);
    expectValue("\\Paging File(_Total)\\% Usage", 20);
    expectValue("\\System\\Threads", 240);
    expectValue("\\Process(short)\\ID Process", 150);
    expectValue("\\Network Interface(wlan0)\\Current Bandwidth", 54e6);
    int rates = 0;
    for (const LinuxPerf::ObjectDef& o : LinuxPerf::catalogue()) {
        for (const LinuxPerf::CounterDef& c : o.counters) {
            if (!c.rate || o.id == LinuxPerf::ObjectId::RavlonCollector)  // no /proc/self in the fixture
                continue;
            std::string instance = !o.multiInstance                                        ? ""
                                   : o.id == LinuxPerf::ObjectId::NetworkInterface ? "(eth0)"
                                   : o.id == LinuxPerf::ObjectId::ProcessV2        ? "(bash:100)"
                                                                                   : "(_Total)";
            std::string path = "\\" + std::string(o.name) + instance + "\\" + c.name;
            ASSERT_EQ(1u, handles_.count(path)) << path;
            expectStatus(path, PDH_CSTATUS_INVALID_DATA);
            ++rates;
        }
    }
    EXPECT_EQ(87, rates);  // Processor 8, System 3, Memory 7, PhysicalDisk 19, LogicalDisk 8, Network 6,
                           // Process 10, TCPv4 4, IPv4, IPv6, UDPv4, UDPv6 3 each, Process V2 10
}

TEST_F(PerfDataLinuxTest, NoCollectionYetGivesInvalidData)
{
    add("\\Memory\\Available Bytes");
    expectStatus("\\Memory\\Available Bytes", PDH_CSTATUS_INVALID_DATA);
}

TEST_F(PerfDataLinuxTest, LargeAndCappedFormats)
{
    add("\\Memory\\Available MBytes");
    add("\\Process(bash#1)\\% Processor Time");
    add("\\Process(_Total)\\% User Time");
    add("\\Processor(_Total)\\% Privileged Time");
    useSnapshot("snap1");
    collect();
    useSnapshot("snap2");
    collect();
    EXPECT_EQ(3906, read("\\Memory\\Available MBytes", PDH_FMT_LARGE).large);
    EXPECT_EQ(15, read("\\Processor(_Total)\\% Privileged Time", PDH_FMT_LARGE).large);
    EXPECT_DOUBLE_EQ(200, read("\\Process(bash#1)\\% Processor Time", PDH_FMT_DOUBLE | PDH_FMT_NOCAP100).value);
    EXPECT_DOUBLE_EQ(186, read("\\Process(_Total)\\% User Time", PDH_FMT_DOUBLE | PDH_FMT_NOCAP100).value);
    EXPECT_EQ(PDH_INVALID_ARGUMENT, read("\\Memory\\Available MBytes", 0).status);
    EXPECT_EQ(PDH_INVALID_ARGUMENT, read("\\Memory\\Available MBytes", PDH_FMT_LARGE | PDH_FMT_DOUBLE).status);
}

TEST_F(PerfDataLinuxTest, VanishedProcessAndInterfaceComeBack)
{
    auto step = [&](int uptime, bool present, int workerPid, int ticks, int rxBytes) {
        clearRoot();
        writeFile("proc/uptime", std::to_string(uptime) + ".00 0.00\n");
        std::string dev = "Inter-|\n face |\n  eth0: 100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n";
        if (present)
            dev += " wlan0: " + std::to_string(rxBytes) + " 10 2 0 0 0 0 0 500 5 0 0 0 0 0 0\n";
        writeFile("proc/net/dev", dev);
        if (present)
            writeFile("proc/" + std::to_string(workerPid) + "/stat",
                      std::to_string(workerPid) + " (worker) S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(ticks) +
                          " 0 0 0 20 0 1 0 " + std::to_string(workerPid * 10) + " 4096 1 0\n");
        writeFile("proc/7/stat", "7 (other) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1 4096 1 0\n");
    };
    add("\\Process(worker)\\% Processor Time");
    add("\\Process(worker)\\ID Process");
    add("\\Network Interface(wlan0)\\Bytes Received/sec");
    add("\\Network Interface(wlan0)\\Packets Received Errors");

    step(10, true, 10, 0, 1000);
    collect();
    step(12, true, 10, 100, 3000);
    collect();
    expectValue("\\Process(worker)\\% Processor Time", 50);
    expectValue("\\Network Interface(wlan0)\\Bytes Received/sec", 1000);

    step(14, false, 0, 0, 0);
    collect();
    expectStatus("\\Process(worker)\\% Processor Time", PDH_CSTATUS_NO_INSTANCE);
    expectStatus("\\Process(worker)\\ID Process", PDH_CSTATUS_NO_INSTANCE);
    expectStatus("\\Network Interface(wlan0)\\Bytes Received/sec", PDH_CSTATUS_NO_INSTANCE);
    expectStatus("\\Network Interface(wlan0)\\Packets Received Errors", PDH_CSTATUS_NO_INSTANCE);
    step(16, false, 0, 0, 0);
    collect();
    expectStatus("\\Process(worker)\\ID Process", PDH_CSTATUS_NO_INSTANCE);

    // Back, the worker as a new process: values at once, rates one collection later.
    step(18, true, 20, 10, 5000);
    collect();
    expectValue("\\Process(worker)\\ID Process", 20);
    expectValue("\\Network Interface(wlan0)\\Packets Received Errors", 2);
    expectStatus("\\Process(worker)\\% Processor Time", PDH_CSTATUS_INVALID_DATA);
    expectStatus("\\Network Interface(wlan0)\\Bytes Received/sec", PDH_CSTATUS_INVALID_DATA);
    step(20, true, 20, 60, 9000);
    collect();
    expectValue("\\Process(worker)\\% Processor Time", 25);
    expectValue("\\Network Interface(wlan0)\\Bytes Received/sec", 2000);
}

// The system handed the id of an ended process to a new one between two
// collections; the new one has more ticks than the old had, so only its
// start time tells them apart. No rate may come from the old one's counters.
TEST_F(PerfDataLinuxTest, AReusedProcessIdIsNotTakenForTheSameProcess)
{
    auto step = [&](int uptime, int ticks, int startTicks) {
        clearRoot();
        writeFile("proc/uptime", std::to_string(uptime) + ".00 0.00\n");
        writeFile("proc/10/stat", "10 (worker) S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(ticks) +
                                      " 0 0 0 20 0 1 0 " + std::to_string(startTicks) + " 4096 1 0\n");
    };
    add("\\Process(worker)\\% Processor Time");
    add("\\Process(_Total)\\% Processor Time");
    step(10, 100, 500);
    collect();
    step(12, 300, 1100);
    collect();
    expectStatus("\\Process(worker)\\% Processor Time", PDH_CSTATUS_INVALID_DATA);
    expectValue("\\Process(_Total)\\% Processor Time", 0);
    // The new process is rated from its second collection on.
    step(14, 400, 1100);
    collect();
    expectValue("\\Process(worker)\\% Processor Time", 50);
    expectValue("\\Process(_Total)\\% Processor Time", 50);
}

TEST_F(PerfDataLinuxTest, ACounterThatWentBackwardsGivesNoRate)
{
    add("\\System\\Context Switches/sec");
    add("\\System\\System Up Time");
    writeFile("proc/uptime", "10.00 0\n");
    writeFile("proc/stat", "cpu  1 1 1 1 1 1 1 1\nctxt 5000\n");
    collect();
    writeFile("proc/uptime", "11.00 0\n");
    writeFile("proc/stat", "cpu  1 1 1 1 1 1 1 1\nctxt 10\n");
    collect();
    expectStatus("\\System\\Context Switches/sec", PDH_CSTATUS_INVALID_DATA);
    expectValue("\\System\\System Up Time", 11);
    // the same uptime twice: no interval, no rate
    writeFile("proc/stat", "cpu  1 1 1 1 1 1 1 1\nctxt 20\n");
    collect();
    expectStatus("\\System\\Context Switches/sec", PDH_CSTATUS_INVALID_DATA);
}

TEST_F(PerfDataLinuxTest, OnlyTheQueriedSourcesAreNeeded)
{
    // Nothing but meminfo exists: a memory-only query works.
    writeFile("proc/meminfo", "MemTotal: 100 kB\nMemAvailable: 40 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n");
    add("\\Memory\\Available KBytes");
    add("\\Paging File(_Total)\\% Usage");
    add("\\Memory\\Cache Bytes");
    collect();
    expectValue("\\Memory\\Available KBytes", 40);
    expectValue("\\Paging File(_Total)\\% Usage", 0);
    expectStatus("\\Memory\\Cache Bytes", PDH_CSTATUS_NO_COUNTER);  // no Cached line
    add("\\System\\Processor Queue Length");
    collect();
    expectStatus("\\System\\Processor Queue Length", PDH_CSTATUS_NO_OBJECT);  // no loadavg
    expectValue("\\Memory\\Available KBytes", 40);
}

TEST_F(PerfDataLinuxTest, AddCounterStatuses)
{
    struct Case {
        std::string path;
        PdhStatus status;
    };
    const Case cases[] = {
        {"", PDH_CSTATUS_NO_COUNTERNAME},
        {"Memory\\Available Bytes", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\Memory", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\Memory\\", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\Nothing\\Available Bytes", PDH_CSTATUS_NO_OBJECT},
        {"\\memory\\Available Bytes", PDH_CSTATUS_NO_OBJECT},
        {"\\Memory\\Nothing", PDH_CSTATUS_NO_COUNTER},
        {"\\Memory(x)\\Available Bytes", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\Processor\\% Idle Time", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\Processor(*)\\% Idle Time", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\Processor(0\\% Idle Time", PDH_CSTATUS_BAD_COUNTERNAME},
        {"\\\\no-such-host.invalid\\Memory\\Available Bytes", PDH_CSTATUS_NO_MACHINE},
        {"\\\\localhost\\Memory\\Available Bytes", PDH_CSTATUS_VALID_DATA},
        {"\\Processor(7)\\% Idle Time", PDH_CSTATUS_VALID_DATA},  // may come later
    };
    for (const Case& c : cases) {
        PdhHandle h = 0x1234;
        EXPECT_EQ(c.status, pdh().addCounter(query_, c.path, 0, h)) << c.path;
        EXPECT_EQ(c.status == 0, h != PDH_NULL_HANDLE) << c.path;
    }
    PdhHandle h = 0;
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().addCounter(0xdead, "\\Memory\\Available Bytes", 0, h));
    PdhFmtCounterValue v;
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().getFormattedValue(0xdead, PDH_FMT_DOUBLE, nullptr, v));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().collectQueryData(0xdead));
    PdhHandle empty = 0;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().openQuery(empty));
    EXPECT_EQ(PDH_NO_DATA, pdh().collectQueryData(empty));
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh().closeQuery(empty));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().closeQuery(empty));
}

TEST_F(PerfDataLinuxTest, RemovedAndClosedCountersAreGone)
{
    PdhHandle h = add("\\Memory\\Available KBytes");
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh().removeCounter(h));
    PdhFmtCounterValue v;
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().getFormattedValue(h, PDH_FMT_DOUBLE, nullptr, v));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().removeCounter(h));
}

TEST_F(PerfDataLinuxTest, NameTableAndLookups)
{
    uint32_t size = 0;
    ASSERT_EQ(PERF_ERROR_MORE_DATA, pdh().englishNameTable(nullptr, size));
    std::vector<char> buffer(size);
    uint32_t got = size;
    ASSERT_EQ(PERF_ERROR_SUCCESS, pdh().englishNameTable(buffer.data(), got));
    ASSERT_EQ(size, got);
    ASSERT_EQ('\0', buffer[got - 1]);
    ASSERT_EQ('\0', buffer[got - 2]);

    // Walk the pairs: each name once, each published name found by its index.
    std::map<std::string, uint32_t> byName;
    size_t pos = 0;
    std::string text(buffer.data(), got);
    std::vector<std::string> pieces;
    while (pos < text.size()) {
        size_t end = text.find('\0', pos);
        pieces.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    ASSERT_EQ("", pieces.back());
    pieces.pop_back();
    ASSERT_EQ(0u, pieces.size() % 2);
    for (size_t i = 2; i < pieces.size(); i += 2) {
        EXPECT_EQ(0u, byName.count(pieces[i + 1])) << pieces[i + 1];
        byName[pieces[i + 1]] = static_cast<uint32_t>(std::stoul(pieces[i]));
    }
    for (const LinuxPerf::ObjectDef& o : LinuxPerf::catalogue()) {
        ASSERT_EQ(1u, byName.count(o.name));
        for (const LinuxPerf::CounterDef& c : o.counters)
            ASSERT_EQ(1u, byName.count(c.name)) << c.name;
    }
    for (const auto& entry : byName) {
        char name[100];
        uint32_t n = sizeof name;
        ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().lookupNameByIndex(nullptr, entry.second, name, n));
        EXPECT_EQ(entry.first, std::string(name));
    }
    // Stable indices: the first names keep their numbers.
    EXPECT_EQ(2u, byName["Processor"]);
    EXPECT_EQ(4u, byName["% Processor Time"]);

    char shortBuffer[4] = {'x', 'x', 'x', 'x'};
    uint32_t n = sizeof shortBuffer;
    EXPECT_EQ(PDH_MORE_DATA, pdh().lookupNameByIndex(nullptr, byName["Processor"], shortBuffer, n));
    EXPECT_EQ(10u, n);
    EXPECT_EQ('x', shortBuffer[0]);
    n = 100;
    EXPECT_EQ(PDH_INVALID_ARGUMENT, pdh().lookupNameByIndex(nullptr, 3, shortBuffer, n));
}

TEST_F(PerfDataLinuxTest, BrowsingObjectsAndInstances)
{
    useSnapshot("snap2");
    std::vector<std::string> objects;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjects(objects));
    EXPECT_EQ((std::vector<std::string>{"Processor", "System", "Memory", "Paging File", "PhysicalDisk", "LogicalDisk",
                                        "Network Interface", "Process", "TCPv4", "IPv4", "IPv6", "UDPv4",
                                        "UDPv6", "Process V2", "Ravlon Collector"}),
              objects);
    std::vector<std::string> counters, instances;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("Processor", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"0", "1", "_Total"}), instances);
    EXPECT_EQ(8u, counters.size());
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("Process", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"init", "bash", "bash#1", "my (worker)", "newbie", "_Total"}), instances);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("Process V2", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"init:1", "bash:100", "bash:200", "my (worker):300", "newbie:400"}), instances);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("Ravlon Collector", counters, instances));
    EXPECT_TRUE(instances.empty());
    EXPECT_EQ(24u, counters.size());
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("Network Interface", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"lo", "eth0"}), instances);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("LogicalDisk", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"/", "/data disk", "_Total"}), instances);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("PhysicalDisk", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"vda", "sdb", "_Total"}), instances);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("Memory", counters, instances));
    EXPECT_TRUE(instances.empty());
    EXPECT_EQ(19u, counters.size());
    EXPECT_EQ(PDH_CSTATUS_NO_OBJECT, pdh().enumObjectItems("Nothing", counters, instances));
}

TEST_F(PerfDataLinuxTest, AProcessorWhoseIdleOrIowaitWentBackKeepsItsValues)
{
    for (const char* p : {"\\Processor(0)\\% Processor Time", "\\Processor(0)\\% Idle Time",
                          "\\Processor(1)\\% Processor Time", "\\Processor(1)\\% User Time",
                          "\\Processor(_Total)\\% Processor Time", "\\Processor(_Total)\\% Idle Time"})
        add(p);
    writeFile("proc/uptime", "10.00 0\n");
    writeFile("proc/stat", "cpu  200 0 200 2000 100 0 0 0\ncpu0 100 0 100 1000 50 0 0 0\n"
                           "cpu1 100 0 100 1000 50 0 0 0\n");
    collect();
    // cpu0: iowait 50 -> 40; cpu1: idle 1000 -> 950; the aggregate's iowait 100 -> 90
    writeFile("proc/uptime", "11.00 0\n");
    writeFile("proc/stat", "cpu  300 0 300 2200 90 0 0 0\ncpu0 150 0 150 1100 40 0 0 0\n"
                           "cpu1 150 0 150 950 150 0 0 0\n");
    collect();
    expectValue("\\Processor(0)\\% Processor Time", 50);  // user 50 + system 50 of 200
    expectValue("\\Processor(0)\\% Idle Time", 50);
    expectValue("\\Processor(1)\\% Processor Time", 50);  // idle taken as 0, iowait 100 of 200
    expectValue("\\Processor(_Total)\\% Processor Time", 50);
    expectValue("\\Processor(_Total)\\% Idle Time", 50);
    // user time that goes back cannot be trusted: that processor alone has no value
    writeFile("proc/uptime", "12.00 0\n");
    writeFile("proc/stat", "cpu  400 0 400 2400 90 0 0 0\ncpu0 200 0 200 1200 40 0 0 0\n"
                           "cpu1 140 0 160 1050 150 0 0 0\n");
    collect();
    expectValue("\\Processor(0)\\% Processor Time", 50);
    expectStatus("\\Processor(1)\\% Processor Time", PDH_CSTATUS_INVALID_DATA);
    expectStatus("\\Processor(1)\\% User Time", PDH_CSTATUS_INVALID_DATA);
}

TEST_F(PerfDataLinuxTest, DisksRegisteredAgainFlushOnlyAndATotalWithoutOneDisksDelta)
{
    for (const char* d : {"sdc", "sdd", "sde", "sdf"})
        writeFile(std::string("sys/block/") + d + "/device", "");
    const char* paths[] = {"\\PhysicalDisk(sdc)\\Disk Reads/sec", "\\PhysicalDisk(sdc)\\Disk Read Bytes/sec",
                           "\\PhysicalDisk(sdc)\\% Disk Time", "\\PhysicalDisk(sdd)\\Disk Transfers/sec",
                           "\\PhysicalDisk(sde)\\Disk Transfers/sec", "\\PhysicalDisk(sdf)\\Disk Reads/sec",
                           "\\PhysicalDisk(sdf)\\% Disk Time", "\\PhysicalDisk(sdf)\\Avg. Disk Queue Length",
                           "\\PhysicalDisk(_Total)\\Disk Reads/sec", "\\PhysicalDisk(_Total)\\% Disk Time",
                           "\\PhysicalDisk(_Total)\\Avg. Disk Queue Length"};
    for (const char* p : paths)
        add(p);
    writeFile("proc/uptime", "10.00 0\n");
    writeFile("proc/diskstats", "   8 32 sdc 5000 0 40000 1000 5000 0 40000 1000 0 2000 2000\n"
                                "   8 48 sdd 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 5 10\n"
                                "   8 64 sde 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
                                "   8 80 sdf 100 0 800 100 100 0 800 100 0 500 600\n");
    collect();
    // sdc was removed and added again; sdd only flushed; sdf's busy time went back
    writeFile("proc/uptime", "12.00 0\n");
    writeFile("proc/diskstats", "   8 32 sdc 10 0 80 20 0 0 0 0 0 20 20\n"
                                "   8 48 sdd 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 9 12\n"
                                "   8 64 sde 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
                                "   8 80 sdf 200 0 1600 200 100 0 800 100 0 400 700\n");
    collect();
    expectValue("\\PhysicalDisk(sdc)\\Disk Reads/sec", 5);  // rated from zero
    expectValue("\\PhysicalDisk(sdc)\\Disk Read Bytes/sec", 20480);
    expectValue("\\PhysicalDisk(sdc)\\% Disk Time", 1);
    expectValue("\\PhysicalDisk(sdd)\\Disk Transfers/sec", 0);
    expectStatus("\\PhysicalDisk(sde)\\Disk Transfers/sec", PDH_CSTATUS_NO_INSTANCE);
    expectValue("\\PhysicalDisk(sdf)\\Disk Reads/sec", 50);
    expectStatus("\\PhysicalDisk(sdf)\\% Disk Time", PDH_CSTATUS_INVALID_DATA);
    expectValue("\\PhysicalDisk(sdf)\\Avg. Disk Queue Length", 0.05);
    expectValue("\\PhysicalDisk(_Total)\\Disk Reads/sec", 55);
    expectValue("\\PhysicalDisk(_Total)\\% Disk Time", 0.5);  // sdc 1 % and sdd 0 %; sdf left out
    expectValue("\\PhysicalDisk(_Total)\\Avg. Disk Queue Length", 0.06);

    std::vector<std::string> counters, instances;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().enumObjectItems("PhysicalDisk", counters, instances));
    EXPECT_EQ((std::vector<std::string>{"sdc", "sdd", "sdf", "_Total"}), instances);
}

// Disks are told apart once per set of devices: a disk that comes along is
// one from its first collection, a device it replaces is no longer.
TEST_F(PerfDataLinuxTest, ADiskThatComesAlongIsToldApartAtOnce)
{
    for (const char* d : {"sdc", "sdd", "loop0"})
        add(std::string("\\PhysicalDisk(") + d + ")\\Current Disk Queue Length");
    writeFile("sys/block/sdc/device", "");
    writeFile("sys/block/loop0/size", "");
    writeFile("proc/uptime", "10.00 0\n");
    writeFile("proc/diskstats", "   7 0 loop0 1 0 8 0 0 0 0 0 3 0 0\n   8 32 sdc 1 0 8 0 0 0 0 0 2 0 0\n");
    collect();
    expectValue("\\PhysicalDisk(sdc)\\Current Disk Queue Length", 2);
    expectStatus("\\PhysicalDisk(sdd)\\Current Disk Queue Length", PDH_CSTATUS_NO_INSTANCE);
    expectStatus("\\PhysicalDisk(loop0)\\Current Disk Queue Length", PDH_CSTATUS_NO_INSTANCE);
    fs::remove_all(root_ / "sys/block/sdc");
    writeFile("sys/block/sdd/device", "");
    writeFile("proc/diskstats", "   7 0 loop0 1 0 8 0 0 0 0 0 3 0 0\n   8 48 sdd 1 0 8 0 0 0 0 0 4 0 0\n");
    collect();
    expectStatus("\\PhysicalDisk(sdc)\\Current Disk Queue Length", PDH_CSTATUS_NO_INSTANCE);
    expectValue("\\PhysicalDisk(sdd)\\Current Disk Queue Length", 4);
    expectStatus("\\PhysicalDisk(loop0)\\Current Disk Queue Length", PDH_CSTATUS_NO_INSTANCE);
}

// The busy time is read a moment after the clock, so a disk busy all the
// time can show more busy milliseconds than the interval had: its idle time
// stays at 0 rather than going below.
TEST_F(PerfDataLinuxTest, BusyTimeBeyondTheIntervalGivesNoNegativeIdleTime)
{
    writeFile("sys/block/sdc/device", "");
    add("\\PhysicalDisk(sdc)\\% Idle Time");
    add("\\PhysicalDisk(_Total)\\% Idle Time");
    writeFile("proc/uptime", "10.00 0\n");
    writeFile("proc/diskstats", "   8 32 sdc 100 0 800 100 100 0 800 100 1 1000 1000\n");
    collect();
    writeFile("proc/uptime", "12.00 0\n");
    writeFile("proc/diskstats", "   8 32 sdc 200 0 1600 200 200 0 1600 200 1 3500 3500\n");
    collect();
    expectValue("\\PhysicalDisk(sdc)\\% Idle Time", 0);
    expectValue("\\PhysicalDisk(_Total)\\% Idle Time", 0);
}

TEST_F(PerfDataLinuxTest, AnInterfaceRegisteredAgainIsRatedFromZero)
{
    add("\\Network Interface(eth1)\\Bytes Received/sec");
    add("\\Network Interface(eth1)\\Packets/sec");
    auto step = [&](int uptime, int rxBytes, int rxPackets) {
        writeFile("proc/uptime", std::to_string(uptime) + ".00 0\n");
        writeFile("proc/net/dev", "Inter-|\n face |\n  eth1: " + std::to_string(rxBytes) + " " +
                                      std::to_string(rxPackets) + " 0 0 0 0 0 0 100 2 0 0 0 0 0 0\n");
    };
    step(10, 100000, 1000);
    collect();
    step(12, 3000, 20);
    collect();
    expectValue("\\Network Interface(eth1)\\Bytes Received/sec", 1500);
    expectValue("\\Network Interface(eth1)\\Packets/sec", 11);
}

TEST_F(PerfDataLinuxTest, PagingFileUsagePeakIsTheHighestSeen)
{
    add("\\Paging File(_Total)\\% Usage");
    add("\\Paging File(_Total)\\% Usage Peak");
    add("\\Paging File(swap1)\\% Usage Peak");
    for (const char* snap : {"snap1", "snap2", "snap1"}) {
        useSnapshot(snap);
        collect();
    }
    expectValue("\\Paging File(_Total)\\% Usage", 20);
    expectValue("\\Paging File(_Total)\\% Usage Peak", 25);
    expectStatus("\\Paging File(swap1)\\% Usage Peak", PDH_CSTATUS_NO_INSTANCE);
}

TEST_F(PerfDataLinuxTest, FractionCountersAreTheAveragesTimersAndQueueLengths)
{
    // The counters without "%" in their name whose values are fractions.
    std::vector<std::string> fractions;
    for (const LinuxPerf::ObjectDef& o : LinuxPerf::catalogue())
        for (const LinuxPerf::CounterDef& c : o.counters)
            if (std::string(c.name).find('%') == std::string::npos && isFractionCounterType(c.type))
                fractions.push_back(std::string(o.name) + "\\" + c.name);
    EXPECT_EQ((std::vector<std::string>{
                  "PhysicalDisk\\Avg. Disk Queue Length", "PhysicalDisk\\Avg. Disk sec/Read",
                  "PhysicalDisk\\Avg. Disk sec/Write", "PhysicalDisk\\Avg. Disk Read Queue Length",
                  "PhysicalDisk\\Avg. Disk Write Queue Length", "PhysicalDisk\\Avg. Disk sec/Transfer",
                  "PhysicalDisk\\Avg. Disk Bytes/Read", "PhysicalDisk\\Avg. Disk Bytes/Write",
                  "PhysicalDisk\\Avg. Disk Bytes/Transfer", "LogicalDisk\\Avg. Disk Queue Length",
                  "LogicalDisk\\Avg. Disk sec/Read", "LogicalDisk\\Avg. Disk sec/Write"}),
              fractions);
    for (uint32_t t : {PERF_COUNTER_RAWCOUNT, PERF_COUNTER_LARGE_RAWCOUNT, PERF_COUNTER_COUNTER,
                       PERF_COUNTER_BULK_COUNT, PERF_ELAPSED_TIME})
        EXPECT_FALSE(isFractionCounterType(t)) << std::hex << t;
    for (uint32_t t : {PERF_RAW_FRACTION, PERF_AVERAGE_TIMER, PERF_AVERAGE_BULK, PERF_100NSEC_TIMER,
                       PERF_100NSEC_TIMER_INV, PERF_PRECISION_100NS_TIMER, PERF_COUNTER_100NS_QUEUELEN_TYPE})
        EXPECT_TRUE(isFractionCounterType(t)) << std::hex << t;

    PdhHandle h = add("\\PhysicalDisk(_Total)\\Avg. Disk sec/Write");
    uint32_t type = 0;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().getCounterType(h, type));
    EXPECT_EQ(PERF_AVERAGE_TIMER, type);
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh().getCounterType(0xdead, type));
}

// A tree of many idle processes and two named ones; process ids as given.
class ProcessSelectionTest : public PerfDataLinuxTest {
protected:
    void writeProcess(int pid, const std::string& name, int startTicks, int utime = 0)
    {
        writeFile("proc/" + std::to_string(pid) + "/stat",
                  std::to_string(pid) + " (" + name + ") S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(utime) +
                      " 0 0 0 20 0 1 0 " + std::to_string(startTicks) + " 4096 1 0\n");
    }
    void idleTree(int count)
    {
        writeFile("proc/uptime", "1000.00 0\n");
        for (int i = 0; i < count; ++i)
            writeProcess(1000 + i, "idle", 100);
        writeProcess(500, "bash", 100);
        writeProcess(501, "bash", 100);
    }
    uint32_t collectNamed(const LinuxPerf::ProcessSelection& selection, uint32_t sources = LinuxPerf::SRC_PROCESSES)
    {
        snap_.processes.clear();
        LinuxPerf::collect(LinuxPerf::currentRoots(), sources | LinuxPerf::SRC_UPTIME, selection, names_, snap_,
                           buffer_);
        return snap_.processFilesRead;
    }
    static LinuxPerf::ProcessSelection named(const std::vector<std::string>& names)
    {
        LinuxPerf::ProcessSelection s;
        s.all = false;
        s.names = names;
        s.instances = names;
        return s;
    }
    std::vector<std::string> instances() const
    {
        std::vector<std::string> out;
        for (const LinuxPerf::ProcStat& p : snap_.processes)
            out.push_back(p.instance + "=" + std::to_string(p.pid));
        return out;
    }

    LinuxPerf::ProcessNames names_;
    LinuxPerf::Snapshot snap_;
    std::string buffer_;
};

TEST_F(ProcessSelectionTest, NamedProcessesCostAListingAndTheirOwnFiles)
{
    idleTree(64);
    const LinuxPerf::ProcessSelection bash = named({"bash"});
    EXPECT_EQ(66u, collectNamed(bash));  // names are learnt once
    EXPECT_EQ((std::vector<std::string>{"bash=500", "bash#1=501"}), instances());
    EXPECT_EQ(66u, snap_.processCount);
    // then the two named processes only, without a listing
    EXPECT_EQ(2u, collectNamed(bash));
    EXPECT_FALSE(snap_.processesListed);
    EXPECT_EQ((std::vector<std::string>{"bash=500", "bash#1=501"}), instances());
    // and at every tenth, a listing with a tenth of the others' names checked
    uint32_t most = 0, listings = 0;
    for (int i = 0; i < 40; ++i) {
        most = std::max(most, collectNamed(bash));
        listings += snap_.processesListed ? 1 : 0;
    }
    EXPECT_EQ(4u, listings);
    EXPECT_LE(most, 2u + 7u);  // pid % 10 == listing % 10 among 1000..1063

    // _Total reads every process each time
    LinuxPerf::ProcessSelection all;
    EXPECT_EQ(66u, collectNamed(all));
    EXPECT_EQ(66u, snap_.processes.size());
    // the process count alone reads no process file at all
    EXPECT_EQ(0u, collectNamed(bash, LinuxPerf::SRC_PIDLIST));
    EXPECT_EQ(66u, snap_.processCount);
}

TEST_F(ProcessSelectionTest, TheProcessCountEachTimeLeavesNamesToThePeriodicListings)
{
    idleTree(64);
    const LinuxPerf::ProcessSelection bash = named({"bash"});
    const uint32_t sources = LinuxPerf::SRC_PROCESSES | LinuxPerf::SRC_PIDLIST;
    EXPECT_EQ(66u, collectNamed(bash, sources));
    // /proc is listed for the count at every collection, but only the named
    // processes are read in between, and a tenth of the others at a tenth
    uint32_t most = 0, total = 0;
    for (int i = 0; i < 40; ++i) {
        const uint32_t read = collectNamed(bash, sources);
        most = std::max(most, read);
        total += read;
        EXPECT_TRUE(snap_.processesListed);
        EXPECT_EQ(66u, snap_.processCount);
        EXPECT_EQ((std::vector<std::string>{"bash=500", "bash#1=501"}), instances());
    }
    EXPECT_LE(most, 2u + 7u);
    EXPECT_LE(total, 40u * 2u + 4u * 7u);
    // a new process is counted at once and its name learnt by the next listing
    writeProcess(502, "bash", 100);
    collectNamed(bash, sources);
    EXPECT_EQ(67u, snap_.processCount);
    for (int i = 0; i < 10 && instances().size() < 3; ++i)
        collectNamed(bash, sources);
    EXPECT_EQ((std::vector<std::string>{"bash=500", "bash#1=501", "bash#2=502"}), instances());
}

TEST_F(ProcessSelectionTest, ANameChangedByExecIsSeen)
{
    idleTree(8);
    writeProcess(600, "sh", 99900);  // started a second ago
    const LinuxPerf::ProcessSelection java = named({"java"});
    collectNamed(java);
    EXPECT_TRUE(instances().empty());
    // the young shell execs: seen at the next collection (java is missing, /proc is listed)
    writeProcess(600, "java", 99900);
    collectNamed(java);
    EXPECT_EQ((std::vector<std::string>{"java=600"}), instances());
    // an old idle process that execs late is seen within ten listings
    writeProcess(1003, "java", 100);
    int collections = 0;
    while (instances().size() < 2 && collections < 120) {
        collectNamed(java);
        ++collections;
    }
    EXPECT_EQ((std::vector<std::string>{"java=600", "java#1=1003"}), instances());
    EXPECT_LE(collections, 100);
    // a named process that ends is gone at once, its number goes to the next
    fs::remove_all(root_ / "proc" / "600");
    collectNamed(java);
    EXPECT_EQ((std::vector<std::string>{"java=1003"}), instances());
}

TEST_F(ProcessSelectionTest, TheExtraFilesOfNamedProcessesAreNotReadForTheOthers)
{
    idleTree(4);
    for (int pid : {500, 501, 1000})
        writeFile("proc/" + std::to_string(pid) + "/statm", "10 5 1 0 0 0 0\n");
    // _Total of one counter with the private bytes of bash: every stat, bash's statm only
    LinuxPerf::ProcessSelection selection;
    selection.names = {"bash"};
    selection.namedExtras = LinuxPerf::SRC_PROCSTATM;
    collectNamed(selection, LinuxPerf::SRC_PROCESSES | LinuxPerf::SRC_PROCSTATM);
    std::vector<std::string> withStatm;
    for (const LinuxPerf::ProcStat& p : snap_.processes)
        if (p.hasStatm)
            withStatm.push_back(p.instance);
    EXPECT_EQ(6u, snap_.processes.size());
    EXPECT_EQ((std::vector<std::string>{"bash", "bash#1"}), withStatm);

    // through a query: Process(bash#1) alone is enough to find and read it
    add("\\Process(bash#1)\\Private Bytes");
    collect();
    expectValue("\\Process(bash#1)\\Private Bytes", 4 * 4096);
}

TEST(PerfDataProviderTest, InstalledProviderReplacesTheSystemOne)
{
    struct Stub : LinuxPerf::LinuxPerfData {
    } stub;
    EXPECT_EQ(&systemPerfData(), &perfData());
    setPerfDataProvider(&stub);
    EXPECT_EQ(static_cast<PerfDataProvider*>(&stub), &perfData());
    setPerfDataProvider(nullptr);
    EXPECT_EQ(&systemPerfData(), &perfData());
}

namespace {

// Descriptors kept between collections must still give each file whole and
// as it is now; a recorded tree's files are read afresh each time.
TEST(KeptFilesTest, AKeptProcFileIsReadWholeAndAnew)
{
    LinuxPerf::KeptFiles kept;
    std::string first, second;
    ASSERT_TRUE(kept.read("/proc/self/mountinfo", first));
    ASSERT_TRUE(kept.read("/proc/self/mountinfo", second));
    EXPECT_EQ(1u, kept.size());
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, second);  // from the start again, not the end of the last read
    std::string whole;
    ASSERT_TRUE(LinuxPerf::readWholeFile("/proc/self/mountinfo", whole));
    EXPECT_EQ(whole, second);

    // the values are the current ones: this thread's own context switches
    std::string before, after;
    ASSERT_TRUE(kept.read("/proc/thread-self/status", before));
    for (int i = 0; i < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(kept.read("/proc/thread-self/status", after));
    auto switches = [](const std::string& text) {
        size_t at = text.find("voluntary_ctxt_switches:");
        return at == std::string::npos ? -1L : std::atol(text.c_str() + at + 24);
    };
    EXPECT_GT(switches(after), switches(before));
    EXPECT_FALSE(kept.read("/proc/no-such-file", after));
}

// A process (here a thread) that ended must not be read from its kept
// descriptor as it last was.
TEST(KeptFilesTest, AnEndedTaskIsNotReadFromItsKeptDescriptor)
{
    std::string task;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t([&] {
        std::string link = fs::read_symlink("/proc/thread-self").string();  // "PID/task/TID"
        std::unique_lock<std::mutex> lock(m);
        task = "/proc/" + link + "/stat";
        cv.notify_all();
        cv.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return !task.empty(); });
    }
    LinuxPerf::KeptFiles kept;
    std::string text;
    ASSERT_TRUE(kept.read(task, text));
    EXPECT_EQ(1u, kept.size());
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    t.join();
    // the kernel lets the task go shortly after the join
    for (int i = 0; i < 5000 && LinuxPerf::readWholeFile(task, text); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(LinuxPerf::readWholeFile(task, text));
    EXPECT_FALSE(kept.read(task, text));
    EXPECT_EQ(0u, kept.size());
}

// The mount table is read again only when the kernel says it changed: a
// file system mounted since the last read is seen, and said once. In a
// child's private mount namespace; skipped where it may not make one.
TEST(KeptFilesTest, AMountSinceTheLastReadIsSeen)
{
    const fs::path dir = fs::path(TEST_BINARY_DIR) / ("kept-mount-" + std::to_string(currentProcessId()));
    fs::create_directories(dir);
    ProcessId child = Telvar::Testing::forkChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 77;
        LinuxPerf::KeptFiles kept;
        std::string text;
        if (!kept.read("/proc/mounts", text) || !kept.unchanged("/proc/mounts"))
            return 1;
        if (::mount("ravlontest", dir.c_str(), "tmpfs", 0, "size=64k") != 0)
            return 77;
        if (kept.unchanged("/proc/mounts"))
            return 2;
        return kept.unchanged("/proc/mounts") ? 0 : 3;
    });
    ASSERT_GT(child, 0);
    const int result = Telvar::Testing::waitChild(child, 30000);
    fs::remove_all(dir);
    if (result == 77)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, result);
}

TEST(KeptFilesTest, OrdinaryFilesAreNotKeptAndTheNumberKeptIsBounded)
{
    const fs::path dir = fs::path(TEST_BINARY_DIR) / ("kept-files-" + std::to_string(currentProcessId()));
    fs::create_directories(dir);
    const std::string file = (dir / "stat").string();
    std::ofstream(file) << "one\n";
    LinuxPerf::KeptFiles kept;
    std::string text;
    ASSERT_TRUE(kept.read(file, text));
    EXPECT_EQ("one\n", text);
    // replaced as a recorded tree is: the new file is read
    fs::remove(file);
    std::ofstream(file) << "two\n";
    ASSERT_TRUE(kept.read(file, text));
    EXPECT_EQ("two\n", text);
    EXPECT_EQ(0u, kept.size());
    fs::remove_all(dir);

    size_t read = 0;
    for (const auto& entry : fs::directory_iterator("/proc/sys/kernel")) {
        if (entry.is_regular_file() && kept.read(entry.path().string(), text))
            ++read;
    }
    ASSERT_GT(read, LinuxPerf::KeptFiles::MAX_KEPT);
    EXPECT_EQ(LinuxPerf::KeptFiles::MAX_KEPT, kept.size());
}

} // namespace

// The collector's own process from /proc/self, its registered threads' time,
// its threads' wake-ups from schedstat, and the figures the collector keeps.
TEST_F(PerfDataLinuxTest, TheCollectorObjectReadsItselfAndItsOwnFigures)
{
    ThreadKindMark poller(ThreadKind::Poller);
    const std::string tid = std::to_string(currentThreadId());
    CollectorStatistics& stats = collectorStatistics();
    auto writeSelf = [&](int uptime, int ticks, int pollerTicks, int pollerSlices, int otherSlices) {
        clearRoot();
        writeFile("proc/uptime", std::to_string(uptime) + ".00 0.00\n");
        writeFile("proc/self/stat", "4242 (ravlon) S 1 4242 4242 0 -1 0 0 0 0 0 " + std::to_string(ticks) +
                                        " 50 0 0 20 0 5 0 10 100000000 1000\n");
        writeFile("proc/self/statm", "5000 1000 200 1 0 100 0\n");
        for (const char* fd : {"0", "1", "2", "3"})
            writeFile(std::string("proc/self/fd/") + fd, "");
        // The poller ran less than a tick at a time: its stat shows no tick,
        // its schedstat run time pollerTicks' worth (10 ms each).
        writeFile("proc/self/task/" + tid + "/stat", tid + " (ravlon) S 1 1 1 0 -1 0 0 0 0 0 3 0 0 0 20 0 5 0 20 100 1\n");
        writeFile("proc/self/task/" + tid + "/schedstat",
                  std::to_string(pollerTicks * 10000000LL) + " 2000 " + std::to_string(pollerSlices) + "\n");
        writeFile("proc/self/task/99999/schedstat", "1000 2000 " + std::to_string(otherSlices) + "\n");
    };
    for (const Expected& e : selfExpectations())
        add(e.path);
    writeSelf(100, 100, 10, 1000, 500);
    stats.set(CollectorStatistics::SAMPLES_MISSED, 3);
    collect();
    writeSelf(102, 300, 60, 1100, 700);
    const CollectorStatistics::Figure kept[] = {
        CollectorStatistics::RECORDS_WRITTEN, CollectorStatistics::RECORDS_FAILED,
        CollectorStatistics::FILES_DELIVERED, CollectorStatistics::FILES_PENDING,
        CollectorStatistics::DELIVERY_FAILURES, CollectorStatistics::COMMANDS_RECEIVED,
        CollectorStatistics::JUNK_DROPPED, CollectorStatistics::RELOADS, CollectorStatistics::FAILED_RELOADS};
    stats.delivered();
    for (size_t i = 0; i < sizeof kept / sizeof kept[0]; ++i)
        stats.set(kept[i], 101 + int64_t(i));
    stats.set(CollectorStatistics::SAMPLES_MISSED, 7);
    collect();
    for (const Expected& e : selfExpectations()) {
        if (e.path.find("Last Delivery Age") != std::string::npos)
            EXPECT_NEAR(0.0, read(e.path).value, 1.0);  // delivered just now
        else
            expectValue(e.path, e.value);
    }
}

// A process that ended and a new one of the same name that was given its id
// are two instances: a column stays with the process it first named.
TEST_F(PerfDataLinuxTest, AProcessV2InstanceIsOneProcessNotTheIdsNextOwner)
{
    auto step = [&](int uptime, const char* name, int ticks, int startTicks) {
        clearRoot();
        writeFile("proc/uptime", std::to_string(uptime) + ".00 0.00\n");
        writeFile("proc/10/stat", std::string("10 (") + name + ") S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(ticks) +
                                      " 0 0 0 20 0 1 0 " + std::to_string(startTicks) + " 4096 1 0\n");
    };
    const std::string busy = "\\Process V2(worker:10)\\% Processor Time", id = "\\Process V2(worker:10)\\ID Process";
    add(busy);
    add(id);
    step(10, "worker", 100, 500);
    collect();
    step(12, "worker", 300, 500);
    collect();
    expectValue(busy, 100);
    expectValue(id, 10);
    step(14, "other", 0, 1300);  // the id's next owner has another name
    collect();
    expectStatus(id, PDH_CSTATUS_NO_INSTANCE);
    step(16, "worker", 10, 1500);  // and the one after it the same name
    collect();
    step(18, "worker", 60, 1500);
    collect();
    expectStatus(id, PDH_CSTATUS_NO_INSTANCE);
    expectStatus(busy, PDH_CSTATUS_NO_INSTANCE);

    // The new process is an instance of its own: a query that meets it first reads it.
    PdhHandle second = PDH_NULL_HANDLE, handle = PDH_NULL_HANDLE;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().openQuery(second));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().addCounter(second, busy, 0, handle));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().collectQueryData(second));
    step(20, "worker", 110, 1500);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh().collectQueryData(second));
    PdhFmtCounterValue v;
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh().getFormattedValue(handle, PDH_FMT_DOUBLE, nullptr, v));
    EXPECT_EQ(25, v.doubleValue);
    pdh().closeQuery(second);

    // Only name:pid ever exists.
    for (const char* bad : {"\\Process V2(worker)\\ID Process", "\\Process V2(_Total)\\ID Process",
                            "\\Process V2(worker:)\\ID Process", "\\Process V2(:10)\\ID Process"}) {
        PdhHandle h = PDH_NULL_HANDLE;
        EXPECT_EQ(PDH_CSTATUS_BAD_COUNTERNAME, pdh().addCounter(query_, bad, 0, h)) << bad;
    }
}

namespace {

// Values of counters of one fresh query over the real /proc, rates over ms.
std::vector<double> readLive(const std::vector<std::string>& paths, int ms)
{
    PerfDataProvider& pdh = systemPerfData();
    PdhHandle query = PDH_NULL_HANDLE;
    std::vector<PdhHandle> handles(paths.size(), PDH_NULL_HANDLE);
    std::vector<double> values(paths.size(), -1);
    if (pdh.openQuery(query) != PDH_CSTATUS_VALID_DATA)
        return values;
    for (size_t i = 0; i < paths.size(); ++i)
        pdh.addCounter(query, paths[i], 0, handles[i]);
    pdh.collectQueryData(query);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    pdh.collectQueryData(query);
    for (size_t i = 0; i < paths.size(); ++i) {
        PdhFmtCounterValue v;
        if (pdh.getFormattedValue(handles[i], PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, nullptr, v) == PDH_CSTATUS_VALID_DATA)
            values[i] = v.doubleValue;
    }
    pdh.closeQuery(query);
    return values;
}

} // namespace

// Two collectors on one host, each reading the self object at the same time:
// each sees its own figures and its own memory, never the other's.
TEST(CollectorObjectTest, TwoProcessesEachSeeOnlyThemselves)
{
    const std::vector<std::string> paths = {"\\Ravlon Collector\\Commands Received",
                                            "\\Ravlon Collector\\Working Set"};
    const double big = 256.0 * 1024 * 1024;
    collectorStatistics().set(CollectorStatistics::COMMANDS_RECEIVED, 3);
    ProcessId child = Telvar::Testing::forkChild([&] {
        collectorStatistics().set(CollectorStatistics::COMMANDS_RECEIVED, 7);
        std::vector<char> memory(static_cast<size_t>(big), 1);  // touched: resident
        std::vector<double> v = readLive(paths, 300);
        return v[0] == 7 && v[1] >= big && memory[12345] == 1 ? 0 : 1;
    });
    ASSERT_GT(child, 0);
    std::vector<double> mine = readLive(paths, 300);
    EXPECT_EQ(0, Telvar::Testing::waitChild(child, 30000));
    EXPECT_EQ(3, mine[0]);
    EXPECT_GT(mine[1], 0);
    EXPECT_LT(mine[1], big);
}

// A busy child read by name and id: all of one processor, or on a loaded host
// what the scheduler gave it (its schedstat run time, a source of its own).
TEST(CollectorObjectTest, ABusyChildReadsAWholeProcessorAsProcessV2)
{
    Telvar::Testing::ChildProcess busy;
    ASSERT_TRUE(busy.start("/bin/sh", {"-c", "while :; do :; done"}));
    const std::string proc = "/proc/" + std::to_string(busy.pid());
    // named so once it runs the shell
    ASSERT_TRUE(Telvar::Testing::waitFor([&] {
        std::ifstream comm(proc + "/comm");
        std::string name;
        return std::getline(comm, name) && name == "sh";
    }, 5000));
    auto runNs = [&] {
        std::ifstream schedstat(proc + "/schedstat");
        double ns = 0;
        schedstat >> ns;
        return std::make_pair(ns, std::chrono::steady_clock::now());
    };
    PerfDataProvider& pdh = systemPerfData();
    PdhHandle query = PDH_NULL_HANDLE, counter = PDH_NULL_HANDLE;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.openQuery(query));
    const std::string path = "\\Process V2(sh:" + std::to_string(busy.pid()) + ")\\% Processor Time";
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, path, 0, counter));
    const auto before = runNs();
    pdh.collectQueryData(query);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    pdh.collectQueryData(query);
    const auto after = runNs();
    PdhFmtCounterValue v;
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(counter, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, nullptr, v));
    pdh.closeQuery(query);
    busy.killHard();
    const double wallNs = std::chrono::duration<double, std::nano>(after.second - before.second).count();
    const double given = 100.0 * (after.first - before.first) / wallNs;
    EXPECT_NEAR(given, v.doubleValue, 10.0) << path;
    if (given > 90) {
        EXPECT_GT(v.doubleValue, 85.0) << path;
    }
}

// The listing fills its buffer many times over (a small one here, as a few
// thousand processes fill the real one): no id lost or doubled at a fill's
// edge, names that are not ids left out. On /proc the kept directory is
// rewound and sees a process started since the last listing.
TEST(ProcDirectoryTest, EveryIdAcrossBufferFillsAndNewProcessesOnAKeptProc)
{
    const fs::path dir = fs::path(TEST_BINARY_DIR) / ("procdir-" + std::to_string(currentProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<int64_t> expected;
    for (int i = 0; i < 700; ++i) {
        const int64_t pid = 4194304 - 7 * i;  // up to the largest id, created in falling order
        fs::create_directory(dir / std::to_string(pid));
        expected.insert(expected.begin(), pid);
    }
    for (const char* other : {"self", "12a", "net", "12345678901"})
        std::ofstream(dir / other) << "x";
    LinuxPerf::ProcDirectory small(300);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(small.list(dir.string()));
        EXPECT_EQ(expected, small.pids());
    }
    fs::remove_all(dir);
    EXPECT_FALSE(small.list(dir.string()));
    EXPECT_TRUE(small.pids().empty());

    LinuxPerf::ProcDirectory proc;
    ASSERT_TRUE(proc.list("/proc"));
    auto has = [&](int64_t pid) {
        return std::binary_search(proc.pids().begin(), proc.pids().end(), pid);
    };
    EXPECT_TRUE(has(1));
    EXPECT_TRUE(has(currentProcessId()));
    int ready[2], release[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(release));
    ProcessId child = Telvar::Testing::forkChild([&] {
        char c = 0;
        return ::write(ready[1], &c, 1) == 1 && ::read(release[0], &c, 1) == 1 ? 0 : 1;
    });
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(1, ::read(ready[0], &c, 1));
    ASSERT_TRUE(proc.list("/proc"));
    EXPECT_TRUE(has(child));
    EXPECT_TRUE(std::is_sorted(proc.pids().begin(), proc.pids().end()));
    EXPECT_EQ(1, ::write(release[1], &c, 1));
    EXPECT_EQ(0, Telvar::Testing::waitChild(child, 30000));
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);
}
