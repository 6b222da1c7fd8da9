#pragma once

// One performance counter of the collector and the process-wide registry of
// all counters, added once to the single performance-data query and sampled
// into running sums from which the writers take averages.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/SmartPointer.h"
#include "platform/PerfData.h"

namespace Telvar {

class LoggerUnit;

class Counter {
public:
    Counter(const std::string& object, const std::string& counter);
    virtual ~Counter();

    // "\Object(instance)\Counter" in the current language; empty until
    // localised, and when no translation was found.
    std::string localizedPath;
    // "\" + object + "\" + counter as given (English); the registry key.
    std::string counterPath;
    std::string object;   // as given, with an instance part in parentheses if any
    std::string counter;
    int64_t integerSum = 0;
    double realSum = 0.0;
    uint32_t format = 0;  // PDH_FMT_DOUBLE or PDH_FMT_LARGE once added; 0 before
    uint32_t sampleCount = 0;
    bool hasData = false; // the sums hold a valid value since the last invalid one
    // A failure is said once, when it starts, and its end once: the status
    // last reported (0: none) and the samples failed in a row.
    Platform::PdhStatus reportedFailure = 0;
    uint32_t failedInARow = 0;
    Platform::PdhHandle handle = Platform::PDH_NULL_HANDLE;
};

// Every registered counter in registration order, and the position of each
// counter path in that order.
struct CounterRegistry {
    std::vector<SmartPointer<Counter>> counters;
    std::map<std::string, size_t> positions;
};

CounterRegistry& counterRegistry();

// The single query of the collector; opened and closed by the collector.
extern Platform::PdhHandle pdhQuery;
// Replaces warnings 9 and 10 of the sampling path by debug lines.
extern std::atomic<bool> degradePdhWarnings;

// Points the module's logging at a unit (the agent's); a null pointer stops it.
void setCounterLogger(const SmartPointer<LoggerUnit>& logger);
SmartPointer<LoggerUnit> counterLogger();

// False, and nothing changes, when the counter path is already registered.
bool registerCounter(const SmartPointer<Counter>& counter);
// Empty when the path is not registered.
SmartPointer<Counter> findCounter(const std::string& counterPath);
void clearRegistry();

// Adds every registered counter to pdhQuery; always true.
bool addCountersToQuery();
// Reads every counter once into its sums (reset first when asked); always true.
bool registerCounterData(bool reset);

// The counter's average as the records write it.
std::string valueText(const Counter& counter);

// Descriptive and plain texts of a PDH status code.
std::string pdhStatusText(Platform::PdhStatus status);
std::string pdhStatusName(Platform::PdhStatus status);

bool isValid(const Counter& counter);  // in the query (handle not null)
bool hasData(const Counter& counter);

} // namespace Telvar
