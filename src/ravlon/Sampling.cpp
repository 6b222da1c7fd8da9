#include "ravlon/Sampling.h"

#include <mutex>

#include "agent/Agent.h"
#include "agent/DataDelivery.h"
#include "agent/LogFile.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/ThreadInstance.h"
#include "common/Wakeup.h"
#include "common/TimeSpan.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/CollectorStatistics.h"
#include "platform/PerfData.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"
#include "ravlon/Counter.h"
#include "ravlon/RecordExport.h"

namespace Telvar {

std::atomic<int32_t> Sampling::sampleTick{0};
std::atomic<int32_t> Sampling::periodCount{0};
std::atomic<int64_t> Sampling::periodMark{0};
std::atomic<bool> Sampling::idleTimeCorrection{false};

namespace {

std::atomic<int32_t> g_lastCollectedTick{0};
std::atomic<Agent*> g_agent{nullptr};

// Per scheme, the mark of its last record. Kept across thread restarts and
// reconfigurations, so no period is written twice and none is skipped.
std::mutex g_recordedLock;
std::map<std::string, int64_t> g_recorded;

const int32_t PERIOD_SECONDS = 30;
const int32_t STATUS_SECONDS = 29;
const int32_t FAILURE_WINDOW_SECONDS = 120;
const int32_t FATAL_FAILURES = 3;
const int WRITE_ATTEMPTS = 3;
const int POLL_MS = 250;
// A writer with no record due sleeps this long at most; the poller wakes
// it at a period's end, the supervisor with each request.
const int WRITER_SLEEP_MS = PERIOD_SECONDS * 1000;
// The doorbell group of the writers.
const int WRITERS = 1;
// A sleep to the next second ends this much into it, so a timer that
// fires a little early still finds the new second.
const int SECOND_MARGIN_MS = 2;
const int RETRY_MS = 100;
const int64_t PRIME_GAP_MS = 500;
const int PRIME_POLL_MS = 50;

const char* const PROCESSOR_TIME = "\\Processor(_Total)\\% Processor Time";
const char* const IDLE_TIME = "\\Processor(_Total)\\% Idle Time";

// The collector's module unit (the agent's, once configured).
void debug(int32_t level, const std::string& text)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    if (!unit.isNull())
        unit->debug(level, text);
}

void debug(int32_t level, const std::string& templ, const ParamStream& params)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    if (!unit.isNull())
        unit->debug(level, templ, params);
}

void message(int32_t severity, int32_t id, const std::string& parameter)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    if (unit.isNull())
        return;
    ParamStream params;
    params << parameter;
    switch (severity) {
    case SEVERITY_WARNING:
        unit->warning(id, params);
        break;
    case SEVERITY_ERROR:
        unit->error(id, params);
        break;
    default:
        unit->critical(id, params);
        break;
    }
}

unsigned long long threadId() { return static_cast<unsigned long long>(Platform::currentThreadId()); }

// Sleeps through the one test hook, then lets a pending termination take
// effect, so that a killed thread unwinds and its lock guards let go.
void pause(int ms)
{
    DateTime::sleepMilliseconds(ms);
    Platform::threadCheckpoint();
}

// The sampling lock for one scope, released on every way out.
class SamplingHold {
public:
    SamplingHold() : held_(Sampling::samplingLock().enforce()) {}
    SamplingHold(const SamplingHold&) = delete;
    SamplingHold& operator=(const SamplingHold&) = delete;
    ~SamplingHold() { release(); }
    void release()
    {
        if (held_)
            Sampling::samplingLock().relax();
        held_ = false;
    }

private:
    bool held_;
};

// The next 30-second boundary after now.
DateTime nextBoundary(const DateTime& now)
{
    DateTime next = now + TimeSpan(PERIOD_SECONDS);
    next.alignTo(TimeSpan(PERIOD_SECONDS));
    return next;
}

// Sleeps until just past the next whole second of the wall clock, or until
// the thread's doorbell rings (a quit, a stop, a liveness request).
void sleepToNextSecond(ThreadRecord& entry)
{
    Clock& clock = Clock::current();
    const int64_t into = ((clock.wallMilliseconds() % 1000) + 1000) % 1000;
    clock.sleepUnlessWoken(static_cast<int>(1000 - into) + SECOND_MARGIN_MS, entry.wakeup);
    Platform::threadCheckpoint();
}

