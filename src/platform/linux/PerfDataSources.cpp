// Reading and parsing the /proc and /sys sources of one collection. Each
// source is read once per collection into a reused buffer and scanned by
// hand: the collection is meant to cost little more than the reads.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <climits>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/Process.h"
#include "platform/linux/PerfDataScan.h"

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

bool parseUptime(const std::string& b, Snapshot& s)
{
    // "12345.67 23456.78": whole seconds and hundredths, kept exact
    Scan sc = scanOf(b);
    uint64_t whole = 0, frac = 0;
    if (!sc.number(whole))
        return false;
    double v = static_cast<double>(whole);
    if (!sc.atEnd() && *sc.p == '.') {
        ++sc.p;
        const char* start = sc.p;
        if (sc.number(frac)) {
            double scale = 1.0;
            for (const char* q = start; q < sc.p; ++q)
                scale *= 10.0;
            v += static_cast<double>(frac) / scale;
        }
    }
    s.uptime = v;
    return true;
}

bool parseStat(const std::string& b, Snapshot& s)
{
    Scan sc = scanOf(b);
    bool any = false;
    while (!sc.atEnd()) {
        if (sc.startsWith("cpu")) {
            sc.p += 3;
            CpuTimes t;
            if (sc.p < sc.end && *sc.p == ' ') {
                t.name = "_Total";
            } else {
                const char* s0 = sc.p;
                while (sc.p < sc.end && isDigit(*sc.p))
                    ++sc.p;
                t.name.assign(s0, sc.p);
            }
            uint64_t* fields[] = {&t.user, &t.nice, &t.system, &t.idle, &t.iowait, &t.irq, &t.softirq, &t.steal};
            for (uint64_t* f : fields)
                if (!sc.number(*f))
                    break;
            s.cpus.push_back(std::move(t));
            any = true;
        } else if (sc.startsWith("intr ")) {
            sc.p += 5;
            sc.number(s.interruptsTotal);
        } else if (sc.startsWith("ctxt ")) {
            sc.p += 5;
            sc.number(s.contextSwitches);
        } else if (sc.startsWith("softirq ")) {
            sc.p += 8;
            sc.number(s.softirqsTotal);
        }
        sc.nextLine();
    }
    return any;
}

// Sums each processor's column of /proc/interrupts or /proc/softirqs into
// the given member of its CpuTimes.
bool parsePerCpuTable(const std::string& b, Snapshot& s, uint64_t CpuTimes::*sum, bool CpuTimes::*has)
{
    Scan sc = scanOf(b);
    std::vector<CpuTimes*> columns;
    const char* le = sc.lineEnd();
    while (sc.p < le) {
        sc.skipBlanks();
        if (sc.p >= le)
            break;
        std::string w = sc.word();
        if (w.size() > 3 && w.compare(0, 3, "CPU") == 0) {
            std::string id = w.substr(3);
            CpuTimes* match = nullptr;
            for (CpuTimes& c : s.cpus)
                if (c.name == id)
                    match = &c;
            columns.push_back(match);
        }
    }
    if (columns.empty())
        return false;
    std::vector<uint64_t> sums(columns.size(), 0);
    sc.nextLine();
    std::vector<uint64_t> row(columns.size());
    while (!sc.atEnd()) {
        Scan line{sc.p, sc.lineEnd()};
        line.word(true);  // "NN:" or "NMI:"
        if (line.p < line.end && *line.p == ':')
            ++line.p;
        size_t n = 0;
        while (n < columns.size() && line.number(row[n]))
            ++n;
        // ERR: and MIS: carry one system-wide number, not one per processor
        if (n == columns.size())
            for (size_t i = 0; i < n; ++i)
                sums[i] += row[i];
        sc.nextLine();
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        if (columns[i] != nullptr) {
            columns[i]->*sum = sums[i];
            columns[i]->*has = true;
        }
    }
    return true;
}

