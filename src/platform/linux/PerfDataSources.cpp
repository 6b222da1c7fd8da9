// Reading and parsing the /proc and /sys sources of one collection. Each
// source is read once per collection into a reused buffer and scanned by
// hand: the collection is meant to cost little more than the reads.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/Process.h"

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Scanner over one line or a whole buffer.
struct Scan {
    const char* p;
    const char* end;

    bool atEnd() const { return p >= end; }
    void skipBlanks()
    {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
    }
    bool number(uint64_t& v)
    {
        skipBlanks();
        if (p >= end || !isDigit(*p))
            return false;
        uint64_t r = 0;
        while (p < end && isDigit(*p))
            r = r * 10 + static_cast<uint64_t>(*p++ - '0');
        v = r;
        return true;
    }
    bool signedNumber(int64_t& v)
    {
        skipBlanks();
        bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        uint64_t u = 0;
        if (!number(u))
            return false;
        v = negative ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
        return true;
    }
    // A word up to blank, ':' excluded when stopAtColon.
    std::string word(bool stopAtColon = false)
    {
        skipBlanks();
        const char* s = p;
        while (p < end && *p != ' ' && *p != '\t' && *p != '\n' && !(stopAtColon && *p == ':'))
            ++p;
        return std::string(s, p);
    }
    void nextLine()
    {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        p = nl != nullptr ? static_cast<const char*>(nl) + 1 : end;
    }
    const char* lineEnd() const
    {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        return nl != nullptr ? static_cast<const char*>(nl) : end;
    }
    bool startsWith(const char* s) const
    {
        size_t n = std::strlen(s);
        return static_cast<size_t>(end - p) >= n && std::memcmp(p, s, n) == 0;
    }
};

Scan scanOf(const std::string& s) { return Scan{s.data(), s.data() + s.size()}; }

bool allDigits(const char* s)
{
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s)
        if (!isDigit(*s))
            return false;
    return true;
}

// Names in a directory; false when it cannot be opened.
template <class F>
bool forEachEntry(const std::string& dir, F f)
{
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
            continue;
        f(e->d_name);
    }
    ::closedir(d);
    return true;
}

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
        }
        sc.nextLine();
    }
    return any;
}

// Sums each processor's column of /proc/interrupts into its CpuTimes.
bool parseInterrupts(const std::string& b, Snapshot& s)
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
            columns[i]->interrupts = sums[i];
            columns[i]->hasInterrupts = true;
        }
    }
    return true;
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

bool parseMeminfo(const std::string& b, Snapshot& s)
{
    struct Field {
        const char* key;
        size_t len;
        uint64_t* value;
        bool* present;
    };
    bool swapTotal = false, swapFree = false;
    Field fields[] = {
        {"MemTotal:", 9, &s.memTotal, &s.hasMemTotal},
        {"MemAvailable:", 13, &s.memAvailable, &s.hasMemAvailable},
        {"Cached:", 7, &s.cached, &s.hasCached},
        {"Committed_AS:", 13, &s.committedAs, &s.hasCommittedAs},
        {"SwapTotal:", 10, &s.swapTotal, &swapTotal},
        {"SwapFree:", 9, &s.swapFree, &swapFree},
    };
    Scan sc = scanOf(b);
    size_t found = 0;
    while (!sc.atEnd() && found < sizeof fields / sizeof fields[0]) {
        for (Field& f : fields) {
            if (!*f.present && sc.startsWith(f.key)) {
                sc.p += f.len;
                *f.present = sc.number(*f.value);
                if (*f.present)
                    ++found;
                break;
            }
        }
        sc.nextLine();
    }
    s.hasSwap = swapTotal && swapFree;
    return found > 0;
}