bool quitting(const std::atomic<int32_t>& state, const Agent& agent)
{
    int32_t s = state.load();
    return s == STATE_QUITTING || s == STATE_QUIT || agent.quitRequested();
}

} // namespace

Monopoly& Sampling::samplingLock()
{
    static Monopoly lock;
    return lock;
}

Sampling::SchemeCounters& Sampling::schemeCounters()
{
    static SchemeCounters counters;
    return counters;
}

void Sampling::setAgent(Agent* agent) { g_agent = agent; }

Agent* Sampling::agent() { return g_agent.load(); }

int32_t Sampling::lastCollectedTick() { return g_lastCollectedTick.load(); }

void Sampling::resetState()
{
    sampleTick = 0;
    periodCount = 0;
    periodMark = 0;
    idleTimeCorrection = false;
    g_lastCollectedTick = 0;
    g_agent = nullptr;
    schemeCounters().clear();
    std::lock_guard<std::mutex> guard(g_recordedLock);
    g_recorded.clear();
}

int64_t Sampling::recordedMark(const std::string& scheme)
{
    std::lock_guard<std::mutex> guard(g_recordedLock);
    return g_recorded.emplace(scheme, periodMark.load()).first->second;
}

void Sampling::setRecordedMark(const std::string& scheme, int64_t mark)
{
    std::lock_guard<std::mutex> guard(g_recordedLock);
    g_recorded[scheme] = mark;
}

bool Sampling::preparePoller(Agent& agent)
{
    setAgent(&agent);
    debug(2, "Preparing performance data poller thread...");
    ThreadRecord* record = nullptr;
    try {
        record = agent.addThread(ThreadRecord(POLLER_NAME, ThreadRecord::REPORTS_STATE));
        record->state = STATE_NONE;
        record->thread = SmartPointer<ThreadInstance>(new ThreadInstance(&Sampling::pollerRoutine, record));
        record->thread->setName("poller");
    } catch (...) {
        // Reported below; startThreads reports the entry left without a thread.
    }
    if (record == nullptr || record->thread.isNull()) {
        debug(1, "OUT OF MEMORY");
        return false;
    }
    debug(3, "   Done.");
    return true;
}

bool Sampling::prepareCollector(Agent& agent, const std::string& scheme, DataFileEntries& entries)
{
    setAgent(&agent);
    debug(2, "Preparing counter data collector thread \"%s\"...", ParamStream() << scheme);
    ThreadRecord* record = nullptr;
    try {
        record = agent.addThread(ThreadRecord("counterDataCollector(" + scheme + ")", ThreadRecord::REPORTS_STATE));
        record->state = STATE_NONE;
        record->thread = SmartPointer<ThreadInstance>(new ThreadInstance(&Sampling::collectorRoutine, record));
        record->thread->setName("writer:" + scheme);
    } catch (...) {
    }
    if (record == nullptr || record->thread.isNull()) {
        debug(1, "OUT OF MEMORY");
        return false;
    }
    entries.push_back(std::make_pair(scheme + "Log", scheme));
    debug(3, "   Done.");
    return true;
}

int32_t Sampling::pollerRoutine(void* parameter)
{
    Agent* agent = g_agent.load();
    if (parameter == nullptr || agent == nullptr)
        return 0;
    ThreadRecord& entry = *static_cast<ThreadRecord*>(parameter);
    debug(1, "START THREAD %s (%i).", ParamStream() << entry.name << threadId());
    try {
        runPoller(entry, *agent);
    } catch (...) {
        // The lock guards have let go on the way out.
        debug(1, "ERROR while running performanceDataPoller thread");
        throw;
    }
    debug(1, "END THREAD " + entry.name);
    return 0;
}