bool parseInterrupts(const std::string& b, Snapshot& s)
{
    return parsePerCpuTable(b, s, &CpuTimes::interrupts, &CpuTimes::hasInterrupts);
}

bool parseSoftirqs(const std::string& b, Snapshot& s)
{
    return parsePerCpuTable(b, s, &CpuTimes::softirqs, &CpuTimes::hasSoftirqs);
}

bool parseLoadavg(const std::string& b, Snapshot& s)
{
    // "0.48 0.44 0.18 1/97 5875"
    Scan sc = scanOf(b);
    sc.word();
    sc.word();
    sc.word();
    if (!sc.number(s.running) || sc.atEnd() || *sc.p != '/')
        return false;
    ++sc.p;
    return sc.number(s.tasks);
}

struct KeyField {
    const char* key;  // with its separator
    int index;
};

// Lines "key value" of meminfo or vmstat into values, one presence bit per index.
int parseKeyedLines(const std::string& b, const KeyField* keys, size_t count, uint64_t* values, uint32_t& has)
{
    Scan sc = scanOf(b);
    size_t found = 0;
    has = 0;
    while (!sc.atEnd() && found < count) {
        for (size_t i = 0; i < count; ++i) {
            const KeyField& k = keys[i];
            if ((has & (1u << k.index)) == 0 && sc.startsWith(k.key)) {
                sc.p += std::strlen(k.key);
                if (sc.number(values[k.index])) {
                    has |= 1u << k.index;
                    ++found;
                }
                break;
            }
        }
        sc.nextLine();
    }
    return static_cast<int>(found);
}

bool parseMeminfo(const std::string& b, Snapshot& s)
{
    static const KeyField keys[] = {
        {"MemTotal:", MEM_TOTAL}, {"MemFree:", MEM_FREE}, {"MemAvailable:", MEM_AVAILABLE},
        {"Cached:", MEM_CACHED}, {"Committed_AS:", MEM_COMMITTED_AS}, {"SwapTotal:", MEM_SWAP_TOTAL},
        {"SwapFree:", MEM_SWAP_FREE}, {"Dirty:", MEM_DIRTY}, {"Writeback:", MEM_WRITEBACK},
        {"Inactive(file):", MEM_INACTIVE_FILE}, {"KReclaimable:", MEM_KRECLAIMABLE},
        {"SReclaimable:", MEM_SRECLAIMABLE}, {"SUnreclaim:", MEM_SUNRECLAIM},
    };
    return parseKeyedLines(b, keys, sizeof keys / sizeof keys[0], s.mem, s.memHas) > 0;
}

bool parseVmstat(const std::string& b, Snapshot& s)
{
    static const KeyField keys[] = {
        {"pgpgin ", VM_PGPGIN}, {"pgpgout ", VM_PGPGOUT}, {"pgfault ", VM_PGFAULT},
        {"pgmajfault ", VM_PGMAJFAULT}, {"pswpout ", VM_PSWPOUT},
    };
    return parseKeyedLines(b, keys, sizeof keys / sizeof keys[0], s.vm, s.vmHas) > 0;
}

