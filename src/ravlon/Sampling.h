#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/Monopoly.h"

namespace Telvar {

class Agent;
class DateTime;
struct ThreadRecord;

// The collector's data path. One poller thread samples the query once a
// second into the counters' running sums and counts half-minute periods; one
// writer thread per scheme appends a record (classification line and
// measurement line) to the scheme's data file at every period end.
class Sampling {
public:
    // (data file base name, scheme name), filled by prepareCollector and
    // consumed when the data files are registered.
    using DataFileEntries = std::list<std::pair<std::string, std::string>>;
    using SchemeCounters = std::map<std::string, std::vector<std::string>>;

    static constexpr const char* POLLER_NAME = "performanceDataPoller";

    // Numbered messages of the Ravlon module.
    static constexpr int32_t MSG_COLLECT_FAILED = 9;  // critical: status text
    static constexpr int32_t MSG_NO_SCHEME = 27;      // error: "getCounters(" + scheme + ")"
    static constexpr int32_t MSG_NO_COUNTER = 28;     // warning: counter path
    static constexpr int32_t MSG_NO_DATA_FILE = 29;   // critical: scheme

    // Process-wide state. Written by the poller, polled by the writers.
    static std::atomic<int32_t> sampleTick;
    static std::atomic<int32_t> periodCount;
    // The 30-second mark (seconds since 1970) of the last period end the
    // poller counted; 0 before the first. Records carry it as their time.
    static std::atomic<int64_t> periodMark;
    // Set by the main control before the threads start.
    static std::atomic<bool> idleTimeCorrection;
    // Held by the poller while it samples and by a writer while it builds
    // and writes a record.
    static Monopoly& samplingLock();

    // Ordered counter paths of each scheme (column order of its records).
    // Written only while configuring, when no sampling thread runs.
    static SchemeCounters& schemeCounters();

    // Register and create the threads with the agent.
    static bool preparePoller(Agent& agent);
    static bool prepareCollector(Agent& agent, const std::string& scheme, DataFileEntries& entries);

    // Thread routines; the parameter is the thread's registry entry.
    static int32_t pollerRoutine(void* parameter);
    static int32_t collectorRoutine(void* parameter);

    static bool getRawCounterData(int32_t tick);
    static void correctIdleTime();
    static bool getCounters(const std::string& scheme, std::vector<std::string>& paths);
    static void writeClassification(std::string& text, const std::string& scheme,
                                    const std::vector<std::string>& extras);
    // The same for a record of the given time (a period's mark).
    static void writeClassification(std::string& text, const std::string& scheme,
                                    const std::vector<std::string>& extras, const DateTime& time);
    static bool writeMeasurements(const std::string& scheme);
    static bool writeMeasurements(const std::string& scheme, const DateTime& time);

    // The agent whose facts label the records and whose flags and state
    // words the threads use; set by preparePoller and prepareCollector.
    static void setAgent(Agent* agent);
    static Agent* agent();
    // Back to the state of a fresh process (ticks, period count, the last
    // collected tick, the correction flag, the scheme lists, the agent).
    // Only while no sampling thread runs; configuration never calls it.
    static void resetState();
    static int32_t lastCollectedTick();

private:
    static void runPoller(ThreadRecord& entry, Agent& agent);
    // The steps of the poller: waiting for the first boundary (false when
    // told to quit), one second's sample (false when it failed) and the
    // count of a period that ended.
    static bool alignToBoundary(ThreadRecord& entry, Agent& agent, DateTime& deadline);
    static bool sampleSecond(int32_t tick);
    static void countPeriod(const DateTime& now, DateTime& deadline);
    // A poller started again (reconfiguration, restart by the supervisor)
    // goes on from the last counted mark instead of aligning afresh.
    static bool resumePeriods(ThreadRecord& entry, Agent& agent, DateTime& deadline);
    // The mark a scheme's last record was made for; a scheme not seen before
    // starts at the current mark, so its first record is the next period's.
    static int64_t recordedMark(const std::string& scheme);
    static void setRecordedMark(const std::string& scheme, int64_t mark);
    static void runCollector(ThreadRecord& entry, Agent& agent);
};

} // namespace Telvar
