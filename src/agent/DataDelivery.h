#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "agent/DataRetention.h"
#include "agent/LogFileEntry.h"
#include "common/DateTime.h"
#include "common/SmartPointer.h"
#include "common/TimeSpan.h"

namespace Telvar {

class Agent;
class LoggerUnit;
struct ThreadRecord;

// The process-wide registry of data files and the "DataDelivery" thread that
// ends each file at its interval, aligned to local clock time. Entries are
// added while configuring and dropped only by clear() (restart, agent
// destruction), never while the delivery thread runs, so the map is not
// locked; each file serialises its own writes and ends.
class DataDelivery {
public:
    static constexpr const char* THREAD_NAME = "DataDelivery";
    static constexpr int32_t MSG_CRITICAL_FAILED = 1;  // critical: what failed
    static constexpr int32_t MSG_RELEASE_FAILED = 13;  // error: file name
    static constexpr int32_t TICK_SECONDS = 10;
    static constexpr int32_t STATUS_SECONDS = 20;
    // Used until the collector sets its configured default.
    static constexpr int32_t INITIAL_DEFAULT_SECONDS = 12 * 3600;

    static DataDelivery& instance();

    DataDelivery();
    DataDelivery(const DataDelivery&) = delete;
    DataDelivery& operator=(const DataDelivery&) = delete;
    ~DataDelivery();

    // Does nothing for an identifier already registered. An interval of 0
    // (or below) takes the default delivery interval.
    void registerLogFile(const std::string& baseName, const std::string& identifier,
                         const TimeSpan& interval, bool deliverOnlyWhenForced,
                         std::function<void()> beforeDelivery);
    // Empty for an unknown identifier.
    SmartPointer<LogFile> getLogFile(const std::string& identifier);
    // Ends the identifier's file; false (and nothing done) when unknown.
    bool releaseLogFile(const std::string& identifier);
    void deliverAll(bool force);
    // Drops every entry (destroying the last reference ends a file) and
    // forgets the agent and the logger unit.
    void clear();

    // False (default kept) for spans below one second.
    bool setDefaultInterval(const TimeSpan& interval);
    TimeSpan defaultInterval() const { return defaultInterval_; }

    // Registers the delivery thread with the agent; started by startThreads.
    bool prepareDataDelivery(Agent& agent);

    // The thread's start routine; parameter is its ThreadRecord.
    static int32_t deliveryThread(void* parameter);
    // The routine's body, for this registry.
    int32_t runDeliveryThread(ThreadRecord& record);
    // One 10-second tick at now: starts, delivers or realigns each entry,
    // then lets the retention remove old delivered files.
    void tick(const DateTime& now);
    DataRetention& retention() { return retention_; }

    const std::map<std::string, LogFileEntry>& entries() const { return entries_; }

    // Empty units keep it silent; prepareDataDelivery takes the agent's.
    void setLoggerUnit(const SmartPointer<LoggerUnit>& unit)
    {
        unit_ = unit;
        retention_.setLoggerUnit(unit);
    }

private:
    void debug(int32_t level, const std::string& text) const;
    void debug(int32_t level, const std::string& templ, const std::string& name) const;
    void callBeforeDelivery(const std::string& identifier, LogFileEntry& entry);

    std::map<std::string, LogFileEntry> entries_;
    TimeSpan defaultInterval_{INITIAL_DEFAULT_SECONDS};
    Agent* agent_ = nullptr;
    SmartPointer<LoggerUnit> unit_;
    DataRetention retention_;
};

} // namespace Telvar