// /proc/net/snmp: a line of names and a line of values per protocol.
bool parseSnmp(const std::string& b, Snapshot& s)
{
    static const struct {
        const char* group;
        const char* name;
        MibField index;
    } keys[] = {
        {"Ip:", "InReceives", IP_IN_RECEIVES}, {"Ip:", "OutRequests", IP_OUT_REQUESTS},
        {"Tcp:", "ActiveOpens", TCP_ACTIVE_OPENS}, {"Tcp:", "PassiveOpens", TCP_PASSIVE_OPENS},
        {"Tcp:", "AttemptFails", TCP_ATTEMPT_FAILS}, {"Tcp:", "EstabResets", TCP_ESTAB_RESETS},
        {"Tcp:", "CurrEstab", TCP_CURR_ESTAB}, {"Tcp:", "InSegs", TCP_IN_SEGS}, {"Tcp:", "OutSegs", TCP_OUT_SEGS},
        {"Tcp:", "RetransSegs", TCP_RETRANS_SEGS}, {"Udp:", "InDatagrams", UDP_IN_DATAGRAMS},
        {"Udp:", "InErrors", UDP_IN_ERRORS}, {"Udp:", "OutDatagrams", UDP_OUT_DATAGRAMS},
    };
    Scan sc = scanOf(b);
    while (!sc.atEnd()) {
        Scan names{sc.p, sc.lineEnd()};
        sc.nextLine();
        Scan values{sc.p, sc.lineEnd()};
        std::string group = names.word();
        if (values.word() != group)
            continue;  // not a pair
        sc.nextLine();
        while (!names.atEnd()) {
            std::string name = names.word();
            int64_t v = 0;
            if (name.empty() || !values.signedNumber(v))
                break;
            for (const auto& k : keys)
                if (group == k.group && name == k.name) {
                    s.mib[k.index] = static_cast<uint64_t>(v);
                    s.mibHas |= 1u << k.index;
                }
        }
    }
    return s.mibHas != 0;
}

// /proc/net/snmp6: "name value" lines.
bool parseSnmp6(const std::string& b, Snapshot& s)
{
    static const KeyField keys[] = {
        {"Ip6InReceives ", IP6_IN_RECEIVES}, {"Ip6OutRequests ", IP6_OUT_REQUESTS},
        {"Udp6InDatagrams ", UDP6_IN_DATAGRAMS}, {"Udp6InErrors ", UDP6_IN_ERRORS},
        {"Udp6OutDatagrams ", UDP6_OUT_DATAGRAMS},
    };
    uint32_t has = 0;
    int found = parseKeyedLines(b, keys, sizeof keys / sizeof keys[0], s.mib, has);
    s.mibHas |= has;
    return found > 0;
}

bool parseDiskstats(const std::string& b, Snapshot& s)
{
    Scan sc = scanOf(b);
    while (!sc.atEnd()) {
        Scan line{sc.p, sc.lineEnd()};
        sc.nextLine();
        uint64_t major = 0, minor = 0;
        if (!line.number(major) || !line.number(minor))
            continue;
        DiskStat d;
        d.name = line.word();
        uint64_t merges = 0, sectors = 0;
        uint64_t* fields[] = {&d.f[RD_IOS], &merges, &d.f[RD_SECTORS], &d.f[RD_TICKS], &d.f[WR_IOS], &merges,
                              &d.f[WR_SECTORS], &d.f[WR_TICKS], &d.inFlight, &d.f[IO_TICKS], &d.f[QUEUE_TICKS]};
        bool complete = true;
        for (uint64_t* f : fields)
            if (!line.number(*f)) {
                complete = false;
                break;
            }
        if (!complete)
            continue;
        // discards (fields 12-15) and flushes (16-17) on newer kernels
        uint64_t* later[] = {&d.f[DC_IOS], &merges, &sectors, &sectors, &d.f[FL_IOS]};
        for (uint64_t* f : later)
            if (!line.number(*f))
                break;
        s.disks.push_back(std::move(d));
    }
    return true;
}