void Sampling::runPoller(ThreadRecord& entry, Agent& agent)
{
    Platform::ThreadKindMark kind(Platform::ThreadKind::Poller);
    DateTime deadline(int64_t(0));
    const bool started = periodMark.load() != 0 ? resumePeriods(entry, agent, deadline)
                                                : alignToBoundary(entry, agent, deadline);
    if (!started)
        return;
    int32_t tick = DateTime::now().timeParts().second;
    // This collection stands for the current tick, so the next tick collects
    // again: the first values are read from two collections a second apart,
    // as rate counters need (a fresh query has none).
    Platform::perfData().collectQueryData(pdhQuery);
    g_lastCollectedTick = tick;
    int64_t primedAt = Clock::current().monotonicMilliseconds();

    bool fatal = false;
    while (entry.state.load() != STATE_QUIT) {
        if (tick % PERIOD_SECONDS == 0)
            agent.logThreadStatus(entry.name, fatal);
        agent.reportAlive(entry.state, fatal);
        DateTime now = DateTime::now();
        while (now.timeParts().second == tick && !quitting(entry.state, agent)) {
            sleepToNextSecond(entry);
            agent.reportAlive(entry.state, fatal);
            now = DateTime::now();
        }
        if (agent.quitRequested())
            break;
        tick = tick == 59 ? 0 : tick + 1;
        // A start late in its second would leave the two collections too
        // close together for a rate; the first sample waits a little.
        while (primedAt >= 0 && Clock::current().monotonicMilliseconds() - primedAt < PRIME_GAP_MS)
            pause(PRIME_POLL_MS);
        primedAt = -1;
        const bool sampled = sampleSecond(tick);
        // due within its own second; a catch-up after a hold-up comes too late
        if (!sampled || DateTime::now().timeParts().second != tick)
            Platform::collectorStatistics().add(Platform::CollectorStatistics::SAMPLES_MISSED);
        if (!sampled) {
            fatal = true;
            continue;
        }
        const bool ended = now >= deadline;
        if (ended)
            countPeriod(now, deadline);
        // Published after the period: a writer that sees the new tick also
        // sees the period it ends.
        sampleTick = tick;
        if (ended)
            Wakeup::wakeGroup(WRITERS);
        // The next round sleeps to the next second: one wake-up a second.
        if (agent.quitRequested())
            break;
    }
}

bool Sampling::alignToBoundary(ThreadRecord& entry, Agent& agent, DateTime& deadline)
{
    // Start one second before a 30-second boundary B; the first period
    // ends at B + 30 s.
    deadline = nextBoundary(DateTime::now()) - TimeSpan(1);
    for (;;) {
        DateTime now = DateTime::now();
        if (deadline <= now)
            break;
        // A clock set back must not keep the thread aligning for longer.
        if (deadline > now + TimeSpan(PERIOD_SECONDS))
            deadline = nextBoundary(now) - TimeSpan(1);
        agent.reportAlive(entry.state, false);
        if (agent.shouldQuit(entry.state))
            return false;
        Clock& clock = Clock::current();
        clock.sleepUnlessWoken(static_cast<int>(int64_t(deadline.seconds()) * 1000 - clock.wallMilliseconds()), entry.wakeup);
        Platform::threadCheckpoint();
    }
    deadline += TimeSpan(PERIOD_SECONDS + 1);
    return true;
}

bool Sampling::sampleSecond(int32_t tick)
{
    SamplingHold hold;
    // The collection is complete when it returns: no settling pause, which
    // would be a second wake-up every second with the lock held.
    bool collected = getRawCounterData(tick);
    bool registered = registerCounterData(tick == 0);
    if (!collected || !registered)
        return false;
    if (idleTimeCorrection.load())
        correctIdleTime();
    return true;
}

bool Sampling::resumePeriods(ThreadRecord& entry, Agent& agent, DateTime& deadline)
{
    // The period running now ends at the mark after the last one counted; a
    // mark passed while no poller ran is counted at the first sample.
    deadline = DateTime(periodMark.load() + PERIOD_SECONDS);
    // Starting on a fresh second keeps the start's collection a second
    // before the first tick's.
    const int32_t second = DateTime::now().timeParts().second;
    while (DateTime::now().timeParts().second == second) {
        agent.reportAlive(entry.state, false);
        if (agent.shouldQuit(entry.state))
            return false;
        sleepToNextSecond(entry);
    }
    return true;
}

void Sampling::countPeriod(const DateTime& now, DateTime& deadline)
{
    // The mark just passed: the deadline itself, or after a held-up thread,
    // a clock set forward or a restart across a mark the latest mark before
    // now. One period, never a run of them, and never a time off the marks.
    // A clock set back keeps the deadline: the marks up to it already have
    // their records, and a second record with the same time would leave the
    // consumer two values for one period.
    DateTime mark = now;
    mark.alignTo(TimeSpan(PERIOD_SECONDS));
    periodMark = mark.seconds();
    ++periodCount;
    deadline = mark + TimeSpan(PERIOD_SECONDS);
}