bool parseVmstat(const std::string& b, Snapshot& s)
{
    struct Field {
        const char* key;
        size_t len;
        uint64_t* value;
    };
    Field fields[] = {
        {"pgpgin ", 7, &s.pgpgin},
        {"pgpgout ", 8, &s.pgpgout},
        {"pgfault ", 8, &s.pgfault},
        {"pgmajfault ", 11, &s.pgmajfault},
    };
    int found = 0;
    Scan sc = scanOf(b);
    while (!sc.atEnd() && found < 4) {
        for (Field& f : fields) {
            if (sc.startsWith(f.key)) {
                sc.p += f.len;
                if (sc.number(*f.value))
                    ++found;
                break;
            }
        }
        sc.nextLine();
    }
    s.hasVmstat = found == 4;
    return s.hasVmstat;
}

bool parseDiskstats(const std::string& b, const std::vector<std::string>& wholeDisks, Snapshot& s)
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
        if (std::find(wholeDisks.begin(), wholeDisks.end(), d.name) == wholeDisks.end())
            continue;
        uint64_t merges = 0;
        uint64_t* fields[] = {&d.rdIos, &merges, &d.rdSectors, &d.rdTicks, &d.wrIos, &merges,
                              &d.wrSectors, &d.wrTicks, &d.inFlight, &d.ioTicks, &d.timeInQueue};
        bool complete = true;
        for (uint64_t* f : fields)
            if (!line.number(*f)) {
                complete = false;
                break;
            }
        // a disk that was never used (an idle loop device) is not shown
        if (complete && d.rdIos + d.wrIos != 0)
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

