#include "logger/LogSettings.h"

#include <atomic>
#include <mutex>

#include "logger/LogCommons.h"

namespace Telvar {

namespace {

std::atomic<int32_t> severityThresholdValue{0};
std::atomic<int32_t> debugLevelValue{5};
std::atomic<int32_t> timeModeValue{TIME_MODE_LOCAL};

// Function-local so that loggers used during static initialisation or
// destruction of other objects still find them.
std::mutex& catalogMutex()
{
    static std::mutex mutex;
    return mutex;
}

SmartPointer<LogCommons>& catalogPointer()
{
    static SmartPointer<LogCommons>* pointer = new SmartPointer<LogCommons>();
    return *pointer;
}

} // namespace

int32_t severityThreshold() { return severityThresholdValue.load(std::memory_order_relaxed); }

void setSeverityThreshold(int32_t threshold)
{
    if (threshold >= 0 && threshold <= 5)
        severityThresholdValue.store(threshold, std::memory_order_relaxed);
}

int32_t debugLevel() { return debugLevelValue.load(std::memory_order_relaxed); }

void setDebugLevel(int32_t level)
{
    if (level >= 0 && level <= 5)
        debugLevelValue.store(level, std::memory_order_relaxed);
}

int32_t timeMode() { return timeModeValue.load(std::memory_order_relaxed); }

void setTimeMode(int32_t mode)
{
    if (mode >= TIME_MODE_OTHER && mode <= TIME_MODE_ZULU)
        timeModeValue.store(mode, std::memory_order_relaxed);
}

SmartPointer<LogCommons> messageCatalog()
{
    std::lock_guard<std::mutex> lock(catalogMutex());
    return catalogPointer();
}

void setMessageCatalog(const SmartPointer<LogCommons>& catalog)
{
    SmartPointer<LogCommons> previous;
    {
        std::lock_guard<std::mutex> lock(catalogMutex());
        previous = catalogPointer();
        catalogPointer() = catalog;
    }
    // The old catalogue may be deleted here, outside the lock.
}

} // namespace Telvar