bool Sampling::getRawCounterData(int32_t tick)
{
    if (g_lastCollectedTick.exchange(tick) == tick)
        return true;
    Platform::PdhStatus status = Platform::perfData().collectQueryData(pdhQuery);
    if (status == 0)
        return true;
    std::string text;
    if (status == Platform::PDH_NO_DATA)
        text = "There are no counters.";
    else if (status == Platform::PDH_MEMORY_ALLOCATION_FAILURE)
        text = "There is not enough memory.";
    else if (status == Platform::PDH_INVALID_HANDLE)
        text = "Invalid handle";
    else
        text = pdhStatusName(status);
    debug(1, "getRawCounterData: Error %s.", ParamStream() << text);
    message(SEVERITY_CRITICAL, MSG_COLLECT_FAILED, text);
    return true;
}

void Sampling::correctIdleTime()
{
    SmartPointer<Counter> busy = findCounter(PROCESSOR_TIME);
    if (busy.isNull())
        return;
    double average = busy->hasData && busy->sampleCount != 0
                         ? busy->realSum / static_cast<double>(busy->sampleCount)
                         : 0.0;
    if (average < 0.0 || average > 100.0)
        return;
    SmartPointer<Counter> idle = findCounter(IDLE_TIME);
    if (idle.isNull())
        return;
    idle->realSum = 100.0 - average;
    idle->sampleCount = 1;
    idle->hasData = true;
}

int32_t Sampling::collectorRoutine(void* parameter)
{
    Agent* agent = g_agent.load();
    if (parameter == nullptr || agent == nullptr)
        return 0;
    ThreadRecord& entry = *static_cast<ThreadRecord*>(parameter);
    try {
        runCollector(entry, *agent);
    } catch (...) {
        debug(1, "ERROR while running counterDataCollector thread");
        throw;
    }
    debug(1, "END THREAD " + entry.name);
    return 0;
}

void Sampling::runCollector(ThreadRecord& entry, Agent& agent)
{
    std::string scheme;
    size_t open = entry.name.find('(');
    if (open != std::string::npos) {
        scheme = entry.name.substr(open + 1);
        if (!scheme.empty())
            scheme.pop_back();
    }
    debug(1, "START THREAD %s (%i).", ParamStream() << entry.name << threadId());
    Platform::ThreadKindMark kind(Platform::ThreadKind::Writer);
    // A record needs a sample taken since the thread started.
    int32_t lastTick = sampleTick.load();
    // A writer started again (restart, reconfiguration) goes on from its
    // scheme's last record: the period whose record is written is not
    // written again, and one that ended meanwhile still gets its record.
    int64_t lastMark = recordedMark(scheme);
    bool fatal = false;
    int32_t failures = 0;
    DateTime lastStatus(int64_t(0));
    DateTime firstFailure(int64_t(0));
    entry.wakeup.setGroup(WRITERS);

    while (entry.state.load() != STATE_QUIT) {
        DateTime now = DateTime::now();
        if (now - lastStatus > TimeSpan(STATUS_SECONDS) || now < lastStatus) {
            lastStatus = now;
            agent.logThreadStatus(entry.name, fatal);
        }
        agent.reportAlive(entry.state, fatal);
        if (agent.quitRequested())
            break;
        int32_t tick = sampleTick.load();
        if (!fatal && tick != lastTick) {
            lastTick = tick;
            const int64_t mark = periodMark.load();
            if (mark != lastMark) {
                agent.reportAlive(entry.state, false);
                lastMark = mark;
                setRecordedMark(scheme, mark);
                bool written;
                {
                    SamplingHold hold;
                    written = writeMeasurements(scheme, DateTime(mark));
                }
                if (!written) {
                    now = DateTime::now();
                    if (failures == 0 || now - firstFailure > TimeSpan(FAILURE_WINDOW_SECONDS)) {
                        firstFailure = now;
                        failures = 0;
                    }
                    // Past the limit the supervisor sees the fatal report and
                    // shuts the program down.
                    if (++failures > FATAL_FAILURES)
                        fatal = true;
                }
            }
        }
        // A period that ended before any sample since the start is written
        // at the next tick; otherwise nothing is due before a wake-up.
        const bool due = !fatal && periodMark.load() != lastMark;
        Clock::current().sleepUnlessWoken(due ? POLL_MS : WRITER_SLEEP_MS, entry.wakeup);
        Platform::threadCheckpoint();
        if (agent.quitRequested())
            break;
    }
}

