#include "logger/LoggerSink.h"

#include <memory>

#include "logger/LogSeverity.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"

namespace Telvar {

LogSink LoggerSink::forModule(const SmartPointer<LoggerCentre>& centre, int32_t moduleId)
{
    std::shared_ptr<LoggerUnit> unit = std::make_shared<LoggerUnit>(centre, moduleId);
    LogSink sink;
    sink.debug = [unit](int32_t level, const std::string& text) { unit->debug(level, text); };
    sink.message = [unit](int32_t severity, int32_t messageId, const std::vector<std::string>& params) {
        ParamStream stream;
        for (const std::string& p : params)
            stream << p;
        switch (severity) {
        case SEVERITY_NOTICE: unit->notice(messageId, stream); break;
        case SEVERITY_WARNING: unit->warning(messageId, stream); break;
        case SEVERITY_CRITICAL: unit->critical(messageId, stream); break;
        case SEVERITY_FATAL: unit->fatal(messageId, stream); break;
        default: unit->error(messageId, stream); break;
        }
    };
    return sink;
}

} // namespace Telvar
