#include "logger/LoggerUnit.h"

#include "common/Exception.h"
#include "logger/LogFormat.h"
#include "logger/LogRecord.h"
#include "logger/LogSettings.h"
#include "platform/ThreadId.h"

namespace Telvar {

LoggerUnit::LoggerUnit(SmartPointer<LoggerCentre> centre, int32_t moduleId)
    : moduleId_(moduleId), centre_(std::move(centre))
{
    ParamStream params;
    params << moduleName(moduleId_);
    debug(1, "LoggerUnit: Created logger for the %s module.", params);
}

LoggerUnit::~LoggerUnit()
{
    ParamStream params;
    params << moduleName(moduleId_);
    debug(1, "LoggerUnit: Destroyed logger for the %s module.", params);
    centre_.reset();
}

bool LoggerUnit::debug(int32_t level, const std::string& text)
{
    const int32_t threshold = debugLevel();
    if (threshold == 0 || level > threshold)
        return true;
    LoggerCentre* centre = centre_.get();
    if (centre == nullptr)
        return false;
    try {
        LogRecord record;
        record.kind = LogRecord::KIND_DEBUG;
        record.moduleId = moduleId_;
        record.timeMode = timeMode();
        record.debugLevel = level;
        record.time = DateTime::now();
        record.text = text;
        record.threadId = Platform::currentThreadId();
        return centre->log(record);
    } catch (...) {
        return false;
    }
}

bool LoggerUnit::debug(int32_t level, const std::string& templ, const ParamStream& params)
{
    const int32_t threshold = debugLevel();
    if (threshold == 0 || level > threshold)
        return true;
    try {
        return debug(level, formatTemplate(templ, params.str()));
    } catch (...) {
        return false;
    }
}

bool LoggerUnit::message(int32_t severity, int32_t messageId, const std::string& parameters)
{
    LoggerCentre* centre = centre_.get();
    if (centre == nullptr)
        return false;
    try {
        LogRecord record;
        record.kind = LogRecord::KIND_MESSAGE;
        record.moduleId = moduleId_;
        record.timeMode = timeMode();
        record.severity = severity;
        record.messageId = messageId;
        record.time = DateTime::now();
        record.text = parameters;
        record.threadId = Platform::currentThreadId();
        return centre->log(record);
    } catch (const IPCException&) {
        return false;
    } catch (...) {
        return false;
    }
}

bool LoggerUnit::severe(int32_t severity, int32_t messageId, const std::string& parameters)
{
    if (severityThreshold() > severity)
        return true;
    return message(severity, messageId, parameters);
}

bool LoggerUnit::notice(int32_t messageId) { return severe(SEVERITY_NOTICE, messageId, std::string()); }
bool LoggerUnit::notice(int32_t messageId, const ParamStream& params) { return severe(SEVERITY_NOTICE, messageId, params.str()); }
bool LoggerUnit::warning(int32_t messageId) { return severe(SEVERITY_WARNING, messageId, std::string()); }
bool LoggerUnit::warning(int32_t messageId, const ParamStream& params) { return severe(SEVERITY_WARNING, messageId, params.str()); }
bool LoggerUnit::error(int32_t messageId) { return severe(SEVERITY_ERROR, messageId, std::string()); }
bool LoggerUnit::error(int32_t messageId, const ParamStream& params) { return severe(SEVERITY_ERROR, messageId, params.str()); }
bool LoggerUnit::critical(int32_t messageId) { return severe(SEVERITY_CRITICAL, messageId, std::string()); }
bool LoggerUnit::critical(int32_t messageId, const ParamStream& params) { return severe(SEVERITY_CRITICAL, messageId, params.str()); }
bool LoggerUnit::fatal(int32_t messageId) { return severe(SEVERITY_FATAL, messageId, std::string()); }
bool LoggerUnit::fatal(int32_t messageId, const ParamStream& params) { return severe(SEVERITY_FATAL, messageId, params.str()); }

} // namespace Telvar