bool Sampling::getCounters(const std::string& scheme, std::vector<std::string>& paths)
{
    debug(5, "Getting counters for %s...", ParamStream() << scheme);
    SchemeCounters& all = schemeCounters();
    auto it = all.find(scheme);
    if (it == all.end()) {
        message(SEVERITY_ERROR, MSG_NO_SCHEME, "getCounters(" + scheme + ")");
        return false;
    }
    paths = it->second;
    debug(5, "Got %i counters.", ParamStream() << static_cast<unsigned long long>(paths.size()));
    return true;
}

void Sampling::writeClassification(std::string& text, const std::string& scheme,
                                   const std::vector<std::string>& extras)
{
    writeClassification(text, scheme, extras, DateTime::now());
}

void Sampling::writeClassification(std::string& text, const std::string& scheme,
                                   const std::vector<std::string>& extras, const DateTime& now)
{
    debug(5, "Writing classifications...");
    Agent* owner = g_agent.load();
    std::string computer, architecture, domain, os, kind = "undef";
    if (owner != nullptr) {
        AgentFacts& facts = owner->facts();
        computer = facts.computerName();
        architecture = facts.architecture();
        domain = facts.domain();
        os = facts.osName();
        kind = facts.primeTimeClass(now);
    }
    text += "30:" + std::to_string(now.seconds()) + ":" + (scheme == "Ravlon" ? "36" : "??");
    text += ":0:" + computer + ":0:" + architecture + ":0:" + domain + ":0:" + os + ":0:" + kind;
    int count = 6;
    for (const std::string& extra : extras) {
        text += ":0:" + extra;
        ++count;
    }
    if (count <= 10)
        for (int i = count; i < 11; ++i)
            text += ": : ";
    text += "\n";
}

namespace {

// Up to three attempts, 100 ms apart.
template <typename Operation>
bool retried(Operation op)
{
    for (int attempt = 1; attempt <= WRITE_ATTEMPTS; ++attempt) {
        if (op())
            return true;
        if (attempt < WRITE_ATTEMPTS)
            pause(RETRY_MS);
    }
    return false;
}

} // namespace

bool Sampling::writeMeasurements(const std::string& scheme)
{
    return writeMeasurements(scheme, DateTime::now());
}

// The record's time is the mark of its period, not the moment of writing:
// a writer held up past the mark still stamps the mark.
bool Sampling::writeMeasurements(const std::string& scheme, const DateTime& time)
{
    debug(5, "Logging counter data to file...");
    std::vector<std::string> paths;
    if (!getCounters(scheme, paths))
        return false;
    std::string text;
    writeClassification(text, scheme, {}, time);
    debug(5, "   Writing measurements...");
    text += "1";
    for (const std::string& path : paths) {
        SmartPointer<Counter> counter = findCounter(path);
        if (counter.isNull())
            message(SEVERITY_WARNING, MSG_NO_COUNTER, path);
        if (!counter.isNull() && isValid(*counter) && hasData(*counter))
            text += ":" + valueText(*counter);
        else
            text += ": ";
    }
    SmartPointer<LogFile> file = DataDelivery::instance().getLogFile(scheme);
    if (file.isNull()) {
        message(SEVERITY_CRITICAL, MSG_NO_DATA_FILE, scheme);
        Platform::collectorStatistics().add(Platform::CollectorStatistics::RECORDS_FAILED);
        return false;
    }
    // A record that cannot be written is dropped whole: no line end
    // without its record. The data file has reported the failure itself;
    // the writer carries on, so writing resumes once the disk has room again
    // rather than the collector shutting down on a full disk.
    if (!retried([&] { return file->write(text); }) || !retried([&] { return file->endLine(); })) {
        debug(1, "Counter data of %s could not be written.", ParamStream() << scheme);
        Platform::collectorStatistics().add(Platform::CollectorStatistics::RECORDS_FAILED);
        return true;
    }
    Platform::collectorStatistics().add(Platform::CollectorStatistics::RECORDS_WRITTEN);
    debug(5, "Counter data successfully logged to file.");
    RecordExport::recordWritten(scheme, paths, text);
    return true;
}

} // namespace Telvar