bool parseMounts(const std::string& b, Snapshot& s)
{
    Scan sc = scanOf(b);
    while (!sc.atEnd()) {
        Scan line{sc.p, sc.lineEnd()};
        sc.nextLine();
        std::string device = line.word();
        std::string mountPoint = unescapeMount(line.word());
        // local file systems are the ones on a device node, as sar -F keeps them
        if (device.empty() || device[0] != '/' || mountPoint.empty())
            continue;
        bool seen = false;
        for (const MountSpace& m : s.mounts)
            seen = seen || m.mountPoint == mountPoint;
        if (seen)
            continue;
        FileSystemSpace space;
        if (!fileSystemSpace(mountPoint, space) || space.totalBytes == 0)
            continue;
        s.mounts.push_back(MountSpace{mountPoint, space.totalBytes, space.freeBytes});
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
        uint64_t* fields[] = {&n.rxBytes, &n.rxPackets, &n.rxErrors, &skip, &skip, &skip, &skip, &skip,
                              &n.txBytes, &n.txPackets};
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

// One /proc/<pid>/stat line; the command name sits in the outermost parentheses.
bool parseProcStat(const std::string& b, ProcStat& p)
{
    size_t open = b.find('(');
    size_t close = b.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    p.instance = b.substr(open + 1, close - open - 1);
    Scan sc{b.data() + close + 1, b.data() + b.size()};
    sc.word();  // state, field 3
    // fields 4..24
    uint64_t values[21] = {};
    for (int i = 0; i < 21; ++i) {
        int64_t sv = 0;
        if (!sc.signedNumber(sv))
            return false;
        values[i] = static_cast<uint64_t>(sv);
    }
    p.minflt = values[10 - 4];
    p.majflt = values[12 - 4];
    p.utime = values[14 - 4];
    p.stime = values[15 - 4];
    p.threads = values[20 - 4];
    p.startTime = values[22 - 4];
    p.vsize = values[23 - 4];
    p.rssPages = values[24 - 4];
    return true;
}

void readProcesses(const Roots& roots, uint32_t sources, Snapshot& s, std::string& buffer)
{
    std::vector<int64_t> pids;
    forEachEntry(roots.proc, [&](const char* name) {
        if (allDigits(name))
            pids.push_back(std::strtoll(name, nullptr, 10));
    });
    std::sort(pids.begin(), pids.end());
    std::string dir;
    for (int64_t pid : pids) {
        dir = roots.proc + "/" + std::to_string(pid);
        ProcStat p;
        p.pid = pid;
        // a process that ended between the listing and the read is skipped
        if (!readWholeFile(dir + "/stat", buffer) || !parseProcStat(buffer, p))
            continue;
        if ((sources & SRC_PROCSTATM) != 0 && readWholeFile(dir + "/statm", buffer)) {
            Scan sc = scanOf(buffer);
            uint64_t size = 0;
            p.hasStatm = sc.number(size) && sc.number(p.statmResident) && sc.number(p.statmShared);
        }
        if ((sources & SRC_PROCFD) != 0) {
            int64_t n = 0;
            if (forEachEntry(dir + "/fd", [&](const char*) { ++n; }))
                p.fdCount = n;
        }
        s.processes.push_back(std::move(p));
    }
    // Duplicated names become name#1, name#2, ... in process-id order.
    std::map<std::string, int> seen;
    for (ProcStat& p : s.processes) {
        int n = seen[p.instance]++;
        if (n > 0)
            p.instance += "#" + std::to_string(n);
    }
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

void collect(const Roots& roots, uint32_t sources, Snapshot& s, std::string& buffer)
{
    s.read = 0;
    s.cpus.clear();
    s.disks.clear();
    s.mounts.clear();
    s.nets.clear();
    s.processes.clear();
    s.hasMemAvailable = s.hasCommittedAs = s.hasSwap = s.hasCached = s.hasMemTotal = false;
    s.hasVmstat = false;
    auto readInto = [&](uint32_t bit, const char* name, bool (*parse)(const std::string&, Snapshot&)) {
        if ((sources & bit) != 0 && readWholeFile(roots.proc + name, buffer) && parse(buffer, s))
            s.read |= bit;
    };
    readInto(SRC_UPTIME, "/uptime", parseUptime);
    readInto(SRC_STAT, "/stat", parseStat);
    if ((sources & SRC_INTERRUPTS) != 0 && (s.read & SRC_STAT) != 0)
        readInto(SRC_INTERRUPTS, "/interrupts", parseInterrupts);
    readInto(SRC_LOADAVG, "/loadavg", parseLoadavg);
    readInto(SRC_MEMINFO, "/meminfo", parseMeminfo);
    readInto(SRC_VMSTAT, "/vmstat", parseVmstat);
    if ((sources & SRC_PIDLIST) != 0) {
        uint64_t n = 0;
        if (forEachEntry(roots.proc, [&](const char* name) { n += allDigits(name) ? 1 : 0; })) {
            s.processCount = n;
            s.read |= SRC_PIDLIST;
        }
    }
    if ((sources & SRC_DISKSTATS) != 0) {
        std::vector<std::string> whole;
        // /sys/block names a disk such as cciss/c0d0 with '!' for '/'.
        // Only devices with hardware behind them are disks: loop, device-mapper,
        // md and zram devices sit on a disk (or memory) whose I/O is counted there.
        bool listed = forEachEntry(roots.sys + "/block", [&](const char* name) {
            if (::access((roots.sys + "/block/" + name + "/device").c_str(), F_OK) != 0)
                return;
            std::string n = name;
            std::replace(n.begin(), n.end(), '!', '/');
            whole.push_back(std::move(n));
        });
        if (listed && readWholeFile(roots.proc + "/diskstats", buffer) && parseDiskstats(buffer, whole, s))
            s.read |= SRC_DISKSTATS;
    }
    readInto(SRC_MOUNTS, "/mounts", parseMounts);
    readInto(SRC_NETDEV, "/net/dev", parseNetdev);
    if ((sources & SRC_NETSPEED) != 0 && (s.read & SRC_NETDEV) != 0) {
        for (NetStat& n : s.nets) {
            int64_t speed = -1;
            if (readWholeFile(roots.sys + "/class/net/" + n.name + "/speed", buffer)) {
                Scan sc = scanOf(buffer);
                if (!sc.signedNumber(speed))
                    speed = -1;
            }
            n.speedMbps = speed;
        }
        s.read |= SRC_NETSPEED;
    }
    if ((sources & SRC_PROCESSES) != 0) {
        readProcesses(roots, sources, s, buffer);
        s.read |= sources & (SRC_PROCESSES | SRC_PROCSTATM | SRC_PROCFD);
    }
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
