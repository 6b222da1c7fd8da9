#include "platform/win32/SelfObject.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "platform/Clock.h"

namespace Telvar {
namespace Platform {

namespace {

using Figure = CollectorStatistics::Figure;

// In the order of the Linux backend's object; these names are fixed.
enum Counter {
    PROCESSOR_TIME, POLLER_TIME, WRITER_TIME, DELIVERY_TIME, LISTENER_TIME, WORKING_SET, PRIVATE_BYTES,
    THREAD_COUNT, HANDLE_COUNT, WAKEUPS, SAMPLES_LATE, SAMPLES_MISSED, RECORDS_WRITTEN, RECORDS_FAILED,
    FILES_DELIVERED, FILES_PENDING, DELIVERY_FAILURES, LAST_DELIVERY_AGE, COMMANDS_RECEIVED, JUNK_DROPPED,
    EXPORT_BACKLOG, EXPORT_FAILURES, RELOADS, FAILED_RELOADS, COUNTERS
};

uint64_t both(const FILETIME& kernel, const FILETIME& user)
{
    auto value = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return value(kernel) + value(user);
}

uint64_t threadsOfProcess()
{
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = ::GetCurrentProcessId();
    uint64_t n = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snap, &entry); more; more = ::Thread32Next(snap, &entry))
        n += entry.th32OwnerProcessID == self ? 1 : 0;
    ::CloseHandle(snap);
    return n;
}

void takeThreads(SelfObject::Sample& s)
{
    CollectorStatistics::ThreadEntry registered[CollectorStatistics::MAX_THREADS];
    const size_t count = collectorStatistics().threads(registered);
    for (size_t i = 0; i < count; ++i) {
        HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, registered[i].tid);
        if (thread == nullptr)
            continue;  // ended since it registered
        FILETIME created, exited, kernel, user;
        if (::GetThreadTimes(thread, &created, &exited, &kernel, &user))
            s.threads.push_back(SelfObject::Thread{registered[i].tid, static_cast<uint32_t>(registered[i].kind),
                                                   (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime,
                                                   both(kernel, user)});
        ::CloseHandle(thread);
    }
}

double kindTime(const SelfObject::Sample& cur, const SelfObject::Sample& prev, ThreadKind kind)
{
    double time = 0;
    for (const SelfObject::Thread& c : cur.threads) {
        if (c.kind != static_cast<uint32_t>(kind))
            continue;
        for (const SelfObject::Thread& p : prev.threads)
            if (p.tid == c.tid && p.created == c.created && c.time >= p.time)
                time += double(c.time - p.time);
    }
    return time;
}

PdhStatus rate(int counter, const SelfObject::Sample& cur, const SelfObject::Sample& prev, double& v)
{
    const double seconds = double(cur.ms - prev.ms) / 1000.0;
    if (!prev.taken || seconds <= 0)
        return PDH_CSTATUS_INVALID_DATA;
    const double percent = 100.0 / 1e7 / seconds;  // 100-ns units of a second
    switch (counter) {
    case PROCESSOR_TIME:
        if (cur.processTime < prev.processTime)
            return PDH_CSTATUS_INVALID_DATA;
        v = double(cur.processTime - prev.processTime) * percent;
        return PDH_CSTATUS_VALID_DATA;
    case POLLER_TIME: v = kindTime(cur, prev, ThreadKind::Poller) * percent; return PDH_CSTATUS_VALID_DATA;
    case WRITER_TIME: v = kindTime(cur, prev, ThreadKind::Writer) * percent; return PDH_CSTATUS_VALID_DATA;
    case DELIVERY_TIME: v = kindTime(cur, prev, ThreadKind::Delivery) * percent; return PDH_CSTATUS_VALID_DATA;
    case LISTENER_TIME: v = kindTime(cur, prev, ThreadKind::Listener) * percent; return PDH_CSTATUS_VALID_DATA;
    case SAMPLES_LATE: {
        const int64_t d = cur.figures[Figure::SAMPLES_MISSED] - prev.figures[Figure::SAMPLES_MISSED];
        v = d >= 0 ? double(d) / seconds : 0.0;
        return PDH_CSTATUS_VALID_DATA;
    }
    default:  // wake-ups: no per-thread switch count without the native API
        return PDH_CSTATUS_INVALID_DATA;
    }
}

} // namespace

const std::vector<std::string>& SelfObject::counterNames()
{
    static const std::vector<std::string> names = {
        "% Processor Time", "% Poller Time", "% Writer Time", "% Delivery Time", "% Listener Time", "Working Set",
        "Private Bytes", "Thread Count", "Handle Count", "Wake-ups/sec", "Samples Late/sec", "Samples Missed",
        "Records Written", "Records Failed", "Files Delivered", "Files Pending", "Delivery Failures",
        "Last Delivery Age", "Commands Received", "Junk Messages Dropped", "Export Backlog Records",
        "Export Failures", "Configuration Reloads", "Failed Reloads"};
    return names;
}

