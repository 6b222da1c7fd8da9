// Reading the processes of a collection. A query naming a few processes
// finds them through the names kept from earlier collections, so that its
// cost is a listing of /proc plus the files of the processes it names; only
// _Total and the system-wide file operations read every process.

#include "platform/linux/PerfDataLinux.h"

#include <algorithm>
#include <cstdlib>

#include "platform/linux/PerfDataScan.h"

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

// One /proc/<pid>/stat line; the command name sits in the outermost parentheses.
bool parseProcStat(const std::string& b, ProcStat& p)
{
    size_t open = b.find('(');
    size_t close = b.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    p.name = b.substr(open + 1, close - open - 1);
    p.instance = p.name;
    Scan sc{b.data() + close + 1, b.data() + b.size()};
    sc.word();  // state, field 3
    // fields 4..24 always, 25..41 on every kernel since 2.6.22
    int64_t values[41 - 4 + 1] = {};
    for (int i = 0; i < 41 - 4 + 1; ++i) {
        if (!sc.signedNumber(values[i])) {
            if (i < 24 - 4 + 1)
                return false;
            break;
        }
    }
    auto field = [&](int n) { return values[n - 4]; };
    auto ufield = [&](int n) { return static_cast<uint64_t>(values[n - 4]); };
    p.ppid = field(4);
    p.minflt = ufield(10);
    p.majflt = ufield(12);
    p.utime = ufield(14);
    p.stime = ufield(15);
    p.nice = field(19);
    p.threads = ufield(20);
    p.startTime = ufield(22);
    p.vsize = ufield(23);
    p.rssPages = ufield(24);
    p.rtPriority = ufield(40);
    return true;
}

namespace {

// "Key: value" lines of status or io into the named members.
void parseFields(const std::string& b, const char* const* keys, uint64_t* const* values, size_t count)
{
    Scan sc = scanOf(b);
    size_t found = 0;
    while (!sc.atEnd() && found < count) {
        for (size_t i = 0; i < count; ++i) {
            if (sc.startsWith(keys[i])) {
                sc.p += std::strlen(keys[i]);
                found += sc.number(*values[i]) ? 1 : 0;
                break;
            }
        }
        sc.nextLine();
    }
}

// Through kept descriptors when given (processes read at every collection).
bool readProcessFile(KeptFiles* kept, const std::string& path, std::string& buffer)
{
    return kept != nullptr ? kept->read(path, buffer) : readWholeFile(path, buffer);
}

} // namespace

void processDirectory(const std::string& proc, int64_t pid, std::string& dir)
{
    char digits[24];
    char* end = digits + sizeof digits;
    char* at = end;
    uint64_t v = static_cast<uint64_t>(pid);
    do {
        *--at = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    dir.assign(proc).append(1, '/').append(at, end);
}

void readExtras(const std::string& dir, uint32_t extras, ProcStat& p, std::string& buffer, KeptFiles* kept,
                std::string& path)
{
    auto file = [&](const char* name) -> const std::string& { return path.assign(dir).append(name); };
    if ((extras & SRC_PROCSTATM) != 0 && readProcessFile(kept, file("/statm"), buffer)) {
        Scan sc = scanOf(buffer);
        uint64_t size = 0;
        p.hasStatm = sc.number(size) && sc.number(p.statmResident) && sc.number(p.statmShared);
    }
    if ((extras & SRC_PROCFD) != 0) {
        int64_t n = 0;
        if (forEachEntry(file("/fd"), [&](const char*) { ++n; }))
            p.fdCount = n;
    }
    if ((extras & SRC_PROCSTATUS) != 0 && readProcessFile(kept, file("/status"), buffer)) {
        static const char* const keys[] = {"VmPeak:", "VmHWM:"};
        uint64_t* const values[] = {&p.vmPeakKb, &p.vmHwmKb};
        p.vmPeakKb = p.vmHwmKb = UINT64_MAX;
        parseFields(buffer, keys, values, 2);
        // kernel threads have no memory lines
        p.hasStatus = p.vmPeakKb != UINT64_MAX && p.vmHwmKb != UINT64_MAX;
    }
    if ((extras & SRC_PROCIO) != 0 && readProcessFile(kept, file("/io"), buffer)) {
        static const char* const keys[] = {"rchar:", "wchar:", "syscr:", "syscw:"};
        uint64_t* const values[] = {&p.readChars, &p.writeChars, &p.readCalls, &p.writeCalls};
        p.readCalls = UINT64_MAX;
        parseFields(buffer, keys, values, 4);
        p.hasIo = p.readCalls != UINT64_MAX;
    }
}

namespace {

bool isWanted(const ProcessSelection& selection, const std::string& name)
{
    return std::find(selection.names.begin(), selection.names.end(), name) != selection.names.end();
}

struct ProcessReader {
    const Roots& roots;
    const ProcessSelection& selection;
    ProcessNames& names;
    Snapshot& s;
    std::string& buffer;
    KeptFiles* kept;
    std::string dir, path;  // reused: no allocation per process

    // Reads one process, keeps it in the snapshot when asked for, and
    // updates its kept name; false when it has ended.
    bool read(ProcessNames::Entry& e)
    {
        processDirectory(roots.proc, e.pid, dir);
        ProcStat p;
        p.pid = e.pid;
        ++s.processFilesRead;
        // Named processes are read at every collection: their files are kept
        // open (a reused process id fails the kept read and opens anew).
        KeptFiles* keep = !selection.all && isWanted(selection, e.name) ? kept : nullptr;
        if (!readProcessFile(keep, path.assign(dir).append("/stat"), buffer) || !parseProcStat(buffer, p))
            return false;
        const double age = s.uptime - static_cast<double>(p.startTime) / static_cast<double>(clockTicksPerSecond());
        e.name = p.instance;
        e.young = (s.read & SRC_UPTIME) == 0 || age < ProcessNames::YOUNG_SECONDS;
        const bool named = isWanted(selection, p.instance);
        if (selection.all || named) {
            readExtras(dir, selection.allExtras | (named ? selection.namedExtras : 0), p, buffer,
                       named && !selection.all ? kept : nullptr, path);
            s.processes.push_back(std::move(p));
        }
        return true;
    }

    // Whether a kept name must be read again at a listing.
    bool due(const ProcessNames::Entry& e, bool known) const
    {
        return selection.all || !known || e.young || isWanted(selection, e.name) ||
               static_cast<uint64_t>(e.pid) % ProcessNames::RECHECK_SLICES ==
                   names.listings % ProcessNames::RECHECK_SLICES;
    }

    void listed(const std::vector<int64_t>& pids)
    {
        ++names.listings;
        // the spare list keeps its capacity; the kept names move over
        std::vector<ProcessNames::Entry>& next = names.spare;
        next.clear();
        next.reserve(pids.size());
        auto old = names.entries.begin();
        for (int64_t pid : pids) {
            while (old != names.entries.end() && old->pid < pid)
                ++old;
            const bool known = old != names.entries.end() && old->pid == pid;
            ProcessNames::Entry e = known ? std::move(*old) : ProcessNames::Entry();
            e.pid = pid;
            // a process that ended between the listing and the read is left out
            if (due(e, known) && !read(e))
                continue;
            next.push_back(std::move(e));
        }
        names.entries.swap(next);
    }

    // Between listings: the processes whose kept name is asked for.
    void named()
    {
        auto keep = names.entries.begin();
        for (auto e = names.entries.begin(); e != names.entries.end(); ++e) {
            if (isWanted(selection, e->name) && !read(*e))
                continue;
            if (keep != e)
                *keep = std::move(*e);
            ++keep;
        }
        names.entries.erase(keep, names.entries.end());
    }
};

// Duplicated names become name#1, name#2, ... in process-id order.
void numberInstances(std::vector<ProcStat>& processes, std::vector<uint32_t>& order)
{
    order.resize(processes.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // by name, and within a name by position: process-id order
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const int c = processes[a].instance.compare(processes[b].instance);
        return c < 0 || (c == 0 && a < b);
    });
    for (size_t i = 0, first = 0; i < order.size(); ++i) {
        if (processes[order[i]].instance != processes[order[first]].instance)
            first = i;
        if (i > first)
            processes[order[i]].instance.append("#").append(std::to_string(i - first));
    }
}

} // namespace

