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
// Sources without which a counter still has an answer of its own.
constexpr uint32_t OPTIONAL_SOURCES = SRC_INTERRUPTS | SRC_SOFTIRQS | SRC_NETSPEED | PROCESS_EXTRAS;

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

// A process name of a Process instance: "name#2" may also be a process
// called so.
void addProcessNames(const std::string& instance, std::vector<std::string>& names)
{
    auto add = [&](const std::string& n) {
        if (std::find(names.begin(), names.end(), n) == names.end())
            names.push_back(n);
    };
    add(instance);
    size_t hash = instance.rfind('#');
    if (hash != std::string::npos && hash > 0 && hash + 1 < instance.size() &&
        instance.find_first_not_of("0123456789", hash + 1) == std::string::npos)
        add(instance.substr(0, hash));
}

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
    q.selection = ProcessSelection();
    q.selection.all = false;
    for (PdhHandle h : q.counters) {
        const CounterEntry& e = counters_[h];
        uint32_t s = e.def->sources;
        const bool total = e.instance == "_Total";
        if (e.object->id == ObjectId::Processor && total)
            s &= ~static_cast<uint32_t>(SRC_INTERRUPTS | SRC_SOFTIRQS);  // _Total comes from /proc/stat
        std::string name;
        int64_t pid = 0;
        if (e.object->id == ObjectId::ProcessV2 && splitProcessV2Instance(e.instance, name, pid)) {
            // read by id; the name tells a reused id's new owner apart
            auto wanted = std::make_pair(pid, name);
            auto& byId = q.selection.byId;
            auto at = std::lower_bound(byId.begin(), byId.end(), wanted);
            if (at == byId.end() || *at != wanted)
                byId.insert(at, wanted);
            q.selection.namedExtras |= s & PROCESS_EXTRAS;
        } else if ((s & SRC_PROCESSES) != 0) {
            // the system-wide file operations and _Total need every process
            if (total || e.object->id == ObjectId::System) {
                q.selection.all = true;
                q.selection.allExtras |= s & PROCESS_EXTRAS;
            } else {
                addProcessNames(e.instance, q.selection.names);
                if (std::find(q.selection.instances.begin(), q.selection.instances.end(), e.instance) ==
                    q.selection.instances.end())
                    q.selection.instances.push_back(e.instance);
                q.selection.namedExtras |= s & PROCESS_EXTRAS;
            }
        }
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
    std::string processName;
    int64_t pid = 0;
    if (object->id == ObjectId::ProcessV2 && !splitProcessV2Instance(instance, processName, pid))
        return PDH_CSTATUS_BAD_COUNTERNAME;  // only name:pid ever exists
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
    collect(q.roots, q.sources, q.selection, q.names, q.current, q.buffer, &q.kept);
    ++q.collections;
    noteProcessStarts(q);
    double usage = 0;
    if (swapUsage(q.current, usage))
        q.swapUsagePeak = std::max(q.swapUsagePeak, usage);
    return PDH_CSTATUS_VALID_DATA;
}

void LinuxPerfData::noteProcessStarts(Query& q)
{
    for (const ProcStat& p : q.current.processesById)
        q.processStarts.emplace(p.instance, p.startTime);
}

bool LinuxPerfData::sameProcessV2(const Query& q, const CounterEntry& e)
{
    auto bound = q.processStarts.find(e.instance);
    if (bound == q.processStarts.end())
        return false;
    for (const ProcStat& p : q.current.processesById)
        if (p.instance == e.instance)
            return p.startTime == bound->second;
    return false;
}

PdhStatus LinuxPerfData::pagingFileValue(const Query& q, const CounterEntry& e, double& v)
{
    if (e.instance != "_Total")
        return PDH_CSTATUS_NO_INSTANCE;
    if (!swapUsage(q.current, v))
        return PDH_CSTATUS_NO_COUNTER;
    if (e.def->id == CounterId::PagingUsagePeak)
        v = q.swapUsagePeak;  // the highest % Usage of the query's collections
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::computeValue(const Query& q, const CounterEntry& e, double& v)
{
    if (q.collections == 0)
        return PDH_CSTATUS_INVALID_DATA;
    const Snapshot& cur = q.current;
    const Snapshot* prev = q.collections >= 2 ? &q.previous : nullptr;
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
    const ValueInput in{cur, prev, itv, e.instance, e.instance == "_Total", e.def->id};
    switch (e.object->id) {
    case ObjectId::Processor: return processorValue(in, v);
    case ObjectId::System: return systemValue(in, v);
    case ObjectId::Memory: return memoryValue(in, v);
    case ObjectId::PagingFile: return pagingFileValue(q, e, v);
    case ObjectId::PhysicalDisk: return physicalDiskValue(in, v);
    case ObjectId::LogicalDisk: return logicalDiskValue(in, v);
    case ObjectId::NetworkInterface: return networkValue(in, v);
    case ObjectId::Process: return processValue(in, v);
    case ObjectId::ProcessV2:
        // an instance is the process it first named, not a later one under the same name and id
        return sameProcessV2(q, e) ? processV2Value(in, v) : PDH_CSTATUS_NO_INSTANCE;
    case ObjectId::RavlonCollector: return selfValue(in, v);
    default: return protocolValue(e.object->id, in, v);
    }
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
        *type = e.def->type;
    double v = 0.0;
    PdhStatus cs = computeValue(*e.query, e, v);
    value.cStatus = cs;
    if (cs != PDH_CSTATUS_VALID_DATA)
        return PDH_INVALID_DATA;
    const bool percent = (e.def->type & PERF_DISPLAY_MASK) == PERF_DISPLAY_PERCENT;
    if (percent && (format & PDH_FMT_NOCAP100) == 0 && v > 100.0)
        v = 100.0;
    value.doubleValue = kind == PDH_FMT_DOUBLE ? v : 0.0;
    value.largeValue = kind == PDH_FMT_LARGE ? static_cast<int64_t>(v) : 0;
    value.longValue = kind == PDH_FMT_LONG ? static_cast<int32_t>(std::min(v, 2147483647.0)) : 0;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus LinuxPerfData::getCounterType(PdhHandle counter, uint32_t& type)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counters_.find(counter);
    if (it == counters_.end())
        return PDH_INVALID_HANDLE;
    type = it->second.def->type;
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
    case ObjectId::ProcessV2: sources = SRC_PROCESSES; break;
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
            if (d.wholeDisk && d.f[RD_IOS] + d.f[WR_IOS] + d.f[DC_IOS] + d.f[FL_IOS] != 0)
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
    case ObjectId::ProcessV2:
        withTotal = false;
        for (const ProcStat& p : snap.processes)
            instances.push_back(p.name + ":" + std::to_string(p.pid));
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