int SelfObject::counterOf(const std::string& path)
{
    std::string rest = path;
    if (rest.compare(0, 2, "\\\\") == 0) {
        const size_t end = rest.find('\\', 2);
        if (end == std::string::npos)
            return -1;
        rest.erase(0, end);
    }
    const std::string prefix = std::string("\\") + NAME + "\\";
    if (rest.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const std::string counter = rest.substr(prefix.size());
    const std::vector<std::string>& names = counterNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == counter)
            return static_cast<int>(i);
    return -1;
}

uint32_t SelfObject::counterType(int counter)
{
    if (counter <= LISTENER_TIME)
        return PERF_100NSEC_TIMER;
    if (counter == WAKEUPS || counter == SAMPLES_LATE)
        return PERF_COUNTER_COUNTER;
    return counter == THREAD_COUNT || counter == HANDLE_COUNT ? PERF_COUNTER_RAWCOUNT : PERF_COUNTER_LARGE_RAWCOUNT;
}

void SelfObject::take(Sample& s)
{
    s = Sample();
    s.taken = true;
    s.ms = monotonicMilliseconds();
    HANDLE process = ::GetCurrentProcess();
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(process, &created, &exited, &kernel, &user))
        s.processTime = both(kernel, user);
    PROCESS_MEMORY_COUNTERS_EX memory;
    memory.cb = sizeof memory;
    if (::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        s.workingSet = memory.WorkingSetSize;
        s.privateBytes = memory.PrivateUsage;
        s.memory = true;
    }
    DWORD handles = 0;
    s.handles = ::GetProcessHandleCount(process, &handles) != 0;
    s.handleCount = handles;
    s.threadCount = threadsOfProcess();
    takeThreads(s);
    const CollectorStatistics& stats = collectorStatistics();
    for (int f = 0; f < Figure::FIGURES; ++f)
        s.figures[f] = stats.get(static_cast<Figure>(f));
    s.lastDeliveryAge = stats.lastDeliveryAgeSeconds();
}

PdhStatus SelfObject::value(int counter, const Sample& cur, const Sample& prev, double& v)
{
    static const Figure DELIVERY_FIGURES[] = {Figure::RECORDS_WRITTEN, Figure::RECORDS_FAILED, Figure::FILES_DELIVERED,
                                     Figure::FILES_PENDING, Figure::DELIVERY_FAILURES};
    static const Figure COMMAND_FIGURES[] = {Figure::COMMANDS_RECEIVED, Figure::JUNK_DROPPED, Figure::EXPORT_BACKLOG,
                                   Figure::EXPORT_FAILURES, Figure::RELOADS, Figure::FAILED_RELOADS};
    if (!cur.taken)
        return PDH_CSTATUS_INVALID_DATA;
    if (counter <= LISTENER_TIME || counter == WAKEUPS || counter == SAMPLES_LATE)
        return rate(counter, cur, prev, v);
    switch (counter) {
    case WORKING_SET: v = double(cur.workingSet); return cur.memory ? PDH_CSTATUS_VALID_DATA : PDH_CSTATUS_INVALID_DATA;
    case PRIVATE_BYTES: v = double(cur.privateBytes); return cur.memory ? PDH_CSTATUS_VALID_DATA : PDH_CSTATUS_INVALID_DATA;
    case THREAD_COUNT: v = double(cur.threadCount); return PDH_CSTATUS_VALID_DATA;
    case HANDLE_COUNT: v = double(cur.handleCount); return cur.handles ? PDH_CSTATUS_VALID_DATA : PDH_CSTATUS_INVALID_DATA;
    case SAMPLES_MISSED: v = double(cur.figures[Figure::SAMPLES_MISSED]); return PDH_CSTATUS_VALID_DATA;
    case LAST_DELIVERY_AGE: v = cur.lastDeliveryAge; return PDH_CSTATUS_VALID_DATA;
    default: break;
    }
    if (counter >= RECORDS_WRITTEN && counter <= DELIVERY_FAILURES)
        v = double(cur.figures[DELIVERY_FIGURES[counter - RECORDS_WRITTEN]]);
    else if (counter >= COMMANDS_RECEIVED && counter <= FAILED_RELOADS)
        v = double(cur.figures[COMMAND_FIGURES[counter - COMMANDS_RECEIVED]]);
    else
        return PDH_CSTATUS_NO_COUNTER;
    return PDH_CSTATUS_VALID_DATA;
}

bool SelfObject::nameOfIndex(uint32_t index, std::string& name)
{
    if (index < FIRST_INDEX || (index - FIRST_INDEX) % 2 != 0)
        return false;
    const uint32_t n = (index - FIRST_INDEX) / 2;
    if (n == 0)
        name = NAME;
    else if (n <= counterNames().size())
        name = counterNames()[n - 1];
    else
        return false;
    return true;
}

std::string SelfObject::tableEntries()
{
    std::string out;
    uint32_t index = FIRST_INDEX;
    std::string name;
    while (nameOfIndex(index, name)) {
        out += std::to_string(index);
        out += '\0';
        out += name;
        out += '\0';
        index += 2;
    }
    return out;
}

} // namespace Platform
} // namespace Telvar