bool splitProcessV2Instance(const std::string& instance, std::string& name, int64_t& pid)
{
    const size_t colon = instance.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == instance.size() || instance.size() - colon > 11 ||
        instance.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return false;
    name = instance.substr(0, colon);
    pid = std::strtoll(instance.c_str() + colon + 1, nullptr, 10);
    return pid > 0;
}

void readProcessesById(const Roots& roots, const ProcessSelection& selection, Snapshot& s, std::string& buffer,
                       KeptFiles* kept)
{
    for (const auto& wanted : selection.byId) {
        const std::string dir = roots.proc + "/" + std::to_string(wanted.first);
        ProcStat p;
        p.pid = wanted.first;
        ++s.processFilesRead;
        // a kept descriptor of an ended process fails, and the id's new owner is read anew
        if (!readProcessFile(kept, dir + "/stat", buffer) || !parseProcStat(buffer, p) || p.name != wanted.second)
            continue;
        p.instance = p.name + ":" + std::to_string(p.pid);
        std::string path;
        readExtras(dir, selection.namedExtras, p, buffer, kept, path);
        s.processesById.push_back(std::move(p));
    }
}

bool readProcesses(const Roots& roots, const ProcessSelection& selection, bool needCount, ProcessNames& names,
                   Snapshot& s, std::string& buffer, KeptFiles* kept)
{
    ++names.serial;
    ProcessReader reader{roots, selection, names, s, buffer, kept, std::string(), std::string()};
    // A listing for the count alone (System\Processes every second) leaves
    // the kept names as they are: they are checked at the periodic listings
    // only, so that the count costs a directory listing and no process file.
    const bool refresh = selection.all || names.missing || names.serial % ProcessNames::LIST_PERIOD == 1;
    if (refresh || needCount) {
        std::unique_ptr<ProcDirectory> own(kept == nullptr ? new ProcDirectory : nullptr);
        ProcDirectory& listing = kept != nullptr ? kept->procDirectory() : *own;
        if (!listing.list(roots.proc))
            return false;
        const std::vector<int64_t>& pids = listing.pids();
        s.processCount = pids.size();
        s.processesListed = true;
        if (refresh)
            reader.listed(pids);
        else
            reader.named();
    } else {
        reader.named();
    }
    numberInstances(s.processes, names.order);
    names.missing = false;
    for (const std::string& instance : selection.instances) {
        bool found = false;
        for (const ProcStat& p : s.processes)
            found = found || p.instance == instance;
        names.missing = names.missing || !found;
    }
    return true;
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
