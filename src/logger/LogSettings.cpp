#include "logger/LogSettings.h"

#include <atomic>
#include <mutex>

#include "common/TimeSpan.h"
#include "logger/LogCommons.h"

namespace Telvar {

namespace {

std::atomic<int32_t> severityThresholdValue{0};
std::atomic<int32_t> debugLevelValue{5};
std::atomic<int32_t> timeModeValue{TIME_MODE_LOCAL};
std::atomic<int32_t> rotationSchemeValue{ROTATE_NONE};
std::atomic<int32_t> rotationIntervalValue{0};
std::atomic<int32_t> rotationSizeValue{10};
std::atomic<bool> initRotationPendingValue{true};
std::atomic<int32_t> flushPeriodValue{1};

std::mutex& applicationNameMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string& applicationNameValue()
{
    static std::string* name = new std::string("core");
    return *name;
}

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

int32_t rotationScheme() { return rotationSchemeValue.load(); }

void setRotationScheme(int32_t scheme)
{
    rotationSchemeValue.store(scheme & (ROTATE_INIT | ROTATE_TIME | ROTATE_SIZE));
}

TimeSpan rotationInterval() { return TimeSpan(rotationIntervalValue.load()); }

void setRotationInterval(const TimeSpan& interval) { rotationIntervalValue.store(interval.seconds()); }

int32_t rotationSize() { return rotationSizeValue.load(); }

void setRotationSize(int32_t megabytes) { rotationSizeValue.store(megabytes); }

bool initRotationPending() { return initRotationPendingValue.load(); }

void setInitRotationPending(bool pending) { initRotationPendingValue.store(pending); }

int32_t logFlushPeriod() { return flushPeriodValue.load(); }

void setLogFlushPeriod(int32_t lines)
{
    if (lines >= 1)
        flushPeriodValue.store(lines);
}

std::string logApplicationName()
{
    std::lock_guard<std::mutex> lock(applicationNameMutex());
    return applicationNameValue();
}

void setLogApplicationName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(applicationNameMutex());
    applicationNameValue() = name;
}

} // namespace Telvar