// Undoes the octal escapes of /proc/mounts ("\040" for a space).
std::string unescapeMount(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The /proc/diskstats name of a mounted device: /dev/mapper/NAME by the
// dm/name files of /sys/block, other links by their target, else the last
// part of the path.
std::string diskstatsName(const Roots& roots, const std::string& device, std::string& buffer)
{
    const std::string mapper = "/dev/mapper/";
    if (device.compare(0, mapper.size(), mapper) == 0) {
        std::string wanted = device.substr(mapper.size()), found;
        forEachEntry(roots.sys + "/block", [&](const char* name) {
            if (std::strncmp(name, "dm-", 3) == 0 && readWholeFile(roots.sys + "/block/" + name + "/dm/name", buffer)) {
                while (!buffer.empty() && (buffer.back() == '\n' || buffer.back() == ' '))
                    buffer.pop_back();
                if (buffer == wanted)
                    found = name;
            }
        });
        if (!found.empty())
            return found;
    }
    std::string path = device;
    char resolved[PATH_MAX];
    if (::realpath(device.c_str(), resolved) != nullptr && std::strncmp(resolved, "/dev/", 5) == 0)
        path = resolved;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool readSource(KeptFiles* kept, const std::string& path, std::string& buffer)
{
    return kept != nullptr ? kept->read(path, buffer) : readWholeFile(path, buffer);
}

// The local file systems of the mount table, each mount point once with
// the device mounted there first.
void parseMounts(const Roots& roots, const std::string& b, KeptFiles::Mounts& mounts)
{
    std::string buffer;
    Scan sc = scanOf(b);
    while (!sc.atEnd()) {
        Scan line{sc.p, sc.lineEnd()};
        sc.nextLine();
        std::string device = unescapeMount(line.word());
        std::string mountPoint = unescapeMount(line.word());
        // local file systems are the ones on a device node, as sar -F keeps them
        if (device.empty() || device[0] != '/' || mountPoint.empty())
            continue;
        bool seen = false;
        for (const auto& m : mounts.local)
            seen = seen || m.first == mountPoint;
        if (!seen)
            mounts.local.emplace_back(mountPoint, diskstatsName(roots, device, buffer));
    }
    mounts.read = true;
}

// The sizes of the local file systems. The mount table is read again only
// when the kernel says it changed (a poll of the kept /proc/mounts): its
// text and the device names behind it cost more than the sizes.
bool readMounts(const Roots& roots, Snapshot& s, std::string& buffer, KeptFiles* kept)
{
    const std::string path = roots.proc + "/mounts";
    KeptFiles::Mounts fresh;
    KeptFiles::Mounts& known = kept != nullptr ? kept->mounts() : fresh;
    if (!known.read || kept == nullptr || !kept->unchanged(path)) {
        known = KeptFiles::Mounts();
        if (!readSource(kept, path, buffer))
            return false;
        const std::string text = buffer;
        parseMounts(roots, text, known);
    }
    for (const auto& m : known.local) {
        FileSystemSpace space;
        if (fileSystemSpace(m.first, space) && space.totalBytes != 0)
            s.mounts.push_back(MountSpace{m.first, m.second, space.totalBytes, space.freeBytes});
    }
    return true;
}

bool parseNetdev(const std::string& b, Snapshot& s)
{
    Scan sc = scanOf(b);
    sc.nextLine();
    sc.nextLine();
    while (!sc.atEnd()) {
        Scan line{sc.p, sc.lineEnd()};
        sc.nextLine();
        NetStat n;
        n.name = line.word(true);
        if (n.name.empty() || line.atEnd() || *line.p != ':')
            continue;
        ++line.p;
        uint64_t skip = 0;
        uint64_t* fields[] = {&n.f[RX_BYTES], &n.f[RX_PACKETS], &n.f[RX_ERRORS], &n.f[RX_DROP], &skip, &skip,
                              &skip, &skip, &n.f[TX_BYTES], &n.f[TX_PACKETS], &n.f[TX_ERRORS], &n.f[TX_DROP]};
        bool complete = true;
        for (uint64_t* f : fields)
            if (!line.number(*f)) {
                complete = false;
                break;
            }
        if (complete)
            s.nets.push_back(std::move(n));
    }
    return true;
}

// Whether the devices are the ones /proc/diskstats named when the disks
// were last told apart.
bool sameDevices(const KeptFiles::Disks& known, const std::vector<DiskStat>& disks)
{
    if (!known.listed || known.names.size() != disks.size())
        return false;
    for (size_t i = 0; i < disks.size(); ++i)
        if (known.names[i] != disks[i].name)
            return false;
    return true;
}

void readDiskstats(const Roots& roots, Snapshot& s, std::string& buffer, KeptFiles* kept)
{
    if (!readSource(kept, roots.proc + "/diskstats", buffer) || !parseDiskstats(buffer, s))
        return;
    // Which devices are disks changes only with the devices: /sys/block is
    // listed again when /proc/diskstats names others.
    KeptFiles::Disks fresh;
    KeptFiles::Disks& known = kept != nullptr ? kept->disks() : fresh;
    if (!sameDevices(known, s.disks)) {
        known = KeptFiles::Disks();
        // /sys/block names a disk such as cciss/c0d0 with '!' for '/'.
        // Only devices with hardware behind them are disks: loop, device-mapper,
        // md and zram devices sit on a disk (or memory) whose I/O is counted there.
        const bool listed = forEachEntry(roots.sys + "/block", [&](const char* name) {
            if (::access((roots.sys + "/block/" + name + "/device").c_str(), F_OK) != 0)
                return;
            std::string n = name;
            std::replace(n.begin(), n.end(), '!', '/');
            known.whole.push_back(std::move(n));
        });
        if (!listed) {
            s.disks.clear();
            return;
        }
        for (const DiskStat& d : s.disks)
            known.names.push_back(d.name);
        known.listed = true;
    }
    for (DiskStat& d : s.disks)
        d.wholeDisk = std::find(known.whole.begin(), known.whole.end(), d.name) != known.whole.end();
    s.read |= SRC_DISKSTATS;
}

void readNetSpeeds(const Roots& roots, Snapshot& s, std::string& buffer, KeptFiles* kept)
{
    for (NetStat& n : s.nets) {
        int64_t speed = -1;
        if (readSource(kept, roots.sys + "/class/net/" + n.name + "/speed", buffer)) {
            Scan sc = scanOf(buffer);
            if (!sc.signedNumber(speed))
                speed = -1;
        }
        n.speedMbps = speed;
    }
    s.read |= SRC_NETSPEED;
}

} // namespace

bool listDirectory(const std::string& dir, const std::function<void(const char*)>& f)
{
    return forEachEntry(dir, f);
}

bool readWholeFile(const std::string& path, std::string& out)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (out.capacity() < 4096)
        out.reserve(4096);
    out.resize(out.capacity());
    size_t used = 0;
    for (;;) {
        if (used == out.size())
            out.resize(out.size() * 2);
        ssize_t n = ::read(fd, &out[used], out.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(used);
    return true;
}

namespace {

constexpr long PROC_FS_MAGIC = 0x9fa0;
constexpr long SYS_FS_MAGIC = 0x62656572;

// The rest of a file from a descriptor into out from offset used on; errno
// tells why when it fails.
bool readFrom(int fd, std::string& out, size_t used)
{
    if (out.capacity() < 4096)
        out.reserve(4096);
    out.resize(std::max(out.capacity(), used));
    for (;;) {
        if (used == out.size())
            out.resize(out.size() * 2);
        ssize_t n = ::pread(fd, &out[used], out.size() - used, static_cast<off_t>(used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            out.clear();
            return false;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    out.resize(used);
    return true;
}

// A sysfs attribute the kernel cannot give now (the speed of a link that is
// down or has none) refuses the read itself; its descriptor stays good.
bool refused(int error) { return error == EINVAL; }

} // namespace

KeptFiles::KeptFiles() : tasks_(4096), handles_(4096) {}

KeptFiles::~KeptFiles()
{
    for (const Kept& f : files_)
        ::close(f.fd);
}

bool KeptFiles::read(const std::string& path, std::string& out)
{
    for (auto it = files_.begin(); it != files_.end(); ++it) {
        if (it->path != path)
            continue;
        it->used = true;
        if (readFrom(it->fd, out, 0))
            return true;
        if (refused(errno))
            return false;
        // An ended process or a removed interface: open the path anew below.
        ::close(it->fd);
        files_.erase(it);
        break;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = readFrom(fd, out, 0);
    struct statfs fs;
    if ((ok || refused(errno)) && files_.size() < MAX_KEPT && ::fstatfs(fd, &fs) == 0 &&
        (static_cast<long>(fs.f_type) == PROC_FS_MAGIC || static_cast<long>(fs.f_type) == SYS_FS_MAGIC)) {
        files_.push_back(Kept{path, fd, true});
        return ok;
    }
    ::close(fd);
    return ok;
}

bool KeptFiles::unchanged(const std::string& path)
{
    for (Kept& f : files_) {
        if (f.path != path)
            continue;
        f.used = true;
        struct pollfd p = {f.fd, POLLPRI, 0};
        return ::poll(&p, 1, 0) >= 0 && (p.revents & (POLLERR | POLLPRI | POLLNVAL)) == 0;
    }
    return false;
}

void KeptFiles::sweep()
{
    auto keep = files_.begin();
    for (auto it = files_.begin(); it != files_.end(); ++it) {
        if (!it->used) {
            ::close(it->fd);
            continue;
        }
        it->used = false;
        if (keep != it)
            *keep = std::move(*it);
        ++keep;
    }
    files_.erase(keep, files_.end());
}

Roots currentRoots()
{
    Roots r;
    r.proc = environmentVariable("TELVAR_PROC_ROOT");
    r.sys = environmentVariable("TELVAR_SYS_ROOT");
    if (r.proc.empty())
        r.proc = "/proc";
    if (r.sys.empty())
        r.sys = "/sys";
    while (r.proc.size() > 1 && r.proc.back() == '/')
        r.proc.pop_back();
    while (r.sys.size() > 1 && r.sys.back() == '/')
        r.sys.pop_back();
    return r;
}

long clockTicksPerSecond()
{
    static const long ticks = [] {
        long t = ::sysconf(_SC_CLK_TCK);
        return t > 0 ? t : 100L;
    }();
    return ticks;
}

long pageSizeBytes()
{
    static const long size = [] {
        long s = ::sysconf(_SC_PAGESIZE);
        return s > 0 ? s : 4096L;
    }();
    return size;
}

namespace {

template <class T>
void clearKeeping(std::vector<T>& from, std::vector<T>& to)
{
    from.clear();
    to.swap(from);
}

// Cleared for a collection, its lists keeping their capacity: a collection
// then allocates nothing once the lists have grown to the host's size.
void clearSnapshot(Snapshot& s)
{
    Snapshot fresh;
    clearKeeping(s.cpus, fresh.cpus);
    clearKeeping(s.disks, fresh.disks);
    clearKeeping(s.mounts, fresh.mounts);
    clearKeeping(s.nets, fresh.nets);
    clearKeeping(s.processes, fresh.processes);
    clearKeeping(s.processesById, fresh.processesById);
    clearKeeping(s.self.threads, fresh.self.threads);
    clearKeeping(s.self.switches, fresh.self.switches);
    s = std::move(fresh);
}

} // namespace

void collect(const Roots& roots, uint32_t sources, const ProcessSelection& selection, ProcessNames& names,
             Snapshot& s, std::string& buffer, KeptFiles* kept)
{
    clearSnapshot(s);
    auto readSystemFile = [&](const std::string& path) { return readSource(kept, path, buffer); };
    auto readInto = [&](uint32_t bit, const char* name, bool (*parse)(const std::string&, Snapshot&)) {
        if ((sources & bit) != 0 && readSystemFile(roots.proc + name) && parse(buffer, s))
            s.read |= bit;
    };
    readInto(SRC_UPTIME, "/uptime", parseUptime);
    readInto(SRC_STAT, "/stat", parseStat);
    if ((s.read & SRC_STAT) != 0) {
        readInto(SRC_INTERRUPTS, "/interrupts", parseInterrupts);
        readInto(SRC_SOFTIRQS, "/softirqs", parseSoftirqs);
    }
    readInto(SRC_LOADAVG, "/loadavg", parseLoadavg);
    readInto(SRC_MEMINFO, "/meminfo", parseMeminfo);
    readInto(SRC_VMSTAT, "/vmstat", parseVmstat);
    readInto(SRC_SNMP, "/net/snmp", parseSnmp);
    readInto(SRC_SNMP6, "/net/snmp6", parseSnmp6);
    if ((sources & SRC_DISKSTATS) != 0)
        readDiskstats(roots, s, buffer, kept);
    if ((sources & SRC_MOUNTS) != 0 && readMounts(roots, s, buffer, kept))
        s.read |= SRC_MOUNTS;
    readInto(SRC_NETDEV, "/net/dev", parseNetdev);
    if ((sources & SRC_NETSPEED) != 0 && (s.read & SRC_NETDEV) != 0)
        readNetSpeeds(roots, s, buffer, kept);
    if ((sources & SRC_SELF) != 0 && readSelf(roots, s, buffer, kept))
        s.read |= SRC_SELF;
    // Process V2 reads its processes by id, without a listing
    const bool byName = selection.all || !selection.names.empty();
    if ((sources & SRC_PROCESSES) != 0) {
        readProcessesById(roots, selection, s, buffer, kept);
        if (!byName)
            s.read |= sources & (SRC_PROCESSES | PROCESS_EXTRAS);
    }
    if ((sources & SRC_PROCESSES) != 0 && byName) {
        if (readProcesses(roots, selection, (sources & SRC_PIDLIST) != 0, names, s, buffer, kept))
            s.read |= (sources & (SRC_PROCESSES | PROCESS_EXTRAS)) | (s.processesListed ? static_cast<uint32_t>(SRC_PIDLIST) : 0u);
    } else if ((sources & SRC_PIDLIST) != 0) {
        // the count of processes is a directory listing, nothing more
        std::unique_ptr<ProcDirectory> own(kept == nullptr ? new ProcDirectory : nullptr);
        ProcDirectory& listing = kept != nullptr ? kept->procDirectory() : *own;
        if (listing.list(roots.proc)) {
            s.processCount = listing.pids().size();
            s.read |= SRC_PIDLIST;
        }
    }
    // the files of ended processes and of sources no longer asked for
    if (kept != nullptr)
        kept->sweep();
}

void collect(const Roots& roots, uint32_t sources, Snapshot& snap, std::string& buffer)
{
    ProcessSelection all;
    all.allExtras = sources & PROCESS_EXTRAS;
    ProcessNames names;
    collect(roots, sources, all, names, snap, buffer);
}

} // namespace LinuxPerf

// ---- file-system sizes for LogicalDisk ----

namespace {
std::mutex spaceMutex;
FileSystemSpaceFunction& spaceOverride()
{
    static FileSystemSpaceFunction f;
    return f;
}
} // namespace

void setFileSystemSpaceFunction(FileSystemSpaceFunction function)
{
    std::lock_guard<std::mutex> lock(spaceMutex);
    spaceOverride() = std::move(function);
}

bool fileSystemSpace(const std::string& mountPoint, FileSystemSpace& space)
{
    FileSystemSpaceFunction replaced;
    {
        std::lock_guard<std::mutex> lock(spaceMutex);
        replaced = spaceOverride();
    }
    if (replaced)
        return replaced(mountPoint, space);
    struct statvfs st;
    if (::statvfs(mountPoint.c_str(), &st) != 0)
        return false;
    // sar -F: size f_blocks, free f_bfree, both in f_frsize units
    space.totalBytes = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
    space.freeBytes = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
    return true;
}

} // namespace Platform
} // namespace Telvar
