#include "agent/DataDelivery.h"

#include <algorithm>
#include <utility>

#include "agent/Agent.h"
#include "agent/ThreadRecord.h"
#include "common/Clock.h"
#include "common/Exception.h"
#include "common/ThreadInstance.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/CollectorStatistics.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"

namespace Telvar {

namespace {

DateTime alignedDown(const DateTime& moment, const TimeSpan& span)
{
    DateTime aligned(moment);
    aligned.alignTo(span);
    return aligned;
}

bool isUnset(const DateTime& moment) { return moment.seconds() == 0; }

} // namespace

DataDelivery& DataDelivery::instance()
{
    static DataDelivery registry;
    return registry;
}

DataDelivery::DataDelivery() = default;

DataDelivery::~DataDelivery() { clear(); }

void DataDelivery::debug(int32_t level, const std::string& text) const
{
    if (!unit_.isNull())
        unit_->debug(level, text);
}

void DataDelivery::debug(int32_t level, const std::string& templ, const std::string& name) const
{
    if (!unit_.isNull())
        unit_->debug(level, templ, ParamStream() << name);
}

void DataDelivery::registerLogFile(const std::string& baseName, const std::string& identifier,
                                   const TimeSpan& interval, bool deliverOnlyWhenForced,
                                   std::function<void()> beforeDelivery)
{
    if (entries_.find(identifier) != entries_.end())
        return;
    LogFileEntry entry;
    entry.file = SmartPointer<LogFile>(new LogFile());
    entry.file->setName(baseName);
    // A negative interval would make the file due on every tick.
    entry.interval = interval.seconds() > 0 ? interval : TimeSpan(0);
    entry.deliverOnlyWhenForced = deliverOnlyWhenForced;
    entry.beforeDelivery = std::move(beforeDelivery);
    entries_.emplace(identifier, std::move(entry));
}

SmartPointer<LogFile> DataDelivery::getLogFile(const std::string& identifier)
{
    debug(5, "Getting log file for ID=" + identifier + ".");
    auto it = entries_.find(identifier);
    if (it == entries_.end()) {
        debug(5, " Log file not found.");
        return SmartPointer<LogFile>();
    }
    debug(5, "   Found log file.");
    return it->second.file;
}

bool DataDelivery::releaseLogFile(const std::string& identifier)
{
    debug(1, "Releasing log file for %s...", identifier);
    auto it = entries_.find(identifier);
    if (it == entries_.end() || it->second.file.isNull()) {
        debug(1, " Log file not found.");
        return false;
    }
    SmartPointer<LogFile> file = it->second.file;
    // A failed end moves the file on to its next name: the message names
    // the one whose delivery failed (its working copy is still there).
    const std::string name = file->getName();
    try {
        file->end();
    } catch (Exception& e) {
        e.addTrace(Agent::SOURCE, __LINE__);
        if (!unit_.isNull()) {
            unit_->error(MSG_RELEASE_FAILED, ParamStream() << name);
            unit_->debug(1, e.fullText());
        }
    } catch (...) {
        if (!unit_.isNull())
            unit_->error(MSG_RELEASE_FAILED, ParamStream() << name);
    }
    debug(1, "Log file released.");
    return true;
}

void DataDelivery::callBeforeDelivery(const std::string& identifier, LogFileEntry& entry)
{
    if (!entry.beforeDelivery)
        return;
    // A failing callback must not keep the file (or the files after it)
    // from being delivered.
    try {
        entry.beforeDelivery();
    } catch (Exception& e) {
        e.addTrace(Agent::SOURCE, __LINE__);
        debug(1, "ERROR before delivering %s.", identifier);
        debug(1, e.fullText());
    } catch (...) {
        debug(1, "ERROR before delivering %s.", identifier);
    }
}

void DataDelivery::deliverAll(bool force)
{
    debug(1, "Now delivering all data...");
    for (auto& item : entries_) {
        if (item.second.deliverOnlyWhenForced && !force)
            continue;
        callBeforeDelivery(item.first, item.second);
        releaseLogFile(item.first);
    }
}

void DataDelivery::clear()
{
    entries_.clear();
    // The agent may be going; the next prepareDataDelivery brings them back.
    agent_ = nullptr;
    setLoggerUnit(SmartPointer<LoggerUnit>());
    retention_.configure(std::string(), TimeSpan(0));
}

bool DataDelivery::setDefaultInterval(const TimeSpan& interval)
{
    if (interval.seconds() < 1)
        return false;
    defaultInterval_ = interval;
    return true;
}

bool DataDelivery::prepareDataDelivery(Agent& agent)
{
    agent_ = &agent;
    if (!agent.agentUnit().isNull())
        setLoggerUnit(agent.agentUnit());
    debug(2, "Preparing data delivery thread...");
    ThreadRecord* record = nullptr;
    try {
        record = agent.addThread(ThreadRecord(THREAD_NAME, ThreadRecord::REPORTS_STATE));
        record->state = STATE_NONE;
        record->thread = SmartPointer<ThreadInstance>(new ThreadInstance(&DataDelivery::deliveryThread, record));
        record->thread->setName("delivery");
    } catch (...) {
        // A registered entry without a thread is reported by startThreads.
    }
    if (record == nullptr || record->thread.isNull()) {
        if (!unit_.isNull())
            unit_->critical(MSG_CRITICAL_FAILED, ParamStream() << "prepare " << "data delivery");
        return false;
    }
    debug(3, "   Done.");
    return true;
}

int32_t DataDelivery::deliveryThread(void* parameter)
{
    if (parameter == nullptr)
        return 0;
    return instance().runDeliveryThread(*static_cast<ThreadRecord*>(parameter));
}

void DataDelivery::tick(const DateTime& now)
{
    for (auto& item : entries_) {
        LogFileEntry& entry = item.second;
        // Intervals are resolved when the thread starts; guard against an
        // entry added without that.
        TimeSpan interval = entry.interval.seconds() > 0 ? entry.interval : defaultInterval_;
        if (isUnset(entry.lastDelivered) || now < entry.lastDelivered) {
            // First tick, or the clock was set back: the period restarts at
            // the last boundary instead of waiting for the old one.
            entry.lastDelivered = alignedDown(now, interval);
            continue;
        }
        if (entry.lastDelivered + interval > now)
            continue;
        entry.lastDelivered += interval;
        if (entry.lastDelivered + interval <= now) {
            entry.lastDelivered = alignedDown(now, interval);
            debug(5, "Adjusted LastDelivered time of %s after resuming.", item.first);
        }
        callBeforeDelivery(item.first, entry);
        releaseLogFile(item.first);
    }    retention_.tick(now);
}

int32_t DataDelivery::runDeliveryThread(ThreadRecord& record)
{
    Platform::ThreadKindMark kind(Platform::ThreadKind::Delivery);
    if (!unit_.isNull())
        unit_->debug(1, "START THREAD %s (%i).",
                     ParamStream() << record.name << static_cast<unsigned long long>(Platform::currentThreadId()));
    try {
        const TimeSpan statusPeriod(STATUS_SECONDS);
        const TimeSpan tickPeriod(TICK_SECONDS);
        DateTime nextStatus(int64_t(0));
        for (auto& item : entries_)
            if (item.second.interval.seconds() <= 0)
                item.second.interval = defaultInterval_;
        DateTime nextTick = alignedDown(DateTime::now(), tickPeriod);
        for (;;) {
            bool quit = record.state.load() == STATE_QUIT || (agent_ != nullptr && agent_->quitRequested());
            if (quit)
                break;
            DateTime now = DateTime::now();
            if (agent_ != nullptr)
                agent_->reportAlive(record.state, false);
            // A clock set back must not silence the status or the ticks
            // until it catches up again.
            if (nextStatus <= now || nextStatus > now + statusPeriod) {
                nextStatus = now + statusPeriod;
                if (agent_ != nullptr)
                    agent_->logThreadStatus(record.name, false);
            }
            if (nextTick > now + tickPeriod)
                nextTick = alignedDown(now, tickPeriod);
            if (nextTick <= now) {
                nextTick += tickPeriod;
                if (nextTick <= now)
                    nextTick = alignedDown(now, tickPeriod);
                tick(now);
            }
            // Nothing is due before the next tick or status line; a stop, a
            // quit or a liveness request rings. The sleep ends a little into
            // the due second, so a timer early by a hair still finds it.
            const DateTime due = nextTick < nextStatus ? nextTick : nextStatus;
            Clock& clock = Clock::current();
            int64_t ms = int64_t(due.seconds()) * 1000 + 2 - clock.wallMilliseconds();
            ms = std::min<int64_t>(ms, int64_t(TICK_SECONDS) * 1000);
            clock.sleepUnlessWoken(static_cast<int>(std::max<int64_t>(ms, 1)), record.wakeup);
        }
    } catch (...) {
        debug(1, "ERROR while running %s thread", record.name);
    }
    debug(1, "END THREAD " + record.name);
    return 0;
}

} // namespace Telvar
