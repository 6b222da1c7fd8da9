#include "ravlon/CounterLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "ravlon/Counter.h"

namespace Telvar {

namespace {
std::mutex loggerMutex;
SmartPointer<LoggerUnit>& loggerSlot()
{
    static SmartPointer<LoggerUnit> unit;
    return unit;
}
} // namespace

void setCounterLogger(const SmartPointer<LoggerUnit>& logger)
{
    std::lock_guard<std::mutex> lock(loggerMutex);
    loggerSlot() = logger;
}

SmartPointer<LoggerUnit> counterLogger()
{
    std::lock_guard<std::mutex> lock(loggerMutex);
    return loggerSlot();
}

namespace CounterLog {

bool debugf(int32_t level, const char* templ, ...)
{
    char small[512];
    va_list args;
    va_start(args, templ);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, templ, args);
    va_end(args);
    std::string text;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(&text[0], text.size(), templ, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return debug(level, text);
}

static ParamStream toParams(const std::vector<std::string>& parameters)
{
    ParamStream params;
    for (const std::string& p : parameters)
        params << p;
    return params;
}

bool debug(int32_t level, const std::string& text)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    return !unit.isNull() && unit->debug(level, text);
}

bool warning(int32_t messageId, const std::vector<std::string>& parameters)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    return !unit.isNull() && unit->warning(messageId, toParams(parameters));
}

bool notice(int32_t messageId, const std::vector<std::string>& parameters)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    return !unit.isNull() && unit->notice(messageId, toParams(parameters));
}

bool fatal(int32_t messageId, const std::vector<std::string>& parameters)
{
    SmartPointer<LoggerUnit> unit = counterLogger();
    return !unit.isNull() && unit->fatal(messageId, toParams(parameters));
}

} // namespace CounterLog
} // namespace Telvar
